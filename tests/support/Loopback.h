// Loopback sockets and server processes for the test servers.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

extern char** environ;

namespace bvtest {

// A socket on 127.0.0.1:port, listening (port 0: a free one, put in *port) or
// connected; -1 when that fails.
inline int LoopbackSocket(uint16_t* port, bool listening) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(*port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto* any = reinterpret_cast<sockaddr*>(&addr);
  socklen_t len = sizeof addr;
  const bool ok = fd >= 0 && (listening ? bind(fd, any, len) == 0 && listen(fd, 16) == 0 &&
                                              getsockname(fd, any, &len) == 0
                                        : connect(fd, any, len) == 0);
  if (ok) *port = ntohs(addr.sin_port);
  if (!ok && fd >= 0) close(fd);
  return ok ? fd : -1;
}

inline int ListenLoopback(uint16_t* port) {
  *port = 0;
  return LoopbackSocket(port, true);
}

inline int DialLoopback(uint16_t port) { return LoopbackSocket(&port, false); }

// A TCP port on 127.0.0.1 that nothing listens on right now (0 if none).
inline uint16_t FreeLoopbackPort() {
  uint16_t port = 0;
  const int fd = ListenLoopback(&port);
  if (fd >= 0) close(fd);
  return port;
}

inline bool LoopbackListening(uint16_t port) {
  const int fd = DialLoopback(port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// Starts argv[0] with stdout and stderr appended to log, in a process group
// of its own when asked; -1 when it did not start.
inline pid_t SpawnLogged(const char* const argv[], const std::string& log, bool ownGroup) {
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, ownGroup ? POSIX_SPAWN_SETPGROUP : 0);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &files, &attr, const_cast<char* const*>(argv), environ) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attr);
  return pid;
}

// Waits until the port answers; false when the process ended (it gave up)
// or the time ran out.
inline bool WaitUntilListening(uint16_t port, pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 50; ++i) {
    if (LoopbackListening(port)) return true;
    if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Waits (up to 5 s) until nothing listens on the port any more: sessions
// still dying hold the listening socket they inherited.
inline void WaitUntilClosed(uint16_t port) {
  for (int i = 0; i < 250 && LoopbackListening(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace bvtest

// Loopback sockets and server processes for the test servers.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/TempDir.h"

extern char** environ;

namespace bvtest {

// A socket on 127.0.0.1:port, listening (port 0: a free one, put in *port) or connected; or -1.
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

// Starts argv[0] with its output appended to log, in a process group of its own if asked; or -1.
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

// Waits until the port answers; false when the process ended or the time ran out.
inline bool WaitUntilListening(uint16_t port, pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 50; ++i) {
    if (LoopbackListening(port)) return true;
    if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Waits (up to 5 s) until nothing listens on the port (dying sessions hold its socket).
inline void WaitUntilClosed(uint16_t port) {
  for (int i = 0; i < 250 && LoopbackListening(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// Sends all of data; false once the peer is gone.
inline bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A server program the tests start on a loopback port, its files in a folder of its own.
class ServerProcess {
 public:
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  // False when the server could not be started; Reason() says why.
  bool Ok() const { return ok_; }
  const std::string& Reason() const { return reason_; }
  uint16_t Port() const { return port_; }

 protected:
  ServerProcess() = default;
  // A free port is only free until the server binds it: then another is tried.
  void StartOnAFreePort(const std::function<bool()>& start, const std::function<void()>& stop) {
    for (int attempt = 0; attempt < 5 && !ok_; ++attempt) {
      port_ = FreeLoopbackPort();
      ok_ = port_ != 0 && start();
      if (!ok_) stop();
    }
  }

  TempDir dir_;
  uint16_t port_ = 0;
  bool ok_ = false;
  std::string reason_;
};

// A server of the tests' own on a free loopback port, a thread per client. The owner's
// destructor calls Stop first, while what its threads use still stands.
class LoopbackServer {
 public:
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  bool Ok() const { return listener_ >= 0; }
  uint16_t Port() const { return port_; }

 protected:
  LoopbackServer() { listener_ = ListenLoopback(&port_); }
  ~LoopbackServer() { Stop(); }

  // Takes clients until stopped, each to session.
  void Serve(std::function<void(int client)> session) {
    if (listener_ < 0) return;
    Start(std::thread([this, session = std::move(session)] {
      while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const int client = accept(listener_, nullptr, nullptr);
        if (client >= 0) Start(std::thread(session, client));
      }
    }));
  }
  void Start(std::thread thread) {
    std::lock_guard<std::mutex> guard(threadsLock_);
    threads_.push_back(std::move(thread));
  }
  // Joined outside the lock (they may start more), then those started meanwhile.
  void Stop() {
    stop_ = true;
    if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
    for (int round = 0; round < 2; ++round) {
      std::unique_lock<std::mutex> guard(threadsLock_);
      std::vector<std::thread> threads = std::move(threads_);
      threads_.clear();
      guard.unlock();
      for (std::thread& t : threads) t.join();
    }
    if (listener_ >= 0) close(std::exchange(listener_, -1));
  }

  std::atomic<bool> stop_{false};

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::mutex threadsLock_;  // guards threads_
  std::vector<std::thread> threads_;
};

}  // namespace bvtest

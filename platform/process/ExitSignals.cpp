// A self-pipe: the handler only writes the signal's number to it (a write is
// async-signal-safe); the program reads it on its own thread.
#include "platform/process/ExitSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace plat {
namespace {

int g_pipe[2] = {-1, -1};  // written once under g_installOnce, then only read
std::once_flag g_installOnce;

void OnExitSignal(int signal) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  // A full pipe already holds a request to end: one more adds nothing.
  [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &byte, 1);
  errno = saved;
}

void Install() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_pipe[0] = fds[0];
  g_pipe[1] = fds[1];
  struct sigaction action = {};
  action.sa_handler = &OnExitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &action, nullptr);
}

}  // namespace

int CatchExitSignals() {
  std::call_once(g_installOnce, Install);
  return g_pipe[0];
}

int TakeExitSignal() {
  if (g_pipe[0] < 0) return 0;
  unsigned char byte = 0;
  for (;;) {
    const ssize_t n = ::read(g_pipe[0], &byte, 1);
    if (n == 1) return byte;
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

}  // namespace plat

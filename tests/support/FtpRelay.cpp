#include "support/FtpRelay.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "support/Loopback.h"

namespace bvtest {
namespace {

// Closes with a reset, as a cut cable or a dropped route looks to the peer.
void Abort(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

}  // namespace

FtpRelay::FtpRelay(uint16_t serverPort, uint64_t cutAfter,
                   std::function<std::string(const std::string&)> nativeOf)
    : serverPort_(serverPort), cutAfter_(cutAfter), nativeOf_(std::move(nativeOf)) {
  Serve([this](int client) { Control(client); });
}

std::string FtpRelay::Rewrite(const std::string& line,
                              const std::shared_ptr<std::atomic<bool>>& full) {
  if (fault_ == Fault::kWrongSize && line.rfind("213 ", 0) == 0)
    return "213 " + std::to_string(std::stoull(line.substr(4)) + 1) + "\r\n";
  if (fault_ == Fault::kDiskFull && line.rfind("226 ", 0) == 0)
    return "452 Insufficient storage space\r\n";
  if (fault_ == Fault::kStorageExceeded && line.rfind("226 ", 0) == 0)
    return "552 Exceeded storage allocation\r\n";
  const size_t open = line.find("(|||");
  const bool resting = fault_ == Fault::kRest;
  if ((fault_ == Fault::kCutData || fault_ == Fault::kFullMidway || resting) &&
      line.rfind("229 ", 0) == 0 && open != std::string::npos) {
    uint16_t relayPort = 0;
    const int data = ListenLoopback(&relayPort);
    if (data < 0) return line;
    // A rest shows to the client once little more than this is held for it.
    const int held = 64 << 10;
    if (resting) setsockopt(data, SOL_SOCKET, SO_RCVBUF, &held, sizeof held);
    const auto serverPort = static_cast<uint16_t>(std::stoi(line.substr(open + 4)));
    Start(std::thread([this, data, serverPort, full] { Data(data, serverPort, full); }));
    return "229 Extended Passive mode OK (|||" + std::to_string(relayPort) + "|)\r\n";
  }
  return line;
}

std::string FtpRelay::Answer(const std::string& line) {
  if (fault_ == Fault::kNoSize && line.rfind("SIZE ", 0) == 0) return "500 Unknown command\r\n";
  if (fault_ == Fault::kNoMlst && line.rfind("MLST", 0) == 0) return "500 Unknown command\r\n";
  if (fault_ == Fault::kLieModes && line.rfind("MLSD", 0) == 0) return "500 Unknown command\r\n";
  if (fault_ == Fault::kLieModes && line.rfind("SITE CHMOD", 0) == 0) return "200 ok\r\n";
  if (fault_ == Fault::kLieModesBelow && line.rfind("SITE CHMOD", 0) == 0 &&
      line.find("/Latest/") != std::string::npos)
    return "200 ok\r\n";
  if (fault_ == Fault::kNoTls && line.rfind("AUTH", 0) == 0)
    return "502 Command not implemented\r\n";
  std::string path = line.substr(std::min<size_t>(5, line.size()));
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  if (fault_ == Fault::kNoOverwrite && line.rfind("RNTO ", 0) == 0 && nativeOf_ &&
      access(nativeOf_(path).c_str(), F_OK) == 0)
    return "553 Prohibited file name\r\n";
  return {};
}

void FtpRelay::Control(int client) {
  ++connections_;
  const int server = DialLoopback(serverPort_);
  std::string pending;  // server bytes short of a whole line
  std::string asked;    // client bytes short of a whole line (the control connection is plain)
  char buffer[4096];
  auto full = std::make_shared<std::atomic<bool>>(false);
  bool swallow = false;  // the server's own reply to a transfer the relay answered
  bool storing = false;  // a STOR or APPE awaits its closing reply
  bool reset = false;
  const bool raw = fault_ == Fault::kRaw;
  if (raw && server < 0) reset = true;
  while (!stop_ && !reset) {
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (poll(p, server >= 0 ? 2 : 1, 50) <= 0 && !*full) continue;
    if (full->exchange(false)) {
      const std::string refusal = "452 Insufficient storage space\r\n";
      swallow = SendAll(client, refusal);
    }
    if (p[0].revents != 0) {
      const ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0 || (raw && !SendAll(server, std::string_view(buffer, static_cast<size_t>(n)))))
        break;
      if (raw) continue;
      asked.append(buffer, static_cast<size_t>(n));
      bool sent = true;
      for (size_t end; sent && (end = asked.find('\n')) != std::string::npos;) {
        const std::string line = asked.substr(0, end + 1), answer = Answer(line);
        asked.erase(0, end + 1);
        if (line.rfind("PASS", 0) == 0) ++passwords_;
        storing = line.rfind("STOR ", 0) == 0 || line.rfind("APPE ", 0) == 0;
        if (storing && fault_ == Fault::kResetUploads) {
          reset = true;
          break;
        }
        sent = answer.empty() ? server < 0 || SendAll(server, line) : SendAll(client, answer);
      }
      if (!sent || reset) break;
    }
    if (server >= 0 && p[1].revents != 0) {
      const ssize_t n = recv(server, buffer, sizeof buffer, 0);
      if (n <= 0 || (raw && !SendAll(client, std::string_view(buffer, static_cast<size_t>(n)))))
        break;
      if (raw || fault_ == Fault::kMute) continue;
      if (fault_ == Fault::kSlow)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_.load()));
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        std::string out = Rewrite(pending.substr(0, end + 1), full);
        pending.erase(0, end + 1);
        const bool closing = out.size() > 3 && out[0] >= '2' && out[0] <= '5' && out[3] == ' ';
        if (closing && storing && (swallow || fault_ == Fault::kNoConfirm)) out.clear();
        if (closing) storing = swallow = false;
        if (!SendAll(client, out)) break;
      }
    }
  }
  reset ? Abort(client) : void(close(client));
  if (server >= 0) close(server);
}

void FtpRelay::Data(int listener, uint16_t serverPort, std::shared_ptr<std::atomic<bool>> full) {
  pollfd wait{listener, POLLIN, 0};
  int client = -1;
  for (int i = 0; i < 100 && !stop_ && client < 0; ++i)
    if (poll(&wait, 1, 50) > 0) client = accept(listener, nullptr, nullptr);
  close(listener);
  const int server = client >= 0 ? DialLoopback(serverPort) : -1;
  uint64_t carried = 0;
  char buffer[4096];
  bool cut = false, rested = false;
  while (!stop_ && client >= 0 && server >= 0) {
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (poll(p, 2, 50) <= 0) continue;
    const int from = p[0].revents != 0 ? client : server;
    const int to = from == client ? server : client;
    const uint64_t left = rested ? sizeof buffer : cutAfter_ - carried;
    const ssize_t n =
        recv(from, buffer, static_cast<size_t>(std::min<uint64_t>(sizeof buffer, left)), 0);
    if (n <= 0 || !SendAll(to, std::string_view(buffer, static_cast<size_t>(n)))) break;
    carried += static_cast<uint64_t>(n);
    if (rested || carried < cutAfter_) continue;
    if (fault_ == Fault::kRest) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_.load()));
      rested = true;
      continue;
    }
    cut = true;
    break;
  }
  if (cut) ++cuts_;
  if (cut && fault_ == Fault::kFullMidway) *full = true;  // told before the connections go
  if (client >= 0) cut ? Abort(client) : void(close(client));
  if (server >= 0) cut ? Abort(server) : void(close(server));
}

}  // namespace bvtest

#include "platform/process/ThisMachine.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/base/Text.h"
#include "platform/process/Clock.h"
#include "platform/volumes/Paths.h"

namespace plat {

namespace {

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::string FirstLabel(std::string_view name) {
  return std::string(name.substr(0, name.find('.')));
}

// True when the address (IPv4 or IPv6 text) is a loopback address or one of
// this machine's interfaces.
bool IsOwnAddress(const std::string& text) {
  in_addr v4{};
  in6_addr v6{};
  const bool isV4 = inet_pton(AF_INET, text.c_str(), &v4) == 1;
  const bool isV6 = !isV4 && inet_pton(AF_INET6, text.c_str(), &v6) == 1;
  if (!isV4 && !isV6) return false;
  if (isV4 && (ntohl(v4.s_addr) >> 24) == 127) return true;
  if (isV6 && (IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127)))
    return true;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
    if (a->ifa_addr == nullptr) continue;
    if (isV4 && a->ifa_addr->sa_family == AF_INET) {
      found = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == v4.s_addr;
    } else if (isV6 && a->ifa_addr->sa_family == AF_INET6) {
      found = std::memcmp(&reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr, &v6,
                          sizeof v6) == 0;
    }
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

bool IsThisMachine(std::string_view host) {
  std::string h = ToLower(TrimSpace(host));
  if (h.size() > 1 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  while (!h.empty() && h.back() == '.') h.pop_back();
  if (h.empty()) return false;
  if (h == "localhost" || EndsWith(h, ".localhost") || h == "localhost.localdomain" ||
      h == "ip6-localhost" || h == "ip6-loopback")
    return true;
  if (IsOwnAddress(h)) return true;
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0) return false;
  const std::string own = ToLower(name);
  // "host", "host.example.org": the same machine by its first label.
  return h == own || FirstLabel(h) == FirstLabel(own);
}

bool HomeFolderOfUser(std::string_view user, std::string* systemPath) {
  const std::string name(user);
  if (name.empty()) return false;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
    return false;
  return ToSystemPath(found->pw_dir, systemPath);
}

bool LimitSendBuffer(long long socket, int bytes) {
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

int PeerPortOf(long long socket) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&peer), &size) != 0)
    return 0;
  if (peer.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
  if (peer.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
  return 0;
}

std::string ReadWaiting(long long socket, int waitMs) {
  std::string got;
  const uint64_t end = GetTickCount64() + static_cast<uint64_t>(std::max(0, waitMs));
  while (got.find('\n') == std::string::npos && got.size() < 4096) {
    const uint64_t now = GetTickCount64();
    if (now >= end) break;
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(end - now)) <= 0) break;
    char chunk[512];
    const ssize_t n = recv(static_cast<int>(socket), chunk, sizeof chunk, MSG_DONTWAIT);
    if (n <= 0) break;
    got.append(chunk, static_cast<size_t>(n));
  }
  return got;
}

void CloseSocket(long long socket) { close(static_cast<int>(socket)); }

}  // namespace plat

#include "support/EndlessFtpServer.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <algorithm>

#include "support/Loopback.h"

namespace bvtest {
namespace {

// The next line from the client (without its line end); false when it left
// or stop was set.
bool ReadLine(int fd, std::string* buffer, std::string* line, const std::atomic<bool>& stop) {
  for (;;) {
    const size_t end = buffer->find('\n');
    if (end != std::string::npos) {
      *line = buffer->substr(0, end);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      buffer->erase(0, end + 1);
      return true;
    }
    pollfd p{fd, POLLIN, 0};
    if (stop) return false;
    if (poll(&p, 1, 50) <= 0) continue;
    char chunk[1024];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer->append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace

EndlessFtpServer::EndlessFtpServer(bool wide, int cap, bool looping)
    : wide_(wide), cap_(cap), looping_(looping) {
  Serve([this](int client) { Session(client); });
}

void EndlessFtpServer::Session(int client) {
  const int on = 1;  // replies go out at once, as a real server's do
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const std::string stamp = "modify=20260101120000;";
  const std::string machine = wide_ ? "type=dir;" + stamp + " a\r\ntype=dir;" + stamp +
                                          " b\r\ntype=file;size=1;" + stamp + " f.txt\r\n"
                                    : "type=dir;" + stamp + " d\r\n";
  const std::string names = wide_ ? "a\r\nb\r\nf.txt\r\n" : "d\r\n";
  int passive = -1;
  std::string buffer, line;
  SendAll(client, "220 welcome\r\n");
  while (ReadLine(client, &buffer, &line, stop_)) {
    std::string verb = line.substr(0, line.find(' '));
    for (char& c : verb) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string reply = "502 not here\r\n";
    if (verb == "USER") {
      reply = "331 any password\r\n";
    } else if (verb == "PASS") {
      reply = "230 in\r\n";
    } else if (verb == "PWD") {
      reply = "257 \"/\"\r\n";
    } else if (verb == "CWD" || verb == "TYPE" || verb == "NOOP" || verb == "OPTS") {
      reply = "250 fine\r\n";
    } else if (verb == "SYST") {
      reply = "215 UNIX Type: L8\r\n";
    } else if (verb == "EPSV" || verb == "PASV") {
      if (passive >= 0) close(passive);
      uint16_t port = 0;
      passive = ListenLoopback(&port);
      reply = verb == "EPSV" ? "229 passive (|||" + std::to_string(port) + "|)\r\n"
                             : "227 passive (127,0,0,1," + std::to_string(port >> 8) + "," +
                                   std::to_string(port & 255) + ")\r\n";
    } else if (verb == "MLSD" || verb == "NLST" || verb == "LIST") {
      pollfd p{passive, POLLIN, 0};
      const int data =
          passive >= 0 && poll(&p, 1, 5000) > 0 ? accept(passive, nullptr, nullptr) : -1;
      if (data < 0) {
        reply = "425 no data connection\r\n";
      } else {
        SendAll(client, "150 here it comes\r\n");
        // Each level's file differs in size: folders without end, not one folder again.
        std::string listing = verb == "MLSD" ? machine : names;
        if (const size_t size = listing.find("size=1;"); size != std::string::npos && !looping_)
          listing.replace(size + 5, 1,
                          std::to_string(1 + std::count(line.begin(), line.end(), '/')));
        if (cap_ == 0 || ++listings_ <= cap_) SendAll(data, listing);
        if (cap_ == 0) ++listings_;
        close(data);
        reply = "226 done\r\n";
      }
      if (passive >= 0) close(passive);
      passive = -1;
    } else if (verb == "QUIT") {
      SendAll(client, "221 bye\r\n");
      break;
    } else if (verb == "SIZE" || verb == "MDTM" || verb == "RETR" || verb == "STOR" ||
               verb == "MKD" || verb == "DELE" || verb == "RNFR") {
      reply = "550 no\r\n";
    }
    if (!SendAll(client, reply)) break;
  }
  if (passive >= 0) close(passive);
  close(client);
}

}  // namespace bvtest

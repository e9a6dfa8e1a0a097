// A hostile FTP server on loopback: folders without end ("d", or when wide "a" and "b" beside
// "f.txt", one byte longer each level down); any login, files and writes refused, listings
// counted; with a cap, folders come back empty once that many were listed.
#pragma once
#include <atomic>

#include "support/Loopback.h"

namespace bvtest {

class EndlessFtpServer : public LoopbackServer {
 public:
  // looping: every folder lists the very same (a folder that holds itself).
  explicit EndlessFtpServer(bool wide, int cap = 0, bool looping = false);
  ~EndlessFtpServer() { Stop(); }
  int Listings() const { return listings_; }

 private:
  void Session(int client);

  const bool wide_;
  const int cap_;
  const bool looping_ = false;
  std::atomic<int> listings_{0};
};

}  // namespace bvtest

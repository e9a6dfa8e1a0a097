// A hostile FTP server on loopback: every folder holds more folders, without
// end ("d" alone, or "a" and "b" beside a file "f.txt", one byte longer each
// level down, when wide). It takes any login, lists every folder alike, refuses every file and
// every write, and counts the listings it served. With a cap, folders come back empty once that
// many were listed (a client without limits ends at last).
#pragma once
#include <atomic>

#include "support/Loopback.h"

namespace bvtest {

class EndlessFtpServer : public LoopbackServer {
 public:
  // looping: every folder lists the very same (a folder that holds itself).
  explicit EndlessFtpServer(bool wide, int cap = 0, bool looping = false);
  ~EndlessFtpServer();
  int Listings() const { return listings_; }

 private:
  void Session(int client);

  const bool wide_;
  const int cap_;
  const bool looping_ = false;
  std::atomic<int> listings_{0};
};

}  // namespace bvtest

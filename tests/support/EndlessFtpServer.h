// A hostile FTP server on loopback: every folder holds more folders, without
// end ("d" alone, or "a" and "b" beside a file "f.txt", one byte longer each
// level down, when wide). It takes any login, lists every folder alike, refuses every file and
// every write, and counts the listings it served. With a cap, folders come back empty once that
// many were listed (a client without limits ends at last).
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bvtest {

class EndlessFtpServer {
 public:
  // looping: every folder lists the very same (a folder that holds itself).
  explicit EndlessFtpServer(bool wide, int cap = 0, bool looping = false);
  ~EndlessFtpServer();
  EndlessFtpServer(const EndlessFtpServer&) = delete;
  EndlessFtpServer& operator=(const EndlessFtpServer&) = delete;

  bool Ok() const { return listener_ >= 0; }
  uint16_t Port() const { return port_; }
  int Listings() const { return listings_; }

 private:
  void Accept();
  void Session(int client);
  void Start(std::thread thread);

  const bool wide_;
  const int cap_;
  const bool looping_ = false;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> listings_{0};
  std::mutex threadsLock_;  // guards threads_
  std::vector<std::thread> threads_;
};

}  // namespace bvtest

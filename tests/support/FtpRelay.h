// A go-between on loopback in front of a real FTP server, for faults it does not make itself.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "support/Loopback.h"

namespace bvtest {

class FtpRelay : public LoopbackServer {
 public:
  enum class Fault {
    kNone,
    kMute,             // replies (and greetings) swallowed
    kWrongSize,        // size replies one byte off
    kCutData,          // passive data connections cut after cutAfter bytes
    kDiskFull,         // a transfer's closing "226" becomes 452
    kStorageExceeded,  // ... becomes 552
    kNoSize,           // SIZE unknown
    kNoOverwrite,      // RNTO onto an existing file refused (looked up through nativeOf)
    kNoTls,            // "AUTH" answered 502 (a go-between stripping encryption)
    kSlow,             // every reply held back (1 s, or SetReplyDelay)
    kNoMlst,           // MLST unknown
    kRest,             // data rests for the reply delay once cutAfter bytes passed, then goes on
    kFullMidway,       // data stops at cutAfter bytes and the client is told 452
    kResetUploads,     // every STOR and APPE resets the control connection
    kNoConfirm,        // a transfer's closing reply never comes
    kLieModes,         // SITE CHMOD answered 200 here, never passed on; MLSD unknown
    kLieModesBelow,    // the same lie below a "Latest" folder only
    kRaw,              // bytes pass as they come; with no server behind, connections closed
    kRefuseLogin       // sessions logged in are dropped, and every new "PASS" answered 530
  };

  explicit FtpRelay(uint16_t serverPort, uint64_t cutAfter = 64 << 10,
                    std::function<std::string(const std::string&)> nativeOf = {});
  ~FtpRelay() { Stop(); }
  void SetFault(Fault fault) { fault_ = fault; }
  void SetReplyDelay(int ms) { delayMs_ = ms; }
  int Cuts() const { return cuts_; }                // data connections cut so far
  int Passwords() const { return passwords_; }      // "PASS" seen in clear under kNoTls
  int Connections() const { return connections_; }  // control connections accepted so far

 private:
  void Control(int client);
  // full: set when a kFullMidway cut needs its 452 told on the control connection.
  void Data(int listener, uint16_t serverPort, std::shared_ptr<std::atomic<bool>> full);
  std::string Rewrite(const std::string& line, const std::shared_ptr<std::atomic<bool>>& full);
  // The relay's own answer to a client's command line; empty: passed on.
  std::string Answer(const std::string& line);

  const uint16_t serverPort_;
  std::atomic<Fault> fault_{Fault::kNone};
  std::atomic<int> delayMs_{1000};  // how long kSlow holds each reply
  const uint64_t cutAfter_;
  const std::function<std::string(const std::string&)> nativeOf_;
  std::atomic<int> cuts_{0};
  std::atomic<int> passwords_{0};
  std::atomic<int> connections_{0};
};

}  // namespace bvtest

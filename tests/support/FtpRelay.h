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
  // kMute: replies (and greetings) are swallowed; kWrongSize: size replies one
  // byte off; kCutData: passive data connections cut after cutAfter bytes;
  // kDiskFull, kStorageExceeded: a transfer's closing "226" becomes 452, 552;
  // kNoSize: SIZE is an unknown command; kNoOverwrite: RNTO onto an existing
  // file is refused (files looked up through nativeOf); kNoTls: "AUTH" is
  // answered 502 here (a go-between stripping encryption); kSlow: every reply
  // of the server waits (1 s, or what SetReplyDelay says); kNoMlst: MLST is an
  // unknown command (a server that tells no facts of a file); kRest: a passive
  // data connection reads nothing for the reply delay once cutAfter bytes passed
  // (a server resting between bursts), then carries on; kFullMidway: a passive
  // data connection stops at cutAfter bytes and the client is told 452 (a
  // server whose disk filled mid-file); kResetUploads: every STOR and APPE
  // resets the control connection; kNoConfirm: a transfer's closing reply
  // never comes (the server takes the file and says nothing); kLieModes:
  // SITE CHMOD is answered 200 here and never reaches the server, and MLSD
  // is unknown (only its long listing shows the modes it keeps);
  // kLieModesBelow: the same lie for paths below a "Latest" folder only;
  // kRaw: bytes pass as they come (any protocol), and with no server behind
  // the relay each connection is closed at once (a server that cannot be
  // reached, counted).
  enum class Fault {
    kNone,
    kMute,
    kWrongSize,
    kCutData,
    kDiskFull,
    kStorageExceeded,
    kNoSize,
    kNoOverwrite,
    kNoTls,
    kSlow,
    kNoMlst,
    kRest,
    kFullMidway,
    kResetUploads,
    kNoConfirm,
    kLieModes,
    kLieModesBelow,
    kRaw
  };

  explicit FtpRelay(uint16_t serverPort, uint64_t cutAfter = 64 << 10,
                    std::function<std::string(const std::string&)> nativeOf = {});
  ~FtpRelay();
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

// A real FTP server (pure-ftpd) on a free loopback port, configured in a temporary folder. Its
// one user logs in to "/bvuser/" ("/" is not writable for it); logins are counted.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "common/PlanSettings.h"
#include "support/TempDir.h"

namespace bvtest {

class FtpServer {
 public:
  static constexpr const char* kUser = "bvuser";
  static constexpr const char* kPassword = "open sesame";

  // tls: the server takes only encrypted connections (control and data),
  // with a fresh self-signed certificate.
  explicit FtpServer(bool tls = false);
  ~FtpServer();
  FtpServer(const FtpServer&) = delete;
  FtpServer& operator=(const FtpServer&) = delete;

  // False when the server could not be started; Reason() says why.
  bool Ok() const { return ok_; }
  const std::string& Reason() const { return reason_; }
  uint16_t Port() const { return port_; }

  // Stops the server (every session with it); Start brings it back on the
  // same port; ChangeCertificate restarts it with a new key.
  void Stop();
  bool Start();
  bool ChangeCertificate();
  // Restarts the server with every transfer limited to kbps KB/s (0: no limit).
  bool LimitBandwidth(int kbps);
  // Stops (or lets go on) the server and every session, as a machine that hangs.
  void Freeze(bool frozen);
  // Restarts the server refusing every change of a file's mode (SITE CHMOD),
  // or taking them again.
  bool RefuseModes(bool refuse = true);

  // The native path of a server path ("/bvuser/a.txt").
  std::string NativeOf(const std::string& serverPath) const;
  int Logins() const;  // accepted so far
  // Settings whose root is the user's home folder + sub ("/bvuser/" + sub).
  FtpSettings Settings(const std::string& sub) const;

 private:
  bool Spawn(const char* const argv[], pid_t* pid);
  bool MakeCertificate();

  TempDir dir_;
  uint16_t port_ = 0;
  pid_t authd_ = -1;
  pid_t ftpd_ = -1;
  bool tls_ = false;
  int kbps_ = 0;
  bool refuseModes_ = false;
  bool ok_ = false;
  std::string reason_;
};

}  // namespace bvtest

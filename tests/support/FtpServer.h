// A real FTP server (pure-ftpd) on loopback for the tests, started on a free
// port with its own configuration in a temporary folder. Its one user logs in
// to the home folder "/bvuser/"; the server's "/" is not writable for it. An
// authentication helper checks the password and writes one line per login to
// a log, so tests can count logins. The server runs as its own process group
// and is stopped with the object.
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

  // Stops the server (every session with it) and starts it again on the same
  // port; Start alone after Stop.
  void Stop();
  bool Start();

  // Makes a new self-signed certificate (a new key) and restarts with it.
  bool ChangeCertificate();

  // The native path of a server path ("/bvuser/a.txt").
  std::string NativeOf(const std::string& serverPath) const;
  // Logins accepted so far.
  int Logins() const;
  // Settings that reach the user's home folder + sub ("store/" gives the
  // root "/bvuser/store/").
  FtpSettings Settings(const std::string& sub) const;

 private:
  bool Spawn(const char* const argv[], pid_t* pid);
  bool MakeCertificate();

  TempDir dir_;
  uint16_t port_ = 0;
  pid_t authd_ = -1;
  pid_t ftpd_ = -1;
  bool tls_ = false;
  bool ok_ = false;
  std::string reason_;
};

}  // namespace bvtest

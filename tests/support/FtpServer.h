// A real FTP server on a free loopback port; its one user logs in to "/bvuser/", counted.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "common/PlanSettings.h"
#include "support/Loopback.h"

namespace bvtest {

class FtpServer : public ServerProcess {
 public:
  static constexpr const char* kUser = "bvuser";
  static constexpr const char* kPassword = "open sesame";

  // tls: only encrypted connections, with a fresh self-signed certificate.
  explicit FtpServer(bool tls = false);
  ~FtpServer();

  // Stop ends every session; Start brings it back on the same port.
  void Stop();
  bool Start();
  bool ChangeCertificate();
  // Restarts it with transfers limited to kbps KB/s (0: none), or refusing SITE CHMOD.
  bool LimitBandwidth(int kbps);
  bool RefuseModes(bool refuse = true);
  void Freeze(bool frozen);  // every process stopped, as a machine that hangs

  // The native path of a server path ("/bvuser/a.txt").
  std::string NativeOf(const std::string& serverPath) const;
  int Logins() const;  // accepted so far
  // Settings whose root is the user's home folder + sub ("/bvuser/" + sub).
  FtpSettings Settings(const std::string& sub) const;

 private:
  bool Spawn(const char* const argv[], pid_t* pid);
  bool MakeCertificate();

  pid_t authd_ = -1;
  pid_t ftpd_ = -1;
  bool tls_ = false;
  int kbps_ = 0;
  bool refuseModes_ = false;
};

}  // namespace bvtest

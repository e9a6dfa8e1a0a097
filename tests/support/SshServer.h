// A real SSH server for the SFTP tests on a free loopback port. The login: the user running
// the tests, by the key in ClientHome()/.ssh (set HOME to it).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "common/PlanSettings.h"
#include "support/Loopback.h"

namespace bvtest {

class SshServer : public ServerProcess {
 public:
  SshServer();
  ~SshServer();

  // Stop ends every session; Start brings it back on the same port.
  void Stop();
  bool Start();
  bool ChangeHostKey();
  std::string Fingerprint() const;  // "SHA256:BASE64"

  // The folder the stores lie in, and one to use as HOME (it holds the key).
  std::string Home() const { return dir_.NativeOf("home"); }
  std::string ClientHome() const { return dir_.NativeOf("client"); }
  int Logins() const;  // accepted so far
  // A new key in ClientHome(); the server still knows only the first one.
  bool ChangeClientKey();
  // Settings that reach Home() + "/" + sub, with the host key trusted.
  FtpSettings Settings(const std::string& sub) const;

 private:
  bool MakeHostKey();

  pid_t sshd_ = -1;
};

}  // namespace bvtest

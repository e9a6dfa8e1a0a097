// A real SSH server (OpenSSH's sshd) on loopback for the SFTP tests, started
// on a free port with its own host key and configuration in a temporary
// folder. The login is the user running the tests, by key: a client key made
// here, found by the program in ClientHome()/.ssh (set HOME to it). No
// chroot: server paths are this machine's paths, and the stores lie in
// Home(). The server and every session it forked are stopped with the object.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "common/PlanSettings.h"
#include "support/TempDir.h"

namespace bvtest {

class SshServer {
 public:
  SshServer();
  ~SshServer();
  SshServer(const SshServer&) = delete;
  SshServer& operator=(const SshServer&) = delete;

  // False when the server could not be started; Reason() says why.
  bool Ok() const { return ok_; }
  const std::string& Reason() const { return reason_; }
  uint16_t Port() const { return port_; }

  // Stops the server (every session with it); Start brings it back on the
  // same port.
  void Stop();
  bool Start();
  // Makes a new host key and restarts with it.
  bool ChangeHostKey();
  // The host key's fingerprint as "SHA256:BASE64".
  std::string Fingerprint() const;

  // The native folder the stores lie in (server paths are the same).
  std::string Home() const { return dir_.NativeOf("home"); }
  // A folder to use as HOME: it holds .ssh/id_ed25519, the key the server
  // takes.
  std::string ClientHome() const { return dir_.NativeOf("client"); }
  // Logins accepted so far.
  int Logins() const;
  // Settings that reach Home() + "/" + sub, with the host key trusted.
  FtpSettings Settings(const std::string& sub) const;

 private:
  bool MakeHostKey();

  TempDir dir_;
  uint16_t port_ = 0;
  pid_t sshd_ = -1;
  bool ok_ = false;
  std::string reason_;
};

}  // namespace bvtest

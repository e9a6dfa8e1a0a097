#include "support/SshServer.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "support/Loopback.h"

namespace fs = std::filesystem;

namespace bvtest {
namespace {

constexpr const char* kSshd = "/usr/sbin/sshd";
constexpr const char* kKeygen = "/usr/bin/ssh-keygen";

// The processes below pid (sshd's sessions leave its process group).
std::vector<pid_t> Descendants(pid_t pid) {
  std::vector<pid_t> found = {pid};
  for (size_t i = 0; i < found.size(); ++i) {
    const std::string task = std::to_string(found[i]);
    std::istringstream children(ReadNative("/proc/" + task + "/task/" + task + "/children"));
    for (pid_t child = 0; children >> child;) found.push_back(child);
  }
  return found;
}

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

}  // namespace

SshServer::SshServer() {
  if (access(kSshd, X_OK) != 0 || access(kKeygen, X_OK) != 0) {
    reason_ = "OpenSSH's server is not installed (scripts/deps.sh installs openssh-server)";
    return;
  }
  if (geteuid() != 0) {
    reason_ = "sshd needs to start as root";
    return;
  }
  // sshd's fixed folder for its unprivileged part (the package makes it at boot).
  mkdir("/run/sshd", 0755);
  const passwd* me = getpwuid(geteuid());
  fs::create_directories(Home());
  fs::create_directories(ClientHome() + "/.ssh");
  const std::string client = ClientHome() + "/.ssh/id_ed25519";
  if (me == nullptr || !MakeHostKey() ||
      !Run(std::string(kKeygen) + " -q -t ed25519 -N '' -C bvtest -f '" + client + "'")) {
    reason_ = "ssh-keygen could not make the keys";
    return;
  }
  fs::copy_file(client + ".pub", dir_.NativeOf("authorized_keys"));
  // The free port is only free until sshd binds it: another process may
  // take it in between, and then another port is tried.
  for (int attempt = 0; attempt < 5 && !ok_; ++attempt) {
    port_ = FreeLoopbackPort();
    std::ostringstream cfg;
    cfg << "ListenAddress 127.0.0.1:" << port_ << "\n"
        << "HostKey " << dir_.NativeOf("host_key") << "\n"
        << "PidFile none\nUsePAM no\nPasswordAuthentication no\n"
        << "KbdInteractiveAuthentication no\nPubkeyAuthentication yes\n"
        << "PermitRootLogin prohibit-password\n"
        << "AuthorizedKeysFile " << dir_.NativeOf("authorized_keys") << "\n"
        << "StrictModes no\nUseDNS no\nLogLevel VERBOSE\n"
        << "AllowUsers " << me->pw_name << "\n"
        << "Subsystem sftp internal-sftp\n";
    WriteNative(dir_.NativeOf("sshd_config"), cfg.str());
    ok_ = port_ != 0 && Start();
    if (!ok_) Stop();
  }
  if (!ok_) reason_ = "sshd did not start on 127.0.0.1: " + ReadNative(dir_.NativeOf("sshd.log"));
}

SshServer::~SshServer() { Stop(); }

bool SshServer::MakeHostKey() {
  const std::string key = dir_.NativeOf("host_key");
  fs::remove(key);
  fs::remove(key + ".pub");
  return Run(std::string(kKeygen) + " -q -t ed25519 -N '' -C bvtest -f '" + key + "'");
}

bool SshServer::Start() {
  const std::string cfg = dir_.NativeOf("sshd_config");
  const char* args[] = {kSshd, "-D", "-e", "-f", cfg.c_str(), nullptr};
  sshd_ = SpawnLogged(args, dir_.NativeOf("sshd.log"), false);
  return sshd_ > 0 && WaitUntilListening(port_, sshd_, 10);
}

void SshServer::Stop() {
  if (sshd_ <= 0) return;
  for (pid_t pid : Descendants(sshd_)) kill(pid, SIGKILL);
  waitpid(sshd_, nullptr, 0);
  sshd_ = -1;
  WaitUntilClosed(port_);
}

bool SshServer::ChangeHostKey() {
  Stop();
  return MakeHostKey() && Start();
}

std::string SshServer::Fingerprint() const {
  const std::string command =
      std::string(kKeygen) + " -l -E sha256 -f '" + dir_.NativeOf("host_key.pub") + "'";
  FILE* pipe = popen(command.c_str(), "r");
  char line[512] = {};
  if (pipe == nullptr || fgets(line, sizeof line, pipe) == nullptr) line[0] = 0;
  if (pipe != nullptr) pclose(pipe);
  std::istringstream fields(line);  // "256 SHA256:... comment (ED25519)"
  std::string bits, fingerprint;
  fields >> bits >> fingerprint;
  return fingerprint;
}

int SshServer::Logins() const {
  const std::string log = ReadNative(dir_.NativeOf("sshd.log"));
  int n = 0;
  for (size_t at = 0; (at = log.find("Accepted publickey", at)) != std::string::npos; ++at) ++n;
  return n;
}

FtpSettings SshServer::Settings(const std::string& sub) const {
  const passwd* me = getpwuid(geteuid());
  FtpSettings s;
  s.server = "sftp://127.0.0.1";
  s.port = port_;
  s.user = me != nullptr ? me->pw_name : "root";
  s.root = Home() + "/" + sub;
  s.timeout = 10;
  s.pinnedKey = Fingerprint();
  return s;
}

}  // namespace bvtest

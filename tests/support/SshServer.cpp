#include "support/SshServer.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

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

bool MakeKey(const std::string& file) {
  const std::string command = std::string(kKeygen) + " -q -t ed25519 -N '' -C bvtest -f '" + file;
  return std::system((command + "'").c_str()) == 0;
}

}  // namespace

SshServer::SshServer() {
  // reason_ names what the next step needs; the last one gets the server's log.
  reason_ = "OpenSSH's server is not installed (scripts/deps.sh installs openssh-server)";
  if (access(kSshd, X_OK) != 0 || access(kKeygen, X_OK) != 0) return;
  reason_ = "sshd needs to start as root";
  if (geteuid() != 0) return;
  // sshd's fixed folder for its unprivileged part (the package makes it at boot).
  mkdir("/run/sshd", 0755);
  const passwd* me = getpwuid(geteuid());
  fs::create_directories(Home());
  fs::create_directories(ClientHome() + "/.ssh");
  const std::string client = ClientHome() + "/.ssh/id_ed25519";
  reason_ = "ssh-keygen could not make the keys";
  if (me == nullptr || !MakeHostKey() || !MakeKey(client)) return;
  fs::copy_file(client + ".pub", dir_.NativeOf("authorized_keys"));
  const auto start = [this, me] {
    WriteNative(dir_.NativeOf("sshd_config"),
                "ListenAddress 127.0.0.1:" + std::to_string(port_) + "\nHostKey " +
                    dir_.NativeOf("host_key") +
                    "\nPidFile none\nUsePAM no\nPasswordAuthentication no\n"
                    "KbdInteractiveAuthentication no\nPubkeyAuthentication yes\n"
                    "PermitRootLogin prohibit-password\nAuthorizedKeysFile " +
                    dir_.NativeOf("authorized_keys") +
                    "\nStrictModes no\nUseDNS no\nLogLevel VERBOSE\nAllowUsers " + me->pw_name +
                    "\nSubsystem sftp internal-sftp\n");
    return Start();
  };
  StartOnAFreePort(start, [this] { Stop(); });
  reason_ = ok_ ? "" : "sshd did not start on 127.0.0.1: " + ReadNative(dir_.NativeOf("sshd.log"));
}

SshServer::~SshServer() { Stop(); }

bool SshServer::ChangeClientKey() {
  const std::string client = ClientHome() + "/.ssh/id_ed25519";
  fs::remove(client);
  fs::remove(client + ".pub");
  return MakeKey(client);
}

bool SshServer::MakeHostKey() {
  fs::remove(dir_.NativeOf("host_key"));
  fs::remove(dir_.NativeOf("host_key.pub"));
  return MakeKey(dir_.NativeOf("host_key"));
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

bool SshServer::ChangeHostKey() { return Stop(), MakeHostKey() && Start(); }

std::string SshServer::Fingerprint() const {
  const std::string out = dir_.NativeOf("fingerprint");
  const std::string pub = dir_.NativeOf("host_key.pub");
  const std::string command = std::string(kKeygen) + " -l -E sha256 -f '" + pub + "' > '" + out;
  if (std::system((command + "'").c_str()) != 0) return "";
  std::istringstream fields(ReadNative(out));  // "256 SHA256:... comment (ED25519)"
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

#include "support/FtpServer.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "support/Loopback.h"

namespace fs = std::filesystem;

namespace bvtest {
namespace {

constexpr const char* kFtpd = "/usr/sbin/pure-ftpd";
constexpr const char* kAuthd = "/usr/sbin/pure-authd";
constexpr uid_t kNobody = 65534;

void StopGroup(pid_t* pid) {
  if (*pid <= 0) return;
  kill(-*pid, SIGKILL);  // the server and every session it forked
  waitpid(*pid, nullptr, 0);
  *pid = -1;
}

}  // namespace

FtpServer::FtpServer(bool tls) : tls_(tls) {
  // reason_ names what the next step needs, until the server runs.
  reason_ = "pure-ftpd is not installed (scripts/deps.sh installs it)";
  if (access(kFtpd, X_OK) != 0 || access(kAuthd, X_OK) != 0) return;
  reason_ = "pure-ftpd needs to start as root";
  if (geteuid() != 0) return;
  // The sessions run as nobody: the way to the server's root must be open.
  chmod(dir_.Native().c_str(), 0755);
  fs::create_directories(dir_.NativeOf("root/bvuser"));
  chown(dir_.NativeOf("root/bvuser").c_str(), kNobody, kNobody);
  const std::string socket = dir_.NativeOf("auth.sock"), authScript = dir_.NativeOf("auth.sh");
  const std::string user = kUser, nobody = std::to_string(kNobody);
  WriteNative(authScript, "#!/bin/sh\necho \"login $AUTHD_ACCOUNT\" >> '" +
                              dir_.NativeOf("logins") + "'\nif [ \"$AUTHD_ACCOUNT\" = '" + user +
                              "' ] && [ \"$AUTHD_PASSWORD\" = '" + kPassword +
                              "' ]; then\n  printf 'auth_ok:1\\nuid:" + nobody +
                              "\\ngid:" + nobody + "\\ndir:" + dir_.NativeOf("root") + "/./" +
                              user + "\\nend\\n'\nelse printf 'auth_ok:-1\\nend\\n'; fi\n");
  chmod(authScript.c_str(), 0755);
  const char* authArgs[] = {kAuthd, "-s", socket.c_str(), "-r", authScript.c_str(), nullptr};
  reason_ = "pure-authd did not start";
  if (!Spawn(authArgs, &authd_)) return;
  for (int i = 0; i < 50 && !fs::exists(socket); ++i) usleep(20000);
  reason_ = "openssl could not make a certificate (scripts/deps.sh installs it)";
  if (tls_ && !MakeCertificate()) return;
  StartOnAFreePort([this] { return Start(); }, [this] { StopGroup(&ftpd_); });
  reason_ = ok_ ? "" : "pure-ftpd did not start on 127.0.0.1";
}

FtpServer::~FtpServer() {
  StopGroup(&ftpd_);
  StopGroup(&authd_);
}

bool FtpServer::Spawn(const char* const argv[], pid_t* pid) {
  *pid = SpawnLogged(argv, dir_.NativeOf(fs::path(argv[0]).filename().string() + ".log"), true);
  return *pid > 0;
}

bool FtpServer::Start() {
  const std::string bind = "127.0.0.1," + std::to_string(port_);
  const std::string login = "extauth:" + dir_.NativeOf("auth.sock");
  const std::string cert = dir_.NativeOf("cert.pem");
  // No anonymous login, no syslog, no name look-ups, uid 65534 allowed,
  // listings of up to 100,000 entries (the default stops at 10,000); with
  // TLS, logins and transfers in clear are refused.
  std::vector<const char*> args = {kFtpd,  "-S", bind.c_str(), "-l", login.c_str(), "-E",      "-f",
                                   "none", "-H", "-u",         "1",  "-L",          "100000:5"};
  if (tls_) args.insert(args.end(), {"-Y", "3", "-2", cert.c_str()});
  const std::string kbps = std::to_string(kbps_);
  if (kbps_ > 0) args.insert(args.end(), {"-T", kbps.c_str()});
  if (refuseModes_) args.push_back("-R");
  args.push_back(nullptr);
  return Spawn(args.data(), &ftpd_) && WaitUntilListening(port_, ftpd_, 10);
}

bool FtpServer::MakeCertificate() {
  const std::string cert = dir_.NativeOf("cert.pem");
  const std::string q = "'" + cert;  // quoted paths: q + ".key'"
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "
      "/CN=localhost -keyout " +
      q + ".key' -out " + q + ".crt' >/dev/null 2>&1 && cat " + q + ".key' " + q + ".crt' > " + q +
      "'";
  return std::system(command.c_str()) == 0 && chmod(cert.c_str(), 0600) == 0;
}

bool FtpServer::ChangeCertificate() { return Stop(), MakeCertificate() && Start(); }

void FtpServer::Freeze(bool frozen) {
  if (ftpd_ > 0) kill(-ftpd_, frozen ? SIGSTOP : SIGCONT);
}

bool FtpServer::LimitBandwidth(int kbps) { return Stop(), kbps_ = kbps, Start(); }
bool FtpServer::RefuseModes(bool refuse) { return Stop(), refuseModes_ = refuse, Start(); }

void FtpServer::Stop() {
  StopGroup(&ftpd_);
  WaitUntilClosed(port_);
}

std::string FtpServer::NativeOf(const std::string& serverPath) const {
  return dir_.Native() + "/root" + serverPath;
}

int FtpServer::Logins() const {
  const std::string log = ReadNative(dir_.NativeOf("logins"));
  return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

FtpSettings FtpServer::Settings(const std::string& sub) const {
  FtpSettings s;
  s.server = "127.0.0.1";
  s.port = port_;
  s.user = kUser;
  s.password = kPassword;
  s.root = "/" + std::string(kUser) + "/" + sub;
  s.passive = 1;
  s.timeout = 10;
  s.security = tls_ ? kFtpsRequired : kFtpPlain;  // the plain server offers no encryption
  return s;
}

}  // namespace bvtest

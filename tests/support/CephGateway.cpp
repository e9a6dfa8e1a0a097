#include "support/CephGateway.h"

#include <curl/curl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/Loopback.h"

namespace bvtest {
namespace {

constexpr const char* kGateway = "/usr/bin/radosgw";
const char* const kNeeded[] = {"/usr/bin/ceph-mon", "/usr/bin/ceph-osd", kGateway,
                               "/usr/bin/radosgw-admin", "/usr/bin/ceph"};

// Whether pid is a live process (an ended daemon stays a zombie until the
// process that adopted it reaps it).
bool Running(pid_t pid) {
  const std::string stat = ReadNative("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Stops a daemon the script left running (not this process's child): asks,
// then waits until it is gone, then forces it.
void StopDaemon(const std::string& pidFile) {
  const pid_t pid = static_cast<pid_t>(std::atol(ReadNative(pidFile).c_str()));
  if (pid <= 0 || kill(pid, SIGTERM) != 0) return;
  for (int i = 0; i < 100 && Running(pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  kill(pid, SIGKILL);
}

size_t Collect(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

}  // namespace

std::string UriEncode(const std::string& text, bool keepSlash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (keepSlash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

CephGateway::CephGateway(int busyAbove, bool tls) : tls_(tls) {
  for (const char* tool : kNeeded) {
    if (access(tool, X_OK) != 0) {
      reason_ = std::string(tool) + " is missing (scripts/deps.sh installs radosgw, ceph-mon, " +
                "ceph-osd)";
      return;
    }
  }
  const std::string script = std::string(BV_TEST_SUPPORT_DIR) + "/ceph-gateway";
  port_ = FreeLoopbackPort();
  const uint16_t monitor = FreeLoopbackPort();
  const std::string command = "'" + script + "' '" + dir_.Native() + "' " + std::to_string(port_) +
                              " " + std::to_string(monitor) + " " + AccessKey() + " " +
                              SecretKey() + " >>'" + dir_.NativeOf("setup.log") + "' 2>&1";
  if (std::system(command.c_str()) != 0) {
    reason_ = "the cluster did not start: " + ReadNative(dir_.NativeOf("setup.log"));
    return;
  }
  const std::string conf = dir_.NativeOf("ceph.conf");
  std::string settings = ReadNative(conf);
  if (busyAbove > 0)
    settings += "rgw max concurrent requests = " + std::to_string(busyAbove) + "\n";
  if (tls) {
    const std::string cert = dir_.NativeOf("cert.pem"), key = dir_.NativeOf("key.pem");
    const std::string make =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
        " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        key + "' -out '" + cert + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
      reason_ = "openssl could not make the gateway's certificate";
      return;
    }
    const std::string plain = "beast endpoint=127.0.0.1:" + std::to_string(port_);
    settings.replace(settings.find(plain), plain.size(),
                     "beast ssl_endpoint=127.0.0.1:" + std::to_string(port_) +
                         " ssl_certificate=" + cert + " ssl_private_key=" + key);
  }
  WriteNative(conf, settings);
  ok_ = StartGateway();
  if (!ok_) reason_ = "the gateway did not start: " + ReadNative(dir_.NativeOf("log/gateway"));
}

bool CephGateway::Admin(const std::string& arguments) const {
  const std::string command = "radosgw-admin -c '" + dir_.NativeOf("ceph.conf") + "' " + arguments +
                              " >>'" + dir_.NativeOf("admin.log") + "' 2>&1";
  return std::system(command.c_str()) == 0;
}

CephGateway::~CephGateway() {
  if (gateway_ > 0 && kill(gateway_, SIGKILL) == 0) waitpid(gateway_, nullptr, 0);  // all goes
  gateway_ = -1;
  StopDaemon(dir_.NativeOf("osd.pid"));
  StopDaemon(dir_.NativeOf("mon.pid"));
}

std::string CephGateway::Endpoint() const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
}

ObjectStoreSettings CephGateway::Settings(const std::string& bucket,
                                          const std::string& prefix) const {
  ObjectStoreSettings s;
  s.endpoint = Endpoint();
  s.region = Region();
  s.bucket = bucket;
  s.prefix = prefix;
  s.accessKey = AccessKey();
  s.secretKey = SecretKey();
  s.timeout = 5;
  return s;
}

std::string CephGateway::PinnedKey() const {
  const std::string out = dir_.NativeOf("pin");
  const std::string command = "openssl x509 -pubkey -noout -in '" + dir_.NativeOf("cert.pem") +
                              "' | openssl pkey -pubin -outform der | openssl dgst -sha256 "
                              "-binary | base64 > '" +
                              out + "'";
  if (std::system(command.c_str()) != 0) return "";
  std::string pin = ReadNative(out);
  while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
  return "sha256//" + pin;
}

bool CephGateway::StartGateway() {
  const std::string conf = dir_.NativeOf("ceph.conf");
  const char* args[] = {kGateway, "-c", conf.c_str(), "-n", "client.rgw", "-f", nullptr};
  gateway_ = SpawnLogged(args, dir_.NativeOf("log/gateway"), true);
  if (gateway_ <= 0 || !WaitUntilListening(port_, gateway_, 30)) return false;
  // The port opens before the user's bucket listing answers: wait for that.
  for (int i = 0; i < 100; ++i) {
    if (Request("GET", "/") == 200) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void CephGateway::StopGateway() {
  if (gateway_ <= 0) return;
  // Asked to stop, the gateway drops its connections and also its watches
  // on the cluster; killed, its watches would stay for the OSD's watch
  // time-out and hold up every bucket made meanwhile.
  kill(gateway_, SIGTERM);
  for (int i = 0; i < 200 && waitpid(gateway_, nullptr, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  if (kill(gateway_, SIGKILL) == 0) waitpid(gateway_, nullptr, 0);
  gateway_ = -1;
  WaitUntilClosed(port_);
}

long CephGateway::Request(const std::string& method, const std::string& path,
                          const std::string& body, std::string* out, long bytesPerSecond) const {
  CURL* curl = curl_easy_init();
  std::string answer;
  const std::string url = Endpoint() + path;
  const std::string user = AccessKey() + ":" + SecretKey();
  const std::string sigv4 = "aws:amz:" + Region() + ":s3";
  curl_slist* headers = curl_slist_append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
  curl_easy_setopt(curl, CURLOPT_USERPWD, user.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, method == "HEAD" ? 1L : 0L);
  if (method == "PUT" || method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);  // the tests' own requests only
  curl_easy_setopt(curl, CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<curl_off_t>(bytesPerSecond));
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (out != nullptr) *out = answer;
  return status;
}

std::vector<std::string> CephGateway::Keys(const std::string& bucket,
                                           const std::string& prefix) const {
  std::string xml;
  Request("GET", "/" + bucket + "?encoding-type=url&list-type=2&prefix=" + UriEncode(prefix, false),
          "", &xml);
  std::vector<std::string> keys;
  for (size_t at = 0; (at = xml.find("<Key>", at)) != std::string::npos;) {
    const size_t end = xml.find("</Key>", at);
    std::string key;
    for (size_t i = at + 5; i < end; ++i) {
      if (xml[i] == '%' && i + 2 < end) {
        key += static_cast<char>(std::stoi(xml.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        key += xml[i] == '+' ? ' ' : xml[i];
      }
    }
    keys.push_back(key);
    at = end;
  }
  return keys;
}

}  // namespace bvtest

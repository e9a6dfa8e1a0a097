// A real S3 gateway: a one-node cluster (monitor, one OSD in memory) and its gateway on a free
// loopback port, started by tests/support/ceph-gateway in a temporary folder, stopped with it.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/PlanSettings.h"
#include "support/Loopback.h"

namespace bvtest {

class CephGateway : public ServerProcess {
 public:
  // busyAbove > 0: 503 "SlowDown" beyond that many requests in flight; tls: HTTPS only, with a
  // self-signed certificate (PinnedKey() is its key).
  explicit CephGateway(int busyAbove = 0, bool tls = false);
  ~CephGateway();

  // "http(s)://127.0.0.1:PORT", the region the gateway signs for, the user's keys.
  std::string Endpoint() const;
  // The certificate's public key as "sha256//BASE64" (TLS only).
  std::string PinnedKey() const;
  static std::string Region() { return "default"; }
  static std::string AccessKey() { return "BVTESTACCESSKEY00001"; }
  static std::string SecretKey() { return "bvtestsecretkey0000000000000000000000001"; }
  // A plan's settings for a store below prefix in bucket, as the S3 user.
  ObjectStoreSettings Settings(const std::string& bucket, const std::string& prefix) const;

  // The gateway alone stopped (the cluster keeps its data) and started again on its port.
  void StopGateway();
  bool StartGateway();

  // One signed request to path ("/bucket/key?query", encoded), a PUT's body sent at most
  // bytesPerSecond fast (0: no limit); the HTTP status (0: no answer), *out the answer.
  long Request(const std::string& method, const std::string& path, const std::string& body = "",
               std::string* out = nullptr, long bytesPerSecond = 0) const;
  // A busy gateway (or a connection not yet taken) is asked again.
  bool MakeBucket(const std::string& bucket) const {
    for (int tries = 0; tries < 30; ++tries) {
      const int status = Request("PUT", "/" + bucket);
      if (status == 200) return true;
      if (status != 503 && status != 0) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  // Runs radosgw-admin on the cluster with these arguments; true when it succeeded.
  bool Admin(const std::string& arguments) const;
  // The keys below prefix in bucket (one listing of up to 1,000).
  std::vector<std::string> Keys(const std::string& bucket, const std::string& prefix) const;

 private:
  pid_t gateway_ = -1;
  bool tls_ = false;
};

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ (and "/" when keepSlash).
std::string UriEncode(const std::string& text, bool keepSlash);

}  // namespace bvtest

// The object storage tests' one gateway per test binary, fresh buckets, the suite's world on one.
#pragma once
#include <set>

#include "destination_suite.h"
#include "destinations/ObjectDevice.h"
#include "support/CephGateway.h"

using bvtest::CephGateway;
using bvtest::UriEncode;

inline CephGateway& Gateway() {
  static CephGateway gateway;
  return gateway;
}

// Straight into the gateway, behind the destination's back: a key put, or deleted.
inline void PutKey(const std::string& url, const std::string& body) {
  EXPECT_EQ(Gateway().Request("PUT", url, body), 200) << url;
}
inline void DropKey(const std::string& url) {
  EXPECT_EQ(Gateway().Request("DELETE", url), 204) << url;
}

inline ObjectStoreSettings StoreSettings(const std::string& bucket,
                                         const std::string& prefix = "store") {
  return Gateway().Settings(bucket, prefix);
}

inline std::string NewBucket() {
  static int n = 0;
  const std::string bucket = "bv" + std::to_string(getpid()) + "-" + std::to_string(++n);
  EXPECT_EQ(Gateway().Request("PUT", "/" + bucket), 200);
  return bucket;
}

// A fresh bucket; the store lies below "store/" in it.
class ObjectWorld : public DestinationWorld {
 public:
  ObjectWorld() : bucket_(NewBucket()), dest_(PreparedOn(StoreSettings(bucket_), true)) {}
  CDestination& Dest() override { return *dest_; }
  std::string PathOf(const std::string& rel) const override { return dest_->GetRootPath() + rel; }
  std::string NativeOf(const std::string& rel) const override { return "/no-such-folder/" + rel; }
  void Put(const std::string& rel, const std::string& content) override {
    PutKey(UrlOf(rel), content);
  }
  std::string Get(const std::string& rel) const override {
    std::string body;
    return Gateway().Request("GET", UrlOf(rel), "", &body) == 200 ? body : "";
  }
  bool Exists(const std::string& rel) const override {
    for (const std::string& key : Gateway().Keys(bucket_, "store/" + rel))
      if (key == "store/" + rel || key.rfind("store/" + rel + "/", 0) == 0) return true;
    return false;
  }
  std::vector<std::string> Names(const std::string& folder) const override {
    std::set<std::string> names;
    for (const std::string& key : Gateway().Keys(bucket_, "store/" + folder)) {
      const std::string rest = key.substr(6 + folder.size());
      names.insert(rest.substr(0, rest.find('/')));
    }
    return {names.begin(), names.end()};
  }
  void MakeFolder(const std::string& rel) override { Put(rel + "/inside", "x"); }

 private:
  std::string UrlOf(const std::string& rel) const {
    return "/" + bucket_ + "/" + UriEncode("store/" + rel, true);
  }
  std::string bucket_;
  std::unique_ptr<CDestination> dest_;
};

inline DestinationKind ObjectKind() {
  DestinationKind kind{"ObjectStore", [] { return std::make_unique<ObjectWorld>(); }};
  kind.carriesReadOnly = false;
  kind.hasFolders = false;
  kind.stagesCopies = false;
  kind.unavailable = [] { return Gateway().Ok() ? "" : Gateway().Reason(); };
  return kind;
}

// The README's test command installs the gateway: missing, it fails rather than skips.
#define REQUIRE_GATEWAY() ASSERT_TRUE(Gateway().Ok()) << Gateway().Reason()

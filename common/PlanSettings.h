// Plan identifiers, storage types and the records that carry a plan's
// settings between the wizard, the plan files, the plan and its destination.
#pragma once
#include <cstdint>
#include <string>

enum StorageType : int32_t {
  kStorageLocal = 1,
  kStorageUsb = 2,
  kStorageNetwork = 3,
  kStorageFtp = 4,
  kStorageObject = 5,  // a bucket of an S3-compatible object store
};

// A store on a server (FTP, SFTP or an object store): it names no local
// folder and may be out of reach when its plan loads.
inline bool IsServerStorage(int32_t type) { return type == kStorageFtp || type == kStorageObject; }

// How a plan's server is reached: FTP that must be encrypted (explicit TLS
// for the login and every transfer; a server that does not offer it is
// refused before the password is sent), SFTP (the server is "sftp://host"),
// or FTP in clear, chosen knowingly. Settings written before the choice
// existed read as kFtpsRequired.
enum FtpSecurity : int32_t {
  kFtpsRequired = 0,
  kSftp = 1,
  kFtpPlain = 2,
};

struct FtpSettings {
  std::string server;  // lower case, without "ftp://"; "sftp://host" for SFTP
  int32_t port = 0;
  std::string root = "/";
  std::string proxy;
  int32_t proxyPort = 0;
  std::string user;
  std::string password;
  int32_t passive = 1;
  int32_t retryCount = 0;
  int32_t timeout = 30;
  // The server key trusted in place of an authority's word ("sha256//...");
  // empty: none.
  std::string pinnedKey;
  int32_t security = kFtpsRequired;
};

// How long a plan keeps the revisions of its files ("KeepDays" of
// "Plan.ini"): by count only (a plan written before ages were kept), as many
// as fit (up to its version count), or for so many days.
enum KeepVersions : int32_t {
  kKeepByCount = -1,
  kKeepAsManyAsFit = 0,
  kKeepDay = 1,
  kKeepWeek = 7,
  kKeepMonth = 30,
  kKeepYear = 365,
};

// How a plan's bucket is reached. The secret key is kept in "Devices.ini" only.
struct ObjectStoreSettings {
  std::string endpoint;  // "https://host[:port]"; "http://" only for a loopback test gateway
  std::string region = "us-east-1";
  std::string bucket;
  std::string prefix;  // keys of the store begin with it ("" or ending with "/")
  std::string accessKey;
  std::string secretKey;
  int32_t pathStyle = 1;  // 1: host/bucket/key; 0: bucket.host/key
  // The endpoint's public key trusted in place of an authority's word
  // ("sha256//BASE64"); empty: the system authorities decide.
  std::string pinnedKey;
  int32_t timeout = 30;  // seconds
};

struct PlanSettings {
  std::string name;
  uint32_t id = 0;
  int32_t kind = 1;
  int32_t scheduleNum = 0;
  int32_t scheduleUnit = 0;
  std::string storePath;
  int32_t mode = 1;
  int32_t storageType = 0;
  int32_t versionNumber = 0;
  int32_t keepDays = kKeepByCount;  // KeepVersions
  // The oldest revisions of the store may go when its disk is full.
  uint8_t makeRoom = 0;
  int64_t lastTime = 0;
  int64_t missingTime = 0;
  int64_t lastBackupTime = 0;
  uint8_t enabled = 0;
  uint8_t initialScanDone = 0;
  uint8_t missedScheduledRun = 0;
  FtpSettings ftp;
  ObjectStoreSettings objectStore;
};

// Data folder + "PLAN\" + id + "\".
std::string GetPlanFolder(uint32_t id);

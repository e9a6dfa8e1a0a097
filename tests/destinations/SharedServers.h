// What the server destination tests share: the FTP and SFTP servers of a test binary (started at
// first use), the includes those tests use, and the skip of a test whose server cannot start.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "common/Texts.h"
#include "destination_suite.h"
#include "destinations/FtpDevice.h"
#include "platform/base/Errors.h"
#include "support/FtpRelay.h"
#include "support/FtpServer.h"
#include "support/ScopedEnv.h"
#include "support/SshServer.h"

using bvtest::FtpServer;
using bvtest::SshServer;

inline FtpServer& Ftp() {
  static FtpServer server;
  return server;
}
inline SshServer& Ssh() {
  static SshServer server;
  return server;
}

// Both servers with a store in folder ("name/"): its settings and native path.
struct ServerAt {
  const char* name;
  bool sftp;
  bool ok;
  FtpSettings settings;
  std::string native;
};
inline std::vector<ServerAt> ServersAt(const std::string& folder) {
  return {{"ftp", false, Ftp().Ok(), Ftp().Settings(folder), Ftp().NativeOf("/bvuser/" + folder)},
          {"sftp", true, Ssh().Ok(), Ssh().Settings(folder), Ssh().Home() + "/" + folder}};
}

#define REQUIRE_SERVER(server) \
  if (!(server).Ok()) GTEST_SKIP() << (server).Reason()

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

// A server of the binary (FTP or SFTP) with a store in folder ("name/"): its settings and native
// path. ServersAt: those of the two that started.
struct ServerAt {
  const char* name;
  bool sftp;
  FtpSettings settings;
  std::string native;
};
inline ServerAt ServerOf(bool sftp, const std::string& folder) {
  if (sftp) return {"sftp", true, Ssh().Settings(folder), Ssh().Home() + "/" + folder};
  return {"ftp", false, Ftp().Settings(folder), Ftp().NativeOf("/bvuser/" + folder)};
}
inline std::vector<ServerAt> ServersAt(const std::string& folder) {
  std::vector<ServerAt> all;
  for (const bool sftp : {false, true})
    if (sftp ? Ssh().Ok() : Ftp().Ok()) all.push_back(ServerOf(sftp, folder));
  return all;
}

#define REQUIRE_SERVER(server) \
  if (!(server).Ok()) GTEST_SKIP() << (server).Reason()
#define REQUIRE_SERVERS(servers) \
  if ((servers).empty()) GTEST_SKIP() << Ftp().Reason() << "; " << Ssh().Reason()

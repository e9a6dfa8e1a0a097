// The FTP and SFTP servers a test binary shares (started at first use), and
// the skip of a test whose server cannot be started here.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/FtpServer.h"
#include "support/SshServer.h"

inline bvtest::FtpServer& Ftp() {
  static bvtest::FtpServer server;
  return server;
}
inline bvtest::SshServer& Ssh() {
  static bvtest::SshServer server;
  return server;
}

// Both servers with a store in folder (as "name/"): its settings and where
// the server keeps it on this machine; ok false where a server cannot run.
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

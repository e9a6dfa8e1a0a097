// The FTP and SFTP servers a test binary shares (started at first use), and
// the skip of a test whose server cannot be started here.
#pragma once
#include <gtest/gtest.h>

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

#define REQUIRE_SERVER(server) \
  if (!(server).Ok()) GTEST_SKIP() << (server).Reason()

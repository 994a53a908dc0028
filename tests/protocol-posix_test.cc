// A host started with standard output closed (POSIX process set-up).
#include <string>

#include <gtest/gtest.h>

#include "tests/host_session.h"

namespace lumra::test {
namespace {

TEST(Protocol, ClosedStandardOutputEndsWithCodeOne) {
  const std::string tmp = MakeTempFolder("lumra_closed_");
  ChildProcess host;
  ChildOptions options;
  options.env = HostEnv(tmp);
  options.args = {"-c", "exec \"$0\" >&-", HostPath()};
  std::string err;
  ASSERT_TRUE(host.start("/bin/sh", options, &err)) << err;
  ExitStatus status;
  ASSERT_TRUE(host.waitExit(kTimeoutMs, &status));  // standard input is never read
  EXPECT_EQ(status.code, 1);
  EXPECT_NE(ReadFile(HostTempFolder(tmp) + "/LumraImageScanning.log").find("] Error get STD_OUTPUT_HANDLE..."),
            std::string::npos);
  RemoveTree(tmp);
}

}  // namespace
}  // namespace lumra::test

// Protocol cases that depend on POSIX process set-up: a host whose folder
// holds no TWAIN manager, and a host started with standard output closed.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/host_session.h"

namespace lumra::test {
namespace {

using Protocol = HostTest;

// The host and its platform library alone in a folder: no TWAIN manager
// can be found, as on a machine that has none.
std::string HostWithoutManager(const std::string& tmp) {
  std::string bin = tmp + "/bare-bin";
  std::filesystem::create_directory(bin);
  for (const char* name : {"lumra-scan-host", "liblumra_platform.so"}) {
    std::filesystem::copy_file(BinaryPath(name), bin + "/" + name);
  }
  return bin + "/lumra-scan-host";
}

TEST_F(Protocol, ScanCommandsOnAMachineWithoutAManager) {
  ChildProcess host;
  start(&host, HostWithoutManager(tmp_));
  struct Case {
    std::string request, answer;
  };
  const Case cases[] = {
      {"{\"messageId\":\"l\",\"command\":\"scannersList\"}",
       "{\"command\":\"scannersList\",\"messageId\":\"l\",\"status\":{\"code\":0,\"result\":\"error\"}}"},
      {"{\"messageId\":\"l\",\"command\":\"scannersList\",\"isDsm2\":false}",
       "{\"command\":\"scannersList\",\"isDsm2\":false,\"messageId\":\"l\",\"status\":{\"code\":0,\"result\":\"error\"}}"},
      {"{\"messageId\":\"p\",\"command\":\"scannerProcessing\",\"settings\":{\"dpi\":200}}",
       "{\"command\":\"scannerProcessing\",\"messageId\":\"p\",\"settings\":{\"dpi\":200},\"status\":{\"code\":0,"
       "\"result\":\"error\"}}"},
      {"{\"messageId\":\"p\",\"command\":\"scannerProcessingFiles\"}",
       "{\"command\":\"scannerProcessingFiles\",\"messageId\":\"p\",\"status\":{\"code\":0,\"result\":\"error\"}}"},
      {"{\"messageId\":\"p\",\"command\":\"scannerProcessingSocketPartSend\"}",
       "{\"command\":\"scannerProcessingSocketPartSend\",\"last\":true,\"messageId\":\"p\",\"status\":{\"code\":0,"
       "\"result\":\"error\"}}"},
      {"{\"messageId\":\"p\",\"command\":\"scannerSplitProcessing\"}",
       "{\"command\":\"scannerSplitProcessing\",\"messageId\":\"p\",\"split\":{\"last\":true,\"part\":"
       "\"{\\\"command\\\":\\\"scannerSplitProcessing\\\",\\\"messageId\\\":\\\"p\\\",\\\"status\\\":{\\\"code\\\":0,"
       "\\\"result\\\":\\\"error\\\"}}\"},\"status\":{\"code\":0,\"result\":\"error\"}}"},
  };
  for (const Case& c : cases) EXPECT_EQ(exchange(&host, c.request), c.answer);
  finish(&host);
  // The scan job made the default working folder.
  EXPECT_TRUE(std::filesystem::is_directory(tmp_ + "/lumra_image_scan"));
  EXPECT_NE(logText().find("Cannot load library TWAINDSM.DLL or TWAIN_32.DLL."), std::string::npos);
}


TEST_F(Protocol, ClosedStandardOutputEndsWithCodeOne) {
  ChildProcess host;
  ChildOptions options;
  options.env["TMPDIR"] = tmp_;
  options.args = {"-c", "exec \"$0\" >&-", HostPath()};
  std::string err;
  ASSERT_TRUE(host.start("/bin/sh", options, &err)) << err;
  ExitStatus status;
  ASSERT_TRUE(host.waitExit(kTimeoutMs, &status));  // standard input is never read
  EXPECT_EQ(status.code, 1);
  EXPECT_NE(logText().find("] Error get STD_OUTPUT_HANDLE..."), std::string::npos);
}

}  // namespace
}  // namespace lumra::test

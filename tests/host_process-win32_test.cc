// The Windows test support itself: children started with CreateProcessA,
// their environment, exit codes and standard error, killing a hanging one.
#include "tests/host_process.h"

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace lumra::test {
namespace {

TEST(HostProcessTest, ExitCodesEnvironmentAndStderr) {
  struct Case {
    std::string script;
    int code;
    std::string stdoutText;  // found in standard output
    std::string stderrText;  // found in standard error
  };
  const Case cases[] = {
      {"exit 3", 3, "", ""},
      {"echo [%LUMRA_PROBE%]& echo oops 1>&2", 0, "[probe value]", "oops"},
      {"if defined LUMRA_GONE (echo set) else (echo unset)", 0, "unset", ""},
  };
  SetEnvironmentVariableA("LUMRA_GONE", "inherited unless removed");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    HostProcess child;
    StartOptions options;
    options.args = {"/c", c.script};
    options.env["LUMRA_PROBE"] = "probe value";
    options.env["lumra_gone"] = std::nullopt;  // names differ in case only
    std::string err;
    ASSERT_TRUE(child.start("C:\\windows\\system32\\cmd.exe", options, &err)) << err;
    ExitStatus status;
    ASSERT_TRUE(child.waitExit(30000, &status));
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, c.code);
    std::string out;
    ASSERT_TRUE(child.readToEnd(&out, 30000));
    EXPECT_NE(out.find(c.stdoutText), std::string::npos) << out;
    EXPECT_NE(child.stderrText().find(c.stderrText), std::string::npos) << child.stderrText();
  }
  SetEnvironmentVariableA("LUMRA_GONE", nullptr);
}

TEST(HostProcessTest, KillEndsAHangingChildAndMissingProgramFails) {
  // The host waits for its input as long as standard input stays open.
  std::string tmp = MakeTempFolder("lumra-child-");
  ASSERT_FALSE(tmp.empty());
  HostProcess child;
  std::string err;
  ASSERT_TRUE(StartHost(&child, tmp, &err)) << err;
  ExitStatus status;
  EXPECT_FALSE(child.waitExit(200, &status));
  EXPECT_TRUE(child.running());
  child.kill();
  EXPECT_FALSE(child.running());
  RemoveTree(tmp);

  HostProcess missing;
  EXPECT_FALSE(missing.start("C:\\nonexistent\\program.exe", {}, &err));
  EXPECT_NE(err.find("cannot start"), std::string::npos);
}

}  // namespace
}  // namespace lumra::test

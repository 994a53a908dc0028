// Children started with CreateProcessA,
// their environment, exit codes and standard error, killing a hanging one.
#include "platform/child_process.h"

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace lumra {
namespace {

TEST(ChildProcessTest, ExitCodesEnvironmentAndStderr) {
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
    ChildProcess child;
    ChildOptions options;
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

TEST(ChildProcessTest, KillEndsAHangingChildAndMissingProgramFails) {
  // A command interpreter reads its input as long as it stays open.
  ChildProcess child;
  std::string err;
  ASSERT_TRUE(child.start("C:\\windows\\system32\\cmd.exe", {}, &err)) << err;
  ExitStatus status;
  EXPECT_FALSE(child.waitExit(200, &status));
  EXPECT_TRUE(child.running());
  child.kill();
  EXPECT_FALSE(child.running());

  ChildProcess missing;
  EXPECT_FALSE(missing.start("C:\\nonexistent\\program.exe", {}, &err));
  EXPECT_NE(err.find("cannot start"), std::string::npos);
}

}  // namespace
}  // namespace lumra

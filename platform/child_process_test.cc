// Children that end in known ways stand in for the host: the platform's
// command interpreter, and on POSIX cat, which echoes its input.
#include "platform/child_process.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace lumra {
namespace {

#ifdef _WIN32
const char* const kShell = "C:\\windows\\system32\\cmd.exe";
const char* const kRun = "/c";
const char* const kProbe = "echo [%LUMRA_PROBE%]& echo oops 1>&2";
const char* const kGone = "if defined LUMRA_GONE (echo set) else (echo unset)";
const char* const kGoneName = "lumra_gone";  // names differ in case only
void setVariable(const char* name, const char* value) { SetEnvironmentVariableA(name, value); }
#else
const char* const kShell = "/bin/sh";
const char* const kRun = "-c";
const char* const kProbe = "printf \"[$LUMRA_PROBE]\"; printf oops >&2";
const char* const kGone = "printf \"${LUMRA_GONE-unset}\"";
const char* const kGoneName = "LUMRA_GONE";
void setVariable(const char* name, const char* value) {
  if (value != nullptr) ::setenv(name, value, 1);
  else ::unsetenv(name);
}

TEST(ChildProcessTest, FramesRoundTripWithoutBlockingOnAFullPipe) {
  ChildProcess child;
  std::string err;
  ASSERT_TRUE(child.start("/bin/cat", {}, &err)) << err;
  const std::string bodies[] = {"", "{}", std::string(3 << 20, 'x'), std::string("a\0b", 3)};
  for (const std::string& body : bodies) ASSERT_TRUE(child.writeFrame(body, &err)) << err;
  for (const std::string& body : bodies) {
    std::string got;
    ASSERT_TRUE(child.readFrame(&got, 10000, &err)) << err;
    EXPECT_EQ(got, body);
  }
  std::string got;
  EXPECT_FALSE(child.readFrame(&got, 50, &err));
  EXPECT_EQ(err, "timed out waiting for a frame");
  child.closeStdin();
  ExitStatus status;
  ASSERT_TRUE(child.waitExit(10000, &status));
  EXPECT_EQ(status.code, 0);
}
#endif

TEST(ChildProcessTest, ExitCodesEnvironmentAndStderr) {
  struct Case {
    std::string script;
    int code;
    std::string stdoutText, stderrText;
  };
  const Case cases[] = {
      {"exit 3", 3, "", ""},
      {kProbe, 0, "[probe value]", "oops"},
      {kGone, 0, "unset", ""},
  };
  setVariable("LUMRA_GONE", "inherited unless removed");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ChildProcess child;
    ChildOptions options;
    options.args = {kRun, c.script};
    options.env["LUMRA_PROBE"] = "probe value";
    options.env[kGoneName] = std::nullopt;
    std::string err;
    ASSERT_TRUE(child.start(kShell, options, &err)) << err;
    ExitStatus status;
    ASSERT_TRUE(child.waitExit(30000, &status));
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, c.code);
    std::string out;
    ASSERT_TRUE(child.readToEnd(&out, 30000));
    EXPECT_NE(out.find(c.stdoutText), std::string::npos) << out;
    EXPECT_NE(child.stderrText().find(c.stderrText), std::string::npos) << child.stderrText();
  }
  setVariable("LUMRA_GONE", nullptr);
}

TEST(ChildProcessTest, KillEndsAHangingChildAndMissingProgramFails) {
  // The interpreter reads commands as long as its input stays open.
  ChildProcess child;
  std::string err;
  ASSERT_TRUE(child.start(kShell, {}, &err)) << err;
  ExitStatus status;
  EXPECT_FALSE(child.waitExit(200, &status));
  EXPECT_TRUE(child.running());
  child.kill();
  EXPECT_FALSE(child.running());

  ChildProcess missing;
  EXPECT_FALSE(missing.start("/nonexistent/program.exe", {}, &err));
  EXPECT_NE(err.find("cannot start"), std::string::npos);
}

}  // namespace
}  // namespace lumra

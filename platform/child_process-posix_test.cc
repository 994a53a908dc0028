// A child that echoes its input (cat) and shells
// that end in known ways stand in for the host.
#include "platform/child_process.h"

#include <gtest/gtest.h>

namespace lumra {
namespace {

TEST(ChildProcessTest, FramesRoundTripThroughChild) {
  ChildProcess child;
  std::string err;
  ASSERT_TRUE(child.start("/bin/cat", {}, &err)) << err;
  const std::string bodies[] = {"", "{}", std::string(3 << 20, 'x'), std::string("a\0b", 3)};
  for (const std::string& body : bodies) {
    // Write from another frame's worth of data before reading: the collector
    // must keep the child from blocking on a full pipe.
    ASSERT_TRUE(child.writeFrame(body, &err)) << err;
  }
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
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
}

TEST(ChildProcessTest, ExitCodesSignalsEnvironmentAndStderr) {
  struct Case {
    std::string script;
    bool exited;
    int code;
    int signal;
    std::string stdoutText;
    std::string stderrText;
  };
  const Case cases[] = {
      {"exit 3", true, 3, 0, "", ""},
      {"printf \"$LUMRA_PROBE\"; printf oops >&2", true, 0, 0, "probe-value", "oops"},
      {"printf \"${HOME-unset}\"", true, 0, 0, "unset", ""},
      {"kill -9 $$", false, -1, 9, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ChildProcess child;
    ChildOptions options;
    options.args = {"-c", c.script};
    options.env["LUMRA_PROBE"] = "probe-value";
    options.env["HOME"] = std::nullopt;
    std::string err;
    ASSERT_TRUE(child.start("/bin/sh", options, &err)) << err;
    ExitStatus status;
    ASSERT_TRUE(child.waitExit(10000, &status));
    EXPECT_EQ(status.exited, c.exited);
    EXPECT_EQ(status.code, c.code);
    EXPECT_EQ(status.signal, c.signal);
    std::string out;
    ASSERT_TRUE(child.readToEnd(&out, 10000));
    EXPECT_EQ(out, c.stdoutText);
    EXPECT_EQ(child.stderrText(), c.stderrText);
  }
}

TEST(ChildProcessTest, KillEndsAHangingChildAndMissingProgramFails) {
  ChildProcess child;
  std::string err;
  ASSERT_TRUE(child.start("/bin/sleep", ChildOptions{{"100"}, {}, "", false}, &err)) << err;
  ExitStatus status;
  EXPECT_FALSE(child.waitExit(20, &status));
  EXPECT_TRUE(child.running());
  child.kill();
  EXPECT_FALSE(child.running());

  ChildProcess missing;
  EXPECT_FALSE(missing.start("/nonexistent/program", {}, &err));
  EXPECT_NE(err.find("cannot start"), std::string::npos);
}

}  // namespace
}  // namespace lumra

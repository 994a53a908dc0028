#include "sources/virtual/scenario.h"

#include "gtest/gtest.h"

namespace lumra::virtual_scanner {
namespace {

TEST(Scenario, DefaultsApplyToEverySourceAndSectionsOverride) {
  Scenario s = parseScenario(
      "# two sources\n"
      "pages = 4\n"
      "depth = 8   # trailing comment\n"
      "[source]\n"
      "id = 7\n"
      "name = Seven Up\n"
      "[SOURCE]\n"
      "id = 0x03\n"
      "twain2 = no\n"
      "depth = 24\n");
  ASSERT_TRUE(s.errors.empty()) << s.errors[0];
  ASSERT_EQ(s.sources.size(), 2u);
  EXPECT_EQ(s.sources[0].id, 7u);
  EXPECT_EQ(s.sources[0].name, "Seven Up");
  EXPECT_EQ(s.sources[0].pages, 4);
  EXPECT_EQ(s.sources[0].depth, 8);
  EXPECT_TRUE(s.sources[0].twain2);
  EXPECT_EQ(s.sources[1].id, 3u);
  EXPECT_FALSE(s.sources[1].twain2);
  EXPECT_EQ(s.sources[1].depth, 24);
  EXPECT_EQ(s.sources[1].pages, 4);
}

TEST(Scenario, NoSectionGivesOneSourceFromTheDefaults) {
  Scenario s = parseScenario("ready = enable\nnotify = TWAIN_IGNORED\n");
  ASSERT_EQ(s.sources.size(), 1u);
  EXPECT_EQ(s.sources[0].ready, Ready::kEnable);
  ASSERT_EQ(s.errors.size(), 1u);
  EXPECT_EQ(s.errors[0].rfind("line=2 ", 0), 0u) << s.errors[0];
  EXPECT_EQ(parseScenario("").sources.size(), 1u);
  // Without a scenario file: a TWAIN 2 and a TWAIN 1 source.
  s = defaultScenario();
  ASSERT_EQ(s.sources.size(), 2u);
  EXPECT_TRUE(s.sources[0].twain2);
  EXPECT_FALSE(s.sources[1].twain2);
  EXPECT_NE(s.sources[0].id, s.sources[1].id);
}

TEST(Scenario, BadLinesAreReportedAndSkipped) {
  const char* bad[] = {
      "depth = 12",         "depth = -8",          "pages = many",   "resolution = 5000",
      "twain2 = perhaps",   "refuse = ICAP_NOPE",  "refuse = ICAP_PIXELTYPE:NOPE",
      "fail.nowhere = BUMMER", "fail.xfer.x = BUMMER", "return.xfer.1 = SOMETIMES",
      "handle.1 = broken",  "no equals sign",      "[sources]",      "colour = red",
      "name = 0123456789012345678901234567890123456789",
  };
  for (const char* line : bad) {
    Scenario s = parseScenario(std::string("pages = 2\n") + line + "\n");
    EXPECT_EQ(s.errors.size(), 1u) << line;
    ASSERT_EQ(s.sources.size(), 1u) << line;
    EXPECT_EQ(s.sources[0].pages, 2) << line;
  }
}

TEST(Scenario, StepsResolveByPageThenWildcard) {
  Scenario s = parseScenario(
      "return.xfer.1 = CANCEL\n"
      "fail.xfer.* = PAPERJAM\n"
      "return.processevent = 99\n"
      "fail.enableds = TWCC_OPERATIONERROR\n"
      "handle.2 = null\nhandle.* = truncated\n");
  ASSERT_TRUE(s.errors.empty()) << s.errors[0];
  const SourceScript& src = s.sources[0];
  const struct {
    const char* step;
    int page;
    bool present;
    TW_UINT16 rc, cc;
  } cases[] = {
      {"xfer", 1, true, TWRC_CANCEL, TWCC_SUCCESS},
      {"xfer", 0, true, TWRC_FAILURE, TWCC_PAPERJAM},
      {"processevent", -1, true, 99, TWCC_SUCCESS},
      {"enableds", -1, true, TWRC_FAILURE, TWCC_OPERATIONERROR},
      {"disableds", -1, false, 0, 0},
      {"endxfer", 0, false, 0, 0},
  };
  for (const auto& c : cases) {
    auto answer = src.answer(c.step, c.page);
    ASSERT_EQ(answer.has_value(), c.present) << c.step << c.page;
    if (!c.present) continue;
    EXPECT_EQ(answer->rc, c.rc) << c.step << c.page;
    EXPECT_EQ(answer->cc, c.cc) << c.step << c.page;
  }
  EXPECT_EQ(src.handleFault(2), HandleFault::kNull);
  EXPECT_EQ(src.handleFault(0), HandleFault::kTruncated);
}

TEST(Scenario, RefusalsAndNotificationsByName) {
  Scenario s = parseScenario(
      "refuse = ICAP_XRESOLUTION:BADVALUE, CAP_DUPLEXENABLED 0x1002:TWCC_DENIED\n"
      "cancel = dialog\nnotify_count = 2\nlate_notify = close\n");
  ASSERT_TRUE(s.errors.empty()) << s.errors[0];
  const SourceScript& src = s.sources[0];
  EXPECT_EQ(src.refused.at(ICAP_XRESOLUTION), TWCC_BADVALUE);
  EXPECT_EQ(src.refused.at(CAP_DUPLEXENABLED), TWCC_CAPUNSUPPORTED);
  EXPECT_EQ(src.refused.at(CAP_FEEDERENABLED), TWCC_DENIED);
  EXPECT_EQ(src.notifyMessage, MSG_CLOSEDSREQ);
  EXPECT_EQ(src.notifyCount, 2);
  EXPECT_EQ(src.lateNotify, LateNotify::kClose);
  EXPECT_EQ(capabilityName(ICAP_XRESOLUTION), "ICAP_XRESOLUTION");
  EXPECT_EQ(capabilityName(0x8123), "0x8123");
}

}  // namespace
}  // namespace lumra::virtual_scanner

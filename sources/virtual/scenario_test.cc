#include "sources/virtual/scenario.h"

#include "gtest/gtest.h"

namespace lumra::virtual_scanner {
namespace {

TEST(Scenario, BadLinesAreReportedAndSkipped) {
  for (const char* line : {"depth = 12", "colour = red", "no equals sign"}) {
    Scenario s = parseScenario(std::string("pages = 2\n") + line + "\n");
    ASSERT_EQ(s.errors.size(), 1u) << line;
    EXPECT_EQ(s.errors[0].rfind("line=2 ", 0), 0u) << s.errors[0];
    ASSERT_EQ(s.sources.size(), 1u) << line;
    EXPECT_EQ(s.sources[0].pages, 2) << line;
  }
}

TEST(Scenario, StepsResolveByPageThenWildcard) {
  Scenario s = parseScenario(
      "return.xfer.1 = CANCEL\nfail.xfer.* = PAPERJAM\nhandle.2 = null\nhandle.* = truncated\n");
  ASSERT_TRUE(s.errors.empty()) << s.errors[0];
  const SourceScript& src = s.sources[0];
  auto first = src.answer("xfer", 1);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->rc, TWRC_CANCEL);
  auto other = src.answer("xfer", 0);
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->rc, TWRC_FAILURE);
  EXPECT_EQ(other->cc, TWCC_PAPERJAM);
  EXPECT_FALSE(src.answer("endxfer", 0).has_value());
  EXPECT_EQ(src.handleFault(2), HandleFault::kNull);
  EXPECT_EQ(src.handleFault(0), HandleFault::kTruncated);
}

}  // namespace
}  // namespace lumra::virtual_scanner

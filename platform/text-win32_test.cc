#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace lumra {
namespace {

TEST(AnsiTextTest, RoundTripsEveryAnsiText) {
  struct Case {
    const char* name;
    std::string ansi;
  };
  const Case cases[] = {
      {"empty", ""},
      {"ascii", "C:\\Users\\scan\\page_0.jpg"},
      {"inner NUL", std::string("a\0b", 3)},
      {"long", std::string(70000, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string wide = ansiToWide(c.ansi);
    EXPECT_EQ(wide.size(), c.ansi.size());
    EXPECT_EQ(wideToAnsi(wide), c.ansi);
  }
}

TEST(AnsiTextTest, FollowsTheSystemCodePage) {
  // Whatever the code page, its own bytes must survive a round trip and
  // agree with the system's conversion of the same bytes.
  for (int byte = 0x20; byte < 0x100; ++byte) {
    std::string ansi(1, static_cast<char>(byte));
    wchar_t expected[4] = {};
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), 1, expected, 4);
    if (n != 1) continue;  // a lead byte of a multi-byte code page
    std::u16string wide = ansiToWide(ansi);
    ASSERT_EQ(wide.size(), 1u) << byte;
    EXPECT_EQ(static_cast<wchar_t>(wide[0]), expected[0]) << byte;
  }
}

TEST(AnsiTextTest, UnmappableCharactersBecomeTheDefaultCharacter) {
  if (GetACP() == CP_UTF8) GTEST_SKIP() << "every character maps in UTF-8";
  std::string narrow = wideToAnsi(u"scan\u4E2D\U0001F600.png");
  EXPECT_EQ(narrow.substr(0, 4), "scan");
  EXPECT_EQ(narrow.substr(narrow.size() - 4), ".png");
  EXPECT_EQ(narrow.find('\0'), std::string::npos);
  EXPECT_NE(narrow.find('?'), std::string::npos);
}

}  // namespace
}  // namespace lumra

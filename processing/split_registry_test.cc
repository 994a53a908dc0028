#include "processing/split_registry.h"

#include <gtest/gtest.h>

namespace lumra {
namespace {

TEST(SplitSlices, SizeFollowsTheRequestLengthWithWrapAround) {
  struct Case {
    uint32_t requestLength;
    uint32_t slice;
  };
  const Case cases[] = {
      {0, 523776},           {200, 523676},         {1047550, 1},
      {1047551, 0},          {1047552, 0},          {1047553, 2147483647},
      {4294967295u, 523776}, {2000000, 2147007424},
  };
  for (const Case& c : cases) EXPECT_EQ(splitSliceBytes(c.requestLength), c.slice) << c.requestLength;
}

TEST(SplitSlices, CutsNeverSplitACharacter) {
  struct Case {
    std::string text;
    size_t limit;
    size_t cut;
  };
  const std::string e = "\xC3\xA9";           // 2 bytes
  const std::string euro = "\xE2\x82\xAC";    // 3 bytes
  const std::string page = "\xF0\x9F\x93\x84";  // 4 bytes
  const Case cases[] = {
      {"abc", 2, 2},          {"abc", 10, 3},        {"a" + e, 2, 1},        {"a" + e, 3, 3},
      {"a" + euro, 2, 1},     {"a" + euro, 3, 1},    {"a" + page, 4, 1},     {"a" + page, 5, 5},
      {page + "a", 2, 4},     {e + "a", 1, 2},       {"abc", 0, 0},          {"", 5, 0},
      {std::string(9, '\x80'), 1, 4},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8Cut(c.text, c.limit), c.cut) << c.text << " " << c.limit;
}

// Past the compaction threshold the rest is still exact.
TEST(SplitRegistry, LargeSeriesCompactAndStayExact) {
  SplitRegistry registry;
  std::string big(40 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  registry.store(u"big", big);
  std::string joined;
  bool empty = false;
  while (!empty) joined.append(registry.cut(u"big", 3 << 20, &empty));
  EXPECT_EQ(joined, big);
}

}  // namespace
}  // namespace lumra

#include "imaging/deflate_bands.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace lumra {
namespace {

// Bands end on any bit of a byte and in every kind of block (stored for
// noise, fixed and dynamic Huffman); the joined stream must inflate to the
// rows with zlib, the same whatever the threads.
TEST(DeflateBands, BandsJoinIntoOneZlibStream) {
  enum Content { kZeros, kText, kNoise };
  struct Case {
    uint32_t rows;
    size_t rowBytes, bandBytes;
    Content content;
    int zlibLevel, level;
  };
  const Case cases[] = {
      {1, 1, 1, kText, 6, 6},          {7, 3, 1, kText, 6, 6},  // one row per band
      {300, 1001, 7000, kText, 6, 6},  {300, 1001, 7000, kZeros, 9, 8},
      {64, 4096, 10000, kNoise, 6, 6}, {513, 257, 4096, kText, 9, 12},
      {40, 33, 1 << 20, kText, 1, 1},  // one band
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.rows << " rows of " << c.rowBytes << ", bands of "
                                      << c.bandBytes << ", level " << c.level);
    std::vector<uint8_t> raw(c.rows * c.rowBytes);
    for (size_t i = 0; i < raw.size(); ++i) {
      const uint32_t h = static_cast<uint32_t>(i) * 0x9E3779B1u;
      raw[i] = c.content == kZeros  ? 0
               : c.content == kText ? static_cast<uint8_t>("page of words "[i % 14] + (h % 97 == 0))
                                    : static_cast<uint8_t>((h ^ h >> 15) * 0x2C1B3C6Du >> 24);
    }
    auto rows = [&](uint32_t first, uint32_t count, uint8_t* out) {
      std::copy_n(raw.begin() + first * c.rowBytes, count * c.rowBytes, out);
    };
    std::vector<uint8_t> streams[2];
    for (unsigned threads : {1u, 2u}) {
      std::vector<uint8_t>& stream = streams[threads - 1];
      auto out = [&](const uint8_t* data, size_t size) {
        stream.insert(stream.end(), data, data + size);
        return true;
      };
      ASSERT_TRUE(deflateBands({c.rows, c.rowBytes, c.zlibLevel, c.level, threads, c.bandBytes},
                               rows, out));
    }
    EXPECT_EQ(streams[0], streams[1]);
    const std::vector<uint8_t>& stream = streams[1];
    ASSERT_GT(stream.size(), 6u);
    EXPECT_EQ(stream[0], 0x78);
    EXPECT_EQ(stream[1] >> 6, c.zlibLevel < 2 ? 0 : c.zlibLevel < 6 ? 1 : c.zlibLevel == 6 ? 2 : 3);
    std::vector<uint8_t> back(raw.size() + 1);
    uLongf size = back.size();
    ASSERT_EQ(uncompress(back.data(), &size, stream.data(), stream.size()), Z_OK);
    back.resize(size);
    EXPECT_TRUE(back == raw);
  }
}

TEST(DeflateBands, RefusedBytesStopTheWork) {
  const std::vector<uint8_t> raw(50 * 100, 7);
  auto rows = [&](uint32_t first, uint32_t count, uint8_t* out) {
    std::copy_n(raw.begin() + first * 100, count * 100, out);
  };
  for (int accepted : {0, 1, 3}) {
    int calls = 0;
    auto out = [&](const uint8_t*, size_t) { return calls++ < accepted; };
    EXPECT_FALSE(deflateBands({50, 100, 6, 6, 2, 500}, rows, out));
    EXPECT_EQ(calls, accepted + 1);
  }
}

}  // namespace
}  // namespace lumra

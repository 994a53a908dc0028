// Pages from a scripted device: what a backend's odd or faulty answers make
// of a page.
#include "sources/sane/page_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace lumra::sane_source {
namespace {

// One frame: its parameters, then its bytes in reads of at most `chunk`.
class ScriptedFrame : public FrameSource {
 public:
  ScriptedFrame(SANE_Parameters p, std::string bytes, int chunk = 7, SANE_Status end = SANE_STATUS_EOF)
      : p_(p), bytes_(std::move(bytes)), chunk_(chunk), end_(end) {}
  SANE_Status start() override { return SANE_STATUS_GOOD; }
  SANE_Status parameters(SANE_Parameters* p) override {
    *p = p_;
    return SANE_STATUS_GOOD;
  }
  SANE_Status read(SANE_Byte* data, SANE_Int max, SANE_Int* length) override {
    if (chunk_ < 0) {  // a backend that reports a negative length
      *length = -1;
      return SANE_STATUS_GOOD;
    }
    if (at_ >= bytes_.size()) {
      *length = 0;
      return end_;
    }
    *length = static_cast<SANE_Int>(std::min<size_t>({bytes_.size() - at_, size_t(max), size_t(chunk_)}));
    memcpy(data, bytes_.data() + at_, static_cast<size_t>(*length));
    at_ += static_cast<size_t>(*length);
    return SANE_STATUS_GOOD;
  }

 private:
  SANE_Parameters p_;
  std::string bytes_;
  int chunk_;
  SANE_Status end_;
  size_t at_ = 0;
};

SANE_Parameters Gray(int depth, int bytesPerLine, int pixels, int lines) {
  return SANE_Parameters{SANE_FRAME_GRAY, SANE_TRUE, bytesPerLine, pixels, lines, depth};
}

TEST(PageReaderTest, FaultyFramesFailAndGoodOnesAreKeptWhole) {
  const struct {
    const char* name;
    SANE_Parameters params;
    std::string bytes;
    int chunk;
    SANE_Status end;
    SANE_Status expected;
  } cases[] = {
      {"whole", Gray(8, 4, 4, 3), std::string(12, 'a'), 5, SANE_STATUS_EOF, SANE_STATUS_GOOD},
      {"short", Gray(8, 4, 4, 3), std::string(11, 'a'), 5, SANE_STATUS_EOF, SANE_STATUS_IO_ERROR},
      {"more than announced", Gray(8, 4, 4, 3), std::string(20, 'a'), 5, SANE_STATUS_EOF,
       SANE_STATUS_GOOD},
      {"unknown length", Gray(8, 4, 4, -1), std::string(14, 'a'), 5, SANE_STATUS_EOF,
       SANE_STATUS_GOOD},
      {"jam", Gray(8, 4, 4, 3), std::string(6, 'a'), 5, SANE_STATUS_JAMMED, SANE_STATUS_JAMMED},
      {"negative length", Gray(8, 4, 4, 3), std::string(12, 'a'), -1, SANE_STATUS_EOF,
       SANE_STATUS_IO_ERROR},
      {"line shorter than its pixels", Gray(8, 3, 4, 3), std::string(9, 'a'), 5, SANE_STATUS_EOF,
       SANE_STATUS_IO_ERROR},
      {"odd depth", Gray(7, 4, 4, 3), std::string(12, 'a'), 5, SANE_STATUS_EOF, SANE_STATUS_IO_ERROR},
      {"no lines", Gray(8, 4, 4, 0), "", 5, SANE_STATUS_EOF, SANE_STATUS_IO_ERROR},
      {"huge", Gray(16, 1 << 20, 1 << 19, 1 << 20), "", 5, SANE_STATUS_EOF, SANE_STATUS_IO_ERROR},
  };
  for (const auto& c : cases) {
    ScriptedFrame device(c.params, c.bytes, c.chunk, c.end);
    std::atomic<bool> stop{false};
    PageFrames page;
    EXPECT_EQ(readPage(device, stop, &page), c.expected) << c.name;
    if (c.expected == SANE_STATUS_GOOD) {
      EXPECT_EQ(page.gray.bytes.size(), 12u) << c.name;
    }
  }
}

// 16-bit gray with padded lines: high bytes, stride from bytes_per_line,
// bottom-up rows padded to four bytes, resolution in the header.
TEST(PageReaderTest, SixteenBitLinesWithPaddingBecomeEightBitRows) {
  std::string bytes;
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      uint16_t v = static_cast<uint16_t>((10 * y + x) << 8 | 0x7F);
      bytes.append(reinterpret_cast<const char*>(&v), 2);
    }
    bytes.append("PAD", 3);
  }
  ScriptedFrame device(Gray(16, 9, 3, 2), bytes);
  std::atomic<bool> stop{false};
  PageFrames page;
  ASSERT_EQ(readPage(device, stop, &page), SANE_STATUS_GOOD);
  Memory memory;
  TW_HANDLE dib = buildDib(page, 300, memory);
  ASSERT_NE(dib, nullptr);
  const auto* p = static_cast<const uint8_t*>(memory.lock(dib));
  int32_t ppm = 0;
  memcpy(&ppm, p + 24, 4);
  EXPECT_EQ(ppm, 11811);
  const uint8_t* rows = p + 40 + 4 * 256;
  EXPECT_EQ(std::vector<uint8_t>(rows, rows + 8), (std::vector<uint8_t>{10, 11, 12, 0, 0, 1, 2, 0}));
  memory.unlock(dib);
  memory.free(dib);
}

}  // namespace
}  // namespace lumra::sane_source

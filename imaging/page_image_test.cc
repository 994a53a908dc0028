#include "imaging/page_image.h"

#include <gtest/gtest.h>

#include "imaging/testing_dib.h"
#include "platform/memory.h"

namespace lumra {
namespace {

using namespace testing;

// 300 dpi from 11811 is every encoder test's, 72 and 144 the PDF test's.
TEST(PageImageRead, ResolutionBelowOneDpiIs96) {
  for (int32_t ppm : {0, -5, 19}) {
    bool ok = false;
    PageImage image = readDib(packDib(makeTestPage(2, 2, 24), false, ppm), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(image.dpiX(), 96) << ppm;
    EXPECT_EQ(image.dpiY(), 96) << ppm;
    EXPECT_EQ(image.pixelsPerMeterX(), 3780) << ppm;
  }
}

// One pixel of a 16- or 32-bit DIB, with or without masks.
struct WidePixelCase {
  const char* name;
  uint16_t bitCount;
  uint32_t compression;
  std::vector<uint32_t> masks;
  uint32_t pixel;
  Rgb expected;
};

TEST(PageImageRead, SixteenAndThirtyTwoBitPixelsWidenTo24) {
  const WidePixelCase cases[] = {
      {"555 white", 16, 0, {}, 0x7FFF, {248, 248, 248}},
      {"555 blue 1", 16, 0, {}, 0x0001, {0, 0, 8}},
      {"565 mixed", 16, 3, {0xF800, 0x07E0, 0x001F}, (3u << 11) | (5u << 5) | 7u, {24, 20, 56}},
      {"blue highest", 16, 3, {0x001F, 0x03E0, 0x7C00}, 0x7C00, {0, 0, 248}},
      {"32 BI_RGB", 32, 0, {}, 0xAA112233, {0x11, 0x22, 0x33}},
      {"32 bitfields", 32, 3, {0x0000FF00, 0x00FF0000, 0xFF000000}, 0x332211AA, {0x11, 0x22, 0x33}},
      {"32 ten-bit", 32, 3, {0x3FF00000, 0x000FFC00, 0x000003FF}, (1023u << 20) | (512u << 10) | 4u,
       {255, 128, 1}},
  };
  for (const WidePixelCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> dib = infoHeader(3, 2, c.bitCount, c.compression);
    for (uint32_t m : c.masks) putLe32(dib, m);
    const size_t rowBytes = c.bitCount == 16 ? 8 : 12;
    for (int row = 0; row < 2; ++row) {
      for (int x = 0; x < 3; ++x) {
        if (c.bitCount == 16) putLe16(dib, c.pixel);
        else putLe32(dib, c.pixel);
      }
      dib.resize(dib.size() + rowBytes - (c.bitCount == 16 ? 6 : 12), 0);
    }
    bool ok = false;
    PageImage image = readDib(dib, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(image.depth(), 24u);
    for (uint32_t y = 0; y < 2; ++y) {
      for (uint32_t x = 0; x < 3; ++x) EXPECT_EQ(pixelOf(image, x, y), c.expected);
    }
  }
}

TEST(PageImageRead, RunLengthBitmaps) {
  // 8 bits, 6 x 3: a run, a literal of odd length, end of line, a delta, a
  // run too long for the row, a run below the image, end of bitmap.
  std::vector<uint8_t> rle8 = infoHeader(6, 3, 8, 1);
  for (int i = 0; i < 256; ++i) putLe32(rle8, static_cast<uint32_t>(i * 0x010101));
  const uint8_t data8[] = {2, 7,  0, 3, 1, 2, 3, 0,  // row 0: 7 7 1 2 3 .
                           0, 0,                     // end of line
                           0, 2, 1, 0,               // delta right 1
                           9, 5,                     // row 1: . 5 5 5 5 5 (rest dropped)
                           0, 2, 0, 5,               // delta far below the image
                           4, 9,                     // dropped
                           0, 1};
  rle8.insert(rle8.end(), std::begin(data8), std::end(data8));
  bool ok = false;
  PageImage image = readDib(rle8, &ok);
  ASSERT_TRUE(ok);
  auto bytes = [](const PageImage& image, uint32_t y, size_t count) {
    return std::vector<uint8_t>(image.row(y), image.row(y) + count);
  };
  EXPECT_EQ(bytes(image, 0, 6), (std::vector<uint8_t>{7, 7, 1, 2, 3, 0}));
  EXPECT_EQ(bytes(image, 1, 6), (std::vector<uint8_t>{0, 5, 5, 5, 5, 5}));
  EXPECT_EQ(bytes(image, 2, 6), std::vector<uint8_t>(6, 0));

  // 4 bits, 5 x 2: a run alternates the two nibbles; a literal of 3 values.
  std::vector<uint8_t> rle4 = infoHeader(5, 2, 4, 2);
  for (int i = 0; i < 16; ++i) putLe32(rle4, static_cast<uint32_t>(i * 0x111111));
  const uint8_t data4[] = {5, 0x12, 0, 0, 0, 3, 0xAB, 0xC0, 0, 1};
  rle4.insert(rle4.end(), std::begin(data4), std::end(data4));
  PageImage image4 = readDib(rle4, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(bytes(image4, 0, 3), (std::vector<uint8_t>{0x12, 0x12, 0x10}));
  EXPECT_EQ(bytes(image4, 1, 2), (std::vector<uint8_t>{0xAB, 0xC0}));

  // Data cut short, even inside a literal, keeps what was decoded.
  std::vector<uint8_t> cut = infoHeader(4, 1, 8, 1);
  for (int i = 0; i < 256; ++i) putLe32(cut, 0);
  const uint8_t dataCut[] = {1, 9, 0, 5, 1};
  cut.insert(cut.end(), std::begin(dataCut), std::end(dataCut));
  PageImage imageCut = readDib(cut, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(bytes(imageCut, 0, 2), (std::vector<uint8_t>{9, 0}));
}

TEST(PageImageRead, ShortColourTableAndLargerHeaders) {
  // biClrUsed = 2 at 8 bits: the pixels follow the two entries.
  std::vector<uint8_t> dib = infoHeader(4, 1, 8, 0, 0, 2);
  putLe32(dib, 0x000000);
  putLe32(dib, 0xFFFFFF);
  const uint8_t pixels[] = {0, 1, 1, 0};
  dib.insert(dib.end(), std::begin(pixels), std::end(pixels));
  bool ok = false;
  PageImage image = readDib(dib, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(pixelOf(image, 1, 0), (Rgb{255, 255, 255}));
  EXPECT_EQ(pixelOf(image, 3, 0), (Rgb{0, 0, 0}));
  EXPECT_EQ(image.palette()[2].red, 0);

  // A 124-byte header keeps its masks inside it.
  std::vector<uint8_t> v5 = infoHeader(1, 1, 32, 3);
  v5[0] = 124;
  putLe32(v5, 0x000000FF);  // red in the lowest byte
  putLe32(v5, 0x0000FF00);
  putLe32(v5, 0x00FF0000);
  v5.resize(124, 0);
  putLe32(v5, 0x00332211);
  PageImage imageV5 = readDib(v5, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(pixelOf(imageV5, 0, 0), (Rgb{0x11, 0x22, 0x33}));
}

TEST(PageImageRead, MalformedBitmapsAreRefused) {
  const testing::TestPage page = makeTestPage(8, 4, 8);
  const std::vector<uint8_t> good = packDib(page);
  // The pixels of a 1 x 1 page at any depth: one 4-byte row.
  auto onePixel = [](std::vector<uint8_t> dib) {
    dib.resize(dib.size() + 4, 0);
    return dib;
  };
  auto with = [&](auto change) {
    std::vector<uint8_t> dib = good;
    change(dib);
    return dib;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> dib;
  };
  const Case cases[] = {
      {"shorter than the header", std::vector<uint8_t>(good.begin(), good.begin() + 39)},
      {"core header", with([](auto& d) { d[0] = 12; })},
      {"rows past the end", std::vector<uint8_t>(good.begin(), good.end() - 1)},
      {"width 0", with([](auto& d) { d[4] = 0; })},
      {"bit count 2", with([](auto& d) { d[14] = 2; })},
      {"colours used 1000", with([](auto& d) { d[32] = 0xE8; d[33] = 0x03; })},
      {"8 bits with RLE4", with([](auto& d) { d[16] = 2; })},
      {"height -2^31", with([](auto& d) { d[8] = d[9] = d[10] = 0; d[11] = 0x80; })},
      {"32 bits BI_JPEG", onePixel(infoHeader(1, 1, 32, 4))},
      {"bit fields without masks", onePixel(infoHeader(1, 1, 16, 3))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool ok = true;
    readDib(c.dib, &ok);
    EXPECT_FALSE(ok);
  }
}

int gTakenFrees = 0;
void countTwainFree(HGLOBAL handle) {
  ++gTakenFrees;
  twainMemFree(handle);
}

// A bitmap in a block of the manager's memory functions, as a source hands
// it over: on POSIX a calloc block that nothing can size but the allocator.
HGLOBAL twainBlock(const std::vector<uint8_t>& bytes) {
  HGLOBAL handle = twainMemAllocate(static_cast<uint32_t>(bytes.size()));
  if (!bytes.empty()) std::memcpy(twainMemLock(handle), bytes.data(), bytes.size());
  twainMemUnlock(handle);
  return handle;
}

// Global memory takes the same paths: SaveDib.EveryPathLogsKeepsItsFileAndFreesOnce.
TEST(PageImageRead, TakenHandlesAreFreedOnceOnEveryPath) {
  std::vector<uint8_t> sixteen = infoHeader(2, 1, 16, 0);
  putLe32(sixteen, 0x7FFF7FFF);
  std::vector<uint8_t> shortPixels = packDib(makeTestPage(64, 16, 24));
  shortPixels.resize(shortPixels.size() / 2);
  struct Case {
    const char* name;
    std::vector<uint8_t> dib;
    bool accepted;
  };
  const Case cases[] = {
      {"24 bits in place", packDib(makeTestPage(7, 5, 24)), true},
      {"16 bits copied", sixteen, true},
      {"cut short", std::vector<uint8_t>(40, 0), false},
      {"pixels cut short", shortPixels, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gTakenFrees = 0;
    {
      PageImage image;
      EXPECT_EQ(image.takeHandle(twainBlock(c.dib), HandleMemory{twainMemLock, twainMemUnlock, countTwainFree}),
                c.accepted);
      if (c.accepted) {
        MemoryStream stream;
        PageImage moved = std::move(image);  // ownership moves with the pixels
        EXPECT_TRUE(moved.encode(stream, 1));
      }
    }
    EXPECT_EQ(gTakenFrees, 1);
  }
  // In place gives the same picture as a copy, and the palette's reserved
  // bytes are cleared.
  const testing::TestPage page = makeTestPage(11, 6, 4);
  PageImage image;
  ASSERT_TRUE(image.takeHandle(twainBlock(packDib(page, true)),
                               HandleMemory{twainMemLock, twainMemUnlock, twainMemFree}));
  ASSERT_EQ(image.width(), page.width);
  ASSERT_EQ(image.height(), page.height);
  for (uint32_t y = 0; y < page.height; ++y) {
    for (uint32_t x = 0; x < page.width; ++x) ASSERT_EQ(pixelOf(image, x, y), page.at(x, y)) << x << "," << y;
  }
  for (uint32_t i = 0; i < image.paletteSize(); ++i) EXPECT_EQ(image.palette()[i].reserved, 0);
}

TEST(PageImageRead, BadHandlesAreRefused) {
  PageImage image;
  int notABlock = 0;
  EXPECT_FALSE(image.createFromHandle(&notABlock));
  GlobalBlock empty(std::vector<uint8_t>{});
  EXPECT_FALSE(image.createFromHandle(empty.get()));
}

TEST(PageImage, SizeLimit) {
  struct Case {
    uint32_t width, height, bits;
    bool accepted;
  };
  const Case cases[] = {
      {9920, 14032, 24, false}, {4960, 7016, 24, true}, {0, 10, 8, false},
      {65536, 32769, 1, false}, {3, 3, 2, true},         {3, 3, 16, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << "x" << c.bits);
    PageImage image;
    EXPECT_EQ(image.create(c.width, c.height, c.bits), c.accepted);
  }
  PageImage rounded;
  ASSERT_TRUE(rounded.create(3, 3, 2));
  EXPECT_EQ(rounded.depth(), 4u);
  ASSERT_TRUE(rounded.create(3, 3, 16));
  EXPECT_EQ(rounded.depth(), 24u);
  EXPECT_EQ(rounded.rowSize(), 12u);
}

// A full ramp is gray for the encoder tests (PNG colour type 0, TIFF
// BlackIsZero), a 4-bit ramp never (PngEncoder's 4-bit gray row); one entry
// off spoils it.
TEST(PageImage, GrayNeedsEveryEntry) {
  PageImage gray;
  ASSERT_TRUE(gray.create(2, 2, 8));
  for (int i = 0; i < 256; ++i) gray.palette()[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
  gray.palette()[200].green = 0;
  EXPECT_FALSE(gray.isGray());
}

// A second try at a page writes over the first; what it wrote past the
// second's end goes.
TEST(ByteStreams, TruncateDropsTheTailAndKeepsThePosition) {
  FileStream file(std::tmpfile(), true);
  MemoryStream memory;
  for (ByteStream* stream : {static_cast<ByteStream*>(&file), static_cast<ByteStream*>(&memory)}) {
    ASSERT_TRUE(stream->write("0123456789", 10));
    ASSERT_TRUE(stream->truncate(4));
    EXPECT_EQ(stream->size(), 4);
    EXPECT_EQ(stream->tell(), 10);
  }
}

}  // namespace
}  // namespace lumra

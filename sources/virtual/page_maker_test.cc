#include "sources/virtual/page_maker.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "imaging/testing_dib.h"

namespace lumra::virtual_scanner {
namespace {

uint32_t u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// The bitmap in `handle` (its first `size` bytes) read by the host's own reader.
PageImage read(HGLOBAL handle, size_t size, bool* ok) {
  const auto* data = static_cast<const uint8_t*>(GlobalLock(handle));
  PageImage image = testing::readDib(std::vector<uint8_t>(data, data + size), ok);
  GlobalUnlock(handle);
  return image;
}

struct Layout {
  int depth;
  Compression compression;
  bool topDown;
  TW_UINT16 pixelType;
  int tolerance;  // how far a channel may stray after the depth's reduction
};

TEST(PageMaker, EveryLayoutDecodesToTheDrawnContent) {
  const Layout layouts[] = {
      {1, Compression::kNone, false, TWPT_BW, 0},      {1, Compression::kNone, true, TWPT_RGB, 0},
      {4, Compression::kNone, false, TWPT_RGB, 0},     {4, Compression::kNone, false, TWPT_GRAY, 9},
      {4, Compression::kRle, false, TWPT_RGB, 0},      {4, Compression::kRle, true, TWPT_GRAY, 9},
      {8, Compression::kNone, false, TWPT_GRAY, 0},    {8, Compression::kNone, true, TWPT_RGB, 0},
      {8, Compression::kRle, false, TWPT_GRAY, 0},     {8, Compression::kRle, false, TWPT_RGB, 0},
      {16, Compression::kNone, false, TWPT_RGB, 8},    {16, Compression::kBitfields, true, TWPT_RGB, 8},
      {24, Compression::kNone, false, TWPT_RGB, 0},    {24, Compression::kNone, true, TWPT_GRAY, 0},
      {24, Compression::kNone, false, TWPT_BW, 0},     {32, Compression::kNone, false, TWPT_RGB, 0},
      {32, Compression::kBitfields, true, TWPT_RGB, 0},
  };
  for (const Layout& l : layouts) {
    SCOPED_TRACE(::testing::Message() << "depth " << l.depth << " compression " << static_cast<int>(l.compression)
                                      << " topdown " << l.topDown << " type " << l.pixelType);
    // An odd width, so rows need padding.
    const PageDescription desc{123, 77, l.depth, l.compression, l.topDown, l.pixelType, 11811, 2};
    size_t full = 0;
    HGLOBAL handle = makePage(desc, false, &full);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(GlobalSize(handle), full);
    auto* data = static_cast<const uint8_t*>(GlobalLock(handle));
    EXPECT_EQ(u32(data), 40u);
    EXPECT_EQ(u32(data + 24), 11811u);
    GlobalUnlock(handle);
    bool ok = false;
    PageImage image = read(handle, full, &ok);
    ASSERT_TRUE(ok);
    const int w = 123, h = 77;
    ASSERT_EQ(image.width(), 123u);
    ASSERT_EQ(image.height(), 77u);
    int worst = 0;
    std::vector<uint8_t> content = contentImage(desc);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        uint8_t* want = &content[(static_cast<size_t>(y) * w + x) * 3];
        if (l.depth == 1) {
          int lum = (want[0] * 299 + want[1] * 587 + want[2] * 114) / 1000;
          want[0] = want[1] = want[2] = lum >= 128 ? 255 : 0;
        }
        const testing::Rgb got = testing::pixelOf(image, x, y);
        for (int c = 0; c < 3; ++c) {
          worst = std::max(worst, std::abs((c == 0 ? got.r : c == 1 ? got.g : got.b) - want[c]));
        }
      }
    }
    EXPECT_LE(worst, l.tolerance);
    GlobalFree(handle);
  }
}

TEST(PageMaker, PagesShowTextAndDifferByNumber) {
  PageDescription desc{400, 560};
  size_t full0 = 0, full1 = 0;
  HGLOBAL a = makePage(desc, false, &full0);
  desc.pageNumber = 1;
  HGLOBAL b = makePage(desc, false, &full1);
  ASSERT_EQ(full0, full1);
  auto* pa = static_cast<const uint8_t*>(GlobalLock(a));
  auto* pb = static_cast<const uint8_t*>(GlobalLock(b));
  EXPECT_NE(memcmp(pa, pb, full0), 0);
  // Some ink, mostly paper: a text page, not a blank or a solid one.
  size_t dark = 0;
  for (size_t i = 40; i < full0; i += 3) dark += pa[i] < 128;
  double share = static_cast<double>(dark) / ((full0 - 40) / 3.0);
  EXPECT_GT(share, 0.05);
  EXPECT_LT(share, 0.6);
  GlobalUnlock(a);
  GlobalUnlock(b);
  GlobalFree(a);
  GlobalFree(b);
}

TEST(PageMaker, TruncatedBlockHoldsHalfThePixelsItsHeaderPromisesAndEmptyPagesNone) {
  const Layout layouts[] = {{24, Compression::kNone, false, TWPT_RGB, 0},
                            {8, Compression::kRle, false, TWPT_GRAY, 0}};
  for (const Layout& l : layouts) {
    const PageDescription desc{200, 100, l.depth, l.compression, false, l.pixelType};
    size_t full = 0;
    HGLOBAL handle = makePage(desc, true, &full);
    ASSERT_NE(handle, nullptr);
    size_t prefix = 40 + (l.depth <= 8 ? 4u << l.depth : 0);
    uint32_t promised = u32(static_cast<const uint8_t*>(GlobalLock(handle)) + 20);
    EXPECT_EQ(prefix + promised, full);
    EXPECT_EQ(GlobalSize(handle), prefix + promised / 2);
    GlobalUnlock(handle);
    // Rows cut short are refused; a run-length stream is read as far as it goes.
    bool ok = true;
    read(handle, GlobalSize(handle), &ok);
    EXPECT_EQ(ok, l.compression == Compression::kRle);
    GlobalFree(handle);
  }
  EXPECT_EQ(makePage(PageDescription{0, 10}, false, nullptr), nullptr) << "an empty page";
}

}  // namespace
}  // namespace lumra::virtual_scanner

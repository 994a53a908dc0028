#include "sources/virtual/page_maker.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace lumra::virtual_scanner {
namespace {

uint32_t u32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// An independent reader for the bitmaps a source hands over: decodes to
// top-down RGB, failing on anything that runs past the block.
bool decodeDib(const uint8_t* data, size_t size, int* width, int* height, std::vector<uint8_t>* rgb,
               std::string* err) {
  if (size < 40) return *err = "short header", false;
  int32_t w = static_cast<int32_t>(u32(data + 4));
  int32_t h = static_cast<int32_t>(u32(data + 8));
  int bits = u16(data + 14);
  uint32_t compression = u32(data + 16);
  uint32_t used = u32(data + 32);
  bool topDown = h < 0;
  h = std::abs(h);
  size_t at = 40;
  uint32_t masks[3] = {0, 0, 0};
  if (compression == 3) {
    if (size < at + 12) return *err = "short masks", false;
    for (int i = 0; i < 3; ++i) masks[i] = u32(data + at + 4 * i);
    at += 12;
  } else if (bits == 16) {
    masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
  } else if (bits == 32) {
    masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
  }
  std::vector<uint8_t> palette;
  if (bits <= 8) {
    size_t entries = used != 0 ? used : (1u << bits);
    if (size < at + entries * 4) return *err = "short palette", false;
    palette.assign(data + at, data + at + entries * 4);
    at += entries * 4;
  }
  *width = w;
  *height = h;
  rgb->assign(static_cast<size_t>(w) * h * 3, 0);
  auto put = [&](int x, int storedRow, uint8_t r, uint8_t g, uint8_t b) {
    int y = topDown ? storedRow : h - 1 - storedRow;
    uint8_t* p = rgb->data() + (static_cast<size_t>(y) * w + x) * 3;
    p[0] = r, p[1] = g, p[2] = b;
  };
  auto putIndex = [&](int x, int row, unsigned index) {
    if (index * 4 + 3 >= palette.size()) return false;
    put(x, row, palette[index * 4 + 2], palette[index * 4 + 1], palette[index * 4]);
    return true;
  };
  auto channel = [](uint32_t v, uint32_t mask) {
    if (mask == 0) return uint8_t{0};
    int shift = __builtin_ctz(mask);
    uint32_t max = mask >> shift;
    return static_cast<uint8_t>(((v & mask) >> shift) * 255 / max);
  };
  if (compression == 1 || compression == 2) {
    int x = 0, row = 0;
    while (true) {
      if (at + 2 > size) return *err = "rle runs past the block", false;
      uint8_t count = data[at], value = data[at + 1];
      at += 2;
      if (count == 0) {
        if (value == 0) { x = 0; ++row; continue; }
        if (value == 1) break;
        return *err = "unexpected rle escape", false;
      }
      for (int i = 0; i < count; ++i, ++x) {
        if (x >= w || row >= h) return *err = "rle run outside the image", false;
        unsigned index = compression == 1 ? value : (i % 2 == 0 ? value >> 4 : value & 15);
        if (!putIndex(x, row, index)) return *err = "bad index", false;
      }
    }
    return true;
  }
  size_t stride = ((static_cast<size_t>(w) * bits + 31) / 32) * 4;
  if (size < at + stride * h) return *err = "pixels run past the block", false;
  for (int row = 0; row < h; ++row) {
    const uint8_t* line = data + at + stride * row;
    for (int x = 0; x < w; ++x) {
      switch (bits) {
        case 1: putIndex(x, row, (line[x / 8] >> (7 - x % 8)) & 1); break;
        case 4: putIndex(x, row, x % 2 == 0 ? line[x / 2] >> 4 : line[x / 2] & 15); break;
        case 8: putIndex(x, row, line[x]); break;
        case 16: {
          uint32_t v = u16(line + 2 * x);
          put(x, row, channel(v, masks[0]), channel(v, masks[1]), channel(v, masks[2]));
          break;
        }
        case 24: put(x, row, line[3 * x + 2], line[3 * x + 1], line[3 * x]); break;
        case 32: {
          uint32_t v = u32(line + 4 * x);
          put(x, row, channel(v, masks[0]), channel(v, masks[1]), channel(v, masks[2]));
          break;
        }
        default: return *err = "bad depth", false;
      }
    }
  }
  return true;
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
    PageDescription desc;
    desc.width = 123;  // odd, so rows need padding
    desc.height = 77;
    desc.depth = l.depth;
    desc.compression = l.compression;
    desc.topDown = l.topDown;
    desc.pixelType = l.pixelType;
    desc.pixelsPerMetre = 11811;
    desc.pageNumber = 2;
    std::string what = "depth " + std::to_string(l.depth) + " compression " +
                       std::to_string(static_cast<int>(l.compression)) + " topdown " +
                       std::to_string(l.topDown) + " type " + std::to_string(l.pixelType);
    size_t full = 0;
    HGLOBAL handle = makePage(desc, false, &full);
    ASSERT_NE(handle, nullptr) << what;
    ASSERT_EQ(GlobalSize(handle), full) << what;
    auto* data = static_cast<const uint8_t*>(GlobalLock(handle));
    EXPECT_EQ(u32(data), 40u);
    EXPECT_EQ(u32(data + 24), 11811u) << what;
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    std::string err;
    ASSERT_TRUE(decodeDib(data, full, &w, &h, &rgb, &err)) << what << ": " << err;
    ASSERT_EQ(w, 123);
    ASSERT_EQ(h, 77);
    int worst = 0;
    std::vector<uint8_t> content = contentImage(desc);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        uint8_t* want = &content[(static_cast<size_t>(y) * w + x) * 3];
        if (l.depth == 1) {
          int lum = (want[0] * 299 + want[1] * 587 + want[2] * 114) / 1000;
          want[0] = want[1] = want[2] = lum >= 128 ? 255 : 0;
        }
        for (int c = 0; c < 3; ++c) {
          worst = std::max(worst, std::abs(rgb[(static_cast<size_t>(y) * w + x) * 3 + c] - want[c]));
        }
      }
    }
    EXPECT_LE(worst, l.tolerance) << what;
    GlobalUnlock(handle);
    GlobalFree(handle);
  }
}

TEST(PageMaker, PagesShowTextAndDifferByNumber) {
  PageDescription desc;
  desc.width = 400;
  desc.height = 560;
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

TEST(PageMaker, TruncatedBlockHoldsHalfThePixelsItsHeaderPromises) {
  const Layout layouts[] = {{24, Compression::kNone, false, TWPT_RGB, 0},
                            {8, Compression::kRle, false, TWPT_GRAY, 0}};
  for (const Layout& l : layouts) {
    PageDescription desc;
    desc.width = 200;
    desc.height = 100;
    desc.depth = l.depth;
    desc.compression = l.compression;
    desc.pixelType = l.pixelType;
    size_t full = 0;
    HGLOBAL handle = makePage(desc, true, &full);
    ASSERT_NE(handle, nullptr);
    size_t prefix = 40 + (l.depth <= 8 ? 4u << l.depth : 0);
    uint32_t promised = u32(static_cast<const uint8_t*>(GlobalLock(handle)) + 20);
    EXPECT_EQ(prefix + promised, full);
    EXPECT_EQ(GlobalSize(handle), prefix + promised / 2);
    std::vector<uint8_t> rgb;
    std::string err;
    int w = 0, h = 0;
    EXPECT_FALSE(decodeDib(static_cast<const uint8_t*>(GlobalLock(handle)), GlobalSize(handle), &w,
                           &h, &rgb, &err));
    GlobalUnlock(handle);
    GlobalUnlock(handle);
    GlobalFree(handle);
  }
}

TEST(PageMaker, RefusesEmptyPages) {
  PageDescription desc;
  desc.width = 0;
  desc.height = 10;
  EXPECT_EQ(makePage(desc, false, nullptr), nullptr);
}

}  // namespace
}  // namespace lumra::virtual_scanner

// Page files of the formats we code ourselves: byte-level checks, and GIF
// read back with giflib.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/testing/decoders.h"

namespace lumra {
namespace {

using namespace testing;

uint32_t le16(const std::vector<uint8_t>& b, size_t i) { return b[i] | b[i + 1] << 8; }
uint32_t le32(const std::vector<uint8_t>& b, size_t i) {
  return b[i] | b[i + 1] << 8 | b[i + 2] << 16 | static_cast<uint32_t>(b[i + 3]) << 24;
}

// Little-endian header fields: where, how many bytes, what they hold.
struct Field {
  size_t at;
  int bytes;
  uint64_t value;
};
void expectFields(const std::vector<uint8_t>& b, std::initializer_list<Field> fields) {
  for (const Field& f : fields) {
    EXPECT_EQ(f.bytes == 1 ? b.at(f.at) : f.bytes == 2 ? le16(b, f.at) : le32(b, f.at), f.value) << "at " << f.at;
  }
}

// The palette and rows of `page` as the image holds them: packDib's, with
// its junk reserved bytes and row padding cleared.
std::vector<uint8_t> heldBytes(const TestPage& page) {
  std::vector<uint8_t> held = packDib(page);
  held.erase(held.begin(), held.begin() + 40);
  for (size_t i = 0; i < page.palette.size(); ++i) held[4 * i + 3] = 0;
  const size_t rowSize = (page.width * page.depth + 31) / 32 * 4, used = (page.width * page.depth + 7) / 8;
  for (size_t i = 4 * page.palette.size() + used; i < held.size(); i += rowSize) std::fill_n(&held[i], rowSize - used, 0);
  return held;
}

// ---- BMP ----

TEST(BmpEncoder, HeadersAndRowsAsHeld) {
  struct Case {
    uint32_t depth, offset, colors;
  };
  const Case cases[] = {{1, 62, 2}, {4, 118, 16}, {8, 1078, 256}, {24, 54, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.depth);
    const TestPage page = makeTestPage(13, 5, c.depth);
    bool ok = false;
    const std::vector<uint8_t> file = encodePage(page, 1, &ok);
    ASSERT_TRUE(ok);
    const size_t rowSize = (13 * c.depth + 31) / 32 * 4;
    ASSERT_EQ(file.size(), c.offset + rowSize * 5);
    expectFields(file, {{0, 2, 0x4D42}, {2, 4, file.size()}, {6, 4, 0}, {10, 4, c.offset}, {14, 4, 40},
                        {18, 4, 13}, {22, 4, 5}, {26, 2, 1}, {28, 2, c.depth}, {30, 4, 0},
                        {34, 4, rowSize * 5}, {38, 4, 11811}, {42, 4, 11811}, {46, 4, c.colors}, {50, 4, 0}});
    const std::vector<uint8_t> held = heldBytes(page);
    EXPECT_TRUE(std::equal(held.begin(), held.end(), file.begin() + 54));
  }
}

// ---- GIF ----

// Palette pages are one image on the global colour table; noise fills the
// string table, so it is cleared and restarted. 24-bit pages are tiles of
// 17 x 15 with a local table each, left to right, then top to bottom.
TEST(GifEncoder, PagesDecodeExactly) {
  struct Case {
    uint32_t width, height, depth;
    bool noise;
    uint8_t packed;
    size_t tiles;
  };
  const Case cases[] = {
      {19, 7, 1, false, 0x80, 1},   {40, 31, 4, false, 0xE3, 1},  {33, 17, 8, false, 0xE7, 1},
      {1, 1, 8, false, 0xE7, 1},    {300, 200, 8, true, 0xE7, 1}, {301, 200, 4, true, 0xE3, 1},
      {333, 190, 1, true, 0x80, 1}, {34, 30, 24, false, 0x11, 4}, {35, 16, 24, false, 0x11, 6},
      {1, 1, 24, false, 0x11, 1},   {100, 47, 24, false, 0x11, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << "x" << c.depth);
    TestPage page = makeTestPage(c.width, c.height, c.depth);
    if (c.noise) {
      uint32_t seed = 12345;
      for (size_t i = 0; i < page.index.size(); ++i) {
        seed = seed * 1103515245 + 12345;
        page.index[i] = static_cast<uint8_t>((seed >> 24) % (1u << c.depth));
        const PaletteEntry& e = page.palette[page.index[i]];
        page.rgb[i] = {e.red, e.green, e.blue};
      }
    }
    bool ok = false;
    const std::vector<uint8_t> file = encodePage(page, 2, &ok);
    ASSERT_TRUE(ok);
    const bool tiled = c.depth == 24;
    const int colours = tiled ? 0 : 1 << c.depth;
    // What giflib does not tell: the screen's packed byte, the control block
    // (transparent index 0xFF) and the first image's code size.
    const size_t control = 13 + 3 * colours, codeSize = control + 18 + (tiled ? 768 : 0);
    ASSERT_GT(file.size(), codeSize);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "GIF89a");
    EXPECT_EQ(file[10], c.packed);
    EXPECT_EQ(file[control] << 8 | file[control + 1], 0x21F9);
    EXPECT_EQ(file[control + 6], 0xFF);
    EXPECT_EQ(file[codeSize], tiled ? 8u : std::max(2u, c.depth));
    Decoded screen;
    GifFacts gif;
    ASSERT_TRUE(decodeGif(file, &screen, &gif));
    EXPECT_EQ(gif.globalColours, colours);
    ASSERT_EQ(gif.images.size(), c.tiles);
    const uint32_t tileWidth = tiled ? 17 : c.width, tileHeight = tiled ? 15 : c.height;
    size_t i = 0;
    for (uint32_t top = 0; top < c.height; top += tileHeight) {
      for (uint32_t left = 0; left < c.width; left += tileWidth, ++i) {
        const testing::GifImage& d = gif.images[i];
        EXPECT_EQ(d.left, static_cast<int>(left));
        EXPECT_EQ(d.top, static_cast<int>(top));
        EXPECT_EQ(d.width, static_cast<int>(std::min(tileWidth, c.width - left)));
        EXPECT_EQ(d.height, static_cast<int>(std::min(tileHeight, c.height - top)));
        EXPECT_EQ(d.localColours, tiled ? 256 : 0);
        EXPECT_TRUE(tiled ? d.indexes[0] == 1 : d.indexes == page.index);  // a tile's entry 1 + 17r + c
      }
    }
    expectPicture(screen, page);
  }
}

// ---- ICO ----

// Pages up to 255 pixels a side are icon bitmaps, twice as high for their
// AND mask of zeros; larger ones embed a PNG. A palette of 256 is 0 as a byte.
TEST(IcoEncoder, SmallPagesAreBitmapsLargerOnesPngs) {
  struct Case {
    uint32_t width, height, depth;
  };
  for (const Case& c : {Case{165, 233, 8}, Case{255, 3, 1}, Case{2480, 3508, 1}, Case{256, 4, 24}, Case{4, 300, 4}}) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height);
    const TestPage page = makeTestPage(c.width, c.height, c.depth, PaletteKind::kBlackWhite);
    bool ok = false;
    const std::vector<uint8_t> file = encodePage(page, 5, &ok);
    ASSERT_TRUE(ok);
    const uint32_t colours = c.depth == 24 ? 0 : 1u << c.depth;
    expectFields(file, {{0, 2, 0}, {2, 2, 1}, {4, 2, 1}, {8, 1, colours & 0xFF}, {10, 2, 0}, {12, 2, c.depth},
                        {14, 4, file.size() - 22}, {18, 4, 22}});
    if (c.width > 255 || c.height > 255) {
      expectFields(file, {{6, 1, 0}, {7, 1, 0}});
      Decoded png;
      ASSERT_TRUE(decodePng(std::vector<uint8_t>(file.begin() + 22, file.end()), &png));
      expectPicture(png, page);
      continue;
    }
    const size_t rowSize = (c.width * c.depth + 31) / 32 * 4, maskSize = (c.width + 31) / 32 * 4 * c.height;
    ASSERT_EQ(file.size(), 22 + 40 + 4 * colours + rowSize * c.height + maskSize);
    expectFields(file, {{6, 1, c.width}, {7, 1, c.height}, {22, 4, 40}, {26, 4, c.width}, {30, 4, 2 * c.height},
                        {34, 2, 1}, {36, 2, c.depth}, {38, 4, 0}, {42, 4, rowSize * c.height}, {46, 4, 0}, {50, 4, 0}});
    const std::vector<uint8_t> held = heldBytes(page);
    EXPECT_TRUE(std::equal(held.begin(), held.end(), file.begin() + 62));
    EXPECT_TRUE(std::all_of(file.end() - maskSize, file.end(), [](uint8_t b) { return b == 0; }));
  }
}

// ---- PCX ----

// Expands the run-length data of one PCX file into its plane lines.
std::vector<uint8_t> unpackPcx(const std::vector<uint8_t>& file, size_t end, bool* sane) {
  std::vector<uint8_t> out;
  *sane = true;
  for (size_t i = 128; i < end; ++i) {
    if ((file[i] & 0xC0) == 0xC0) {
      const int count = file[i] & 0x3F;
      if (count == 0 || i + 1 >= end) *sane = false;
      if (count == 1 && file[i + 1] < 0xC0) *sane = false;  // should have been written plain
      out.insert(out.end(), count, file[++i]);
    } else {
      out.push_back(file[i]);
    }
  }
  return out;
}

TEST(PcxEncoder, EveryDepthRoundTrips) {
  struct Case {
    uint32_t width, height, depth;
    PaletteKind kind;
    int planes, bitsPerPlane, bytesPerLine;
  };
  const Case cases[] = {
      {21, 4, 1, PaletteKind::kBlackWhite, 1, 1, 4}, {21, 4, 1, PaletteKind::kWhiteBlack, 1, 1, 4},
      {9, 3, 4, PaletteKind::kColour, 4, 1, 2},      {7, 5, 8, PaletteKind::kColour, 1, 8, 8},
      {300, 2, 8, PaletteKind::kGray, 1, 8, 300},    {5, 3, 24, PaletteKind::kColour, 3, 8, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << "x" << c.depth);
    TestPage page = makeTestPage(c.width, c.height, c.depth, c.kind);
    if (c.width == 300) {  // long runs and bytes with both top bits set
      for (size_t i = 0; i < page.index.size(); ++i) {
        page.index[i] = i < 200 ? 0xC5 : static_cast<uint8_t>(0xC0 + i % 3);
        page.rgb[i] = {page.index[i], page.index[i], page.index[i]};
      }
    }
    bool ok = false;
    const std::vector<uint8_t> file = encodePage(page, 8, &ok);
    ASSERT_TRUE(ok);
    ASSERT_GE(file.size(), 128u);
    expectFields(file, {{0, 1, 10}, {1, 1, 5}, {2, 1, 1}, {3, 1, static_cast<uint64_t>(c.bitsPerPlane)},
                        {4, 4, 0}, {8, 2, c.width - 1}, {10, 2, c.height - 1}, {12, 2, 300}, {14, 2, 300},
                        {65, 1, static_cast<uint64_t>(c.planes)}, {66, 2, static_cast<uint64_t>(c.bytesPerLine)}});
    const size_t end = c.depth == 8 ? file.size() - 769 : file.size();
    if (c.depth == 8) {
      EXPECT_EQ(file[end], 12);
    }
    bool sane = false;
    const std::vector<uint8_t> lines = unpackPcx(file, end, &sane);
    EXPECT_TRUE(sane);
    ASSERT_EQ(lines.size(), static_cast<size_t>(c.planes) * c.bytesPerLine * c.height);
    for (uint32_t y = 0; y < c.height; ++y) {
      const uint8_t* line = &lines[static_cast<size_t>(y) * c.planes * c.bytesPerLine];
      for (uint32_t x = 0; x < c.width; ++x) {
        // Plane p holds sample p of a 24-bit pixel, bit p of a 1- or 4-bit index.
        uint32_t v = 0;
        for (int p = 0; p < c.planes; ++p) {
          const uint8_t* plane = line + p * c.bytesPerLine;
          v |= c.bitsPerPlane == 8 ? plane[x] << (8 * p) : ((plane[x / 8] >> (7 - x % 8)) & 1) << p;
        }
        Rgb got{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
        if (c.depth != 24) {
          const uint8_t* pal = &file[(c.depth == 8 ? end + 1 : 16) + 3 * v];  // palette at the end or in the header
          got = {pal[0], pal[1], pal[2]};
        }
        ASSERT_EQ(got, page.at(x, y)) << x << "," << y;
      }
    }
  }
}

// ---- TGA, WBMP and SKA: a fixed header, then plain rows ----

// The colour a file gives pixel (x, y), counted from the top.
using PixelAt = Rgb (*)(const std::vector<uint8_t>& file, uint32_t x, uint32_t y);

// TGA: BGR palette and pixels, bottom row first. WBMP: a bit per pixel, 1 for
// white whatever the palette. SKA: RGB palette, one byte per pixel.
TEST(BuiltinEncoders, FixedHeadersThenPlainRows) {
  struct Case {
    const char* name;
    uint32_t format;
    TestPage page;
    std::vector<uint8_t> header;
    size_t size;
    PixelAt pixel;
  };
  const PixelAt wbmp = [](const std::vector<uint8_t>& f, uint32_t x, uint32_t y) {
    const uint8_t v = (f[5 + 25 * y + x / 8] >> (7 - x % 8)) & 1 ? 255 : 0;
    return Rgb{v, v, v};
  };
  const PixelAt ska = [](const std::vector<uint8_t>& f, uint32_t x, uint32_t y) {
    const uint8_t* e = &f[9 + 3 * f[9 + 768 + 11 * y + x]];
    return Rgb{e[0], e[1], e[2]};
  };
  const std::vector<uint8_t> skaHeader = {11, 0, 4, 0, 3, 0, 0, 0, 1};
  const Case cases[] = {
      {"TGA 8 bits", 7, makeTestPage(7, 3, 8), {0, 1, 1, 0, 0, 0, 1, 24, 0, 0, 0, 0, 7, 0, 3, 0, 8, 0}, 18 + 768 + 21,
       [](const std::vector<uint8_t>& f, uint32_t x, uint32_t y) {
         const uint8_t* e = &f[18 + 3 * f[18 + 768 + 7 * (2 - y) + x]];
         return Rgb{e[2], e[1], e[0]};
       }},
      {"TGA 24 bits", 7, makeTestPage(5, 2, 24), {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 2, 0, 24, 0}, 18 + 30,
       [](const std::vector<uint8_t>& f, uint32_t x, uint32_t y) {
         const uint8_t* p = &f[18 + 15 * (1 - y) + 3 * x];
         return Rgb{p[2], p[1], p[0]};
       }},
      {"WBMP", 9, makeTestPage(200, 3, 1, PaletteKind::kBlackWhite), {0, 0, 0x81, 0x48, 3}, 5 + 75, wbmp},
      {"WBMP, white first", 9, makeTestPage(200, 3, 1, PaletteKind::kWhiteBlack), {0, 0, 0x81, 0x48, 3}, 5 + 75, wbmp},
      {"SKA 1 bit", 18, makeTestPage(11, 4, 1), skaHeader, 9 + 768 + 44, ska},
      {"SKA 4 bits", 18, makeTestPage(11, 4, 4), skaHeader, 9 + 768 + 44, ska},
      {"SKA 8 bits", 18, makeTestPage(11, 4, 8), skaHeader, 9 + 768 + 44, ska},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool ok = false;
    const std::vector<uint8_t> file = encodePage(c.page, c.format, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(file.size(), c.size);
    EXPECT_TRUE(std::equal(c.header.begin(), c.header.end(), file.begin()));
    for (uint32_t y = 0; y < c.page.height; ++y) {
      for (uint32_t x = 0; x < c.page.width; ++x) ASSERT_EQ(c.pixel(file, x, y), c.page.at(x, y)) << x << "," << y;
    }
  }
  // A WBMP height of 16384 takes three bytes.
  bool ok = false;
  const std::vector<uint8_t> tall = encodePage(makeTestPage(1, 16384, 1), 9, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(std::vector<uint8_t>(tall.begin(), tall.begin() + 6), (std::vector<uint8_t>{0, 0, 1, 0x81, 0x80, 0x00}));
}

// ---- Refusals common to the 16-bit formats ----

TEST(BuiltinEncoders, SixteenBitFieldsRefuseWiderPages) {
  PageImage image;
  ASSERT_TRUE(image.create(70000, 1, 8));
  for (uint32_t format : {2u, 7u, 8u, 18u}) {
    MemoryStream stream;
    EXPECT_FALSE(image.encode(stream, format)) << format;
    EXPECT_EQ(stream.size(), 0) << format;
  }
}

}  // namespace
}  // namespace lumra

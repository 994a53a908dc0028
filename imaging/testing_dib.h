// Test pages and the DIBs that carry them, for the imaging and scanning
// tests. Header-only so it never enters the library.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/page_image.h"
#include "platform/win32.h"

namespace lumra::testing {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

/// How a palette page's colours are chosen.
enum class PaletteKind { kColour, kGray, kBlackWhite, kWhiteBlack };

/// A picture with known pixels, top row first.
struct TestPage {
  uint32_t width = 0, height = 0, depth = 24;
  std::vector<PaletteEntry> palette;  // 2, 16 or 256 entries, or none
  std::vector<uint8_t> index;         // one per pixel for palette pages
  std::vector<Rgb> rgb;               // one per pixel, always filled

  Rgb at(uint32_t x, uint32_t y) const { return rgb[static_cast<size_t>(y) * width + x]; }
  uint8_t indexAt(uint32_t x, uint32_t y) const { return index[static_cast<size_t>(y) * width + x]; }
};

/// Smooth gradients (for lossy codecs) with a few hard edges.
inline TestPage makeTestPage(uint32_t width, uint32_t height, uint32_t depth,
                             PaletteKind kind = PaletteKind::kColour) {
  TestPage page;
  page.width = width;
  page.height = height;
  page.depth = depth;
  const size_t count = static_cast<size_t>(width) * height;
  page.rgb.resize(count);
  if (depth <= 8) {
    const uint32_t n = 1u << depth;
    page.palette.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
      PaletteEntry& e = page.palette[i];
      switch (kind) {
        case PaletteKind::kGray: e = {uint8_t(i), uint8_t(i), uint8_t(i), 0}; break;
        case PaletteKind::kBlackWhite: e = i ? PaletteEntry{255, 255, 255, 0} : PaletteEntry{}; break;
        case PaletteKind::kWhiteBlack: e = i ? PaletteEntry{} : PaletteEntry{255, 255, 255, 0}; break;
        case PaletteKind::kColour:
          e = {uint8_t(i * 37 + 11), uint8_t(255 - i * 13), uint8_t(i * 101 + 7), 0};
          break;
      }
    }
    page.index.resize(count);
  }
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const size_t at = static_cast<size_t>(y) * width + x;
      if (depth <= 8) {
        const uint32_t n = 1u << depth;
        uint32_t v;
        if (depth == 8) v = (x * 255 / (width > 1 ? width - 1 : 1) + y) % 256;
        else v = ((x / 3) + (y / 2) + (x * y) % 5) % n;
        if (depth == 8 && kind == PaletteKind::kColour) v = (x / 2 + y * 3) % 256;
        page.index[at] = static_cast<uint8_t>(v);
        const PaletteEntry& e = page.palette[v];
        page.rgb[at] = {e.red, e.green, e.blue};
      } else {
        page.rgb[at] = {uint8_t(x * 255 / (width > 1 ? width - 1 : 1)),
                        uint8_t(y * 255 / (height > 1 ? height - 1 : 1)),
                        uint8_t((x + y) * 127 / (width + height) + (x < width / 2 ? 0 : 100))};
      }
    }
  }
  return page;
}

inline void putLe16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
inline void putLe32(std::vector<uint8_t>& out, uint32_t v) {
  putLe16(out, v & 0xFFFF);
  putLe16(out, v >> 16);
}

/// A BITMAPINFOHEADER.
inline std::vector<uint8_t> infoHeader(int32_t width, int32_t height, uint16_t bitCount,
                                       uint32_t compression, int32_t ppm = 11811,
                                       uint32_t colorsUsed = 0) {
  std::vector<uint8_t> out;
  putLe32(out, 40);
  putLe32(out, static_cast<uint32_t>(width));
  putLe32(out, static_cast<uint32_t>(height));
  putLe16(out, 1);
  putLe16(out, bitCount);
  putLe32(out, compression);
  putLe32(out, 0);
  putLe32(out, static_cast<uint32_t>(ppm));
  putLe32(out, static_cast<uint32_t>(ppm));
  putLe32(out, colorsUsed);
  putLe32(out, 0);
  return out;
}

/// The packed BI_RGB DIB of `page` (header, full colour table, rows).
inline std::vector<uint8_t> packDib(const TestPage& page, bool topDown = false, int32_t ppm = 11811) {
  std::vector<uint8_t> out = infoHeader(static_cast<int32_t>(page.width),
                                        topDown ? -static_cast<int32_t>(page.height)
                                                : static_cast<int32_t>(page.height),
                                        static_cast<uint16_t>(page.depth), 0, ppm);
  for (const PaletteEntry& e : page.palette) {
    out.push_back(e.blue);
    out.push_back(e.green);
    out.push_back(e.red);
    out.push_back(0x5A);  // reserved bytes are not trusted
  }
  const size_t rowSize = (static_cast<size_t>(page.width) * page.depth + 31) / 32 * 4;
  for (uint32_t i = 0; i < page.height; ++i) {
    const uint32_t y = topDown ? i : page.height - 1 - i;
    std::vector<uint8_t> row(rowSize, 0xEE);  // padding is junk on purpose
    std::memset(row.data(), 0, (static_cast<size_t>(page.width) * page.depth + 7) / 8);
    for (uint32_t x = 0; x < page.width; ++x) {
      if (page.depth == 24) {
        const Rgb c = page.at(x, y);
        row[3 * x] = c.b;
        row[3 * x + 1] = c.g;
        row[3 * x + 2] = c.r;
      } else if (page.depth == 8) {
        row[x] = page.indexAt(x, y);
      } else if (page.depth == 4) {
        row[x / 2] |= static_cast<uint8_t>(page.indexAt(x, y) << ((x & 1) ? 0 : 4));
      } else {
        row[x / 8] |= static_cast<uint8_t>(page.indexAt(x, y) << (7 - (x & 7)));
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

/// A global memory block holding `bytes`; freed on destruction unless
/// released.
class GlobalBlock {
 public:
  explicit GlobalBlock(const std::vector<uint8_t>& bytes) : handle_(GlobalAlloc(GHND, bytes.size())) {
    if (handle_ != nullptr && !bytes.empty()) {
      std::memcpy(GlobalLock(handle_), bytes.data(), bytes.size());
      GlobalUnlock(handle_);
    }
  }
  ~GlobalBlock() {
    if (handle_ != nullptr) GlobalFree(handle_);
  }
  GlobalBlock(const GlobalBlock&) = delete;
  GlobalBlock& operator=(const GlobalBlock&) = delete;
  HGLOBAL get() const { return handle_; }
  HGLOBAL release() {
    HGLOBAL h = handle_;
    handle_ = nullptr;
    return h;
  }

 private:
  HGLOBAL handle_;
};

/// The image read from `bytes` as a DIB, or an invalid image when refused.
inline PageImage readDib(const std::vector<uint8_t>& bytes, bool* ok = nullptr) {
  GlobalBlock block(bytes);
  PageImage image;
  const bool loaded = image.createFromHandle(block.get());
  if (ok != nullptr) *ok = loaded;
  return image;
}

/// Colour of pixel (x, y), y from the top, as the image holds it.
inline Rgb pixelOf(const PageImage& image, uint32_t x, uint32_t y) {
  const uint8_t* row = image.topRow(y);
  if (image.depth() == 24) return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
  uint32_t index;
  if (image.depth() == 8) index = row[x];
  else if (image.depth() == 4) index = (x & 1) ? row[x / 2] & 0x0F : row[x / 2] >> 4;
  else index = (row[x / 8] >> (7 - (x & 7))) & 1;
  const PaletteEntry& e = image.palette()[index];
  return {e.red, e.green, e.blue};
}

}  // namespace lumra::testing

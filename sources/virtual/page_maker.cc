#include "sources/virtual/page_maker.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace lumra::virtual_scanner {

namespace {

enum Ink : uint8_t { kPaper, kText, kBand, kAccent, kRule, kInkCount };
const uint8_t kInkRgb[kInkCount][3] = {
    {255, 255, 255}, {25, 25, 35}, {40, 80, 170}, {200, 50, 40}, {150, 150, 150}};

struct BitmapInfoHeader {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};
static_assert(sizeof(BitmapInfoHeader) == 40);

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;

// A page is a handful of distinct rows; each image row names one of them.
struct Layout {
  std::vector<std::vector<uint8_t>> templates;
  std::vector<uint32_t> rowTemplate;
};

uint32_t nextRandom(uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

Layout makeLayout(const PageDescription& desc) {
  const int w = desc.width;
  const int h = desc.height;
  Layout layout;
  layout.templates.emplace_back(static_cast<size_t>(w), kPaper);
  layout.rowTemplate.assign(static_cast<size_t>(h), 0);
  auto addTemplate = [&]() -> std::vector<uint8_t>& {
    layout.templates.emplace_back(static_cast<size_t>(w), kPaper);
    return layout.templates.back();
  };
  auto fill = [&](std::vector<uint8_t>& row, int from, int to, uint8_t ink) {
    from = std::clamp(from, 0, w);
    to = std::clamp(to, 0, w);
    if (from < to) memset(row.data() + from, ink, static_cast<size_t>(to - from));
  };
  auto assignRows = [&](int from, int to, uint32_t index) {
    from = std::clamp(from, 0, h);
    to = std::clamp(to, 0, h);
    for (int y = from; y < to; ++y) layout.rowTemplate[static_cast<size_t>(y)] = index;
  };
  const int margin = std::max(1, w * 6 / 100);

  // Heading band with one accent mark per page number, so pages differ.
  const int bandTop = h * 4 / 100;
  const int bandBottom = std::max(bandTop + 1, h * 9 / 100);
  const int quarter = (bandBottom - bandTop) / 4;
  {
    std::vector<uint8_t>& band = addTemplate();
    fill(band, margin, w - margin, kBand);
    uint32_t plain = static_cast<uint32_t>(layout.templates.size() - 1);
    std::vector<uint8_t>& marked = addTemplate();
    marked = layout.templates[plain];
    int mark = std::max(1, w / 60);
    int marks = std::min(desc.pageNumber + 1, 30);
    for (int i = 0; i < marks; ++i) {
      int x = margin + mark + i * 2 * mark;
      fill(marked, x, x + mark, kAccent);
    }
    uint32_t withMarks = static_cast<uint32_t>(layout.templates.size() - 1);
    assignRows(bandTop, bandBottom, plain);
    assignRows(bandTop + quarter, bandBottom - quarter, withMarks);
  }

  // Lines of words: an ascender row with a few tall letters, then the body.
  const int pitch = std::max(3, h / 55);
  const int glyph = std::max(1, pitch * 55 / 100);
  const int ascender = glyph / 4;
  const int gap = std::max(1, w * 12 / 1000);
  int line = 0;
  for (int y = h * 12 / 100; y + pitch < h * 90 / 100; y += pitch, ++line) {
    if (line % 7 == 6) continue;  // paragraph break
    uint32_t state = static_cast<uint32_t>(desc.pageNumber) * 7919u +
                     static_cast<uint32_t>(line) * 104729u + 1u;
    addTemplate();
    uint32_t bodyIndex = static_cast<uint32_t>(layout.templates.size() - 1);
    std::vector<uint8_t> tall(static_cast<size_t>(w), kPaper);
    int lineEnd = line % 7 == 5 ? w * 60 / 100 : w - margin;
    for (int x = margin; x < lineEnd;) {
      int word = w * 2 / 100 + static_cast<int>(nextRandom(state) % static_cast<uint32_t>(w * 7 / 100 + 1));
      word = std::max(word, 1);
      if (x + word > lineEnd) break;
      fill(layout.templates[bodyIndex], x, x + word, kText);
      if (nextRandom(state) % 3 == 0) fill(tall, x, x + std::max(1, word / 5), kText);
      x += word + gap;
    }
    layout.templates.push_back(std::move(tall));
    uint32_t tallIndex = static_cast<uint32_t>(layout.templates.size() - 1);
    assignRows(y, y + ascender, tallIndex);
    assignRows(y + ascender, y + glyph, bodyIndex);
  }

  // A thin rule near the foot of the page.
  {
    std::vector<uint8_t>& rule = addTemplate();
    fill(rule, margin, w - margin, kRule);
    int top = h * 95 / 100;
    assignRows(top, top + std::max(1, h / 800), static_cast<uint32_t>(layout.templates.size() - 1));
  }
  return layout;
}

void inkColour(TW_UINT16 pixelType, uint8_t ink, uint8_t rgb[3]) {
  const uint8_t* c = kInkRgb[ink];
  if (pixelType == TWPT_RGB) {
    memcpy(rgb, c, 3);
    return;
  }
  int l = (c[0] * 299 + c[1] * 587 + c[2] * 114) / 1000;
  if (pixelType == TWPT_BW) l = l >= 128 ? 255 : 0;
  rgb[0] = rgb[1] = rgb[2] = static_cast<uint8_t>(l);
}

int luminance(const uint8_t rgb[3]) { return (rgb[0] * 299 + rgb[1] * 587 + rgb[2] * 114) / 1000; }

// Palette (BGRA quads) and the palette index of every ink.
void makePalette(const PageDescription& desc, std::vector<uint8_t>* quads, uint8_t inkIndex[kInkCount]) {
  const int n = 1 << desc.depth;
  quads->assign(static_cast<size_t>(n) * 4, 0);
  auto set = [&](int i, const uint8_t rgb[3]) {
    (*quads)[static_cast<size_t>(i) * 4 + 0] = rgb[2];
    (*quads)[static_cast<size_t>(i) * 4 + 1] = rgb[1];
    (*quads)[static_cast<size_t>(i) * 4 + 2] = rgb[0];
  };
  for (int i = 0; i < n; ++i) {
    uint8_t g = static_cast<uint8_t>(i * 255 / (n - 1));
    uint8_t rgb[3] = {g, g, g};
    set(i, rgb);
  }
  bool colourTable = desc.pixelType == TWPT_RGB && desc.depth >= 4;
  for (int ink = 0; ink < kInkCount; ++ink) {
    uint8_t rgb[3];
    inkColour(desc.pixelType, static_cast<uint8_t>(ink), rgb);
    if (colourTable) {
      set(ink, rgb);
      inkIndex[ink] = static_cast<uint8_t>(ink);
    } else if (desc.depth == 1) {
      inkIndex[ink] = luminance(rgb) >= 128 ? 1 : 0;
    } else {
      inkIndex[ink] = static_cast<uint8_t>((luminance(rgb) * (n - 1) + 127) / 255);
    }
  }
}

std::vector<uint8_t> packRow(const PageDescription& desc, const std::vector<uint8_t>& inks,
                             const uint8_t inkIndex[kInkCount], size_t stride) {
  std::vector<uint8_t> row(stride, 0);
  const int w = desc.width;
  const bool bitfields = desc.compression == Compression::kBitfields;
  for (int x = 0; x < w; ++x) {
    uint8_t ink = inks[static_cast<size_t>(x)];
    uint8_t rgb[3];
    inkColour(desc.pixelType, ink, rgb);
    switch (desc.depth) {
      case 1:
        if (inkIndex[ink]) row[static_cast<size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        break;
      case 4:
        row[static_cast<size_t>(x / 2)] |=
            static_cast<uint8_t>(x % 2 == 0 ? inkIndex[ink] << 4 : inkIndex[ink]);
        break;
      case 8:
        row[static_cast<size_t>(x)] = inkIndex[ink];
        break;
      case 16: {
        uint16_t v = bitfields ? static_cast<uint16_t>(((rgb[0] >> 3) << 11) | ((rgb[1] >> 2) << 5) |
                                                       (rgb[2] >> 3))
                               : static_cast<uint16_t>(((rgb[0] >> 3) << 10) |
                                                       ((rgb[1] >> 3) << 5) | (rgb[2] >> 3));
        row[static_cast<size_t>(x) * 2] = static_cast<uint8_t>(v);
        row[static_cast<size_t>(x) * 2 + 1] = static_cast<uint8_t>(v >> 8);
        break;
      }
      case 24:
      case 32: {
        size_t at = static_cast<size_t>(x) * (desc.depth / 8);
        row[at] = rgb[2];
        row[at + 1] = rgb[1];
        row[at + 2] = rgb[0];
        break;
      }
    }
  }
  return row;
}

// Encoded-mode runs only (always valid), then the end-of-line escape.
std::vector<uint8_t> rleRow(const PageDescription& desc, const std::vector<uint8_t>& inks,
                            const uint8_t inkIndex[kInkCount]) {
  std::vector<uint8_t> out;
  const size_t w = static_cast<size_t>(desc.width);
  for (size_t x = 0; x < w;) {
    uint8_t index = inkIndex[inks[x]];
    size_t run = 1;
    while (x + run < w && run < 255 && inkIndex[inks[x + run]] == index) ++run;
    out.push_back(static_cast<uint8_t>(run));
    out.push_back(desc.depth == 4 ? static_cast<uint8_t>(index << 4 | index) : index);
    x += run;
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

bool effectiveRle(const PageDescription& desc) {
  return desc.compression == Compression::kRle && (desc.depth == 4 || desc.depth == 8);
}

bool effectiveBitfields(const PageDescription& desc) {
  return desc.compression == Compression::kBitfields && (desc.depth == 16 || desc.depth == 32);
}

}  // namespace

HGLOBAL makePage(const PageDescription& desc, bool truncate, size_t* fullBytes,
                 const TW_ENTRYPOINT* memory) {
  if (desc.width <= 0 || desc.height <= 0) return nullptr;
  Layout layout = makeLayout(desc);
  const bool rle = effectiveRle(desc);
  const bool bitfields = effectiveBitfields(desc);
  const bool topDown = desc.topDown && !rle;

  std::vector<uint8_t> palette;
  uint8_t inkIndex[kInkCount] = {};
  if (desc.depth <= 8) makePalette(desc, &palette, inkIndex);

  const size_t stride = ((static_cast<size_t>(desc.width) * desc.depth + 31) / 32) * 4;
  std::vector<std::vector<uint8_t>> rows;
  rows.reserve(layout.templates.size());
  for (const auto& inks : layout.templates) {
    rows.push_back(rle ? rleRow(desc, inks, inkIndex) : packRow(desc, inks, inkIndex, stride));
  }
  size_t pixelBytes = 0;
  if (rle) {
    for (uint32_t t : layout.rowTemplate) pixelBytes += rows[t].size();
    pixelBytes += 2;  // end of bitmap
  } else {
    pixelBytes = stride * static_cast<size_t>(desc.height);
  }

  BitmapInfoHeader header{};
  header.biSize = sizeof header;
  header.biWidth = desc.width;
  header.biHeight = topDown ? -desc.height : desc.height;
  header.biPlanes = 1;
  header.biBitCount = static_cast<uint16_t>(desc.depth);
  header.biCompression = rle ? (desc.depth == 8 ? kBiRle8 : kBiRle4) : bitfields ? kBiBitfields : kBiRgb;
  header.biSizeImage = static_cast<uint32_t>(pixelBytes);
  header.biXPelsPerMeter = desc.pixelsPerMetre;
  header.biYPelsPerMeter = desc.pixelsPerMetre;
  header.biClrUsed = desc.depth <= 8 ? (1u << desc.depth) : 0;

  uint32_t masks[3] = {0, 0, 0};
  if (bitfields && desc.depth == 16) {
    masks[0] = 0xF800;
    masks[1] = 0x07E0;
    masks[2] = 0x001F;
  } else if (bitfields) {
    masks[0] = 0x00FF0000;
    masks[1] = 0x0000FF00;
    masks[2] = 0x000000FF;
  }
  const size_t prefix = sizeof header + (bitfields ? sizeof masks : 0) + palette.size();
  const size_t full = prefix + pixelBytes;
  if (fullBytes != nullptr) *fullBytes = full;
  const size_t allocated = truncate ? prefix + pixelBytes / 2 : full;

  const bool managed = memory != nullptr && memory->DSM_MemAllocate != nullptr;
  if (managed && allocated > UINT32_MAX) return nullptr;
  HGLOBAL handle = managed ? memory->DSM_MemAllocate(static_cast<TW_UINT32>(allocated))
                           : GlobalAlloc(GHND, allocated);
  if (handle == nullptr) return nullptr;
  auto* out = static_cast<uint8_t*>(managed ? memory->DSM_MemLock(handle) : GlobalLock(handle));
  if (out == nullptr) {
    if (managed) memory->DSM_MemFree(handle);
    else GlobalFree(handle);
    return nullptr;
  }
  memcpy(out, &header, sizeof header);
  size_t at = sizeof header;
  if (bitfields) {
    memcpy(out + at, masks, sizeof masks);
    at += sizeof masks;
  }
  if (!palette.empty()) memcpy(out + at, palette.data(), palette.size());
  at = prefix;
  // Stored rows run bottom-up unless the height is negative.
  for (int r = 0; r < desc.height; ++r) {
    int y = topDown ? r : desc.height - 1 - r;
    const std::vector<uint8_t>& row = rows[layout.rowTemplate[static_cast<size_t>(y)]];
    if (at + row.size() > allocated) break;
    memcpy(out + at, row.data(), row.size());
    at += row.size();
  }
  // A truncated block must not end properly, or it would read as a whole
  // (shorter) bitmap.
  if (rle && !truncate) {
    out[at] = 0;
    out[at + 1] = 1;
  }
  if (managed) memory->DSM_MemUnlock(handle);
  else GlobalUnlock(handle);
  return handle;
}

}  // namespace lumra::virtual_scanner

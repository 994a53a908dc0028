#include "imaging/page_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "imaging/page_files.h"
#include "platform/memory.h"

namespace lumra {

namespace {

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiAlphaBitfields = 6;
constexpr size_t kInfoHeaderSize = 40;

uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t readU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t storedDepth(uint32_t bitCount) {
  if (bitCount <= 1) return 1;
  if (bitCount <= 4) return 4;
  if (bitCount <= 8) return 8;
  return 24;
}

int dpiFromPixelsPerMeter(int32_t ppm) {
  double dpi = std::floor(static_cast<double>(ppm) * 254.0 / 10000.0 + 0.5);
  return dpi < 1.0 ? PageImage::kDefaultDpi : static_cast<int>(std::min(dpi, 2147483647.0));
}

// Holds the bitmap handle locked while it is read. On the way out it unlocks
// it and, when it was taken over, frees it; unless the image kept it.
class HandleHold {
 public:
  HandleHold(HGLOBAL handle, bool take, const HandleMemory& memory)
      : handle_(handle),
        data_(handle != nullptr ? memory.lockHandle(handle) : nullptr),
        take_(take),
        memory_(memory) {}
  ~HandleHold() {
    if (kept_ || handle_ == nullptr) return;
    if (data_ != nullptr) memory_.unlockHandle(handle_);
    if (take_) memory_.freeHandle(handle_);
  }
  HandleHold(const HandleHold&) = delete;
  HandleHold& operator=(const HandleHold&) = delete;
  uint8_t* data() const { return static_cast<uint8_t*>(data_); }
  /// What may be read at data().
  size_t size() const { return data_ != nullptr ? transferredBlockSize(handle_, data_) : 0; }
  void keep() { kept_ = true; }

 private:
  HGLOBAL handle_;
  void* data_;
  bool take_;
  HandleMemory memory_;
  bool kept_ = false;
};

bool withinLimit(uint32_t width, uint32_t height, uint32_t depth) {
  return width != 0 && height != 0 &&
         static_cast<uint64_t>(width) * height * depth / 8 <= PageImage::kMaxPixelBytes;
}

// One channel of a bit-field pixel, moved so that the mask's highest bit
// lands on bit 7. Works for any mask width and any channel order.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;  // right shift when positive, left when negative

  explicit Channel(uint32_t m) : mask(m) {
    if (m == 0) return;
    int highest = 31;
    while ((m & (1u << highest)) == 0) --highest;
    shift = highest - 7;
  }
  uint8_t operator()(uint32_t pixel) const {
    uint32_t v = pixel & mask;
    return static_cast<uint8_t>(shift >= 0 ? v >> shift : v << -shift);
  }
};

}  // namespace

PageImage::PageImage() = default;
PageImage::~PageImage() = default;

PageImage::PageImage(PageImage&& other) noexcept { *this = std::move(other); }

PageImage& PageImage::operator=(PageImage&& other) noexcept {
  if (this == &other) return *this;
  width_ = std::exchange(other.width_, 0);
  height_ = std::exchange(other.height_, 0);
  depth_ = std::exchange(other.depth_, 0);
  rowSize_ = std::exchange(other.rowSize_, 0);
  bits_ = std::move(other.bits_);
  std::copy(std::begin(other.palette_), std::end(other.palette_), palette_);
  dpiX_ = other.dpiX_;
  dpiY_ = other.dpiY_;
  ppmX_ = other.ppmX_;
  ppmY_ = other.ppmY_;
  jpegQuality_ = other.jpegQuality_;
  format_ = other.format_;
  return *this;
}

void* HandleMemory::lockHandle(HGLOBAL handle) const {
  return lock != nullptr ? lock(handle) : GlobalLock(handle);
}

void HandleMemory::unlockHandle(HGLOBAL handle) const {
  if (unlock != nullptr) unlock(handle);
  else GlobalUnlock(handle);
}

void HandleMemory::freeHandle(HGLOBAL handle) const {
  if (free != nullptr) free(handle);
  else GlobalFree(handle);
}

void PixelRelease::operator()(uint8_t* bits) const {
  if (handle == nullptr) {
    delete[] bits;
    return;
  }
  memory.unlockHandle(handle);
  memory.freeHandle(handle);
}

bool PageImage::create(uint32_t width, uint32_t height, uint32_t bitCount, bool zero) {
  const uint32_t depth = storedDepth(bitCount);
  if (!withinLimit(width, height, depth)) return false;
  uint64_t rowSize = (static_cast<uint64_t>(width) * depth + 31) / 32 * 4;
  uint8_t* pixels = zero ? new (std::nothrow) uint8_t[rowSize * height]()
                         : new (std::nothrow) uint8_t[rowSize * height];
  std::unique_ptr<uint8_t[], PixelRelease> bits(pixels, PixelRelease{});
  if (!bits) return false;
  width_ = width;
  height_ = height;
  depth_ = depth;
  rowSize_ = static_cast<size_t>(rowSize);
  bits_ = std::move(bits);
  std::fill(std::begin(palette_), std::end(palette_), PaletteEntry{});
  return true;
}

void PageImage::setResolution(int64_t dpiX, int64_t dpiY) {
  auto clamp = [](int64_t dpi) {
    return dpi < 1 ? kDefaultDpi : static_cast<int>(std::min<int64_t>(dpi, 1000000));
  };
  dpiX_ = clamp(dpiX);
  dpiY_ = clamp(dpiY);
  ppmX_ = static_cast<int>(std::floor(dpiX_ * 10000.0 / 254.0 + 0.5));
  ppmY_ = static_cast<int>(std::floor(dpiY_ * 10000.0 / 254.0 + 0.5));
}

bool PageImage::isGray() const {
  if (depth_ != 8) return false;
  for (int i = 0; i < 256; ++i) {
    const PaletteEntry& e = palette_[i];
    if (e.red != i || e.green != i || e.blue != i) return false;
  }
  return true;
}

void PageImage::clearRowPadding() {
  uint64_t usedBits = static_cast<uint64_t>(width_) * depth_;
  size_t fullBytes = static_cast<size_t>(usedBits / 8);
  unsigned partialBits = static_cast<unsigned>(usedBits % 8);
  if (fullBytes + (partialBits ? 1 : 0) == rowSize_ && partialBits == 0) return;
  for (uint32_t y = 0; y < height_; ++y) {
    uint8_t* r = row(y);
    size_t keep = fullBytes;
    if (partialBits != 0) {
      r[fullBytes] &= static_cast<uint8_t>(0xFF << (8 - partialBits));
      ++keep;
    }
    std::memset(r + keep, 0, rowSize_ - keep);
  }
}

bool PageImage::createFromHandle(HGLOBAL dib) { return readDib(dib, false, HandleMemory{}); }

bool PageImage::takeHandle(HGLOBAL dib, const HandleMemory& memory) {
  return readDib(dib, true, memory);
}

bool PageImage::readDib(HGLOBAL dib, bool take, const HandleMemory& memory) {
  HandleHold hold(dib, take, memory);
  const size_t size = hold.size();
  if (size == 0) return false;
  uint8_t* data = hold.data();
  if (data == nullptr || size < kInfoHeaderSize) return false;

  const uint32_t headerSize = readU32(data);
  const int32_t width = static_cast<int32_t>(readU32(data + 4));
  const int32_t rawHeight = static_cast<int32_t>(readU32(data + 8));
  const uint16_t bitCount = readU16(data + 14);
  const uint32_t compression = readU32(data + 16);
  const int32_t ppmX = static_cast<int32_t>(readU32(data + 24));
  const int32_t ppmY = static_cast<int32_t>(readU32(data + 28));
  const uint32_t colorsUsed = readU32(data + 32);

  // Version 4 and 5 headers start with the same 40 bytes; the core header
  // (12 bytes) has another layout and is not a DIB a source transfers.
  if (headerSize < kInfoHeaderSize || headerSize > size) return false;
  if (width <= 0 || rawHeight == 0) return false;
  const bool topDown = rawHeight < 0;
  const uint32_t height = static_cast<uint32_t>(topDown ? -static_cast<int64_t>(rawHeight)
                                                        : static_cast<int64_t>(rawHeight));

  const bool bitfields = compression == kBiBitfields || compression == kBiAlphaBitfields;
  switch (bitCount) {
    case 1:
    case 24:
      if (compression != kBiRgb) return false;
      break;
    case 4:
      if (compression != kBiRgb && compression != kBiRle4) return false;
      break;
    case 8:
      if (compression != kBiRgb && compression != kBiRle8) return false;
      break;
    case 16:
    case 32:
      if (compression != kBiRgb && !bitfields) return false;
      break;
    default:
      return false;
  }

  // Where the masks, the colour table and the pixels start.
  uint64_t offset = headerSize;
  uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
  if (bitCount == 32) {
    masks[0] = 0x00FF0000;
    masks[1] = 0x0000FF00;
    masks[2] = 0x000000FF;
  }
  if (bitfields) {
    const uint64_t maskOffset = headerSize == kInfoHeaderSize ? offset : kInfoHeaderSize;
    if (maskOffset + 12 > size) return false;
    for (int i = 0; i < 3; ++i) masks[i] = readU32(data + maskOffset + 4 * i);
    if (headerSize == kInfoHeaderSize) offset += compression == kBiAlphaBitfields ? 16 : 12;
  }
  uint64_t tableEntries = 0;
  if (bitCount <= 8) {
    tableEntries = colorsUsed != 0 ? colorsUsed : (1u << bitCount);
    if (tableEntries > 256) return false;
  }
  const uint64_t tableOffset = offset;
  offset += 4 * tableEntries;
  if (offset > size) return false;

  // The pixels must fit in the block before anything is allocated for them.
  const uint64_t available = size - offset;
  const uint64_t sourceRow = (static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4;
  const bool rle = compression == kBiRle8 || compression == kBiRle4;
  if (!rle && height > available / sourceRow) return false;

  // Uncompressed rows of a taken-over handle already are the image.
  const bool inPlace = take && !rle && bitCount != 16 && bitCount != 32;
  if (inPlace) {
    if (!withinLimit(static_cast<uint32_t>(width), height, bitCount)) return false;
    width_ = static_cast<uint32_t>(width);
    height_ = height;
    depth_ = bitCount;
    rowSize_ = static_cast<size_t>(sourceRow);
    bits_ = std::unique_ptr<uint8_t[], PixelRelease>(data + offset, PixelRelease{dib, memory});
    hold.keep();
    std::fill(std::begin(palette_), std::end(palette_), PaletteEntry{});
  } else if (!create(static_cast<uint32_t>(width), height, bitCount, rle)) {
    return false;
  }
  setResolution(dpiFromPixelsPerMeter(ppmX), dpiFromPixelsPerMeter(ppmY));
  const uint64_t copied = std::min<uint64_t>(tableEntries, paletteSize());
  for (uint64_t i = 0; i < copied; ++i) {
    const uint8_t* entry = data + tableOffset + 4 * i;
    palette_[i] = PaletteEntry{entry[0], entry[1], entry[2], 0};
  }

  const uint8_t* pixels = data + offset;
  if (rle) {
    const bool four = compression == kBiRle4;
    auto put = [&](uint64_t x, uint64_t y, uint8_t value) {
      if (x >= width_ || y >= height_) return;  // writes outside the image are dropped
      uint8_t* r = row(static_cast<uint32_t>(y));
      if (!four) {
        r[x] = value;
      } else if ((x & 1) == 0) {
        r[x / 2] = static_cast<uint8_t>((r[x / 2] & 0x0F) | (value << 4));
      } else {
        r[x / 2] = static_cast<uint8_t>((r[x / 2] & 0xF0) | (value & 0x0F));
      }
    };
    uint64_t x = 0, y = 0, p = 0;
    while (p + 2 <= available && y < height_) {
      const uint8_t count = pixels[p], value = pixels[p + 1];
      p += 2;
      if (count > 0) {
        for (unsigned i = 0; i < count; ++i) {
          put(x + i, y, four ? ((i & 1) ? value & 0x0F : value >> 4) : value);
        }
        x += count;
        continue;
      }
      if (value == 0) {
        x = 0;
        ++y;
      } else if (value == 1) {
        break;
      } else if (value == 2) {
        if (p + 2 > available) break;
        x += pixels[p];
        y += pixels[p + 1];
        p += 2;
      } else {
        const uint64_t bytes = four ? (value + 1u) / 2 : value;
        const uint64_t padded = (bytes + 1) & ~uint64_t{1};
        if (p + bytes > available) break;
        for (unsigned i = 0; i < value; ++i, ++x) {
          const uint8_t b = pixels[p + (four ? i / 2 : i)];
          put(x, y, four ? ((i & 1) ? b & 0x0F : b >> 4) : b);
        }
        p += std::min(padded, available - p);
      }
    }
  } else if (bitCount == 16 || bitCount == 32) {
    const uint64_t srcRow = sourceRow;
    const Channel red(masks[0]), green(masks[1]), blue(masks[2]);
    for (uint32_t y = 0; y < height_; ++y) {
      const uint8_t* src = pixels + srcRow * y;
      uint8_t* dst = row(y);
      if (bitCount == 16) {
        for (uint32_t x = 0; x < width_; ++x, src += 2, dst += 3) {
          const uint32_t px = readU16(src);
          dst[0] = blue(px);
          dst[1] = green(px);
          dst[2] = red(px);
        }
      } else {
        for (uint32_t x = 0; x < width_; ++x, src += 4, dst += 3) {
          const uint32_t px = readU32(src);
          dst[0] = blue(px);
          dst[1] = green(px);
          dst[2] = red(px);
        }
      }
    }
  } else if (!inPlace) {
    std::memcpy(bits_.get(), pixels, imageSize());
  }

  if (topDown) {
    std::unique_ptr<uint8_t[]> swap(new (std::nothrow) uint8_t[rowSize_]);
    if (!swap) return false;
    for (uint32_t top = 0, bottom = height_ - 1; top < bottom; ++top, --bottom) {
      std::memcpy(swap.get(), row(top), rowSize_);
      std::memcpy(row(top), row(bottom), rowSize_);
      std::memcpy(row(bottom), swap.get(), rowSize_);
    }
  }
  clearRowPadding();
  return true;
}

bool PageImage::encode(FILE* file, uint32_t format) {
  FileStream stream(file, false);
  return encode(stream, format);
}

bool PageImage::encode(ByteStream& stream, uint32_t format) {
  format_ = format;
  const PageFormat* known = findPageFormat(format);
  if (!valid() || known == nullptr || known->makeEncoder == nullptr ||
      (known->kinds & pageKind(*this)) == 0) {
    return false;
  }
  std::unique_ptr<PageEncoder> encoder = known->makeEncoder(std::move(*this), format);
  const bool ok = encoder->encode(stream);
  *this = std::move(static_cast<PageImage&>(*encoder));
  return ok;
}

}  // namespace lumra

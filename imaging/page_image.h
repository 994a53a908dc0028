// The page bitmap: one scanned page between its arrival as a DIB and its page
// file, and `encode`, which hands it to the encoder of a format number.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "imaging/byte_stream.h"
#include "platform/win32.h"

namespace lumra {

/// One palette entry as a DIB holds it.
struct PaletteEntry {
  uint8_t blue = 0;
  uint8_t green = 0;
  uint8_t red = 0;
  uint8_t reserved = 0;
};

/// How a transferred bitmap handle is locked, unlocked and freed: with the
/// manager's memory functions where it gave them (in TWAIN's calling
/// convention, which 32-bit Windows tells apart); a null member means the
/// Global function.
struct HandleMemory {
  void* (PASCAL* lock)(HGLOBAL) = nullptr;
  void (PASCAL* unlock)(HGLOBAL) = nullptr;
  void (PASCAL* free)(HGLOBAL) = nullptr;

  void* lockHandle(HGLOBAL handle) const;
  void unlockHandle(HGLOBAL handle) const;
  void freeHandle(HGLOBAL handle) const;
};

/// Releases page pixels: our own array, or the rows inside a taken-over
/// bitmap handle (unlocked, then freed, with `memory`).
struct PixelRelease {
  HGLOBAL handle = nullptr;
  HandleMemory memory;
  void operator()(uint8_t* bits) const;
};

/// The in-memory page: depth 1, 4, 8 or 24, rows bottom row first, each
/// padded to 4 bytes, 24-bit pixels blue, green, red. Padding bits past the
/// last pixel of a row are always 0.
class PageImage {
 public:
  /// Largest pixel block an image may hold (width × height × depth / 8).
  static constexpr uint64_t kMaxPixelBytes = 268435456;
  static constexpr float kDefaultJpegQuality = 90.0f;
  static constexpr int kDefaultDpi = 96;

  /// An empty image: no pixels, format 0, 96 dpi, JPEG quality 90.
  PageImage();
  virtual ~PageImage();
  PageImage(PageImage&& other) noexcept;
  PageImage& operator=(PageImage&& other) noexcept;
  PageImage(const PageImage&) = delete;
  PageImage& operator=(const PageImage&) = delete;

  /// Allocates an image (zeroed unless `zero` is false); `bitCount` is
  /// rounded up to 1, 4, 8 or 24. Refuses a zero size or more than
  /// kMaxPixelBytes of pixels; a refused call leaves the image as it was.
  bool create(uint32_t width, uint32_t height, uint32_t bitCount, bool zero = true);

  /// Reads the DIB in the Global block `dib` (locked and unlocked here, never
  /// read past its size). The handle stays the caller's. On false the image
  /// must only be destroyed.
  bool createFromHandle(HGLOBAL dib);

  /// Like createFromHandle, but for a handle from a source, taken over: it is
  /// locked, unlocked and freed exactly once with `memory`, on every path, and
  /// never read past what TransferredBlockSize tells. Uncompressed rows are
  /// used where they lie (the handle stays locked until the image lets go of
  /// it), so a page is never held twice.
  bool takeHandle(HGLOBAL dib, const HandleMemory& memory);

  /// Writes the image to `file` (left open) as page format `format`.
  bool encode(FILE* file, uint32_t format);

  /// Writes the image to `stream` as page format `format`; false for a
  /// format that does not hold this kind of page (PageFormat::kinds).
  bool encode(ByteStream& stream, uint32_t format);

  /// Stores an 8-bit quality as the JPEG quality.
  void setJpegQuality(uint8_t quality) { jpegQuality_ = static_cast<float>(quality); }
  float jpegQuality() const { return jpegQuality_; }

  /// Sets the resolution in dots per inch; values below 1 become 96.
  void setResolution(int64_t dpiX, int64_t dpiY);
  int dpiX() const { return dpiX_; }
  int dpiY() const { return dpiY_; }
  int pixelsPerMeterX() const { return ppmX_; }
  int pixelsPerMeterY() const { return ppmY_; }

  uint32_t format() const { return format_; }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  uint32_t depth() const { return depth_; }
  bool valid() const { return bits_ != nullptr; }

  /// Bytes per stored row: ((width × depth + 31) / 32) × 4.
  size_t rowSize() const { return rowSize_; }
  /// Bytes of pixels: rowSize × height.
  size_t imageSize() const { return rowSize_ * height_; }

  /// Row `y` counted from the bottom (the order rows are stored in).
  uint8_t* row(uint32_t y) { return bits_.get() + rowSize_ * y; }
  const uint8_t* row(uint32_t y) const { return bits_.get() + rowSize_ * y; }
  /// Row `y` counted from the top.
  const uint8_t* topRow(uint32_t y) const { return row(height_ - 1 - y); }
  const uint8_t* bits() const { return bits_.get(); }
  uint8_t* bits() { return bits_.get(); }

  /// Palette entries of the depth: 2, 16, 256, or 0 for 24 bits.
  uint32_t paletteSize() const { return depth_ <= 8 ? 1u << depth_ : 0u; }
  const PaletteEntry* palette() const { return palette_; }
  PaletteEntry* palette() { return palette_; }

  /// True for an 8-bit image whose entry i is (i, i, i). A 1- or 4-bit
  /// palette is never gray: (i, i, i) there is a nearly black ramp.
  bool isGray() const;

  /// Brightness of a palette entry, (306 R + 601 G + 117 B) >> 10.
  static int brightness(const PaletteEntry& entry) {
    return (306 * entry.red + 601 * entry.green + 117 * entry.blue) >> 10;
  }

  /// Zeroes the bits past the last pixel of every row.
  void clearRowPadding();

 private:
  bool readDib(HGLOBAL dib, bool take, const HandleMemory& memory);

  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t depth_ = 0;
  size_t rowSize_ = 0;
  std::unique_ptr<uint8_t[], PixelRelease> bits_;
  PaletteEntry palette_[256];
  int dpiX_ = kDefaultDpi;
  int dpiY_ = kDefaultDpi;
  int ppmX_ = 3780;
  int ppmY_ = 3780;
  float jpegQuality_ = kDefaultJpegQuality;
  uint32_t format_ = 0;
};

/// Base of the per-format encoders: takes over an image and writes it.
class PageEncoder : public PageImage {
 public:
  explicit PageEncoder(PageImage&& image) : PageImage(std::move(image)) {}

  /// Writes the image at the stream's position; the stream stays open.
  /// Returns false, without writing, for an image the format cannot hold,
  /// and false when a write or the codec library fails.
  virtual bool encode(ByteStream& stream) = 0;
};

}  // namespace lumra

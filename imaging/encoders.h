// The encoder of every page format. Each takes over an image (see
// PageEncoder) and writes it with encode(stream).
#pragma once

#include "imaging/page_image.h"

namespace lumra {

/// JPEG (JFIF) through libjpeg: 24-bit and gray images.
class JpegEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

/// TIFF through libtiff: G4 for 1 bit, LZW for 4 and 8, JPEG for 24.
class TiffEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

/// PNG through libpng: gray, palette or RGB.
class PngEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

/// MNG through libmng: 24-bit images only.
class MngEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

/// JP2 (11) and code stream (12) through OpenJPEG; PGX (13), PNM (14) and Sun
/// raster (15) written here. 24-bit and gray images; PGX gray only.
class Jpeg2000Encoder final : public PageEncoder {
 public:
  Jpeg2000Encoder(PageImage&& image, uint32_t format)
      : PageEncoder(std::move(image)), format_(format) {}
  bool encode(ByteStream& stream) override;

 private:
  bool encodeOpenJpeg(ByteStream& stream);
  /// One OpenJPEG pass from `base`: to the compression `ratio` (0: every
  /// bit), `raw` with arithmetic coding bypass; false with `overLimit` set
  /// when the file would pass `limit` bytes (0: no limit).
  bool codeOpenJpeg(ByteStream& stream, int64_t base, float ratio, bool raw, uint64_t limit,
                    bool* overLimit);
  bool encodePgx(ByteStream& stream);
  bool encodePnm(ByteStream& stream);
  bool encodeSunRaster(ByteStream& stream);

  uint32_t format_;
};

/// BMP: file header, info header, palette and rows as held.
class BmpEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

/// GIF89a with our own LZW; 24-bit images as a mosaic of 17 × 15 tiles.
class GifEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

/// ICO: an icon bitmap up to 255 × 255, an embedded PNG above.
class IcoEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

/// Uncompressed TGA: 8-bit colour-mapped or 24-bit true colour.
class TgaEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

/// PCX version 5, run-length coded.
class PcxEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

/// WBMP type 0: 1-bit images only.
class WbmpEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

/// SKA: 8 bits per pixel with a 256-entry palette; 1 and 4 bits widened.
class SkaEncoder final : public PageEncoder {
 public:
  using PageEncoder::PageEncoder;
  bool encode(ByteStream& stream) override;
};

}  // namespace lumra

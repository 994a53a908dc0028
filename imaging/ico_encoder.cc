#include "imaging/encoders.h"
#include "imaging/stream_writer.h"

namespace lumra {

bool IcoEncoder::encode(ByteStream& stream) {
  if (!valid()) return false;
  const bool large = width() > 255 || height() > 255;
  MemoryStream png;
  if (large) {
    // The icon entry's size bytes cannot hold the page: it goes in as a PNG.
    PngEncoder encoder(std::move(*this));
    const bool ok = encoder.encode(png);
    static_cast<PageImage&>(*this) = std::move(static_cast<PageImage&>(encoder));
    if (!ok || png.buffer().size() > 0xFFFFFFFFu) return false;
  }
  const uint32_t paletteEntries = paletteSize();
  const uint32_t maskBytes = (width() + 31) / 32 * 4 * height();
  const uint64_t bitmapLength = 40 + 4 * paletteEntries + imageSize() + maskBytes;
  if (!large && bitmapLength > 0xFFFFFFFFu) return false;

  StreamWriter out(stream);
  out.le16(0);
  out.le16(1);
  out.le16(1);
  out.u8(large ? 0 : static_cast<uint8_t>(width()));
  out.u8(large ? 0 : static_cast<uint8_t>(height()));
  out.u8(static_cast<uint8_t>(paletteEntries));
  out.u8(0);
  out.le16(0);  // planes
  out.le16(depth());
  out.le32(static_cast<uint32_t>(large ? png.buffer().size() : bitmapLength));
  out.le32(22);
  if (large) {
    out.bytes(png.buffer().data(), png.buffer().size());
    return out.flush();
  }
  out.le32(40);
  out.le32(width());
  out.le32(height() * 2);  // the colour rows and the mask
  out.le16(1);
  out.le16(depth());
  out.le32(0);
  out.le32(static_cast<uint32_t>(imageSize()));
  out.zeros(16);
  for (uint32_t i = 0; i < paletteEntries; ++i) {
    out.u8(palette()[i].blue);
    out.u8(palette()[i].green);
    out.u8(palette()[i].red);
    out.u8(0);
  }
  out.bytes(bits(), imageSize());
  out.zeros(maskBytes);  // every pixel opaque
  return out.flush();
}

}  // namespace lumra

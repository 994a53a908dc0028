#include "imaging/encoders.h"
#include "imaging/stream_writer.h"

namespace lumra {

bool BmpEncoder::encode(ByteStream& stream) {
  if (!valid()) return false;
  const uint32_t paletteBytes = 4 * paletteSize();
  const uint32_t pixelOffset = 14 + 40 + paletteBytes;
  StreamWriter out(stream);
  out.u8('B');
  out.u8('M');
  out.le32(static_cast<uint32_t>(pixelOffset + imageSize()));
  out.le32(0);
  out.le32(pixelOffset);
  out.le32(40);
  out.le32(width());
  out.le32(height());
  out.le16(1);
  out.le16(depth());
  out.le32(0);
  out.le32(static_cast<uint32_t>(imageSize()));
  out.le32(static_cast<uint32_t>(pixelsPerMeterX()));
  out.le32(static_cast<uint32_t>(pixelsPerMeterY()));
  out.le32(paletteSize());
  out.le32(0);
  for (uint32_t i = 0; i < paletteSize(); ++i) {
    const PaletteEntry& e = palette()[i];
    out.u8(e.blue);
    out.u8(e.green);
    out.u8(e.red);
    out.u8(0);
  }
  out.bytes(bits(), imageSize());
  return out.flush();
}

}  // namespace lumra

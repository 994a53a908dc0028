#include "imaging/encoders.h"
#include "imaging/stream_writer.h"

namespace lumra {

bool TgaEncoder::encode(ByteStream& stream) {
  if (width() > 0xFFFF || height() > 0xFFFF) return false;  // 16-bit header fields
  const bool mapped = depth() == 8;
  StreamWriter out(stream);
  out.u8(0);                  // id length
  out.u8(mapped ? 1 : 0);     // colour-map type
  out.u8(mapped ? 1 : 2);     // image type
  out.le16(0);                // first entry
  out.le16(mapped ? 256 : 0); // map length
  out.u8(mapped ? 24 : 0);    // entry size
  out.le16(0);
  out.le16(0);
  out.le16(width());
  out.le16(height());
  out.u8(static_cast<uint8_t>(depth()));
  out.u8(0);  // bottom row first
  if (mapped) {
    for (int i = 0; i < 256; ++i) {
      out.u8(palette()[i].blue);
      out.u8(palette()[i].green);
      out.u8(palette()[i].red);
    }
  }
  const size_t lineBytes = static_cast<size_t>(width()) * (depth() / 8);
  if (lineBytes == rowSize()) {
    out.bytes(bits(), imageSize());
  } else {
    for (uint32_t y = 0; y < height(); ++y) out.bytes(row(y), lineBytes);
  }
  return out.flush();
}

}  // namespace lumra

#include "imaging/encoders.h"
#include "imaging/stream_writer.h"

namespace lumra {

bool SkaEncoder::encode(ByteStream& stream) {
  if (width() > 0xFFFF || height() > 0xFFFF) return false;  // 16-bit header fields
  StreamWriter out(stream);
  out.le16(width());
  out.le16(height());
  out.u8(3);
  out.u8(0);
  out.u8(0);
  out.u8(0);
  out.u8(1);
  for (int i = 0; i < 256; ++i) {
    out.u8(palette()[i].red);
    out.u8(palette()[i].green);
    out.u8(palette()[i].blue);
  }
  std::vector<uint8_t> line(width());
  for (uint32_t y = 0; y < height(); ++y) {
    const uint8_t* src = topRow(y);
    if (depth() == 8) {
      out.bytes(src, width());
      continue;
    }
    for (uint32_t x = 0; x < width(); ++x) {
      line[x] = depth() == 4 ? ((x & 1) ? src[x / 2] & 0x0F : src[x / 2] >> 4)
                             : (src[x / 8] >> (7 - (x & 7))) & 1;
    }
    out.bytes(line.data(), line.size());
  }
  return out.flush();
}

}  // namespace lumra

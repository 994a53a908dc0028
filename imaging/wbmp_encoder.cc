#include "imaging/encoders.h"
#include "imaging/stream_writer.h"

namespace lumra {

namespace {

// WBMP multi-byte integer: 7 bits per byte, most significant group first,
// continuation bit on all but the last.
void putMultiByte(StreamWriter& out, uint32_t value) {
  uint8_t groups[5];
  int n = 0;
  do {
    groups[n++] = value & 0x7F;
    value >>= 7;
  } while (value != 0);
  while (n > 1) out.u8(static_cast<uint8_t>(groups[--n] | 0x80));
  out.u8(groups[0]);
}

}  // namespace

bool WbmpEncoder::encode(ByteStream& stream) {
  // WBMP has no palette: bit 1 is white. A page whose palette puts the lighter
  // colour at index 0 is inverted, or it would come out as a negative.
  const bool invert = brightness(palette()[0]) > brightness(palette()[1]);
  StreamWriter out(stream);
  out.u8(0);
  out.u8(0);
  putMultiByte(out, width());
  putMultiByte(out, height());
  const size_t lineBytes = (static_cast<size_t>(width()) + 7) / 8;
  std::vector<uint8_t> line(lineBytes);
  const unsigned tailBits = width() % 8;
  for (uint32_t y = 0; y < height(); ++y) {
    const uint8_t* src = topRow(y);
    if (!invert) {
      out.bytes(src, lineBytes);
      continue;
    }
    for (size_t i = 0; i < lineBytes; ++i) line[i] = static_cast<uint8_t>(~src[i]);
    if (tailBits != 0) line[lineBytes - 1] &= static_cast<uint8_t>(0xFF << (8 - tailBits));
    out.bytes(line.data(), lineBytes);
  }
  return out.flush();
}

}  // namespace lumra

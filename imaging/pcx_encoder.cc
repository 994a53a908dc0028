#include "imaging/encoders.h"
#include "imaging/stream_writer.h"

namespace lumra {

namespace {

// Run-length codes one plane line into `out`: runs of up to 63 equal bytes
// as 0xC0 | count, value; a single byte below 0xC0 as itself.
void packLine(const uint8_t* src, size_t size, std::vector<uint8_t>& out) {
  size_t i = 0;
  while (i < size) {
    const uint8_t value = src[i];
    size_t run = 1;
    const size_t limit = std::min<size_t>(size - i, 63);
    while (run < limit && src[i + run] == value) ++run;
    if (run == 1 && value < 0xC0) {
      out.push_back(value);
    } else {
      out.push_back(static_cast<uint8_t>(0xC0 | run));
      out.push_back(value);
    }
    i += run;
  }
}

}  // namespace

bool PcxEncoder::encode(ByteStream& stream) {
  if (!valid()) return false;
  if (width() > 0x10000 || height() > 0x10000) return false;  // 16-bit window
  const uint32_t d = depth();
  const int planes = d == 4 ? 4 : d == 24 ? 3 : 1;
  const int planeBits = (d == 1 || d == 4) ? 1 : 8;
  size_t bytesPerLine = planeBits == 1 ? (static_cast<size_t>(width()) + 7) / 8 : width();
  bytesPerLine += bytesPerLine & 1;
  if (bytesPerLine > 0xFFFF) return false;

  uint8_t header[128] = {};
  auto put16 = [&](int at, uint32_t v) {
    header[at] = static_cast<uint8_t>(v);
    header[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  header[0] = 10;
  header[1] = 5;
  header[2] = 1;
  header[3] = static_cast<uint8_t>(planeBits);
  put16(8, width() - 1);
  put16(10, height() - 1);
  put16(12, static_cast<uint32_t>(std::min(dpiX(), 0xFFFF)));
  put16(14, static_cast<uint32_t>(std::min(dpiY(), 0xFFFF)));
  // 1 bit: black then white, matching the pixels written below.
  if (d == 1) {
    header[19] = header[20] = header[21] = 255;
  } else if (d == 4) {
    for (int i = 0; i < 16; ++i) {
      header[16 + 3 * i] = palette()[i].red;
      header[17 + 3 * i] = palette()[i].green;
      header[18 + 3 * i] = palette()[i].blue;
    }
  }
  header[65] = static_cast<uint8_t>(planes);
  put16(66, static_cast<uint32_t>(bytesPerLine));
  put16(68, 1);

  // The header palette says black, white: a page whose index 0 is the lighter
  // colour is inverted, or it would come out as a negative.
  const bool invert = d == 1 && brightness(palette()[0]) > brightness(palette()[1]);

  StreamWriter out(stream);
  out.bytes(header, sizeof header);
  std::vector<uint8_t> plane(bytesPerLine * planes, 0);
  std::vector<uint8_t> packed;
  packed.reserve(plane.size() * 2 + 16);
  for (uint32_t y = 0; y < height(); ++y) {
    const uint8_t* src = topRow(y);
    const uint8_t* lines = plane.data();
    if (d == 8 || (d == 1 && !invert)) {
      lines = src;  // the stored row already is the plane line (padding is 0)
    } else if (d == 1) {
      const size_t used = (width() + 7) / 8;
      for (size_t i = 0; i < used; ++i) plane[i] = static_cast<uint8_t>(~src[i]);
      if (width() % 8) plane[used - 1] &= static_cast<uint8_t>(0xFF << (8 - width() % 8));
    } else if (d == 24) {
      uint8_t* r = plane.data();
      uint8_t* g = r + bytesPerLine;
      uint8_t* b = g + bytesPerLine;
      for (uint32_t x = 0; x < width(); ++x, src += 3) {
        b[x] = src[0];
        g[x] = src[1];
        r[x] = src[2];
      }
    } else {  // 4 bits: one bit plane per index bit
      std::fill(plane.begin(), plane.end(), 0);
      for (uint32_t x = 0; x < width(); ++x) {
        const uint8_t index = (x & 1) ? src[x / 2] & 0x0F : src[x / 2] >> 4;
        const uint8_t bit = static_cast<uint8_t>(0x80 >> (x & 7));
        for (int p = 0; p < 4; ++p) {
          if (index & (1 << p)) plane[p * bytesPerLine + x / 8] |= bit;
        }
      }
    }
    packed.clear();
    for (int p = 0; p < planes; ++p) packLine(lines + p * bytesPerLine, bytesPerLine, packed);
    out.bytes(packed.data(), packed.size());
  }
  if (d == 8) {
    out.u8(12);
    for (int i = 0; i < 256; ++i) {
      out.u8(palette()[i].red);
      out.u8(palette()[i].green);
      out.u8(palette()[i].blue);
    }
  }
  return out.flush();
}

}  // namespace lumra

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <png.h>

#include "imaging/deflate_bands.h"
#include "imaging/encoders.h"
#include "platform/resources.h"

namespace lumra {

namespace {

// libpng writes the chunks; the image data is deflated here, in bands on
// every processor, and handed to libpng as IDAT chunks of libpng's own size.
constexpr size_t kIdatBytes = 8192;

struct WriteState {
  ByteStream* stream;
  bool failed;
};

// Never longjmps: a failed write is remembered and checked at the end, so
// the deflate threads are never jumped over.
void writeData(png_structp png, png_bytep data, png_size_t length) {
  auto* state = static_cast<WriteState*>(png_get_io_ptr(png));
  if (!state->failed && !state->stream->write(data, length)) state->failed = true;
}
void flushData(png_structp) {}
void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onWarning(png_structp, png_const_charp) {}

inline uint32_t magnitude(uint8_t v) { return v < 128 ? v : 256u - v; }

inline uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// One filtered row: the filter byte, then the row. With `adapt`, the filter
// whose output has the least sum of magnitudes (libpng's own heuristic);
// otherwise none, as libpng does for palettes and depths below 8.
void filterRow(const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp, bool adapt,
               uint8_t* out) {
  uint8_t* residual = out + 1;
  if (!adapt) {
    out[0] = 0;
    std::memcpy(residual, cur, n);
    return;
  }
  uint64_t sums[5] = {};
  for (size_t i = 0; i < bpp && i < n; ++i) {
    sums[0] += magnitude(cur[i]);
    sums[1] += magnitude(cur[i]);
    sums[2] += magnitude(static_cast<uint8_t>(cur[i] - prev[i]));
    sums[3] += magnitude(static_cast<uint8_t>(cur[i] - (prev[i] >> 1)));
    sums[4] += magnitude(static_cast<uint8_t>(cur[i] - prev[i]));
  }
  for (size_t i = bpp; i < n; ++i) {
    const uint8_t a = cur[i - bpp], b = prev[i], c = prev[i - bpp];
    sums[0] += magnitude(cur[i]);
    sums[1] += magnitude(static_cast<uint8_t>(cur[i] - a));
    sums[2] += magnitude(static_cast<uint8_t>(cur[i] - b));
    sums[3] += magnitude(static_cast<uint8_t>(cur[i] - ((a + b) >> 1)));
    sums[4] += magnitude(static_cast<uint8_t>(cur[i] - paeth(a, b, c)));
  }
  int best = 0;
  for (int f = 1; f < 5; ++f) {
    if (sums[f] < sums[best]) best = f;
  }
  out[0] = static_cast<uint8_t>(best);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t a = i >= bpp ? cur[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
    uint8_t predicted = 0;
    switch (best) {
      case 1: predicted = a; break;
      case 2: predicted = b; break;
      case 3: predicted = static_cast<uint8_t>((a + b) >> 1); break;
      case 4: predicted = paeth(a, b, c); break;
    }
    residual[i] = static_cast<uint8_t>(cur[i] - predicted);
  }
}

// The IDAT chunks and IEND. Nothing here longjmps: IDATs stay far below
// libpng's chunk limit and writeData never raises an error.
bool writeImageData(const PageImage& image, png_structp png) {
  const uint32_t width = image.width(), depth = image.depth();
  const size_t bytes = (static_cast<size_t>(width) * depth + 7) / 8;
  const size_t bpp = depth == 24 ? 3 : 1;
  const bool adapt = depth == 24 || image.isGray();
  // Rows as PNG holds them: top row first, red, green, blue; packed pixels
  // are already in PNG's order.
  auto pngRow = [&](uint32_t y, uint8_t* out) {
    const uint8_t* src = image.topRow(y);
    if (depth != 24) {
      std::memcpy(out, src, bytes);
      return;
    }
    for (uint32_t x = 0; x < width; ++x, src += 3, out += 3) {
      out[0] = src[2];
      out[1] = src[1];
      out[2] = src[0];
    }
  };
  auto rows = [&](uint32_t first, uint32_t count, uint8_t* out) {
    std::vector<uint8_t> prev(bytes, 0), cur(bytes);
    if (first > 0 && adapt) pngRow(first - 1, prev.data());
    for (uint32_t y = first; y < first + count; ++y, out += bytes + 1) {
      pngRow(y, cur.data());
      filterRow(cur.data(), prev.data(), bytes, bpp, adapt, out);
      prev.swap(cur);
    }
  };
  std::vector<uint8_t> chunk;
  chunk.reserve(kIdatBytes);
  auto idat = [&] {
    png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"), chunk.data(), chunk.size());
    chunk.clear();
    return !static_cast<WriteState*>(png_get_io_ptr(png))->failed;
  };
  auto out = [&](const uint8_t* data, size_t size) {
    while (size > 0) {
      const size_t n = std::min(size, kIdatBytes - chunk.size());
      chunk.insert(chunk.end(), data, data + n);
      data += n;
      size -= n;
      if (chunk.size() == kIdatBytes && !idat()) return false;
    }
    return true;
  };
  DeflateBands job;
  job.rows = image.height();
  job.rowBytes = bytes + 1;
  job.zlibLevel = 6;  // zlib's default
  job.level = 6;      // smaller than zlib's default gives, several times faster
  job.threads = processorCount();
  if (!deflateBands(job, rows, out) || (!chunk.empty() && !idat())) return false;
  png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
  return true;
}

}  // namespace

bool PngEncoder::encode(ByteStream& stream) {
  if (!valid()) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  WriteState state{&stream, false};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &state, writeData, flushData);
  // Pages are taller than libpng's default limit of a million rows only in
  // theory, but the 256 MiB cap allows it.
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);

  const bool gray = isGray();
  const bool rgb = depth() == 24;
  const int colorType = rgb ? PNG_COLOR_TYPE_RGB : gray ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_PALETTE;
  const int bitDepth = rgb ? 8 : static_cast<int>(depth());
  png_set_IHDR(png, info, width(), height(), bitDepth, colorType, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color_16 background{};
  if (colorType == PNG_COLOR_TYPE_PALETTE) {
    png_color colors[256];
    for (uint32_t i = 0; i < paletteSize(); ++i) {
      colors[i] = png_color{palette()[i].red, palette()[i].green, palette()[i].blue};
    }
    png_set_PLTE(png, info, colors, static_cast<int>(paletteSize()));
    background.index = 0;
  } else if (rgb) {
    background.red = background.green = background.blue = 255;
  } else {
    background.gray = 0;
  }
  png_set_bKGD(png, info, &background);
  png_set_pHYs(png, info, static_cast<png_uint_32>(pixelsPerMeterX()),
               static_cast<png_uint_32>(pixelsPerMeterY()), PNG_RESOLUTION_METER);
  png_write_info(png, info);
  const bool ok = !state.failed && writeImageData(*this, png);
  png_destroy_write_struct(&png, &info);
  return ok && !state.failed;
}

}  // namespace lumra

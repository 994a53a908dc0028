#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <openjpeg.h>

#include "imaging/encoders.h"
#include "imaging/in_order.h"
#include "imaging/stream_writer.h"
#include "platform/resources.h"

namespace lumra {

namespace {

// Each thread's codec holds a tile in 32-bit samples and more: tiles of this
// size keep a page within 2.5 times its raw size with two threads (1024
// would not), at some 1% more bytes on smooth pages.
constexpr uint32_t kTileSize = 512;

uint32_t be16(const uint8_t* p) { return static_cast<uint32_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t* p) { return be16(p) << 16 | be16(p + 2); }

// What OpenJPEG writes, kept in memory.
struct MemorySink {
  std::vector<uint8_t> bytes;
  size_t at = 0;

  // Moves `count` bytes on, growing the bytes (with zeros) to there.
  bool advance(size_t count) {
    try {
      if (at + count > bytes.size()) bytes.resize(at + count);
    } catch (const std::bad_alloc&) {
      return false;
    }
    at += count;
    return true;
  }
  static OPJ_SIZE_T write(void* data, OPJ_SIZE_T size, void* user) {
    auto* s = static_cast<MemorySink*>(user);
    if (!s->advance(size)) return static_cast<OPJ_SIZE_T>(-1);
    std::memcpy(s->bytes.data() + s->at - size, data, size);
    return size;
  }
  // Skipped bytes are filled in later, like the code stream box's length.
  static OPJ_OFF_T skip(OPJ_OFF_T count, void* user) {
    return count >= 0 && static_cast<MemorySink*>(user)->advance(static_cast<size_t>(count)) ? count : -1;
  }
  static OPJ_BOOL seek(OPJ_OFF_T position, void* user) {
    auto* s = static_cast<MemorySink*>(user);
    if (position < 0 || static_cast<uint64_t>(position) > s->bytes.size()) return OPJ_FALSE;
    s->at = static_cast<size_t>(position);
    return OPJ_TRUE;
  }
};
void quiet(const char*, void*) {}

// Releases the OpenJPEG objects on every path.
struct OpenJpegObjects {
  opj_image_t* image = nullptr;
  opj_codec_t* codec = nullptr;
  opj_stream_t* stream = nullptr;
  OpenJpegObjects() = default;
  OpenJpegObjects(const OpenJpegObjects&) = delete;
  OpenJpegObjects& operator=(const OpenJpegObjects&) = delete;
  ~OpenJpegObjects() {
    if (stream) opj_stream_destroy(stream);
    if (codec) opj_destroy_codec(codec);
    if (image) opj_image_destroy(image);
  }
};

// The settings every codec of one page shares.
struct Coding {
  OPJ_CODEC_FORMAT format;
  uint32_t components;
  float ratio;
  bool raw;
  int resolutions;
  uint32_t tileWidth, tileHeight;
  int libraryThreads;
};

// Codes the part of the page from (x0, y0) of w x h as an image of its own
// whose tile grid starts there: with `samples` (component planes of that
// part) a one-tile file, without them the page's header and no tile.
// Partitions and transforms all follow canvas coordinates, so a tile coded
// losslessly is the same, byte for byte, as in the page coded whole. To a
// rate, OpenJPEG takes a share of the header off each tile's bytes: a whole
// header here, so such a tile comes out a little smaller.
bool codeImage(const Coding& coding, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h,
               uint8_t* samples, MemorySink* sink) {
  opj_cparameters_t params;
  opj_set_default_encoder_parameters(&params);
  params.tcp_numlayers = 1;
  params.tcp_rates[0] = coding.ratio;
  params.cp_disto_alloc = 1;
  if (coding.raw) params.mode = 1;  // selective arithmetic coding bypass
  params.numresolution = coding.resolutions;
  params.tile_size_on = OPJ_TRUE;
  params.cp_tx0 = static_cast<int>(x0);
  params.cp_ty0 = static_cast<int>(y0);
  params.cp_tdx = static_cast<int>(coding.tileWidth);
  params.cp_tdy = static_cast<int>(coding.tileHeight);

  opj_image_cmptparm_t parms[3] = {};
  for (uint32_t c = 0; c < coding.components; ++c) {
    parms[c].dx = 1;
    parms[c].dy = 1;
    parms[c].w = w;
    parms[c].h = h;
    parms[c].x0 = x0;
    parms[c].y0 = y0;
    parms[c].prec = 8;
  }
  OpenJpegObjects objects;
  objects.image = opj_image_tile_create(coding.components, parms,
                                        coding.components == 1 ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB);
  if (objects.image == nullptr) return false;
  objects.image->x0 = x0;
  objects.image->y0 = y0;
  objects.image->x1 = x0 + w;
  objects.image->y1 = y0 + h;

  objects.codec = opj_create_compress(coding.format);
  if (objects.codec == nullptr) return false;
  if (coding.libraryThreads > 1) opj_codec_set_threads(objects.codec, coding.libraryThreads);
  opj_set_error_handler(objects.codec, quiet, nullptr);
  opj_set_warning_handler(objects.codec, quiet, nullptr);
  opj_set_info_handler(objects.codec, quiet, nullptr);
  if (!opj_setup_encoder(objects.codec, &params, objects.image)) return false;

  objects.stream = opj_stream_create(1 << 16, OPJ_FALSE);
  if (objects.stream == nullptr) return false;
  opj_stream_set_user_data(objects.stream, sink, nullptr);
  opj_stream_set_write_function(objects.stream, MemorySink::write);
  opj_stream_set_skip_function(objects.stream, MemorySink::skip);
  opj_stream_set_seek_function(objects.stream, MemorySink::seek);
  if (!opj_start_compress(objects.codec, objects.image, objects.stream)) return false;
  if (samples != nullptr &&
      !opj_write_tile(objects.codec, 0, samples,
                      static_cast<OPJ_UINT32>(static_cast<size_t>(w) * h * coding.components),
                      objects.stream)) {
    return false;
  }
  return opj_end_compress(objects.codec, objects.stream) == OPJ_TRUE;
}

// Where a file of OpenJPEG's starts its code stream (after the JP2 boxes up
// to the code stream box's header) and its first tile-part or end marker.
bool findTileParts(const std::vector<uint8_t>& file, bool jp2, size_t* codeStream,
                   size_t* tileParts) {
  const size_t n = file.size();
  size_t p = 0;
  while (jp2) {
    if (p + 8 > n) return false;
    const uint32_t length = be32(&file[p]);
    if (be32(&file[p + 4]) == 0x6A703263) jp2 = false;  // "jp2c"
    else if (length < 8) return false;
    p += jp2 ? length : 8;
  }
  *codeStream = p;
  if (p + 2 > n || be16(&file[p]) != 0xFF4F) return false;  // SOC
  for (p += 2; p + 2 <= n; p += 2 + be16(&file[p + 2])) {
    if (be16(&file[p]) == 0xFF90 || be16(&file[p]) == 0xFFD9) {  // SOT, EOC
      *tileParts = p;
      return true;
    }
    if (p + 4 > n) break;
  }
  return false;
}

// Codes tile `index` of the page, at (x0, y0) and w x h, into `parts`: its
// tile-parts as they go into the page's code stream.
bool codeTile(const PageImage& page, const Coding& coding, uint32_t index, uint32_t x0,
              uint32_t y0, uint32_t w, uint32_t h, std::vector<uint8_t>* parts) {
  const bool jp2 = coding.format == OPJ_CODEC_JP2;
  try {
    // Component planes one after the other: red, green, blue.
    const size_t plane = static_cast<size_t>(w) * h;
    std::vector<uint8_t> samples(plane * coding.components);
    for (uint32_t y = 0; y < h; ++y) {
      const uint8_t* src = page.topRow(y0 + y);
      uint8_t* r = samples.data() + static_cast<size_t>(y) * w;
      if (coding.components == 1) {
        std::memcpy(r, src + x0, w);
        continue;
      }
      src += 3 * static_cast<size_t>(x0);
      uint8_t* g = r + plane;
      uint8_t* b = g + plane;
      for (uint32_t x = 0; x < w; ++x, src += 3) {
        b[x] = src[0];
        g[x] = src[1];
        r[x] = src[2];
      }
    }
    MemorySink file;
    size_t codeStream = 0, first = 0;
    if (!codeImage(coding, x0, y0, w, h, samples.data(), &file) ||
        !findTileParts(file.bytes, jp2, &codeStream, &first)) {
      return false;
    }
    // The tile-parts up to EOC, numbered as the page's tile.
    std::vector<uint8_t>& bytes = file.bytes;
    size_t p = first;
    while (p + 12 <= bytes.size() && be16(&bytes[p]) == 0xFF90) {
      const uint32_t length = be32(&bytes[p + 6]);
      if (length < 12 || length > bytes.size() - p) return false;
      bytes[p + 4] = static_cast<uint8_t>(index >> 8);
      bytes[p + 5] = static_cast<uint8_t>(index);
      p += length;
    }
    if (p == first || p + 2 != bytes.size() || be16(&bytes[p]) != 0xFFD9) return false;
    parts->assign(bytes.begin() + static_cast<std::ptrdiff_t>(first),
                  bytes.begin() + static_cast<std::ptrdiff_t>(p));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

bool Jpeg2000Encoder::encode(ByteStream& stream) {
  switch (format_) {
    case 11:
    case 12: return encodeOpenJpeg(stream);
    case 13: return encodePgx(stream);
    case 14: return encodePnm(stream);
    case 15: return encodeSunRaster(stream);
    default: return false;
  }
}

bool Jpeg2000Encoder::encodeOpenJpeg(ByteStream& out) {
  const int64_t base = out.tell();
  if (base < 0) return false;
  // The quality as a fraction of the raw size, like "rate=0.900"; a rate of
  // 1 or more (or none) keeps every coded bit.
  const float rate = jpegQuality() / 100.0f;
  if (rate <= 0.0f || rate >= 1.0f) return codeOpenJpeg(out, base, 0.0f, false, 0, nullptr);
  // A scanned page nearly always codes losslessly within the rate. Coded so
  // first, it needs no search for the rate's truncation (a tenth of the
  // time), and its lower bit planes go raw, unmodelled: a fifth faster for
  // a few percent more bytes. Only a page that does not fit is coded again,
  // to the rate.
  const uint64_t components = depth() == 24 ? 3 : 1;
  const auto limit = static_cast<uint64_t>(rate * static_cast<double>(width()) * height() * components);
  bool overLimit = false;
  if (limit > 0 && codeOpenJpeg(out, base, 0.0f, true, limit, &overLimit)) return true;
  if (limit > 0 && !overLimit) return false;
  return out.seek(base, SEEK_SET) && codeOpenJpeg(out, base, 1.0f / rate, false, 0, nullptr) &&
         out.truncate(out.tell());
}

bool Jpeg2000Encoder::codeOpenJpeg(ByteStream& out, int64_t base, float ratio, bool raw,
                                   uint64_t limit, bool* overLimit) {
  const bool jp2 = format_ == 11;
  Coding coding{.format = jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K,
                .components = depth() == 24 ? 3u : 1u,
                .ratio = ratio,
                .raw = raw,
                .resolutions = 6,
                .tileWidth = std::min(kTileSize, width()),
                .tileHeight = std::min(kTileSize, height()),
                .libraryThreads = 1};
  const uint32_t smallest = std::min(coding.tileWidth, coding.tileHeight);
  while (coding.resolutions > 1 && (1u << (coding.resolutions - 1)) > smallest) --coding.resolutions;
  const uint32_t tilesX = (width() + coding.tileWidth - 1) / coding.tileWidth;
  const uint32_t tilesY = (height() + coding.tileHeight - 1) / coding.tileHeight;
  // Tiles on every processor, each by a codec of its own: OpenJPEG shares
  // out only the code blocks of one tile, and codes the rest of it on one
  // thread. A lone tile gets the library's threads instead.
  const unsigned threads = std::min(processorCount(), tilesX * tilesY);
  if (threads <= 1) coding.libraryThreads = static_cast<int>(processorCount());

  uint64_t written = 0;
  auto put = [&](const uint8_t* data, size_t size) {
    if (limit != 0 && written + size > limit) {
      if (overLimit) *overLimit = true;
      return false;
    }
    written += size;
    return out.write(data, size);
  };
  // The page's header, from a codec given no tile.
  MemorySink header;
  size_t codeStream = 0, tileParts = 0;
  if (!codeImage(coding, 0, 0, width(), height(), nullptr, &header) ||
      !findTileParts(header.bytes, jp2, &codeStream, &tileParts) ||
      !put(header.bytes.data(), tileParts)) {
    return false;
  }
  auto code = [&](uint32_t i, unsigned, std::vector<uint8_t>& parts) {
    const uint32_t x0 = i % tilesX * coding.tileWidth, y0 = i / tilesX * coding.tileHeight;
    return codeTile(*this, coding, i, x0, y0, std::min(coding.tileWidth, width() - x0),
                    std::min(coding.tileHeight, height() - y0), &parts);
  };
  auto take = [&](uint32_t, std::vector<uint8_t>& parts) { return put(parts.data(), parts.size()); };
  static const uint8_t kEnd[2] = {0xFF, 0xD9};
  // Tiles coded ahead wait for a slower one before them.
  if (!makeInOrder<std::vector<uint8_t>>(tilesX * tilesY, threads, 2 * threads, code, take) ||
      !put(kEnd, 2)) {
    return false;
  }
  if (!jp2) return true;
  // The code stream box's length, now that the code stream is known.
  const uint64_t box = written - (codeStream - 8);
  if (box > 0xFFFFFFFFu) return false;
  const uint8_t length[4] = {static_cast<uint8_t>(box >> 24), static_cast<uint8_t>(box >> 16),
                             static_cast<uint8_t>(box >> 8), static_cast<uint8_t>(box)};
  const int64_t end = out.tell();
  return end >= 0 && out.seek(base + static_cast<int64_t>(codeStream) - 8, SEEK_SET) &&
         out.write(length, 4) && out.seek(end, SEEK_SET);
}

bool Jpeg2000Encoder::encodePgx(ByteStream& stream) {
  StreamWriter out(stream);
  char header[64];
  const int n = std::snprintf(header, sizeof header, "PG ML + 8 %u %u\n", width(), height());
  out.bytes(header, static_cast<size_t>(n));
  for (uint32_t y = 0; y < height(); ++y) out.bytes(topRow(y), width());
  return out.flush();
}

bool Jpeg2000Encoder::encodePnm(ByteStream& stream) {
  const bool gray = depth() != 24;
  StreamWriter out(stream);
  char header[64];
  const int n = std::snprintf(header, sizeof header, "%s\n%u %u\n255\n", gray ? "P5" : "P6",
                              width(), height());
  out.bytes(header, static_cast<size_t>(n));
  std::vector<uint8_t> line(static_cast<size_t>(width()) * 3);
  for (uint32_t y = 0; y < height(); ++y) {
    const uint8_t* src = topRow(y);
    if (gray) {
      out.bytes(src, width());
      continue;
    }
    uint8_t* dst = line.data();
    for (uint32_t x = 0; x < width(); ++x, src += 3, dst += 3) {
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = src[0];
    }
    out.bytes(line.data(), line.size());
  }
  return out.flush();
}

bool Jpeg2000Encoder::encodeSunRaster(ByteStream& stream) {
  const bool gray = depth() != 24;
  const uint64_t lineBytes = static_cast<uint64_t>(width()) * (gray ? 1 : 3);
  const uint64_t paddedLine = lineBytes + (lineBytes & 1);  // rows end on 16 bits
  const uint64_t length = paddedLine * height();
  if (length > 0xFFFFFFFFu) return false;
  StreamWriter out(stream);
  out.be32(0x59A66A95);
  out.be32(width());
  out.be32(height());
  out.be32(gray ? 8 : 24);
  out.be32(static_cast<uint32_t>(length));
  out.be32(1);  // standard type: 24-bit pixels blue, green, red
  out.be32(0);  // no colour map: 8 bits are gray levels
  out.be32(0);
  for (uint32_t y = 0; y < height(); ++y) {
    out.bytes(topRow(y), static_cast<size_t>(lineBytes));
    if (paddedLine != lineBytes) out.u8(0);
  }
  return out.flush();
}

}  // namespace lumra

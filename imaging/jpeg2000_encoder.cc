#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <openjpeg.h>

#include "imaging/encoders.h"
#include "imaging/stream_writer.h"
#include "platform/resources.h"

namespace lumra {

namespace {

constexpr uint32_t kTileSize = 1024;

struct StreamState {
  ByteStream* stream;
  int64_t base;
  uint64_t limit;  // bytes the file may take; 0: any
  bool overLimit;
};

OPJ_SIZE_T writeProc(void* data, OPJ_SIZE_T size, void* user) {
  auto* s = static_cast<StreamState*>(user);
  if (s->limit != 0) {
    const int64_t at = s->stream->tell();
    if (at < 0 || static_cast<uint64_t>(at - s->base) + size > s->limit) {
      s->overLimit = true;
      return static_cast<OPJ_SIZE_T>(-1);
    }
  }
  return s->stream->write(data, size) ? size : static_cast<OPJ_SIZE_T>(-1);
}
OPJ_OFF_T skipProc(OPJ_OFF_T count, void* user) {
  auto* s = static_cast<StreamState*>(user);
  return s->stream->seek(count, SEEK_CUR) ? count : -1;
}
OPJ_BOOL seekProc(OPJ_OFF_T position, void* user) {
  auto* s = static_cast<StreamState*>(user);
  return s->stream->seek(s->base + position, SEEK_SET) ? OPJ_TRUE : OPJ_FALSE;
}
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
  // time, all on one thread), and its lower bit planes go raw, unmodelled:
  // a fifth faster for a few percent more bytes. Only a page that does not
  // fit is coded again, to the rate.
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
  const bool gray = depth() != 24;
  const uint32_t components = gray ? 1 : 3;
  StreamState state{&out, base, limit, false};
  struct TellOverLimit {
    const StreamState& state;
    bool* overLimit;
    ~TellOverLimit() {
      if (overLimit) *overLimit = state.overLimit;
    }
  } tell{state, overLimit};

  opj_cparameters_t params;
  opj_set_default_encoder_parameters(&params);
  params.tcp_numlayers = 1;
  params.tcp_rates[0] = ratio;
  params.cp_disto_alloc = 1;
  if (raw) params.mode = 1;  // selective arithmetic coding bypass
  // Tiles keep only one tile's samples in memory at a time.
  params.tile_size_on = OPJ_TRUE;
  params.cp_tdx = static_cast<int>(std::min(kTileSize, width()));
  params.cp_tdy = static_cast<int>(std::min(kTileSize, height()));
  const uint32_t smallest = static_cast<uint32_t>(std::min(params.cp_tdx, params.cp_tdy));
  while (params.numresolution > 1 && (1u << (params.numresolution - 1)) > smallest) {
    --params.numresolution;
  }

  opj_image_cmptparm_t parms[3] = {};
  for (uint32_t c = 0; c < components; ++c) {
    parms[c].dx = 1;
    parms[c].dy = 1;
    parms[c].w = width();
    parms[c].h = height();
    parms[c].prec = 8;
    parms[c].sgnd = 0;
  }
  OpenJpegObjects objects;
  objects.image = opj_image_tile_create(components, parms, gray ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB);
  if (objects.image == nullptr) return false;
  objects.image->x0 = 0;
  objects.image->y0 = 0;
  objects.image->x1 = width();
  objects.image->y1 = height();

  objects.codec = opj_create_compress(format_ == 11 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
  if (objects.codec == nullptr) return false;
  // Code blocks on every processor; a library without threads ignores it.
  opj_codec_set_threads(objects.codec, static_cast<int>(processorCount()));
  opj_set_error_handler(objects.codec, quiet, nullptr);
  opj_set_warning_handler(objects.codec, quiet, nullptr);
  opj_set_info_handler(objects.codec, quiet, nullptr);
  if (!opj_setup_encoder(objects.codec, &params, objects.image)) return false;

  objects.stream = opj_stream_create(1 << 20, OPJ_FALSE);
  if (objects.stream == nullptr) return false;
  opj_stream_set_user_data(objects.stream, &state, nullptr);
  opj_stream_set_write_function(objects.stream, writeProc);
  opj_stream_set_skip_function(objects.stream, skipProc);
  opj_stream_set_seek_function(objects.stream, seekProc);
  if (!opj_start_compress(objects.codec, objects.image, objects.stream)) return false;

  const uint32_t tileW = static_cast<uint32_t>(params.cp_tdx);
  const uint32_t tileH = static_cast<uint32_t>(params.cp_tdy);
  const uint32_t tilesX = (width() + tileW - 1) / tileW;
  const uint32_t tilesY = (height() + tileH - 1) / tileH;
  std::vector<uint8_t> tile(static_cast<size_t>(tileW) * tileH * components);
  for (uint32_t ty = 0; ty < tilesY; ++ty) {
    for (uint32_t tx = 0; tx < tilesX; ++tx) {
      const uint32_t x0 = tx * tileW, y0 = ty * tileH;
      const uint32_t w = std::min(tileW, width() - x0), h = std::min(tileH, height() - y0);
      const size_t plane = static_cast<size_t>(w) * h;
      // Component planes one after the other: red, green, blue.
      for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* src = topRow(y0 + y);
        if (gray) {
          std::memcpy(tile.data() + static_cast<size_t>(y) * w, src + x0, w);
          continue;
        }
        src += 3 * static_cast<size_t>(x0);
        uint8_t* r = tile.data() + static_cast<size_t>(y) * w;
        uint8_t* g = r + plane;
        uint8_t* b = g + plane;
        for (uint32_t x = 0; x < w; ++x, src += 3) {
          b[x] = src[0];
          g[x] = src[1];
          r[x] = src[2];
        }
      }
      if (!opj_write_tile(objects.codec, ty * tilesX + tx, tile.data(),
                          static_cast<OPJ_UINT32>(plane * components), objects.stream)) {
        return false;
      }
    }
  }
  return opj_end_compress(objects.codec, objects.stream) == OPJ_TRUE;
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

#include <cstdio>
#include <cstdlib>
#include <vector>

// The shared library is built with write and chunk access; say we use it.
#define MNG_USE_SO
#include <libmng.h>

#include "imaging/deflate_bands.h"
#include "imaging/encoders.h"
#include "platform/resources.h"

namespace lumra {

namespace {

struct WriteState {
  ByteStream* stream;
  bool failed;
};

mng_ptr MNG_DECL allocate(mng_size_t size) { return std::calloc(1, size); }
void MNG_DECL release(mng_ptr pointer, mng_size_t) { std::free(pointer); }
mng_bool MNG_DECL openStream(mng_handle) { return MNG_TRUE; }
mng_bool MNG_DECL closeStream(mng_handle) { return MNG_TRUE; }
mng_bool MNG_DECL writeData(mng_handle handle, mng_ptr data, mng_uint32 length,
                            mng_uint32p written) {
  auto* state = static_cast<WriteState*>(mng_get_userdata(handle));
  if (!state->stream->write(data, length)) {
    state->failed = true;
    *written = 0;
    return MNG_FALSE;
  }
  *written = length;
  return MNG_TRUE;
}

// Cleans up the libmng handle on every path.
class MngHandle {
 public:
  explicit MngHandle(WriteState* state) : handle_(mng_initialize(state, allocate, release, MNG_NULL)) {}
  ~MngHandle() {
    if (handle_ != MNG_NULL) mng_cleanup(&handle_);
  }
  MngHandle(const MngHandle&) = delete;
  MngHandle& operator=(const MngHandle&) = delete;
  mng_handle get() const { return handle_; }

 private:
  mng_handle handle_;
};

// All rows, top row first, red, green, blue, each after filter byte 0, as
// one zlib stream at level 9's ratio or better.
bool deflateRows(const PageImage& image, std::vector<uint8_t>& out) {
  const size_t lineBytes = 1 + static_cast<size_t>(image.width()) * 3;
  auto rows = [&](uint32_t first, uint32_t count, uint8_t* line) {
    for (uint32_t y = first; y < first + count; ++y, line += lineBytes) {
      const uint8_t* src = image.topRow(y);
      uint8_t* dst = line;
      *dst++ = 0;
      for (uint32_t x = 0; x < image.width(); ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
    }
  };
  // Band by band, then joined into a block of the exact size: a growing
  // vector would hold up to twice the stream.
  std::vector<std::vector<uint8_t>> pieces;
  size_t total = 0;
  auto append = [&](const uint8_t* data, size_t size) {
    pieces.emplace_back(data, data + size);
    total += size;
    return total <= 0x7FFFFFFF;  // one PNG chunk
  };
  DeflateBands job;
  job.rows = image.height();
  job.rowBytes = lineBytes;
  job.zlibLevel = 9;
  job.level = 8;
  job.threads = processorCount();
  if (!deflateBands(job, rows, append)) return false;
  out.reserve(total);
  for (std::vector<uint8_t>& piece : pieces) {
    out.insert(out.end(), piece.begin(), piece.end());
    std::vector<uint8_t>().swap(piece);
  }
  return true;
}

}  // namespace

bool MngEncoder::encode(ByteStream& stream) {
  std::vector<uint8_t> compressed;
  if (!deflateRows(*this, compressed)) return false;

  WriteState state{&stream, false};
  MngHandle mng(&state);
  const mng_handle h = mng.get();
  if (h == MNG_NULL) return false;
  if (mng_setcb_openstream(h, openStream) != MNG_NOERROR ||
      mng_setcb_closestream(h, closeStream) != MNG_NOERROR ||
      mng_setcb_writedata(h, writeData) != MNG_NOERROR || mng_create(h) != MNG_NOERROR) {
    return false;
  }
  bool ok = mng_putchunk_mhdr(h, width(), height(), 1000, 0, 0, 0, 0) == MNG_NOERROR &&
            mng_putchunk_defi(h, 0, 0, 0, MNG_FALSE, 0, 0, MNG_FALSE, 0, 0, 0, 0) == MNG_NOERROR &&
            mng_putchunk_ihdr(h, width(), height(), 8, 2, 0, 0, 0) == MNG_NOERROR &&
            mng_putchunk_idat(h, static_cast<mng_uint32>(compressed.size()), compressed.data()) ==
                MNG_NOERROR;
  // libmng keeps its own copy of the chunk.
  std::vector<uint8_t>().swap(compressed);
  ok = ok && mng_putchunk_iend(h) == MNG_NOERROR && mng_putchunk_mend(h) == MNG_NOERROR &&
       mng_write(h) == MNG_NOERROR;
  return ok && !state.failed;
}

}  // namespace lumra

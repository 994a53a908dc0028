#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "imaging/encoders.h"

namespace lumra {

namespace {

constexpr size_t kOutputBuffer = 1 << 16;

// Library errors jump back to the encoder instead of ending the process.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void onError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}
void onMessage(j_common_ptr) {}

struct Destination {
  jpeg_destination_mgr base;
  ByteStream* stream;
  std::vector<JOCTET> buffer;
  bool failed;
};

void initDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  dest->base.next_output_byte = dest->buffer.data();
  dest->base.free_in_buffer = dest->buffer.size();
}

boolean emptyBuffer(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  if (!dest->stream->write(dest->buffer.data(), dest->buffer.size())) {
    dest->failed = true;
    ERREXIT(cinfo, JERR_FILE_WRITE);
  }
  dest->base.next_output_byte = dest->buffer.data();
  dest->base.free_in_buffer = dest->buffer.size();
  return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  const size_t used = dest->buffer.size() - dest->base.free_in_buffer;
  if (used > 0 && !dest->stream->write(dest->buffer.data(), used)) {
    dest->failed = true;
    ERREXIT(cinfo, JERR_FILE_WRITE);
  }
}

int libraryQuality(float quality) {
  // + 0.5 truncated to 8 bits, then into 1..100.
  const int q = static_cast<uint8_t>(static_cast<int>(quality + 0.5f));
  return q < 1 ? 1 : q > 100 ? 100 : q;
}

}  // namespace

bool JpegEncoder::encode(ByteStream& stream) {
  if (width() > JPEG_MAX_DIMENSION || height() > JPEG_MAX_DIMENSION) return false;

  jpeg_compress_struct cinfo;
  ErrorManager errors;
  Destination dest;
  dest.stream = &stream;
  dest.buffer.resize(kOutputBuffer);
  dest.failed = false;
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = onError;
  errors.base.output_message = onMessage;
  if (setjmp(errors.jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  dest.base.init_destination = initDestination;
  dest.base.empty_output_buffer = emptyBuffer;
  dest.base.term_destination = termDestination;
  cinfo.dest = &dest.base;

  cinfo.image_width = width();
  cinfo.image_height = height();
  const bool gray = depth() != 24;
  cinfo.input_components = gray ? 1 : 3;
  // The library takes blue, green, red rows as they are stored.
  cinfo.in_color_space = gray ? JCS_GRAYSCALE : JCS_EXT_BGR;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, libraryQuality(jpegQuality()), FALSE);
  cinfo.comp_info[0].h_samp_factor = 2;
  cinfo.comp_info[0].v_samp_factor = 2;
  for (int i = 1; i < cinfo.num_components; ++i) {
    cinfo.comp_info[i].h_samp_factor = 1;
    cinfo.comp_info[i].v_samp_factor = 1;
  }
  cinfo.progressive_mode = FALSE;
  cinfo.arith_code = FALSE;
  cinfo.optimize_coding = FALSE;
  cinfo.smoothing_factor = 0;
  cinfo.write_JFIF_header = TRUE;
  cinfo.density_unit = 1;
  cinfo.X_density = static_cast<UINT16>(std::min(dpiX(), 0xFFFF));
  cinfo.Y_density = static_cast<UINT16>(std::min(dpiY(), 0xFFFF));

  jpeg_start_compress(&cinfo, TRUE);
  constexpr int kRowsPerCall = 16;
  JSAMPROW rows[kRowsPerCall];
  while (cinfo.next_scanline < cinfo.image_height) {
    const JDIMENSION first = cinfo.next_scanline;
    const int count = static_cast<int>(std::min<JDIMENSION>(kRowsPerCall, cinfo.image_height - first));
    for (int i = 0; i < count; ++i) rows[i] = const_cast<JSAMPROW>(topRow(first + i));
    jpeg_write_scanlines(&cinfo, rows, static_cast<JDIMENSION>(count));
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return !dest.failed;
}

}  // namespace lumra

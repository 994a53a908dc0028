#include <csetjmp>

#include <png.h>

#include "imaging/encoders.h"

namespace lumra {

namespace {

struct WriteState {
  ByteStream* stream;
  bool failed;
};

void writeData(png_structp png, png_bytep data, png_size_t length) {
  auto* state = static_cast<WriteState*>(png_get_io_ptr(png));
  if (!state->stream->write(data, length)) {
    state->failed = true;
    png_error(png, "write failed");
  }
}
void flushData(png_structp) {}
void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onWarning(png_structp, png_const_charp) {}

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
  if (rgb) png_set_bgr(png);  // rows stay blue, green, red in memory
  for (uint32_t y = 0; y < height(); ++y) png_write_row(png, const_cast<png_bytep>(topRow(y)));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return !state.failed;
}

}  // namespace lumra

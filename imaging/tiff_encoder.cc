#include <cstring>
#include <vector>

#include <tiffio.h>

#include "imaging/encoders.h"

namespace lumra {

namespace {

// libtiff client procedures over a ByteStream; offsets are relative to where
// the TIFF starts in the stream.
struct Client {
  ByteStream* stream;
  int64_t base;
};

tsize_t readProc(thandle_t handle, tdata_t data, tsize_t size) {
  auto* c = static_cast<Client*>(handle);
  return static_cast<tsize_t>(c->stream->read(data, static_cast<size_t>(size)));
}
tsize_t writeProc(thandle_t handle, tdata_t data, tsize_t size) {
  auto* c = static_cast<Client*>(handle);
  return c->stream->write(data, static_cast<size_t>(size)) ? size : -1;
}
toff_t seekProc(thandle_t handle, toff_t offset, int whence) {
  auto* c = static_cast<Client*>(handle);
  int64_t target = static_cast<int64_t>(offset);
  if (whence == SEEK_SET) target += c->base;
  if (!c->stream->seek(target, whence)) return static_cast<toff_t>(-1);
  return static_cast<toff_t>(c->stream->tell() - c->base);
}
int closeProc(thandle_t) { return 0; }
toff_t sizeProc(thandle_t handle) {
  auto* c = static_cast<Client*>(handle);
  return static_cast<toff_t>(c->stream->size() - c->base);
}
int mapProc(thandle_t, tdata_t*, toff_t*) { return 0; }
void unmapProc(thandle_t, tdata_t, toff_t) {}

}  // namespace

bool TiffEncoder::encode(ByteStream& stream) {
  if (!valid()) return false;
  Client client{&stream, stream.tell()};
  if (client.base < 0) return false;
  // A new little-endian file on the empty stream the caller gives us.
  TIFF* tif = TIFFClientOpen("page", "wl", &client, readProc, writeProc, seekProc, closeProc,
                             sizeProc, mapProc, unmapProc);
  if (tif == nullptr) return false;

  const uint32_t d = depth();
  bool invert = false;
  uint16_t photometric = PHOTOMETRIC_RGB;
  std::vector<uint16_t> colorMap;
  if (d == 1) {
    // WhiteIsZero: bit 0 must be the lighter colour.
    invert = brightness(palette()[0]) < brightness(palette()[1]);
    photometric = PHOTOMETRIC_MINISWHITE;
  } else if (d == 8 && isGray()) {
    photometric = PHOTOMETRIC_MINISBLACK;
  } else if (d != 24) {
    photometric = PHOTOMETRIC_PALETTE;
    const uint32_t n = paletteSize();
    colorMap.resize(3 * n);
    for (uint32_t i = 0; i < n; ++i) {
      colorMap[i] = static_cast<uint16_t>(palette()[i].red * 257);
      colorMap[n + i] = static_cast<uint16_t>(palette()[i].green * 257);
      colorMap[2 * n + i] = static_cast<uint16_t>(palette()[i].blue * 257);
    }
  }
  const uint16_t compression = d == 1 ? COMPRESSION_CCITTFAX4 : d == 24 ? COMPRESSION_JPEG : COMPRESSION_LZW;

  TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width());
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height());
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, d == 24 ? 3 : 1);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, d == 24 ? 8 : d);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(dpiX()));
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(dpiY()));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
  if (!colorMap.empty()) {
    const uint32_t n = paletteSize();
    TIFFSetField(tif, TIFFTAG_COLORMAP, colorMap.data(), colorMap.data() + n, colorMap.data() + 2 * n);
  }
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  if (d == 8) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  uint32_t rowsPerStrip = TIFFDefaultStripSize(tif, 0);
  if (d == 24) {
    TIFFSetField(tif, TIFFTAG_JPEGQUALITY, static_cast<int>(jpegQuality() + 0.5f));
    rowsPerStrip = (rowsPerStrip + 7) / 8 * 8;
  }
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);

  bool ok = true;
  std::vector<uint8_t> line(rowSize());
  for (uint32_t y = 0; y < height() && ok; ++y) {
    const uint8_t* src = topRow(y);
    if (d == 24) {
      uint8_t* dst = line.data();
      for (uint32_t x = 0; x < width(); ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
      src = line.data();
    } else if (invert) {
      for (size_t i = 0; i < rowSize(); ++i) line[i] = static_cast<uint8_t>(~src[i]);
      src = line.data();
    }
    ok = TIFFWriteScanline(tif, const_cast<uint8_t*>(src), y, 0) == 1;
  }
  if (ok) ok = TIFFWriteDirectory(tif) == 1;
  TIFFClose(tif);
  return ok;
}

}  // namespace lumra

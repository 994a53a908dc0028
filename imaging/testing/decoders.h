// Page files read back with the codec libraries' own decoders, for the
// imaging unit tests, the client's tests and the end-to-end tests; and test
// pages coded in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <openjpeg.h>

#include "imaging/byte_stream.h"
#include "imaging/testing_dib.h"

namespace lumra::testing {

/// A decoded picture: 8-bit samples, top row first, 1 (gray) or 3 (RGB)
/// components per pixel.
struct Decoded {
  uint32_t width = 0, height = 0, components = 0;
  std::vector<uint8_t> samples;
  /// One pixel (gray in all three).
  Rgb at(uint32_t x, uint32_t y) const {
    const uint8_t* p = &samples[(static_cast<size_t>(y) * width + x) * components];
    return components == 1 ? Rgb{p[0], p[0], p[0]} : Rgb{p[0], p[1], p[2]};
  }
};

struct JpegFacts {
  int densityUnit = -1, xDensity = -1, yDensity = -1;
  int hSampling = 0, vSampling = 0;
  int firstLuminanceEntry = -1;  ///< of the first quantisation table
  bool progressive = true, arithmetic = true;
};
/// libjpeg; the picture keeps the file's components.
bool decodeJpeg(const std::vector<uint8_t>& file, Decoded* picture, JpegFacts* facts = nullptr);

struct PngFacts {
  int colorType = -1, bitDepth = -1, paletteEntries = 0, interlace = -1, unit = -1;
  uint32_t ppmX = 0, ppmY = 0;
  bool hasBackground = false;
  int backgroundIndex = -1, backgroundGray = -1, backgroundSum = -1;
};
/// libpng; the picture is RGB.
bool decodePng(const std::vector<uint8_t>& file, Decoded* picture, PngFacts* facts = nullptr);

struct TiffFacts {
  uint16_t photometric = 0, compression = 0, bitsPerSample = 0, samplesPerPixel = 0;
  uint16_t predictor = 0, resolutionUnit = 0, orientation = 0, planar = 0;
  uint32_t rowsPerStrip = 0, subfileType = 99;
  float xResolution = 0, yResolution = 0;
  bool littleEndian = false, singleImage = false;
  uint16_t pageNumber = 0xFFFF, pageCount = 0xFFFF;
  int directories = 0;
};
/// libtiff's RGBA reader on image `directory`; the picture is RGB.
bool decodeTiff(const std::vector<uint8_t>& file, Decoded* picture, TiffFacts* facts = nullptr,
                uint16_t directory = 0);

/// OpenJPEG, a JP2 file or a code stream; `space` gets the colour space.
bool decodeOpenJpeg(const std::vector<uint8_t>& file, OPJ_CODEC_FORMAT format, Decoded* picture,
                    OPJ_COLOR_SPACE* space = nullptr);

/// One image of a GIF file.
struct GifImage {
  int left = 0, top = 0, width = 0, height = 0;
  int localColours = 0;  ///< 0: the global colour table
  std::vector<uint8_t> indexes;
};
struct GifFacts {
  int globalColours = 0;
  std::vector<GifImage> images;
};
/// giflib; the picture is the RGB screen after every image is drawn.
bool decodeGif(const std::vector<uint8_t>& file, Decoded* picture, GifFacts* facts = nullptr);

/// Fails the test where `picture` differs from `page` by more than
/// `maxError` in a channel or `meanError` on average.
void expectPicture(const Decoded& picture, const TestPage& page, int maxError = 0, double meanError = 0);

/// The bytes of the file at `path`; empty when it cannot be read.
std::vector<uint8_t> readBytes(const std::string& path);

/// The page file of `page` in `format`; `ok` tells whether the encoder
/// accepted it.
std::vector<uint8_t> encodePage(const TestPage& page, uint32_t format, bool* ok);

/// A page file by its extension: jpg, png, tif, gif, jp2, jpc. False for
/// other extensions and for files the library refuses.
bool decodePage(const std::string& file, const std::string& extension, Decoded* picture);

}  // namespace lumra::testing

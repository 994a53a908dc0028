// Page files of the codec-library formats, read back with the libraries' own
// decoders.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openjpeg.h>
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

#include "imaging/testing/decoders.h"

namespace lumra {
namespace {

using namespace testing;

/// The chunks of a PNG or MNG file after its 8-byte signature, each CRC
/// checked; data keeps the last chunk of each type.
struct Chunks {
  std::vector<std::string> types;
  std::map<std::string, std::vector<uint8_t>> data;
};
Chunks readChunks(const std::vector<uint8_t>& file) {
  Chunks chunks;
  size_t i = 8;
  while (i + 12 <= file.size()) {
    const uint32_t length = static_cast<uint32_t>(file[i] << 24 | file[i + 1] << 16 | file[i + 2] << 8 | file[i + 3]);
    EXPECT_LE(i + 12 + length, file.size());
    if (i + 12 + length > file.size()) break;
    const std::string type(file.begin() + i + 4, file.begin() + i + 8);
    const uint32_t crc = static_cast<uint32_t>(crc32(0, file.data() + i + 4, length + 4));
    const size_t c = i + 8 + length;
    EXPECT_EQ(crc, static_cast<uint32_t>(file[c] << 24 | file[c + 1] << 16 | file[c + 2] << 8 | file[c + 3])) << type;
    chunks.types.push_back(type);
    chunks.data[type].assign(file.begin() + i + 8, file.begin() + i + 8 + length);
    i += 12 + length;
  }
  EXPECT_EQ(i, file.size());
  return chunks;
}

// ---- JPEG ----

// The quantisation table shows the quality used, 90 unless set: luminance
// entry 0 is 16 scaled by the library's linear factor (x 5000 / 1 for 0).
TEST(JpegEncoder, ColourAndGrayPagesAtTheirQuality) {
  struct Case {
    uint32_t width, height, depth;
    PaletteKind kind;
    uint32_t components;
    int quality, firstLuminanceEntry;  // quality -1: not set
  };
  const Case cases[] = {
      {37, 21, 24, PaletteKind::kColour, 3, -1, 3}, {50, 33, 8, PaletteKind::kGray, 1, -1, 3},
      {16, 16, 24, PaletteKind::kColour, 3, 0, 800}, {16, 16, 24, PaletteKind::kColour, 3, 50, 16},
      {16, 16, 8, PaletteKind::kGray, 1, 101, 1},    {16, 16, 24, PaletteKind::kColour, 3, 255, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << "x" << c.depth << ", quality " << c.quality);
    const TestPage page = makeTestPage(c.width, c.height, c.depth, c.kind);
    PageImage image = readDib(packDib(page));
    if (c.quality >= 0) image.setJpegQuality(static_cast<uint8_t>(c.quality));
    MemoryStream stream;
    ASSERT_TRUE(image.encode(stream, 3));
    JpegFacts facts;
    Decoded picture;
    ASSERT_TRUE(decodeJpeg(stream.buffer(), &picture, &facts));
    EXPECT_EQ(picture.components, c.components);
    EXPECT_EQ(facts.firstLuminanceEntry, c.firstLuminanceEntry);
    EXPECT_EQ(facts.densityUnit, 1);
    EXPECT_EQ(facts.xDensity, 300);
    EXPECT_EQ(facts.yDensity, 300);
    EXPECT_EQ(facts.hSampling, 2);
    EXPECT_EQ(facts.vSampling, 2);
    EXPECT_FALSE(facts.progressive);
    EXPECT_FALSE(facts.arithmetic);
    if (c.quality < 0) expectPicture(picture, page, 60, 3.0);
  }
}

// ---- PNG ----

TEST(PngEncoder, EveryDepthIsLosslessWithItsColourType) {
  struct Case {
    uint32_t width, height, depth;
    PaletteKind kind;
    int colorType, bitDepth, paletteEntries;
  };
  const Case cases[] = {
      {19, 7, 1, PaletteKind::kBlackWhite, PNG_COLOR_TYPE_PALETTE, 1, 2},
      {17, 9, 8, PaletteKind::kColour, PNG_COLOR_TYPE_PALETTE, 8, 256},
      {17, 9, 8, PaletteKind::kGray, PNG_COLOR_TYPE_GRAY, 8, 0},
      {23, 5, 24, PaletteKind::kColour, PNG_COLOR_TYPE_RGB, 8, 0},
      {37, 1, 4, PaletteKind::kGray, PNG_COLOR_TYPE_PALETTE, 4, 16},  // gray only at 8 bits
      // Rows deflated in several bands on several threads; columns that
      // change slowly down the page make the filters look at the row above.
      {1500, 1000, 24, PaletteKind::kColour, PNG_COLOR_TYPE_RGB, 8, 0},
      {4500, 1000, 8, PaletteKind::kGray, PNG_COLOR_TYPE_GRAY, 8, 0},
  };
  auto columns = [](TestPage& page) {
    for (size_t at = 0; at < page.rgb.size(); ++at) {
      const uint8_t v = static_cast<uint8_t>((at % page.width * 0x9E3779B1u >> 24) + at / page.width / 64);
      page.rgb[at] = page.depth == 8 ? Rgb{v, v, v} : Rgb{v, static_cast<uint8_t>(v ^ 0x5A), 7};
      if (page.depth == 8) page.index[at] = v;
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << ", " << c.depth
                                      << " bits, colour type " << c.colorType);
    TestPage page = makeTestPage(c.width, c.height, c.depth, c.kind);
    if (c.height >= 1000) columns(page);
    bool ok = false;
    const std::vector<uint8_t> file = encodePage(page, 4, &ok);
    ASSERT_TRUE(ok);
    PngFacts facts;
    Decoded picture;
    ASSERT_TRUE(decodePng(file, &picture, &facts));
    EXPECT_EQ(facts.colorType, c.colorType);
    EXPECT_EQ(facts.bitDepth, c.bitDepth);
    EXPECT_EQ(facts.paletteEntries, c.paletteEntries);
    EXPECT_EQ(facts.interlace, PNG_INTERLACE_NONE);
    EXPECT_EQ(facts.ppmX, 11811u);
    EXPECT_EQ(facts.ppmY, 11811u);
    EXPECT_EQ(facts.unit, PNG_RESOLUTION_METER);
    ASSERT_TRUE(facts.hasBackground);
    if (c.colorType == PNG_COLOR_TYPE_PALETTE) EXPECT_EQ(facts.backgroundIndex, 0);
    else if (c.colorType == PNG_COLOR_TYPE_GRAY) EXPECT_EQ(facts.backgroundGray, 0);
    else EXPECT_EQ(facts.backgroundSum, 3 * 255);
    expectPicture(picture, page, 0, 0.0);
    std::vector<std::string> order = {"IHDR", "PLTE", "bKGD", "pHYs", "IDAT", "IEND"};
    if (c.colorType != PNG_COLOR_TYPE_PALETTE) order.erase(order.begin() + 1);
    std::vector<std::string> types = readChunks(file).types;
    types.erase(std::unique(types.begin(), types.end()), types.end());  // IDATs in a row
    EXPECT_EQ(types, order);
  }
}

// ---- TIFF ----

TEST(TiffEncoder, TagsAndPixelsByDepth) {
  struct Case {
    uint32_t width, height, depth;
    PaletteKind kind;
    uint16_t photometric, compression, bitsPerSample, samples, predictor;
    int maxError;
  };
  const Case cases[] = {
      {35, 10, 1, PaletteKind::kBlackWhite, 0, 4, 1, 1, 1, 0},
      {35, 10, 1, PaletteKind::kWhiteBlack, 0, 4, 1, 1, 1, 0},
      {20, 12, 4, PaletteKind::kGray, 3, 5, 4, 1, 1, 0},
      {30, 9, 8, PaletteKind::kGray, 1, 5, 8, 1, 2, 0},
      {30, 9, 8, PaletteKind::kColour, 3, 5, 8, 1, 2, 0},
      {48, 300, 24, PaletteKind::kColour, 2, 7, 8, 3, 1, 60},  // several strips
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.depth << " bits, photometric " << c.photometric);
    const TestPage page = makeTestPage(c.width, c.height, c.depth, c.kind);
    bool ok = false;
    const std::vector<uint8_t> file = encodePage(page, 6, &ok);
    ASSERT_TRUE(ok);
    TiffFacts facts;
    Decoded picture;
    ASSERT_TRUE(decodeTiff(file, &picture, &facts));
    EXPECT_TRUE(facts.singleImage);
    EXPECT_TRUE(facts.littleEndian);
    EXPECT_EQ(facts.photometric, c.photometric);
    EXPECT_EQ(facts.compression, c.compression);
    EXPECT_EQ(facts.bitsPerSample, c.bitsPerSample);
    EXPECT_EQ(facts.samplesPerPixel, c.samples);
    EXPECT_EQ(facts.predictor, c.predictor);
    EXPECT_EQ(facts.resolutionUnit, RESUNIT_INCH);
    EXPECT_EQ(facts.orientation, ORIENTATION_TOPLEFT);
    EXPECT_EQ(facts.planar, PLANARCONFIG_CONTIG);
    EXPECT_EQ(facts.subfileType, 0u);
    EXPECT_FLOAT_EQ(facts.xResolution, 300.0f);
    EXPECT_FLOAT_EQ(facts.yResolution, 300.0f);
    if (c.depth == 24) {
      EXPECT_LT(facts.rowsPerStrip, c.height);
      EXPECT_EQ(facts.rowsPerStrip % 8, 0u);
    }
    expectPicture(picture, page, c.maxError, c.maxError ? 4.0 : 0.0);
  }
}

// ---- JPEG 2000 ----

TEST(Jpeg2000Encoder, FileAndCodeStreamDecodeCloseToTheSource) {
  struct Case {
    uint32_t format;
    uint32_t width, height, depth;
    PaletteKind kind;
    OPJ_CODEC_FORMAT codec;
    OPJ_COLOR_SPACE space;
  };
  const Case cases[] = {
      {11, 40, 30, 24, PaletteKind::kColour, OPJ_CODEC_JP2, OPJ_CLRSPC_SRGB},
      {11, 33, 17, 8, PaletteKind::kGray, OPJ_CODEC_JP2, OPJ_CLRSPC_GRAY},
      {12, 40, 30, 24, PaletteKind::kColour, OPJ_CODEC_J2K, OPJ_CLRSPC_UNKNOWN},
      {12, 5, 3, 8, PaletteKind::kGray, OPJ_CODEC_J2K, OPJ_CLRSPC_UNKNOWN},
      {11, 1100, 20, 24, PaletteKind::kColour, OPJ_CODEC_JP2, OPJ_CLRSPC_SRGB},  // three tiles
      {12, 1027, 1030, 8, PaletteKind::kGray, OPJ_CODEC_J2K, OPJ_CLRSPC_UNKNOWN},  // slim edge tiles
      {11, 1, 1, 24, PaletteKind::kColour, OPJ_CODEC_JP2, OPJ_CLRSPC_SRGB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << c.format << ", " << c.width << "x" << c.height
                                      << "x" << c.depth);
    const TestPage page = makeTestPage(c.width, c.height, c.depth, c.kind);
    bool ok = false;
    const std::vector<uint8_t> file = encodePage(page, c.format, &ok);
    ASSERT_TRUE(ok);
    Decoded decoded;
    OPJ_COLOR_SPACE space = OPJ_CLRSPC_UNKNOWN;
    ASSERT_TRUE(decodeOpenJpeg(file, c.codec, &decoded, &space));
    EXPECT_EQ(decoded.components, c.depth == 24 ? 3u : 1u);
    if (c.codec == OPJ_CODEC_JP2) {
      EXPECT_EQ(space, c.space);
    }
    // Rate 0.9 is lossy: single pixels at sharp edges may stray; the mean
    // shows a misplaced tile or component at once.
    expectPicture(decoded, page, 96, 2.0);
  }
}

// A page that codes losslessly within the rate is lossless; noise, which
// does not fit, is coded again to the rate. Both span tiles coded apart and
// joined: one out of place, or mislabelled, shows in the pixels.
TEST(Jpeg2000Encoder, PagesWithinTheRateAreLosslessOthersCodedToIt) {
  constexpr uint32_t kWidth = 1030, kHeight = 40;
  TestPage noise = makeTestPage(kWidth, kHeight, 24);
  for (size_t i = 0; i < noise.rgb.size(); ++i) {
    const uint32_t h = static_cast<uint32_t>(i) * 0x9E3779B1u;
    noise.rgb[i] = {uint8_t(h >> 24), uint8_t(h >> 16), uint8_t((h ^ h >> 13) >> 8)};
  }
  for (uint32_t format : {11u, 12u}) {
    for (bool noisy : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "format " << format << (noisy ? ", noise" : ""));
      const TestPage page = noisy ? noise : makeTestPage(kWidth, kHeight, 24);
      bool ok = false;
      const std::vector<uint8_t> file = encodePage(page, format, &ok);
      ASSERT_TRUE(ok && file.size() > 2);
      EXPECT_LE(file.size(), kWidth * kHeight * 3 * 9 / 10);
      EXPECT_EQ(file[file.size() - 2] << 8 | file.back(), 0xFFD9);  // ends at EOC
      size_t box = 0;  // JP2 boxes end to end, the code stream box with the file
      while (format == 11 && box + 8 <= file.size()) {
        const uint32_t length = static_cast<uint32_t>(file[box] << 24 | file[box + 1] << 16 | file[box + 2] << 8 | file[box + 3]);
        if (length < 8) break;
        box += length;
      }
      if (format == 11) EXPECT_EQ(box, file.size());
      // After other bytes in the stream, the same file follows them.
      MemoryStream stream;
      ASSERT_TRUE(stream.write("ab", 2));
      ASSERT_TRUE(readDib(packDib(page), &ok).encode(stream, format));
      EXPECT_TRUE(std::equal(file.begin(), file.end(), stream.buffer().begin() + 2, stream.buffer().end()));
      Decoded decoded;
      ASSERT_TRUE(decodeOpenJpeg(file, format == 11 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K, &decoded));
      expectPicture(decoded, page, noisy ? 255 : 0, noisy ? 40.0 : 0.0);
    }
  }
}

// PGX, PNM and Sun raster are read back by hand: each is a text or fixed
// header followed by raw samples.
TEST(Jpeg2000Encoder, SmallRawFormats) {
  const TestPage colour = makeTestPage(7, 3, 24);
  const TestPage gray = makeTestPage(5, 2, 8, PaletteKind::kGray);
  bool ok = false;

  std::vector<uint8_t> pgx = encodePage(gray, 13, &ok);
  ASSERT_TRUE(ok);
  const std::string pgxHeader = "PG ML + 8 5 2\n";
  ASSERT_EQ(pgx.size(), pgxHeader.size() + 10);
  EXPECT_EQ(std::string(pgx.begin(), pgx.begin() + pgxHeader.size()), pgxHeader);
  EXPECT_EQ(pgx[pgxHeader.size() + 6], gray.at(1, 1).r);

  std::vector<uint8_t> ppm = encodePage(colour, 14, &ok);
  ASSERT_TRUE(ok);
  const std::string ppmHeader = "P6\n7 3\n255\n";
  ASSERT_EQ(ppm.size(), ppmHeader.size() + 63);
  EXPECT_EQ(std::string(ppm.begin(), ppm.begin() + ppmHeader.size()), ppmHeader);
  const size_t at = ppmHeader.size() + 3 * (7 * 2 + 4);
  EXPECT_EQ((Rgb{ppm[at], ppm[at + 1], ppm[at + 2]}), colour.at(4, 2));
  std::vector<uint8_t> pgm = encodePage(gray, 14, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(std::string(pgm.begin(), pgm.begin() + 3), "P5\n");

  std::vector<uint8_t> ras = encodePage(colour, 15, &ok);
  ASSERT_TRUE(ok);
  auto be32 = [&](size_t i) {
    return static_cast<uint32_t>(ras[i] << 24 | ras[i + 1] << 16 | ras[i + 2] << 8 | ras[i + 3]);
  };
  EXPECT_EQ(be32(0), 0x59A66A95u);
  EXPECT_EQ(be32(4), 7u);
  EXPECT_EQ(be32(8), 3u);
  EXPECT_EQ(be32(12), 24u);
  EXPECT_EQ(be32(16), 22u * 3);  // 21 bytes a row, padded to 22
  ASSERT_EQ(ras.size(), 32u + 66);
  const size_t px = 32 + 22 * 1 + 3 * 5;  // row 1, column 5, blue first
  EXPECT_EQ((Rgb{ras[px + 2], ras[px + 1], ras[px]}), colour.at(5, 1));
}

// ---- MNG ----

// One image whose rows, each after the filter byte 0, are in one IDAT; a
// large page is deflated in bands and joined.
TEST(MngEncoder, OneImageWithItsRowsInOneIdat) {
  for (const TestPage& page : {makeTestPage(13, 6, 24), makeTestPage(1500, 1000, 24)}) {
    SCOPED_TRACE(page.width);
    bool ok = false;
    const std::vector<uint8_t> file = encodePage(page, 17, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::string(file.begin() + 1, file.begin() + 4), "MNG");
    Chunks chunks = readChunks(file);
    EXPECT_EQ(chunks.types, (std::vector<std::string>{"MHDR", "DEFI", "IHDR", "IDAT", "IEND", "MEND"}));
    std::vector<uint8_t> header;  // width and height, big-endian, in MHDR and IHDR
    for (uint32_t v : {page.width, page.height}) {
      for (int shift : {24, 16, 8, 0}) header.push_back(static_cast<uint8_t>(v >> shift));
    }
    EXPECT_TRUE(std::equal(header.begin(), header.end(), chunks.data["MHDR"].begin()));
    header.insert(header.end(), {8, 2, 0, 0, 0});
    EXPECT_EQ(chunks.data["IHDR"], header);
    std::vector<uint8_t> rows;
    for (uint32_t y = 0; y < page.height; ++y) {
      rows.push_back(0);
      for (uint32_t x = 0; x < page.width; ++x) rows.insert(rows.end(), {page.at(x, y).r, page.at(x, y).g, page.at(x, y).b});
    }
    const std::vector<uint8_t>& idat = chunks.data["IDAT"];
    std::vector<uint8_t> raw(rows.size() + 1);
    uLongf rawSize = raw.size();
    ASSERT_EQ(uncompress(raw.data(), &rawSize, idat.data(), idat.size()), Z_OK);
    raw.resize(rawSize);
    EXPECT_TRUE(raw == rows);
    EXPECT_EQ(idat[1] >> 6, 3);  // the strongest level
  }
}

}  // namespace
}  // namespace lumra

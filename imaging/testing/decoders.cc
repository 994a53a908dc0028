#include "imaging/testing/decoders.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

namespace lumra::testing {

namespace {

// Reads a file held in memory, for the libraries that take a read callback.
struct MemoryReader {
  const std::vector<uint8_t>* file;
  size_t at = 0;
  size_t read(void* out, size_t n) {
    n = std::min(n, file->size() - at);
    std::memcpy(out, file->data() + at, n);
    at += n;
    return n;
  }
};

// The libraries that read files best read them from a file of the test's own.
std::string tempCopy(const std::vector<uint8_t>& file, const char* extension) {
  // Tests run as parallel processes, each counting from 0: the test's name keeps them apart.
  static int count = 0;
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "none";
  std::replace(name.begin(), name.end(), '/', '_');
  const std::string path = ::testing::TempDir() + "decoded_" + name + "_" + std::to_string(++count) + "." + extension;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out != nullptr) {
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
  }
  return path;
}

struct JpegError {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

}  // namespace

bool decodeJpeg(const std::vector<uint8_t>& file, Decoded* d, JpegFacts* facts) {
  jpeg_decompress_struct cinfo;
  JpegError error;
  cinfo.err = jpeg_std_error(&error.base);
  error.base.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1); };
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&cinfo, TRUE);
  if (facts != nullptr) {
    facts->densityUnit = cinfo.density_unit;
    facts->xDensity = cinfo.X_density;
    facts->yDensity = cinfo.Y_density;
    facts->hSampling = cinfo.comp_info[0].h_samp_factor;
    facts->vSampling = cinfo.comp_info[0].v_samp_factor;
    if (cinfo.quant_tbl_ptrs[0] != nullptr) facts->firstLuminanceEntry = cinfo.quant_tbl_ptrs[0]->quantval[0];
    facts->progressive = cinfo.progressive_mode;
    facts->arithmetic = cinfo.arith_code;
  }
  jpeg_start_decompress(&cinfo);
  d->width = cinfo.output_width;
  d->height = cinfo.output_height;
  d->components = static_cast<uint32_t>(cinfo.output_components);
  d->samples.resize(static_cast<size_t>(d->width) * d->height * d->components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &d->samples[static_cast<size_t>(cinfo.output_scanline) * d->width * d->components];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

bool decodePng(const std::vector<uint8_t>& file, Decoded* d, PngFacts* facts) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  MemoryReader reader{&file};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &reader, [](png_structp p, png_bytep out, png_size_t n) {
    if (static_cast<MemoryReader*>(png_get_io_ptr(p))->read(out, n) != n) png_error(p, "short");
  });
  png_read_info(png, info);
  PngFacts ignored;
  PngFacts& f = facts != nullptr ? *facts : ignored;
  f.colorType = png_get_color_type(png, info);
  f.bitDepth = png_get_bit_depth(png, info);
  f.interlace = png_get_interlace_type(png, info);
  png_colorp colors = nullptr;
  if (png_get_PLTE(png, info, &colors, &f.paletteEntries) == 0) f.paletteEntries = 0;
  png_uint_32 ppmX = 0, ppmY = 0;
  png_get_pHYs(png, info, &ppmX, &ppmY, &f.unit);
  f.ppmX = ppmX;
  f.ppmY = ppmY;
  png_color_16p background = nullptr;
  if (png_get_bKGD(png, info, &background)) {
    f.hasBackground = true;
    f.backgroundIndex = background->index;
    f.backgroundGray = background->gray;
    f.backgroundSum = background->red + background->green + background->blue;
  }
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_read_update_info(png, info);
  d->width = png_get_image_width(png, info);
  d->height = png_get_image_height(png, info);
  d->components = 3;
  d->samples.resize(static_cast<size_t>(d->width) * d->height * 3);
  for (uint32_t y = 0; y < d->height; ++y) {
    png_read_row(png, &d->samples[static_cast<size_t>(y) * d->width * 3], nullptr);
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

bool decodeTiff(const std::vector<uint8_t>& file, Decoded* d, TiffFacts* facts,
                uint16_t directory) {
  const std::string path = tempCopy(file, "tif");
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return std::remove(path.c_str()), false;
  if (facts != nullptr) facts->directories = TIFFNumberOfDirectories(tif);
  if (TIFFSetDirectory(tif, directory) != 1) return TIFFClose(tif), std::remove(path.c_str()), false;
  uint32_t width = 0, height = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  if (facts != nullptr) {
    facts->littleEndian = file.size() >= 4 && file[0] == 'I' && file[1] == 'I' && file[2] == 42;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &facts->photometric);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &facts->compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &facts->bitsPerSample);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &facts->samplesPerPixel);
    if (!TIFFGetField(tif, TIFFTAG_PREDICTOR, &facts->predictor)) facts->predictor = 1;
    TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &facts->resolutionUnit);
    TIFFGetField(tif, TIFFTAG_ORIENTATION, &facts->orientation);
    TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &facts->planar);
    TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &facts->rowsPerStrip);
    TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &facts->subfileType);
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &facts->xResolution);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &facts->yResolution);
    TIFFGetField(tif, TIFFTAG_PAGENUMBER, &facts->pageNumber, &facts->pageCount);
  }
  std::vector<uint32_t> rgba(static_cast<size_t>(width) * height);
  const bool read = width > 0 && height > 0 &&
                    TIFFReadRGBAImageOriented(tif, width, height, rgba.data(), ORIENTATION_TOPLEFT, 0) == 1;
  if (facts != nullptr) facts->singleImage = TIFFReadDirectory(tif) == 0;
  TIFFClose(tif);
  std::remove(path.c_str());
  if (!read) return false;
  d->width = width;
  d->height = height;
  d->components = 3;
  d->samples.clear();
  for (uint32_t px : rgba) {
    d->samples.push_back(static_cast<uint8_t>(TIFFGetR(px)));
    d->samples.push_back(static_cast<uint8_t>(TIFFGetG(px)));
    d->samples.push_back(static_cast<uint8_t>(TIFFGetB(px)));
  }
  return true;
}

bool decodeOpenJpeg(const std::vector<uint8_t>& file, OPJ_CODEC_FORMAT format, Decoded* d,
                    OPJ_COLOR_SPACE* space) {
  const std::string path = tempCopy(file, "j2k");
  opj_stream_t* stream = opj_stream_create_default_file_stream(path.c_str(), OPJ_TRUE);
  if (stream == nullptr) return std::remove(path.c_str()), false;
  opj_codec_t* codec = opj_create_decompress(format);
  opj_dparameters_t params;
  opj_set_default_decoder_parameters(&params);
  opj_setup_decoder(codec, &params);
  opj_image_t* image = nullptr;
  bool ok = opj_read_header(stream, codec, &image) && opj_decode(codec, stream, image) &&
            opj_end_decompress(codec, stream);
  if (ok) {
    if (space != nullptr) *space = image->color_space;
    d->width = image->x1 - image->x0;
    d->height = image->y1 - image->y0;
    d->components = image->numcomps;
    d->samples.resize(static_cast<size_t>(d->width) * d->height * d->components);
    for (uint32_t c = 0; c < image->numcomps; ++c) {
      ok = ok && image->comps[c].prec == 8 && image->comps[c].sgnd == 0 &&
           image->comps[c].w == d->width && image->comps[c].h == d->height;
      for (size_t i = 0; ok && i < static_cast<size_t>(d->width) * d->height; ++i) {
        d->samples[i * d->components + c] = static_cast<uint8_t>(image->comps[c].data[i]);
      }
    }
  }
  if (image) opj_image_destroy(image);
  opj_destroy_codec(codec);
  opj_stream_destroy(stream);
  std::remove(path.c_str());
  return ok;
}

bool decodeGif(const std::vector<uint8_t>& file, Decoded* d, GifFacts* facts) {
  MemoryReader reader{&file};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, [](GifFileType* g, GifByteType* out, int n) {
    return static_cast<int>(static_cast<MemoryReader*>(g->UserData)->read(out, static_cast<size_t>(n)));
  }, &error);
  if (gif == nullptr) return false;
  const bool ok = DGifSlurp(gif) == GIF_OK;
  if (ok) {
    d->width = static_cast<uint32_t>(gif->SWidth);
    d->height = static_cast<uint32_t>(gif->SHeight);
    d->components = 3;
    d->samples.assign(static_cast<size_t>(d->width) * d->height * 3, 0);
    if (facts != nullptr) facts->globalColours = gif->SColorMap ? gif->SColorMap->ColorCount : 0;
    for (int i = 0; i < gif->ImageCount; ++i) {
      const SavedImage& image = gif->SavedImages[i];
      const GifImageDesc& desc = image.ImageDesc;
      const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
      for (int y = 0; y < desc.Height; ++y) {
        for (int x = 0; x < desc.Width; ++x) {
          const GifColorType& c = map->Colors[image.RasterBits[y * desc.Width + x]];
          uint8_t* p = &d->samples[(static_cast<size_t>(desc.Top + y) * d->width + desc.Left + x) * 3];
          p[0] = c.Red, p[1] = c.Green, p[2] = c.Blue;
        }
      }
      if (facts != nullptr) {
        facts->images.push_back({desc.Left, desc.Top, desc.Width, desc.Height,
                                 desc.ColorMap ? desc.ColorMap->ColorCount : 0,
                                 std::vector<uint8_t>(image.RasterBits, image.RasterBits + desc.Width * desc.Height)});
      }
    }
  }
  DGifCloseFile(gif, &error);
  return ok;
}

void expectPicture(const Decoded& picture, const TestPage& page, int maxError, double meanError) {
  ASSERT_EQ(picture.width, page.width);
  ASSERT_EQ(picture.height, page.height);
  int worst = 0;
  double total = 0;
  for (uint32_t y = 0; y < page.height; ++y) {
    for (uint32_t x = 0; x < page.width; ++x) {
      const Rgb a = picture.at(x, y), b = page.at(x, y);
      for (int d : {std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)}) {
        worst = std::max(worst, d);
        total += d;
      }
    }
  }
  EXPECT_LE(worst, maxError);
  EXPECT_LE(total / (3.0 * page.width * page.height), meanError);
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> encodePage(const TestPage& page, uint32_t format, bool* ok) {
  bool loaded = false;
  PageImage image = readDib(packDib(page), &loaded);
  EXPECT_TRUE(loaded);
  MemoryStream stream;
  *ok = image.encode(stream, format);
  return stream.buffer();
}

bool decodePage(const std::string& file, const std::string& extension, Decoded* picture) {
  const std::vector<uint8_t> bytes(file.begin(), file.end());
  bool ok = false;
  if (extension == "jpg") ok = decodeJpeg(bytes, picture);
  if (extension == "png") ok = decodePng(bytes, picture);
  if (extension == "tif") ok = decodeTiff(bytes, picture);
  if (extension == "gif") ok = decodeGif(bytes, picture);
  if (extension == "jp2") ok = decodeOpenJpeg(bytes, OPJ_CODEC_JP2, picture);
  if (extension == "jpc") ok = decodeOpenJpeg(bytes, OPJ_CODEC_J2K, picture);
  return ok;
}

}  // namespace lumra::testing

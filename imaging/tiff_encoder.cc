#include <cstring>
#include <vector>

#include <tiffio.h>

#include "imaging/encoders.h"
#include "imaging/page_documents.h"
#include "platform/open_file.h"
#include "platform/win32.h"

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

// Writes `image` as the current directory of `tif` (without writing the
// directory itself); a `page` above 0 marks it as that page of a document.
bool writeImage(TIFF* tif, const PageImage& image, uint32_t page) {
  const uint32_t d = image.depth();
  const PaletteEntry* palette = image.palette();
  bool invert = false;
  uint16_t photometric = PHOTOMETRIC_RGB;
  std::vector<uint16_t> colorMap;
  if (d == 1) {
    // WhiteIsZero: bit 0 must be the lighter colour.
    invert = PageImage::brightness(palette[0]) < PageImage::brightness(palette[1]);
    photometric = PHOTOMETRIC_MINISWHITE;
  } else if (d == 8 && image.isGray()) {
    photometric = PHOTOMETRIC_MINISBLACK;
  } else if (d != 24) {
    photometric = PHOTOMETRIC_PALETTE;
    const uint32_t n = image.paletteSize();
    colorMap.resize(3 * n);
    for (uint32_t i = 0; i < n; ++i) {
      colorMap[i] = static_cast<uint16_t>(palette[i].red * 257);
      colorMap[n + i] = static_cast<uint16_t>(palette[i].green * 257);
      colorMap[2 * n + i] = static_cast<uint16_t>(palette[i].blue * 257);
    }
  }
  const uint16_t compression = d == 1 ? COMPRESSION_CCITTFAX4 : d == 24 ? COMPRESSION_JPEG : COMPRESSION_LZW;

  if (page > 0) {
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    // 0-based, and 0 pages in all: the count is not known while pages come.
    TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(page - 1), static_cast<uint16_t>(0));
  } else {
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
  }
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, image.width());
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, image.height());
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, d == 24 ? 3 : 1);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, d == 24 ? 8 : d);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(image.dpiX()));
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(image.dpiY()));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
  if (!colorMap.empty()) {
    const uint32_t n = image.paletteSize();
    TIFFSetField(tif, TIFFTAG_COLORMAP, colorMap.data(), colorMap.data() + n, colorMap.data() + 2 * n);
  }
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  if (d == 8) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  uint32_t rowsPerStrip = TIFFDefaultStripSize(tif, 0);
  if (d == 24) {
    TIFFSetField(tif, TIFFTAG_JPEGQUALITY, static_cast<int>(image.jpegQuality() + 0.5f));
    rowsPerStrip = (rowsPerStrip + 7) / 8 * 8;
  }
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);

  bool ok = true;
  std::vector<uint8_t> line(image.rowSize());
  for (uint32_t y = 0; y < image.height() && ok; ++y) {
    const uint8_t* src = image.topRow(y);
    if (d == 24) {
      uint8_t* dst = line.data();
      for (uint32_t x = 0; x < image.width(); ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
      src = line.data();
    } else if (invert) {
      for (size_t i = 0; i < image.rowSize(); ++i) line[i] = static_cast<uint8_t>(~src[i]);
      src = line.data();
    }
    ok = TIFFWriteScanline(tif, const_cast<uint8_t*>(src), y, 0) == 1;
  }
  return ok;
}

TIFF* openTiff(Client* client) {
  // A new little-endian file on the empty stream the caller gives us.
  return TIFFClientOpen("page", "wl", client, readProc, writeProc, seekProc, closeProc, sizeProc,
                        mapProc, unmapProc);
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

class TiffDocument final : public PageDocument {
 public:
  TiffDocument(std::string path, std::FILE* file)
      : PageDocument(std::move(path)), file_(file), stream_(file, false), client_{&stream_, 0} {
    tif_ = openTiff(&client_);
  }
  ~TiffDocument() override {
    if (tif_ != nullptr) TIFFCleanup(tif_);
    if (file_) {
      file_.reset();
      DeleteFileA(path_.c_str());
    }
  }

  bool addPage(PageImage&& image) override {
    PageImage page(std::move(image));
    if (tif_ == nullptr || broken_ || !page.valid()) return false;
    // Pages that fail half-way leave bytes no directory points to; the
    // directories written before stay a sound file.
    if (!writeImage(tif_, page, pages_ + 1) || TIFFWriteDirectory(tif_) != 1) {
      broken_ = true;
      return false;
    }
    ++pages_;
    return true;
  }

  bool opened() const { return tif_ != nullptr; }

  bool finish() override {
    // Every page's directory is written already; a failed page's must not be.
    if (tif_ != nullptr) TIFFCleanup(tif_);
    tif_ = nullptr;
    bool ok = pages_ > 0 && std::fflush(file_.get()) == 0;
    ok = std::fclose(file_.release()) == 0 && ok;
    if (!ok) DeleteFileA(path_.c_str());
    return ok;
  }

  uint64_t bytes() const override {
    const int64_t size = stream_.size();
    return size > 0 ? static_cast<uint64_t>(size) : 0;
  }

 private:
  std::unique_ptr<std::FILE, FileCloser> file_;
  mutable FileStream stream_;
  Client client_;
  TIFF* tif_ = nullptr;
  bool broken_ = false;
};

}  // namespace

bool TiffEncoder::encode(ByteStream& stream) {
  if (!valid()) return false;
  Client client{&stream, stream.tell()};
  if (client.base < 0) return false;
  TIFF* tif = openTiff(&client);
  if (tif == nullptr) return false;
  bool ok = writeImage(tif, *this, 0);
  if (ok) ok = TIFFWriteDirectory(tif) == 1;
  TIFFClose(tif);
  return ok;
}

std::unique_ptr<PageDocument> openTiffDocument(const std::string& path) {
  std::FILE* file = openOwnFile(path, OpenFor::kRewrite);
  if (file == nullptr) return nullptr;
  std::setvbuf(file, nullptr, _IOFBF, 1 << 18);
  auto document = std::make_unique<TiffDocument>(path, file);
  if (!document->opened()) return nullptr;
  return document;
}

}  // namespace lumra

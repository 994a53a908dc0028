// PDF documents through libharu. libharu holds a whole document in memory
// until it is saved; to keep a long job's memory flat, every image's coded
// data goes to a spool file as soon as its page is added, and its stream in
// the document reads it back from there when the PDF is written at the end.
#include <algorithm>
#include <cstdio>
#include <vector>

#include <hpdf.h>
#include <hpdf_image.h>
#include <hpdf_objects.h>
#include <hpdf_streams.h>

#include "imaging/encoders.h"
#include "imaging/page_documents.h"
#include "imaging/page_files.h"
#include "platform/open_file.h"
#include "platform/win32.h"

namespace lumra {

namespace {

constexpr uint32_t kJpegFormat = 3;
// libharu counts stream sizes and file offsets in 32 bits; the spool is read
// with standard long offsets, 32 bits on Windows.
constexpr uint64_t kMaxSpoolBytes = 0x7FFFFFFF;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The spool file and where its stdio position is, so that reading the
// slices in the order they were written never seeks.
struct Spool {
  std::FILE* file = nullptr;
  long position = -1;  // -1: unknown (after writing), seek before reading
  bool failed = false;
};

// One image's data in the spool.
struct Slice {
  Spool* spool;
  long offset;
  HPDF_UINT size;
  HPDF_UINT position = 0;
};

HPDF_STATUS readSlice(HPDF_Stream stream, HPDF_BYTE* data, HPDF_UINT* size) {
  auto* slice = static_cast<Slice*>(stream->attr);
  Spool* spool = slice->spool;
  const HPDF_UINT wanted = std::min(*size, slice->size - slice->position);
  const long at = slice->offset + static_cast<long>(slice->position);
  if (wanted > 0) {
    if (spool->position != at && std::fseek(spool->file, at, SEEK_SET) != 0) spool->failed = true;
    if (spool->failed || std::fread(data, 1, wanted, spool->file) != wanted) {
      spool->failed = true;
      spool->position = -1;
      return HPDF_FILE_IO_ERROR;
    }
    spool->position = at + static_cast<long>(wanted);
  }
  slice->position += wanted;
  const bool end = wanted < *size;
  *size = wanted;
  return end ? HPDF_STREAM_EOF : HPDF_OK;
}

HPDF_STATUS seekSlice(HPDF_Stream stream, HPDF_INT position, HPDF_WhenceMode mode) {
  auto* slice = static_cast<Slice*>(stream->attr);
  int64_t target = position;
  if (mode == HPDF_SEEK_CUR) target += slice->position;
  if (mode == HPDF_SEEK_END) target += slice->size;
  if (target < 0 || target > slice->size) return HPDF_FILE_IO_ERROR;
  slice->position = static_cast<HPDF_UINT>(target);
  return HPDF_OK;
}

HPDF_INT32 tellSlice(HPDF_Stream stream) {
  return static_cast<HPDF_INT32>(static_cast<Slice*>(stream->attr)->position);
}

HPDF_UINT32 sliceSize(HPDF_Stream stream) { return static_cast<Slice*>(stream->attr)->size; }

// Where the finished document goes.
struct Output {
  std::FILE* file = nullptr;
  bool failed = false;
};

HPDF_STATUS writeOutput(HPDF_Stream stream, const HPDF_BYTE* data, HPDF_UINT size) {
  auto* out = static_cast<Output*>(stream->attr);
  if (out->failed || std::fwrite(data, 1, size, out->file) != size) {
    out->failed = true;
    return HPDF_FILE_IO_ERROR;
  }
  return HPDF_OK;
}

// libharu reports through the document's error state; the calls' results say
// enough, so the handler only has to exist (without one libharu prints).
void ignoreError(HPDF_STATUS, HPDF_STATUS, void*) {}

bool isBlackAndWhite(const PageImage& image) {
  auto plain = [](const PaletteEntry& e, uint8_t v) {
    return e.red == v && e.green == v && e.blue == v;
  };
  const PaletteEntry* p = image.palette();
  return (plain(p[0], 0) && plain(p[1], 255)) || (plain(p[0], 255) && plain(p[1], 0));
}

class PdfDocument final : public PageDocument {
 public:
  PdfDocument(std::string path, File file, std::string spoolPath, File spool)
      : PageDocument(std::move(path)),
        file_(std::move(file)),
        spoolPath_(std::move(spoolPath)),
        spoolFile_(std::move(spool)) {
    spool_.file = spoolFile_.get();
    pdf_ = HPDF_New(ignoreError, nullptr);
    if (pdf_ == nullptr || HPDF_SetCompressionMode(pdf_, HPDF_COMP_ALL) != HPDF_OK) {
      broken_ = true;
    }
  }

  ~PdfDocument() override {
    if (pdf_ != nullptr) HPDF_Free(pdf_);
    if (spoolFile_) {
      spoolFile_.reset();
      DeleteFileA(spoolPath_.c_str());
    }
    if (file_) {
      file_.reset();
      DeleteFileA(path_.c_str());
    }
  }

  bool addPage(PageImage&& image) override {
    PageImage page(std::move(image));
    if (broken_ || spoolFull_ || !page.valid()) return false;
    HPDF_Image picture = makePicture(page);
    if (picture == nullptr || !spoolPicture(picture)) {
      // The page is not in the document; the next one may still be.
      HPDF_ResetError(pdf_);
      return false;
    }
    // From here a failure would leave a page without its picture.
    HPDF_Page pdfPage = HPDF_AddPage(pdf_);
    double width = page.width() * 72.0 / page.dpiX();
    double height = page.height() * 72.0 / page.dpiY();
    const double longest = std::max(width, height);
    if (longest > HPDF_MAX_PAGE_SIZE) {
      width *= HPDF_MAX_PAGE_SIZE / longest;
      height *= HPDF_MAX_PAGE_SIZE / longest;
    }
    width = std::max<double>(width, HPDF_MIN_PAGE_SIZE);
    height = std::max<double>(height, HPDF_MIN_PAGE_SIZE);
    const auto w = static_cast<HPDF_REAL>(width);
    const auto h = static_cast<HPDF_REAL>(height);
    if (pdfPage == nullptr || HPDF_Page_SetWidth(pdfPage, w) != HPDF_OK ||
        HPDF_Page_SetHeight(pdfPage, h) != HPDF_OK ||
        HPDF_Page_DrawImage(pdfPage, picture, 0, 0, w, h) != HPDF_OK) {
      broken_ = true;
      return false;
    }
    ++pages_;
    return true;
  }

  bool finish() override {
    bool ok = !broken_ && pages_ > 0 && std::fflush(spool_.file) == 0;
    spool_.position = -1;
    if (ok) {
      Output out{file_.get()};
      pdf_->stream = HPDF_CallbackWriter_New(pdf_->mmgr, writeOutput, &out);
      ok = pdf_->stream != nullptr && HPDF_SaveToStream(pdf_) == HPDF_OK && !out.failed &&
           !spool_.failed;
    }
    ok = std::fflush(file_.get()) == 0 && ok;
    ok = std::fclose(file_.release()) == 0 && ok;
    if (!ok) DeleteFileA(path_.c_str());
    spoolFile_.reset();
    DeleteFileA(spoolPath_.c_str());
    return ok;
  }

  uint64_t bytes() const override { return spooled_; }

 private:
  // The page's picture as a libharu image, coded by its kind.
  HPDF_Image makePicture(PageImage& page) {
    const uint32_t kind = pageKind(page);
    if (kind == kTrueColour || kind == kGray) {
      MemoryStream jpeg;
      if (!page.encode(jpeg, kJpegFormat)) return nullptr;
      const std::vector<uint8_t>& bytes = jpeg.buffer();
      return HPDF_LoadJpegImageFromMem(pdf_, bytes.data(), static_cast<HPDF_UINT>(bytes.size()));
    }
    const uint32_t width = page.width(), height = page.height();
    if (kind == kOneBit && isBlackAndWhite(page)) {
      // The coder takes 1 as black, the way the filter gives it back.
      const bool invert = PageImage::brightness(page.palette()[0]) <
                          PageImage::brightness(page.palette()[1]);
      std::vector<uint8_t> rows(page.imageSize());
      for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* from = page.topRow(y);
        uint8_t* to = rows.data() + page.rowSize() * y;
        for (size_t i = 0; i < page.rowSize(); ++i) to[i] = invert ? ~from[i] : from[i];
      }
      // libharu's own loader dereferences a failed load; this is it, checked.
      HPDF_Image picture = HPDF_Image_Load1BitImageFromMem(
          pdf_->mmgr, rows.data(), pdf_->xref, width, height,
          static_cast<HPDF_UINT>(page.rowSize()), HPDF_TRUE);
      if (picture == nullptr) return nullptr;
      picture->filter = HPDF_STREAM_FILTER_CCITT_DECODE;
      picture->filterParams = HPDF_Dict_New(pdf_->mmgr);
      if (picture->filterParams == nullptr ||
          HPDF_Dict_AddNumber(picture->filterParams, "K", -1) != HPDF_OK ||
          HPDF_Dict_AddNumber(picture->filterParams, "Columns", width) != HPDF_OK ||
          HPDF_Dict_AddNumber(picture->filterParams, "Rows", height) != HPDF_OK ||
          HPDF_Dict_AddBoolean(picture->filterParams, "BlackIs1", HPDF_FALSE) != HPDF_OK) {
        return nullptr;
      }
      return picture;
    }
    // Any other palette: one index byte a pixel over its own colour table.
    std::vector<uint8_t> indexes(static_cast<size_t>(width) * height);
    const uint32_t depth = page.depth();
    const uint32_t mask = (1u << depth) - 1;
    for (uint32_t y = 0; y < height; ++y) {
      const uint8_t* row = page.topRow(y);
      uint8_t* to = indexes.data() + static_cast<size_t>(width) * y;
      for (uint32_t x = 0; x < width; ++x) {
        const uint32_t bit = x * depth;
        to[x] = static_cast<uint8_t>((row[bit / 8] >> (8 - depth - bit % 8)) & mask);
      }
    }
    HPDF_Image picture =
        HPDF_LoadRawImageFromMem(pdf_, indexes.data(), width, height, HPDF_CS_DEVICE_GRAY, 8);
    if (picture == nullptr) return nullptr;
    const uint32_t entries = page.paletteSize();
    std::vector<uint8_t> table;
    for (uint32_t i = 0; i < entries; ++i) {
      const PaletteEntry& e = page.palette()[i];
      table.insert(table.end(), {e.red, e.green, e.blue});
    }
    HPDF_Array space = HPDF_Array_New(pdf_->mmgr);
    HPDF_Binary lookup = HPDF_Binary_New(pdf_->mmgr, table.data(), static_cast<HPDF_UINT>(table.size()));
    if (space == nullptr || lookup == nullptr || HPDF_Array_AddName(space, "Indexed") != HPDF_OK ||
        HPDF_Array_AddName(space, "DeviceRGB") != HPDF_OK ||
        HPDF_Array_AddNumber(space, static_cast<HPDF_INT32>(entries - 1)) != HPDF_OK ||
        HPDF_Array_Add(space, lookup) != HPDF_OK ||
        HPDF_Dict_Add(picture, "ColorSpace", space) != HPDF_OK) {
      return nullptr;
    }
    return picture;
  }

  // Moves the picture's data from memory to the spool and has its stream
  // read it from there.
  bool spoolPicture(HPDF_Image picture) {
    HPDF_Stream held = picture->stream;
    const uint64_t size = held->size;
    if (spooled_ + size > kMaxSpoolBytes) return false;
    // A short write leaves the spool's end unknown: no later page goes in.
    spoolFull_ = true;
    const HPDF_UINT blocks = HPDF_MemStream_GetBufCount(held);
    uint64_t written = 0;
    for (HPDF_UINT i = 0; i < blocks; ++i) {
      HPDF_UINT length = 0;
      const HPDF_BYTE* block = HPDF_MemStream_GetBufPtr(held, i, &length);
      length = static_cast<HPDF_UINT>(std::min<uint64_t>(length, size - written));
      if (block == nullptr || std::fwrite(block, 1, length, spool_.file) != length) {
        spool_.failed = true;
        return false;
      }
      written += length;
    }
    if (written != size) return false;
    slices_.push_back(std::make_unique<Slice>(
        Slice{&spool_, static_cast<long>(spooled_), static_cast<HPDF_UINT>(size)}));
    HPDF_Stream reader = HPDF_CallbackReader_New(pdf_->mmgr, readSlice, seekSlice, tellSlice,
                                                 sliceSize, slices_.back().get());
    spooled_ += size;
    spoolFull_ = false;
    if (reader == nullptr) return false;
    picture->stream = reader;
    HPDF_Stream_Free(held);
    return true;
  }

  File file_;
  std::string spoolPath_;
  File spoolFile_;
  Spool spool_;
  std::vector<std::unique_ptr<Slice>> slices_;
  uint64_t spooled_ = 0;
  HPDF_Doc pdf_ = nullptr;
  bool broken_ = false;
  bool spoolFull_ = false;
};

}  // namespace

std::unique_ptr<PageDocument> openPdfDocument(const std::string& path) {
  File file(openOwnFile(path, OpenFor::kRewrite));
  if (!file) return nullptr;
  const std::string spoolPath = path + ".part";
  File spool(openOwnFile(spoolPath, OpenFor::kRewrite));
  if (!spool) {
    file.reset();
    DeleteFileA(path.c_str());
    return nullptr;
  }
  std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 18);
  std::setvbuf(spool.get(), nullptr, _IOFBF, 1 << 18);
  return std::make_unique<PdfDocument>(path, std::move(file), spoolPath, std::move(spool));
}

}  // namespace lumra

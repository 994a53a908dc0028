#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#include "log/log.h"
#include "imaging/page_files.h"
#include "imaging/page_image.h"
#include "platform/open_file.h"
#include "platform/text.h"

namespace lumra {

namespace {

constexpr const char* kSaveDib = "lumra::ImageScanning::saveDIB";

// Frees the transferred bitmap exactly once on the paths that end before the
// image takes it over.
class BitmapOwner {
 public:
  BitmapOwner(HGLOBAL dib, const HandleMemory& memory) : dib_(dib), memory_(memory) {}
  ~BitmapOwner() { release(); }
  BitmapOwner(const BitmapOwner&) = delete;
  BitmapOwner& operator=(const BitmapOwner&) = delete;

  void release() {
    if (dib_ == nullptr) return;
    memory_.freeHandle(dib_);
    dib_ = nullptr;
  }
  /// The image frees it from now on.
  HGLOBAL handOver() { return std::exchange(dib_, nullptr); }

 private:
  HGLOBAL dib_;
  HandleMemory memory_;
};

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

}  // namespace

bool saveDIB(const std::string& path, HGLOBAL dib, uint32_t format, uint8_t quality,
             const HandleMemory& memory) {
  BitmapOwner bitmap(dib, memory);
  const std::u16string widePath = ansiToWide(path);
  LUMRA_LOG_AS(debug, kSaveDib) << "Save dib to " << widePath;

  std::unique_ptr<FILE, FileCloser> file(openOwnFile(path, OpenFor::kRewrite));
  if (!file) {
    LUMRA_LOG_AS(error, kSaveDib) << "Error open file " << widePath;
    return false;
  }
  // Large pages go out in few system calls.
  std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 18);

  std::unique_ptr<PageImage> image(new (std::nothrow) PageImage);
  if (!image) {
    LUMRA_LOG_AS(error, kSaveDib) << "Error image allocate for file " << widePath;
    return false;
  }
  // The image uses the transferred rows where they lie, so a page is never
  // held twice while it is encoded, and frees the handle when done.
  if (!image->takeHandle(bitmap.handOver(), memory)) {
    LUMRA_LOG_AS(error, kSaveDib) << "Error createFromHandle for file " << widePath;
    return false;
  }
  const PageFormat* known = findPageFormat(format);
  if (known != nullptr && known->takesQuality) image->setJpegQuality(quality);
  bool ok = image->encode(file.get(), format);
  // A write that only fails when the buffer is flushed is still a failure.
  if (std::fflush(file.get()) != 0) ok = false;
  if (!ok) {
    LUMRA_LOG_AS(error, kSaveDib) << "Error Encode image for file " << widePath;
  }
  image.reset();
  if (std::fclose(file.release()) != 0 && ok) {
    LUMRA_LOG_AS(error, kSaveDib) << "Error Encode image for file " << widePath;
    ok = false;
  }
  return ok;
}

bool addDIB(std::unique_ptr<PageDocument>* document, const std::string& path, HGLOBAL dib,
            uint32_t format, uint8_t quality, const HandleMemory& memory) {
  BitmapOwner bitmap(dib, memory);
  const std::u16string widePath = ansiToWide(path);
  LUMRA_LOG_AS(debug, kSaveDib) << "Add dib to " << widePath;
  const PageFormat* known = findPageFormat(format);
  if (!*document && known != nullptr && known->openDocument != nullptr) {
    *document = known->openDocument(path);
  }
  if (!*document) {
    LUMRA_LOG_AS(error, kSaveDib) << "Error open file " << widePath;
    return false;
  }
  PageImage image;
  if (!image.takeHandle(bitmap.handOver(), memory)) {
    LUMRA_LOG_AS(error, kSaveDib) << "Error createFromHandle for file " << widePath;
    return false;
  }
  if (known != nullptr && known->takesQuality) image.setJpegQuality(quality);
  if (!(*document)->addPage(std::move(image))) {
    LUMRA_LOG_AS(error, kSaveDib) << "Error Encode image for file " << widePath;
    return false;
  }
  return true;
}

}  // namespace lumra

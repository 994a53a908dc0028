// Documents of many pages: one file for a whole scan job, written page by
// page as the pages come, so a long job never holds more than one page.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "imaging/page_image.h"

namespace lumra {

/// One multi-page file under construction. A document that is destroyed
/// without a successful finish() leaves no file behind.
class PageDocument {
 public:
  virtual ~PageDocument() = default;
  PageDocument(const PageDocument&) = delete;
  PageDocument& operator=(const PageDocument&) = delete;

  /// Appends `image` (its JPEG quality reaches JPEG-coded pages) as the next
  /// page. On false the page is not in the document; the earlier ones stay.
  virtual bool addPage(PageImage&& image) = 0;

  /// Completes the file with the pages added so far. False, and no file,
  /// when there are none or the file cannot be completed.
  virtual bool finish() = 0;

  /// Bytes written for the document so far.
  virtual uint64_t bytes() const = 0;

  const std::string& path() const { return path_; }
  uint32_t pages() const { return pages_; }

 protected:
  explicit PageDocument(std::string path) : path_(std::move(path)) {}
  std::string path_;
  uint32_t pages_ = 0;
};

/// A PDF: JPEG (DCT) for colour and gray pages, CCITT G4 for black-and-white
/// pages, Flate for other palettes; each page sized from its resolution.
/// Null when the file cannot be created.
std::unique_ptr<PageDocument> openPdfDocument(const std::string& path);

/// A multi-page TIFF coded per depth as a single-page TIFF is. Null when
/// the file cannot be created.
std::unique_ptr<PageDocument> openTiffDocument(const std::string& path);

}  // namespace lumra

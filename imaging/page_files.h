// Page formats, page file names, and saveDIB, which writes one transferred
// bitmap as a page file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "imaging/page_documents.h"
#include "imaging/page_image.h"
#include "platform/win32.h"

namespace lumra {

/// Kinds of page, as bits of PageFormat::kinds.
enum PageKind : uint32_t {
  kOneBit = 1,
  kFourBit = 2,
  kGray = 4,       ///< 8 bits, gray ramp
  kPalette = 8,    ///< 8 bits, any other palette
  kTrueColour = 16,
  kAnyKind = 31,
};

/// The kind of `image` (one PageKind bit).
uint32_t pageKind(const PageImage& image);

/// One page format: everything the host knows of it.
struct PageFormat {
  uint32_t number;              ///< The format number of requests and settings.
  std::u16string_view name;     ///< Its name in requests.
  std::u16string_view alias;    ///< A second name, or empty.
  const char* extension;        ///< Of its page files.
  uint32_t kinds;               ///< PageKind bits it can hold; 0: named but never written.
  bool takesQuality;            ///< The request's quality reaches the encoder.
  /// The encoder holding `image`; null when the format is never written.
  std::unique_ptr<PageEncoder> (*makeEncoder)(PageImage&& image, uint32_t number);
  /// For a format of one file per job: opens that file; null otherwise.
  std::unique_ptr<PageDocument> (*openDocument)(const std::string& path);
};

/// A multi-page TIFF: "tif" with "multipage"; it has no name of its own.
inline constexpr uint32_t kMultiPageTiff = 22;

/// The format numbered `number`; null for an unknown number.
const PageFormat* findPageFormat(uint32_t number);

/// Format number for a request's format name ("jpg" → 3); 0 when unknown.
/// Exact, case-sensitive.
uint32_t getImageType(std::u16string_view name);

/// Extension of a format's page files ("jpg"), empty when it has none.
std::string getImageExtension(uint32_t format);

/// `folder` (ending in the separator) + "page_N." + extension.
std::string getPageFileName(const std::string& folder, uint32_t format, uint32_t page);

/// Adds the DIB in `dib` as the next page of `*document`, which is opened at
/// `path` in `format` (a format with openDocument) for the first page. Frees
/// `dib` exactly once with `memory`, on every path. False, with an error
/// record named like saveDIB's, when the page is not in the document.
bool addDIB(std::unique_ptr<PageDocument>* document, const std::string& path, HGLOBAL dib,
            uint32_t format, uint8_t quality, const HandleMemory& memory);

/// Writes the DIB in `dib` to `path` in `format` (quality reaches JPEG only)
/// and frees `dib` exactly once with `memory`, on every path. Returns false,
/// with an error record, when no page was written;
/// a file already created stays. Records are named
/// "lumra::ImageScanning::saveDIB".
bool saveDIB(const std::string& path, HGLOBAL dib, uint32_t format, uint8_t quality,
             const HandleMemory& memory);

}  // namespace lumra

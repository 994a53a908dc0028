// Page formats, page file names, and saveDIB, which writes one transferred
// bitmap as a page file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace lumra {

/// Frees a transferred bitmap handle: the manager's DSM_MemFree when it gave
/// one, else GlobalFree.
using BitmapFree = void (*)(HGLOBAL);

/// Format number for a request's format name ("jpg" → 3); 0 when unknown.
/// Exact, case-sensitive.
uint32_t getImageType(std::u16string_view name);

/// Extension of a format's page files ("jpg"), empty when it has none.
std::string getImageExtension(uint32_t format);

/// `folder` (ending in the separator) + "page_N." + extension.
std::string getPageFileName(const std::string& folder, uint32_t format, uint32_t page);

/// Writes the DIB in `dib` to `path` in `format` (quality reaches JPEG only)
/// and frees `dib` exactly once with `freeBitmap` (GlobalFree when null), on
/// every path. Returns false, with an error record, when no page was written;
/// a file already created stays. Records are named
/// "lumra::ImageScanning::saveDIB".
bool saveDIB(const std::string& path, HGLOBAL dib, uint32_t format, uint8_t quality,
             BitmapFree freeBitmap);

}  // namespace lumra

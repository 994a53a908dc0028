// Procedural pages: an A4-shaped sheet with a heading band and lines of
// text-like blocks, written as a packed device-independent bitmap in a
// global memory handle. Rows repeat, so a page is built from a few row
// templates copied into place; a colour A4 page at 300 dpi costs a few
// milliseconds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sources/virtual/scenario.h"
#include "twain/twain.h"

namespace lumra::virtual_scanner {

/// Everything that decides a page's bytes.
struct PageDescription {
  int width = 0;
  int height = 0;
  int depth = 24;  ///< 1, 4, 8, 16, 24 or 32
  Compression compression = Compression::kNone;
  bool topDown = false;
  TW_UINT16 pixelType = TWPT_RGB;
  int32_t pixelsPerMetre = 0;
  int pageNumber = 0;  ///< drawn as marks in the heading, so pages differ
};

/// The page as a handle holding BITMAPINFOHEADER, masks or colour table, and
/// pixels: a block of the manager's DSM_MemAllocate when `memory` has one,
/// else of GlobalAlloc. With truncate the block holds only half of the pixel
/// bytes its header promises. Returns null when memory runs out; *fullBytes
/// receives the size a whole bitmap needs.
HGLOBAL makePage(const PageDescription& desc, bool truncate, size_t* fullBytes,
                 const TW_ENTRYPOINT* memory = nullptr);

}  // namespace lumra::virtual_scanner

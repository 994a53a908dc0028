// One page from a SANE device as a DIB: frames read to their end, checked
// against their parameters, merged and packed into the block a TWAIN
// application receives.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "twain/twain.h"

namespace lumra::sane_source {

/// The device calls a page needs (real: libsane; tests: a fake).
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual SANE_Status start() = 0;
  virtual SANE_Status parameters(SANE_Parameters* p) = 0;
  virtual SANE_Status read(SANE_Byte* data, SANE_Int max, SANE_Int* length) = 0;
};

/// Memory for the bitmap: the manager's functions, or Global* without them.
struct Memory {
  TW_ENTRYPOINT points{};  ///< DSM_MemAllocate etc.; all null: GlobalAlloc
  TW_HANDLE allocate(TW_UINT32 size) const;
  void* lock(TW_HANDLE h) const;
  void unlock(TW_HANDLE h) const;
  void free(TW_HANDLE h) const;
};

/// One frame's bytes with its parameters; `lines` counted when the device
/// did not know them.
struct Frame {
  SANE_Parameters params{};
  std::vector<uint8_t> bytes;
};

/// A page in progress, reused from page to page so memory does not grow.
struct PageFrames {
  Frame gray;        ///< SANE_FRAME_GRAY or SANE_FRAME_RGB
  Frame planes[3];   ///< three-pass RED, GREEN, BLUE
  bool threePass = false;
};

/// Reads a page whose first sane_start succeeded: every frame to EOF
/// (starting the next pass of a three-pass scan). Stops with
/// SANE_STATUS_CANCELLED as soon as `stop` is set; SANE_STATUS_IO_ERROR for
/// nonsense parameters or a short frame.
SANE_Status readPage(FrameSource& device, const std::atomic<bool>& stop, PageFrames* page);

/// The page as a bottom-up DIB (1-bit with 0 = black, 8-bit gray, 24-bit
/// BGR; 16-bit samples reduced to 8) in memory from `memory`, its
/// resolution in the header; null when it cannot be allocated.
TW_HANDLE buildDib(const PageFrames& page, double dpi, const Memory& memory);

}  // namespace lumra::sane_source

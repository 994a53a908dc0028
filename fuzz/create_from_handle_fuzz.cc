// Feeds arbitrary bytes to the bitmap reader as a transferred DIB, then writes
// what it accepted in a format picked by the first byte.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "imaging/page_image.h"
#include "platform/win32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t format = data[0] % 21;
  ++data;
  --size;
  // Headers that ask for a huge page only make runs slow; the size cap has
  // its own unit tests.
  if (size >= 12) {
    int32_t width, height;
    std::memcpy(&width, data + 4, 4);
    std::memcpy(&height, data + 8, 4);
    const int64_t pixels = static_cast<int64_t>(width) * (height < 0 ? -int64_t{height} : height);
    if (pixels > (int64_t{1} << 22)) return 0;
  }
  HGLOBAL dib = GlobalAlloc(GHND, size);
  if (dib == nullptr) return 0;
  if (size > 0) {
    std::memcpy(GlobalLock(dib), data, size);
    GlobalUnlock(dib);
  }
  lumra::PageImage image;
  if (image.createFromHandle(dib) && image.width() * static_cast<uint64_t>(image.height()) <= 1 << 16) {
    lumra::MemoryStream stream;
    image.encode(stream, format);
  }
  GlobalFree(dib);
  return 0;
}

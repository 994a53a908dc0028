// Any scenario text: the virtual scanner's parser never crashes, and every
// page a parsed scenario describes (kept small) is one the host's bitmap
// reader accepts when whole and reads safely when truncated.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "imaging/page_image.h"
#include "platform/win32.h"
#include "sources/virtual/page_maker.h"
#include "sources/virtual/scenario.h"

namespace vs = lumra::virtual_scanner;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vs::Scenario scenario =
      vs::parseScenario(std::string_view(reinterpret_cast<const char*>(data), size));
  int page = 0;
  for (const vs::SourceScript& script : scenario.sources) {
    script.answer("xfer", page);
    script.answer("endxfer", page);
    script.answer("enableds");
    const vs::HandleFault fault = script.handleFault(page);

    vs::PageDescription desc;
    desc.width = std::clamp(script.width, 1, 97);
    desc.height = std::clamp(script.height, 1, 61);
    desc.pixelType = script.pixelType;
    desc.depth = script.depth != 0 ? script.depth
                 : script.pixelType == TWPT_BW ? 1
                 : script.pixelType == TWPT_GRAY ? 8
                                                 : 24;
    desc.compression = script.compression;
    desc.topDown = script.topDown;
    desc.pixelsPerMetre = std::max(script.ppm, 0);
    desc.pageNumber = page++;
    const bool truncated = fault == vs::HandleFault::kTruncated;
    HGLOBAL dib = vs::makePage(desc, truncated, nullptr);
    if (dib == nullptr) continue;
    lumra::PageImage image;
    // A truncated page only has to be handled safely.
    if (!image.createFromHandle(dib) && !truncated) __builtin_trap();
    GlobalFree(dib);
  }
  return 0;
}

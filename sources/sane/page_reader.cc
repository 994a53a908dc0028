#include "sources/sane/page_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/win32.h"

namespace lumra::sane_source {

namespace {

// Larger pages are refused rather than attempted (about 2.4 GB of 16-bit colour).
constexpr uint64_t kMaxFrameBytes = 1ull << 31;

int channels(SANE_Frame format) { return format == SANE_FRAME_RGB ? 3 : 1; }

bool sensible(const SANE_Parameters& p) {
  if (p.format > SANE_FRAME_BLUE || p.pixels_per_line <= 0 || p.bytes_per_line <= 0) return false;
  if (p.depth != 1 && p.depth != 8 && p.depth != 16) return false;
  if (p.depth == 1 && p.format == SANE_FRAME_RGB) return false;
  uint64_t needed = (static_cast<uint64_t>(p.pixels_per_line) * channels(p.format) * p.depth + 7) / 8;
  if (static_cast<uint64_t>(p.bytes_per_line) < needed) return false;
  return p.lines == -1 ||
         (p.lines > 0 && static_cast<uint64_t>(p.lines) * p.bytes_per_line <= kMaxFrameBytes);
}

// One frame to its EOF. With a known length, exactly that many bytes.
SANE_Status readFrame(FrameSource& device, const std::atomic<bool>& stop, Frame* frame) {
  SANE_Status status = device.parameters(&frame->params);
  if (status != SANE_STATUS_GOOD) return status;
  const SANE_Parameters& p = frame->params;
  if (!sensible(p)) return SANE_STATUS_IO_ERROR;
  const bool known = p.lines > 0;
  const size_t expected = known ? static_cast<size_t>(p.lines) * p.bytes_per_line : 0;
  std::vector<uint8_t>& bytes = frame->bytes;
  bytes.resize(known ? expected : 0);
  size_t have = 0, extra = 0;
  int extraReads = 0;
  constexpr size_t kChunk = 256 * 1024;
  for (;;) {
    if (stop.load(std::memory_order_relaxed)) return SANE_STATUS_CANCELLED;
    if (!known && bytes.size() - have < kChunk) {
      if (bytes.size() + kChunk > kMaxFrameBytes) return SANE_STATUS_NO_MEM;
      bytes.resize(bytes.size() + kChunk);
    }
    size_t room = bytes.size() - have;
    if (room == 0) {
      // Everything announced has come: more is not ours to keep, and a
      // device that never ends its frame is a fault.
      uint8_t spare[4096];
      SANE_Int length = 0;
      status = device.read(spare, sizeof spare, &length);
      if (status == SANE_STATUS_EOF) break;
      if (status != SANE_STATUS_GOOD) return status;
      extra += static_cast<size_t>(std::max<SANE_Int>(length, 0));
      if (extra > expected || ++extraReads > 100000) return SANE_STATUS_IO_ERROR;
      continue;
    }
    SANE_Int length = 0;
    status = device.read(bytes.data() + have, static_cast<SANE_Int>(std::min(room, kChunk)), &length);
    if (status == SANE_STATUS_EOF) break;
    if (status != SANE_STATUS_GOOD) return status;
    if (length < 0 || static_cast<size_t>(length) > room) return SANE_STATUS_IO_ERROR;
    have += static_cast<size_t>(length);
  }
  if (known) return have == expected ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
  frame->params.lines = static_cast<SANE_Int>(have / p.bytes_per_line);
  bytes.resize(static_cast<size_t>(frame->params.lines) * p.bytes_per_line);
  return frame->params.lines > 0 ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
}

uint8_t sample(const uint8_t* row, int index, int depth) {
  if (depth == 8) return row[index];
  uint16_t wide;
  memcpy(&wide, row + 2 * index, 2);  // host byte order
  return static_cast<uint8_t>(wide >> 8);
}

void put16(uint8_t* p, uint16_t v) { memcpy(p, &v, 2); }
void put32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }

}  // namespace

TW_HANDLE Memory::allocate(TW_UINT32 size) const {
  return points.DSM_MemAllocate != nullptr ? points.DSM_MemAllocate(size)
                                           : GlobalAlloc(GHND, size);
}
void* Memory::lock(TW_HANDLE h) const {
  return points.DSM_MemLock != nullptr ? points.DSM_MemLock(h) : GlobalLock(h);
}
void Memory::unlock(TW_HANDLE h) const {
  if (points.DSM_MemUnlock != nullptr) {
    points.DSM_MemUnlock(h);
  } else {
    GlobalUnlock(h);
  }
}
void Memory::free(TW_HANDLE h) const {
  if (h == nullptr) return;
  if (points.DSM_MemFree != nullptr) {
    points.DSM_MemFree(h);
  } else {
    GlobalFree(h);
  }
}

SANE_Status readPage(FrameSource& device, const std::atomic<bool>& stop, PageFrames* page) {
  page->threePass = false;
  bool seen[3] = {false, false, false};
  for (int pass = 0; pass < 3; ++pass) {
    Frame probe;
    SANE_Status status = device.parameters(&probe.params);
    if (status != SANE_STATUS_GOOD) return status;
    SANE_Frame format = probe.params.format;
    if (format == SANE_FRAME_GRAY || format == SANE_FRAME_RGB) {
      return pass == 0 ? readFrame(device, stop, &page->gray) : SANE_STATUS_IO_ERROR;
    }
    if (format < SANE_FRAME_RED || format > SANE_FRAME_BLUE) return SANE_STATUS_IO_ERROR;
    int plane = format - SANE_FRAME_RED;
    if (seen[plane]) return SANE_STATUS_IO_ERROR;
    seen[plane] = true;
    page->threePass = true;
    status = readFrame(device, stop, &page->planes[plane]);
    if (status != SANE_STATUS_GOOD) return status;
    if (pass < 2) {
      if (page->planes[plane].params.last_frame) return SANE_STATUS_IO_ERROR;
      status = device.start();
      if (status != SANE_STATUS_GOOD) return status;
    }
  }
  const SANE_Parameters& red = page->planes[0].params;
  for (const Frame& f : page->planes) {
    if (f.params.pixels_per_line != red.pixels_per_line || f.params.lines != red.lines ||
        f.params.depth != red.depth || f.params.depth == 1) {
      return SANE_STATUS_IO_ERROR;
    }
  }
  return SANE_STATUS_GOOD;
}

TW_HANDLE buildDib(const PageFrames& page, double dpi, const Memory& memory) {
  const SANE_Parameters& p = page.threePass ? page.planes[0].params : page.gray.params;
  const int width = p.pixels_per_line;
  const int height = p.lines;
  const bool color = page.threePass || p.format == SANE_FRAME_RGB;
  const int bits = color ? 24 : p.depth == 1 ? 1 : 8;
  const int colors = bits == 1 ? 2 : bits == 8 ? 256 : 0;
  const uint64_t stride = ((static_cast<uint64_t>(width) * bits + 31) / 32) * 4;
  const uint64_t header = 40 + 4ull * colors;
  const uint64_t total = header + stride * static_cast<uint64_t>(height);
  if (width <= 0 || height <= 0 || total > 0xFFFFFFFFull) return nullptr;
  TW_HANDLE handle = memory.allocate(static_cast<TW_UINT32>(total));
  if (handle == nullptr) return nullptr;
  auto* dib = static_cast<uint8_t*>(memory.lock(handle));
  if (dib == nullptr) {
    memory.free(handle);
    return nullptr;
  }
  const auto ppm = static_cast<uint32_t>(std::lround(dpi / 0.0254));
  put32(dib, 40);
  put32(dib + 4, static_cast<uint32_t>(width));
  put32(dib + 8, static_cast<uint32_t>(height));  // positive: bottom-up
  put16(dib + 12, 1);
  put16(dib + 14, static_cast<uint16_t>(bits));
  put32(dib + 20, static_cast<uint32_t>(stride * height));
  put32(dib + 24, ppm);
  put32(dib + 28, ppm);
  put32(dib + 32, static_cast<uint32_t>(colors));
  for (int i = 0; i < colors; ++i) {
    uint8_t level = static_cast<uint8_t>(colors == 2 ? i * 255 : i);
    uint8_t* entry = dib + 40 + 4 * i;
    entry[0] = entry[1] = entry[2] = level;
  }
  for (int y = 0; y < height; ++y) {
    uint8_t* out = dib + header + stride * static_cast<uint64_t>(height - 1 - y);
    if (page.threePass) {
      const int depth = p.depth;
      for (int c = 0; c < 3; ++c) {
        const Frame& f = page.planes[c];
        const uint8_t* row = f.bytes.data() + static_cast<size_t>(y) * f.params.bytes_per_line;
        for (int x = 0; x < width; ++x) out[3 * x + (2 - c)] = sample(row, x, depth);
      }
      continue;
    }
    const uint8_t* row = page.gray.bytes.data() + static_cast<size_t>(y) * p.bytes_per_line;
    if (bits == 1) {
      // SANE's 1 is black; index 1 of our palette is white.
      for (uint64_t i = 0; i < static_cast<uint64_t>(width + 7) / 8; ++i) {
        out[i] = static_cast<uint8_t>(~row[i]);
      }
    } else if (bits == 8) {
      if (p.depth == 8) {
        memcpy(out, row, static_cast<size_t>(width));
      } else {
        for (int x = 0; x < width; ++x) out[x] = sample(row, x, 16);
      }
    } else if (p.depth == 8) {
      for (int x = 0; x < width; ++x) {
        out[3 * x] = row[3 * x + 2];
        out[3 * x + 1] = row[3 * x + 1];
        out[3 * x + 2] = row[3 * x];
      }
    } else {
      for (int x = 0; x < width; ++x) {
        for (int c = 0; c < 3; ++c) out[3 * x + (2 - c)] = sample(row, 3 * x + c, 16);
      }
    }
  }
  memory.unlock(handle);
  return handle;
}

}  // namespace lumra::sane_source

// Page encoding speed and memory for an A4 page at 300 dpi (2480 x 3508) in
// colour, gray, black-and-white and as a noisy colour text page, in every
// format that takes the page; PNG and MNG also as libpng and zlib wrote them
// before (BM_Reference), in the same run. CPU is the process's, all threads.
//
//   encode_bench                          Google Benchmark runs (ms per page, MB/s of raw pixels)
//   encode_bench --write-page=KIND:PATH   writes the test page as a .bmp (for encode_vs_cjpeg.py)
//   encode_bench --peak=FORMAT:KIND:PATH  saveDIB of one page; prints the peak memory it took
#include <benchmark/benchmark.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "imaging/page_files.h"
#include "imaging/page_image.h"
#include "platform/win32.h"

namespace {

constexpr uint32_t kWidth = 2480;
constexpr uint32_t kHeight = 3508;

// kText: the colour page without its photograph, with the Gaussian sensor
// noise (sigma 3 per channel) that every real colour scan carries.
enum Kind { kColour = 0, kGray = 1, kBlackWhite = 2, kText = 3 };
const char* const kKindNames[] = {"colour", "gray", "bw", "text"};
const uint32_t kKindBits[] = {24, 8, 1, 24};
constexpr int kKinds = 4;

size_t rowSize(Kind kind) { return (static_cast<size_t>(kWidth) * kKindBits[kind] + 31) / 32 * 4; }
size_t paletteEntries(Kind kind) { return kKindBits[kind] == 24 ? 0 : kind == kGray ? 256 : 2; }
size_t dibSize(Kind kind) { return 40 + 4 * paletteEntries(kind) + rowSize(kind) * kHeight; }
size_t rawBytes(Kind kind) { return static_cast<size_t>(kWidth) * kHeight * kKindBits[kind] / 8; }

uint32_t hash(uint32_t x, uint32_t y) {
  uint32_t h = x * 0x9E3779B1u ^ (y * 0x85EBCA77u);
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  return h ^ (h >> 12);
}

// A document-like page: white paper, lines of word-shaped dark marks, and a
// photograph in the lower third. Red, green, blue of pixel (x, y), y from top.
void pagePixel(uint32_t x, uint32_t y, bool photo, uint8_t* r, uint8_t* g, uint8_t* b) {
  if (photo && y > kHeight * 2 / 3 && x > 200 && x < kWidth - 200 && y < kHeight - 200) {
    const uint32_t n = hash(x, y) & 15;
    *r = static_cast<uint8_t>((x * 255 / kWidth + n) & 0xFF);
    *g = static_cast<uint8_t>(((y - kHeight * 2 / 3) * 200 / (kHeight / 3) + n) & 0xFF);
    *b = static_cast<uint8_t>(((x + y) / 24 + n) & 0xFF);
    return;
  }
  const uint32_t line = y % 60, word = (x / 90 + y / 60) % 7;
  const bool ink = x > 150 && x < kWidth - 150 && y > 150 && line < 32 && word != 0 &&
                   (hash(x / 4, y / 4) & 7) < 3;
  const uint8_t paper = static_cast<uint8_t>(250 + (hash(x, y) & 3));
  *r = ink ? 20 : paper;
  *g = ink ? 24 : paper;
  *b = ink ? 70 : paper;
}

// Gaussian noise of sigma 3 for channel `c` of pixel (x, y) (Box-Muller
// over the hash), added to `v` and clamped.
uint8_t noisy(uint8_t v, uint32_t x, uint32_t y, uint32_t c) {
  const double u1 = (hash(x, y * 4 + c) + 1.0) / 4294967297.0;
  const double u2 = hash(y * 4 + c + 0x51ED, x) / 4294967296.0;
  const double n = std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2) * 3.0;
  return static_cast<uint8_t>(std::clamp(std::lround(v + n), 0L, 255L));
}

// Writes the page's packed DIB (header, colour table, rows bottom first).
void fillDib(Kind kind, uint8_t* dib) {
  std::memset(dib, 0, dibSize(kind));
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(dib + at, &v, 4); };
  put32(0, 40);
  put32(4, kWidth);
  put32(8, kHeight);
  dib[12] = 1;
  dib[14] = static_cast<uint8_t>(kKindBits[kind]);
  put32(24, 11811);
  put32(28, 11811);
  uint8_t* table = dib + 40;
  for (size_t i = 0; i < paletteEntries(kind); ++i) {
    const uint8_t v = kind == kGray ? static_cast<uint8_t>(i) : static_cast<uint8_t>(i ? 255 : 0);
    table[4 * i] = table[4 * i + 1] = table[4 * i + 2] = v;
  }
  uint8_t* pixels = table + 4 * paletteEntries(kind);
  for (uint32_t y = 0; y < kHeight; ++y) {
    uint8_t* row = pixels + rowSize(kind) * (kHeight - 1 - y);
    for (uint32_t x = 0; x < kWidth; ++x) {
      uint8_t r, g, b;
      pagePixel(x, y, kind != kText, &r, &g, &b);
      if (kind == kText) {
        r = noisy(r, x, y, 0);
        g = noisy(g, x, y, 1);
        b = noisy(b, x, y, 2);
      }
      const uint8_t gray = static_cast<uint8_t>((r * 77 + g * 150 + b * 29) >> 8);
      if (kKindBits[kind] == 24) {
        row[3 * x] = b;
        row[3 * x + 1] = g;
        row[3 * x + 2] = r;
      } else if (kind == kGray) {
        row[x] = gray;
      } else if (gray >= 128) {
        row[x / 8] |= static_cast<uint8_t>(0x80 >> (x & 7));
      }
    }
  }
}

// Keeps count of what an encoder writes and throws the bytes away, so the
// figures are the encoder's, not the disk's.
class DiscardStream final : public lumra::ByteStream {
 public:
  bool write(const void*, size_t size) override {
    position_ += static_cast<int64_t>(size);
    if (position_ > size_) size_ = position_;
    return true;
  }
  size_t read(void*, size_t) override { return 0; }
  bool seek(int64_t offset, int whence) override {
    const int64_t base = whence == SEEK_CUR ? position_ : whence == SEEK_END ? size_ : 0;
    if (base + offset < 0) return false;
    position_ = base + offset;
    return true;
  }
  int64_t tell() override { return position_; }
  int64_t size() override { return size_; }
  bool truncate(int64_t length) override {
    size_ = std::min(size_, length);
    return true;
  }

 private:
  int64_t position_ = 0;
  int64_t size_ = 0;
};

lumra::PageImage& page(Kind kind) {
  static lumra::PageImage pages[kKinds];
  if (!pages[kind].valid()) {
    std::vector<uint8_t> dib(dibSize(kind));
    fillDib(kind, dib.data());
    HGLOBAL handle = GlobalAlloc(GHND, dib.size());
    std::memcpy(GlobalLock(handle), dib.data(), dib.size());
    GlobalUnlock(handle);
    if (!pages[kind].createFromHandle(handle)) std::abort();
    GlobalFree(handle);
  }
  return pages[kind];
}

void BM_Encode(benchmark::State& state) {
  const auto format = static_cast<uint32_t>(state.range(0));
  const auto kind = static_cast<Kind>(state.range(1));
  lumra::PageImage& image = page(kind);
  int64_t written = 0;
  for (auto _ : state) {
    DiscardStream stream;
    if (!image.encode(stream, format)) {
      state.SkipWithError("encoder refused the page");
      return;
    }
    written = stream.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(rawBytes(kind)));
  state.counters["file_MB"] = static_cast<double>(written) / 1e6;
  state.SetLabel(lumra::getImageExtension(format) + " " + kKindNames[kind]);
}

// Yardsticks in the same run, as PNG and MNG were written before: libpng
// with its own filters and zlib's default level (PNG; ICO only adds a
// 22-byte header), and zlib level 9 over the unfiltered rows (MNG, whose
// time was all deflate).
void BM_Reference(benchmark::State& state) {
  const auto format = static_cast<uint32_t>(state.range(0));
  const auto kind = static_cast<Kind>(state.range(1));
  const lumra::PageImage& image = page(kind);
  std::vector<uint8_t> line(1 + static_cast<size_t>(kWidth) * 3);
  auto rgbRow = [&](uint32_t y) {
    const uint8_t* src = image.topRow(y);
    for (uint32_t x = 0; x < kWidth; ++x) {
      line[1 + 3 * x] = src[3 * x + 2];
      line[2 + 3 * x] = src[3 * x + 1];
      line[3 + 3 * x] = src[3 * x];
    }
  };
  size_t written = 0;
  for (auto _ : state) {
    written = 0;
    if (format == 4) {
      png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
      png_infop info = png_create_info_struct(png);
      png_set_write_fn(
          png, &written,
          [](png_structp p, png_bytep, png_size_t n) { *static_cast<size_t*>(png_get_io_ptr(p)) += n; },
          [](png_structp) {});
      png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                   PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
      png_write_info(png, info);
      for (uint32_t y = 0; y < kHeight; ++y) {
        rgbRow(y);
        png_write_row(png, line.data() + 1);
      }
      png_write_end(png, info);
      png_destroy_write_struct(&png, &info);
    } else if (format == 17) {
      z_stream z{};
      deflateInit2(&z, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
      std::vector<uint8_t> out(1 << 16);
      for (uint32_t y = 0; y <= kHeight; ++y) {
        if (y < kHeight) rgbRow(y);
        z.next_in = line.data();
        z.avail_in = y < kHeight ? static_cast<uInt>(line.size()) : 0;
        int result;
        do {
          z.next_out = out.data();
          z.avail_out = static_cast<uInt>(out.size());
          result = deflate(&z, y < kHeight ? Z_NO_FLUSH : Z_FINISH);
          written += out.size() - z.avail_out;
        } while (z.avail_out == 0 || (y == kHeight && result != Z_STREAM_END));
      }
      deflateEnd(&z);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(rawBytes(kind)));
  state.counters["file_MB"] = static_cast<double>(written) / 1e6;
  state.SetLabel(lumra::getImageExtension(format) + " " + kKindNames[kind] + ", libpng or zlib");
}

// saveDIB from a transferred handle to a file: what one scanned page costs.
void BM_SaveDib(benchmark::State& state) {
  const auto format = static_cast<uint32_t>(state.range(0));
  const auto kind = static_cast<Kind>(state.range(1));
  std::vector<uint8_t> dib(dibSize(kind));
  fillDib(kind, dib.data());
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp ? tmp : "/tmp") + "/encode_bench_page." +
                           lumra::getImageExtension(format);
  for (auto _ : state) {
    state.PauseTiming();
    HGLOBAL handle = GlobalAlloc(GHND, dib.size());
    std::memcpy(GlobalLock(handle), dib.data(), dib.size());
    GlobalUnlock(handle);
    state.ResumeTiming();
    if (!lumra::saveDIB(path, handle, format, 90, lumra::HandleMemory{})) {
      state.SkipWithError("saveDIB failed");
      break;
    }
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(rawBytes(kind)));
  state.SetLabel(lumra::getImageExtension(format) + " " + kKindNames[kind]);
}

void encodeArgs(benchmark::internal::Benchmark* b) {
  const int colour[] = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 14, 15, 17};
  const int gray[] = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14, 15, 18};
  const int bw[] = {1, 2, 4, 5, 6, 8, 9, 18};
  for (int f : colour) b->Args({f, kColour});
  for (int f : gray) b->Args({f, kGray});
  for (int f : bw) b->Args({f, kBlackWhite});
  for (int f : {3, 4, 5, 6, 11, 12, 17}) b->Args({f, kText});
}

BENCHMARK(BM_Encode)->Apply(encodeArgs)->Unit(benchmark::kMillisecond)->MinTime(0.5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Reference)
    ->ArgsProduct({{4, 17}, {kColour, kText}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_SaveDib)->Args({3, kColour})->Args({1, kColour})->Unit(benchmark::kMillisecond)->MinTime(0.5);

Kind kindByName(const std::string& name) {
  for (int k = 0; k < kKinds; ++k) {
    if (name == kKindNames[k]) return static_cast<Kind>(k);
  }
  std::fprintf(stderr, "unknown page kind %s\n", name.c_str());
  std::exit(2);
}

long statusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  }
  return -1;
}

// One saveDIB in a fresh process: the page arrives in a global handle (as a
// scanner delivers it) and the peak resident size above the state before the
// handle existed is the memory the page took, handle included.
int peak(const std::string& arg) {
  const size_t a = arg.find(':'), b = arg.find(':', a + 1);
  if (a == std::string::npos || b == std::string::npos) return 2;
  const uint32_t format = static_cast<uint32_t>(std::atoi(arg.substr(0, a).c_str()));
  const Kind kind = kindByName(arg.substr(a + 1, b - a - 1));
  const std::string path = arg.substr(b + 1);
  const long before = statusKb("VmRSS:");
  HGLOBAL handle = GlobalAlloc(GHND, dibSize(kind));
  fillDib(kind, static_cast<uint8_t*>(GlobalLock(handle)));
  GlobalUnlock(handle);
  const bool ok = lumra::saveDIB(path, handle, format, 90, lumra::HandleMemory{});
  const long hwm = statusKb("VmHWM:");
  std::printf("%s %s peak_MB=%.1f raw_MB=%.1f ratio=%.2f\n", ok ? "ok" : "failed",
              kKindNames[kind], (hwm - before) / 1024.0, rawBytes(kind) / 1048576.0,
              (hwm - before) * 1024.0 / static_cast<double>(rawBytes(kind)));
  return ok ? 0 : 1;
}

int writePage(const std::string& arg) {
  const size_t a = arg.find(':');
  if (a == std::string::npos) return 2;
  const Kind kind = kindByName(arg.substr(0, a));
  std::vector<uint8_t> dib(dibSize(kind));
  fillDib(kind, dib.data());
  std::vector<uint8_t> file = {'B', 'M'};
  const uint32_t fileSize = static_cast<uint32_t>(14 + dib.size());
  const uint32_t offset = static_cast<uint32_t>(14 + 40 + 4 * paletteEntries(kind));
  file.resize(14, 0);
  std::memcpy(&file[2], &fileSize, 4);
  std::memcpy(&file[10], &offset, 4);
  file.insert(file.end(), dib.begin(), dib.end());
  std::ofstream out(arg.substr(a + 1), std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return out ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--peak=", 0) == 0) return peak(arg.substr(7));
    if (arg.rfind("--write-page=", 0) == 0) return writePage(arg.substr(13));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// How fast the virtual scanner hands over pages: the real module
// (bin/twain/virtual.ds) driven through DS_Entry with a stand-in manager,
// one native transfer per iteration, A4 at the resolution given.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win32.h"
#include "twain/twain.h"

namespace {

TW_UINT16 TW_CALLINGSTYLE quietManager(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16,
                                       TW_MEMREF) {
  return TWRC_SUCCESS;
}

class Scanner {
 public:
  explicit Scanner(const std::string& scenario) {
    path_ = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
            "/lumra_virtual_bench_scenario";
    FILE* f = std::fopen(path_.c_str(), "w");
    std::fputs(scenario.c_str(), f);
    std::fclose(f);
    setenv("LUMRA_VIRTUAL_SCENARIO", path_.c_str(), 1);
    unsetenv("LUMRA_VIRTUAL_JOURNAL");
    module_ = LoadLibraryA(LUMRA_BIN_DIR "/twain/virtual.ds");
    if (module_ == nullptr) return;
    entry_ = reinterpret_cast<DSENTRYPROC>(
        reinterpret_cast<void (*)()>(GetProcAddress(module_, "DS_Entry")));
    app_.Id = 1;
    TW_IDENTITY id{};
    entry_(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id);
    source_ = id;
    TW_ENTRYPOINT points{};
    points.Size = sizeof points;
    points.DSM_Entry = quietManager;
    entry_(&app_, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points);
    entry_(&app_, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_);
    TW_USERINTERFACE ui{};
    ready_ = entry_(&app_, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS;
  }
  ~Scanner() {
    if (module_ == nullptr) return;
    TW_USERINTERFACE ui{};
    entry_(&app_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    entry_(&app_, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_);
    FreeLibrary(module_);
    std::remove(path_.c_str());
  }
  bool ready() const { return ready_; }
  // One page: transfer, free, end of transfer. Returns the bitmap's bytes.
  size_t page() {
    TW_HANDLE bitmap = nullptr;
    if (entry_(&app_, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &bitmap) != TWRC_XFERDONE) return 0;
    size_t bytes = GlobalSize(bitmap);
    GlobalFree(bitmap);
    TW_PENDINGXFERS pending{};
    entry_(&app_, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
    return bytes;
  }

 private:
  std::string path_;
  HMODULE module_ = nullptr;
  DSENTRYPROC entry_ = nullptr;
  TW_IDENTITY app_{};
  TW_IDENTITY source_{};
  bool ready_ = false;
};

void runPages(benchmark::State& state, const std::string& layout) {
  Scanner scanner("ready = enable\npages = 100000\nresolution = " +
                  std::to_string(state.range(0)) + "\n" + layout);
  if (!scanner.ready()) {
    state.SkipWithError("virtual.ds did not load or enable");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) bytes += scanner.page();
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}

void BM_ColourPage(benchmark::State& state) { runPages(state, "pixel_type = rgb\n"); }
void BM_GrayPage(benchmark::State& state) { runPages(state, "pixel_type = gray\n"); }
void BM_BlackWhitePage(benchmark::State& state) { runPages(state, "pixel_type = bw\n"); }
void BM_Rle8Page(benchmark::State& state) {
  runPages(state, "pixel_type = gray\ncompression = rle\n");
}
void BM_Colour32BitfieldsPage(benchmark::State& state) {
  runPages(state, "pixel_type = rgb\ndepth = 32\ncompression = bitfields\n");
}

BENCHMARK(BM_ColourPage)->Arg(150)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GrayPage)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlackWhitePage)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rle8Page)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Colour32BitfieldsPage)->Arg(300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// Base64 on the answer path, beside memcpy of the same bytes.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "processing/page_payloads.h"

namespace {

std::vector<uint8_t> PageBytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 random(1);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

void BM_Memcpy(benchmark::State& state) {
  auto bytes = PageBytes(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> copy(bytes.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Base64(benchmark::State& state) {
  auto bytes = PageBytes(static_cast<size_t>(state.range(0)));
  std::string text;
  text.reserve(bytes.size() / 3 * 4 + 4);
  for (auto _ : state) {
    text.clear();
    lumra::base64Append(bytes.data(), bytes.size(), &text);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// What a page item really costs: Base64 with '/' written as "\/".
void BM_Base64Json(benchmark::State& state) {
  auto bytes = PageBytes(static_cast<size_t>(state.range(0)));
  std::string text;
  text.reserve(bytes.size() / 3 * 4 * 2);
  for (auto _ : state) {
    text.clear();
    lumra::Base64Carry carry;
    lumra::base64JsonAppend(bytes.data(), bytes.size(), &carry, &text);
    lumra::base64JsonFinish(&carry, &text);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(64 << 10)->Arg(2500000)->Arg(16 << 20);
BENCHMARK(BM_Base64)->Arg(64 << 10)->Arg(2500000)->Arg(16 << 20);
BENCHMARK(BM_Base64Json)->Arg(64 << 10)->Arg(2500000)->Arg(16 << 20);

BENCHMARK_MAIN();

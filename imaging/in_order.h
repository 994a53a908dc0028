// Pieces of one output made on several threads and written in order.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace lumra {

/// Makes pieces 0 to count - 1 with make(i, worker, piece&) -> bool on up to
/// `threads` threads (worker 0 to threads - 1 tells which, for state kept per
/// thread) and hands each to take(i, piece&) -> bool on the calling thread,
/// in order. A piece is started only while fewer than `held`
/// (at least `threads`) are made or in work and not yet taken. Returns false
/// as soon as a make or take fails, after the threads have finished the
/// pieces in work. Without threads (1, or none to be had) all runs on the
/// calling thread.
template <typename Piece, typename Make, typename Take>
bool makeInOrder(uint32_t count, unsigned threads, unsigned held, Make make, Take take) {
  threads = std::min<unsigned>(threads, count);
  held = std::max(held, threads);
  struct Slot {
    Piece piece{};
    bool done = false;
    bool ok = false;
  };
  std::vector<Slot> slots(threads > 1 ? count : 0);
  std::mutex mutex;
  std::condition_variable changed;
  uint32_t next = 0, taken = 0;
  bool stop = false;
  auto work = [&](unsigned worker) {
    for (;;) {
      uint32_t i;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stop || next >= count || next < taken + held; });
        if (stop || next >= count) return;
        i = next++;
      }
      Piece piece{};
      const bool ok = make(i, worker, piece);
      {
        std::lock_guard lock(mutex);
        slots[i].piece = std::move(piece);
        slots[i].ok = ok;
        slots[i].done = true;
      }
      changed.notify_all();
    }
  };

  std::vector<std::jthread> workers;
  // Declared after the workers, so it ends them before they are joined.
  struct StopWorkers {
    std::mutex& mutex;
    std::condition_variable& changed;
    bool& stop;
    ~StopWorkers() {
      {
        std::lock_guard lock(mutex);
        stop = true;
      }
      changed.notify_all();
    }
  } stopWorkers{mutex, changed, stop};
  if (threads > 1) {
    workers.reserve(threads);
    try {
      for (unsigned t = 0; t < threads; ++t) workers.emplace_back(work, t);
    } catch (const std::system_error&) {
      // Fewer threads than asked; none at all leaves the work to this one.
    }
  }

  for (uint32_t i = 0; i < count; ++i) {
    Piece piece{};
    bool ok;
    if (workers.empty()) {
      ok = make(i, 0u, piece);
    } else {
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return slots[i].done; });
        piece = std::move(slots[i].piece);
        ok = slots[i].ok;
        taken = i + 1;
      }
      changed.notify_all();
    }
    if (!ok || !take(i, piece)) return false;
  }
  return true;
}

}  // namespace lumra

// MsgWaitForMultipleObjects over our semaphores and message queues. Every
// change bumps one generation counter; a waiter reads it before it looks at
// its objects and sleeps until it moves, so no wake-up is lost in between.

#include "platform/wake-posix.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace lumra::platform {

namespace {

struct Signal {
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t generation = 0;
};

// Leaked on purpose: releases may come from other modules' static destructors.
Signal& signal() {
  static Signal* instance = new Signal;
  return *instance;
}

uint64_t generation() {
  Signal& s = signal();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.generation;
}

}  // namespace

void wakeWaiters() {
  Signal& s = signal();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.generation;
  }
  s.changed.notify_all();
}

}  // namespace lumra::platform

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD /*wakeMask*/) {
  using namespace lumra::platform;
  if (waitAll || (count > 0 && handles == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const uint64_t seen = generation();
    for (DWORD i = 0; i < count; ++i) {
      int taken = tryTakeSemaphore(handles[i]);
      if (taken < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      if (taken > 0) return WAIT_OBJECT_0 + i;
    }
    if (currentQueueHasInput()) return WAIT_OBJECT_0 + count;
    Signal& s = signal();
    std::unique_lock<std::mutex> lock(s.mutex);
    auto moved = [&] { return s.generation != seen; };
    if (milliseconds == INFINITE) {
      s.changed.wait(lock, moved);
    } else if (!s.changed.wait_until(lock, deadline, moved)) {
      return WAIT_TIMEOUT;
    }
  }
}

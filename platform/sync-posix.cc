// Semaphores. A handle is looked up in a registry of live semaphores before
// use, so a release that races with CloseHandle on another thread (a late
// TWAIN notification) fails cleanly instead of touching freed memory, and a
// waiter keeps the state alive until its wait returns.

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/handle-posix.h"
#include "platform/wake-posix.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kErrorInvalidParameter = 87;

struct SemaphoreState {
  std::mutex mutex;
  std::condition_variable changed;
  LONG count = 0;
  LONG maximum = 1;
};

struct Registry {
  std::mutex mutex;
  std::map<const void*, std::shared_ptr<SemaphoreState>> live;
};

// Leaked on purpose: handles may be closed from other modules' static
// destructors after ours would have run.
Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

class SemaphoreHandle : public lumra::platform::PosixHandle {
 public:
  explicit SemaphoreHandle(std::shared_ptr<SemaphoreState> state) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.live[this] = std::move(state);
  }
  ~SemaphoreHandle() override {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.live.erase(this);
  }
};

std::shared_ptr<SemaphoreState> find(HANDLE handle) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  auto it = reg.live.find(handle);
  if (it == reg.live.end()) return nullptr;
  return it->second;
}

}  // namespace

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES /*attributes*/, LONG initialCount, LONG maximumCount,
                        LPCSTR /*name*/) {
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  auto state = std::make_shared<SemaphoreState>();
  state->count = initialCount;
  state->maximum = maximumCount;
  return lumra::platform::toHandle(new SemaphoreHandle(std::move(state)));
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LONG* previousCount) {
  std::shared_ptr<SemaphoreState> state = find(semaphore);
  if (state == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (releaseCount <= 0) {
    SetLastError(kErrorInvalidParameter);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (releaseCount > state->maximum - state->count) {
      SetLastError(ERROR_TOO_MANY_POSTS);
      return FALSE;
    }
    if (previousCount != nullptr) *previousCount = state->count;
    state->count += releaseCount;
  }
  state->changed.notify_all();
  lumra::platform::wakeWaiters();
  return TRUE;
}

int lumra::platform::tryTakeSemaphore(HANDLE semaphore) {
  std::shared_ptr<SemaphoreState> state = find(semaphore);
  if (state == nullptr) return -1;
  std::lock_guard<std::mutex> lock(state->mutex);
  if (state->count == 0) return 0;
  --state->count;
  return 1;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  std::shared_ptr<SemaphoreState> state = find(handle);
  if (state == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  auto ready = [&] { return state->count > 0; };
  if (milliseconds == INFINITE) {
    state->changed.wait(lock, ready);
  } else if (!state->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
    return WAIT_TIMEOUT;
  }
  --state->count;
  return WAIT_OBJECT_0;
}

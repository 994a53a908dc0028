// Window classes, windows and one message queue per thread. Queues live in
// this shared library so that the host, the manager and the sources of one
// process post to and read from the same queues. A window handle is an
// opaque number that is never reused, so a stale handle is refused rather
// than mistaken for a newer window.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/wake-posix.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorCannotFindWndClass = 1407;
constexpr DWORD kErrorClassAlreadyExists = 1410;
constexpr DWORD kErrorClassDoesNotExist = 1411;
constexpr DWORD kErrorClassHasWindows = 1412;

struct Queue {
  DWORD threadId = 0;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<MSG> posted;
  bool quit = false;
  int quitCode = 0;
  bool gone = false;
};

struct Window {
  std::string className;
  WNDPROC procedure = nullptr;
  DWORD ownerThread = 0;
  bool destroying = false;
};

struct WindowClass {
  ATOM atom = 0;
  WNDPROC procedure = nullptr;
};

struct Registry {
  std::mutex mutex;
  std::map<DWORD, std::shared_ptr<Queue>> queues;
  std::map<std::string, WindowClass> classes;
  std::map<uintptr_t, Window> windows;
  uintptr_t nextWindow = 0x10010;
  ATOM nextAtom = 0xC000;
};

// Leaked on purpose: other modules may touch queues from static destructors.
Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

std::string classKey(LPCSTR name) {
  std::string key = name != nullptr ? name : "";
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

uintptr_t windowKey(HWND window) { return reinterpret_cast<uintptr_t>(window); }

// Removes the thread's queue and windows when the thread ends, as Windows
// does.
struct QueueOwner {
  std::shared_ptr<Queue> queue;
  ~QueueOwner() {
    if (queue == nullptr) return;
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.queues.erase(queue->threadId);
    for (auto it = reg.windows.begin(); it != reg.windows.end();) {
      it = it->second.ownerThread == queue->threadId ? reg.windows.erase(it) : std::next(it);
    }
    std::lock_guard<std::mutex> qlock(queue->mutex);
    queue->gone = true;
  }
};

thread_local QueueOwner t_queue;

std::shared_ptr<Queue> currentQueue() {
  if (t_queue.queue == nullptr) {
    auto queue = std::make_shared<Queue>();
    queue->threadId = GetCurrentThreadId();
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.queues[queue->threadId] = queue;
    t_queue.queue = queue;
  }
  return t_queue.queue;
}

std::shared_ptr<Queue> queueOfThread(DWORD threadId) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  auto it = reg.queues.find(threadId);
  return it == reg.queues.end() ? nullptr : it->second;
}

bool windowAlive(HWND window, Window* copy) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  auto it = reg.windows.find(windowKey(window));
  if (it == reg.windows.end()) return false;
  if (copy != nullptr) *copy = it->second;
  return true;
}

DWORD nowMilliseconds() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool post(Queue& queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.gone) return false;
    MSG msg{};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = nowMilliseconds();
    queue.posted.push_back(msg);
  }
  queue.changed.notify_all();
  lumra::platform::wakeWaiters();
  return true;
}

LRESULT callProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Window target;
  if (!windowAlive(window, &target) || target.procedure == nullptr) return 0;
  return target.procedure(window, message, wParam, lParam);
}

bool matches(const MSG& msg, HWND window, UINT filterMin, UINT filterMax) {
  if (window == reinterpret_cast<HWND>(-1)) {
    if (msg.hwnd != nullptr) return false;
  } else if (window != nullptr && msg.hwnd != window) {
    return false;
  }
  if (filterMin == 0 && filterMax == 0) return true;
  return msg.message >= filterMin && msg.message <= filterMax;
}

// One pass over the queue, its lock held: the oldest matching posted
// message, then the quit flag (only once nothing else is posted).
enum class Take { kMessage, kQuit, kNothing };
Take takeMessage(Queue& queue, LPMSG out, HWND window, UINT filterMin, UINT filterMax,
                 bool remove) {
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (!matches(*it, window, filterMin, filterMax) && it->message != WM_QUIT) continue;
    *out = *it;
    if (remove) queue.posted.erase(it);
    return out->message == WM_QUIT ? Take::kQuit : Take::kMessage;
  }
  if (queue.quit) {
    MSG msg{};
    msg.message = WM_QUIT;
    msg.wParam = static_cast<WPARAM>(queue.quitCode);
    msg.time = nowMilliseconds();
    *out = msg;
    if (remove) queue.quit = false;
    return Take::kQuit;
  }
  return Take::kNothing;
}

bool validFilterWindow(HWND window) {
  return window == nullptr || window == reinterpret_cast<HWND>(-1) || windowAlive(window, nullptr);
}

}  // namespace

ATOM RegisterClassA(const WNDCLASSA* windowClass) {
  if (windowClass == nullptr || windowClass->lpszClassName == nullptr ||
      windowClass->lpfnWndProc == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  std::string key = classKey(windowClass->lpszClassName);
  if (reg.classes.count(key) != 0) {
    SetLastError(kErrorClassAlreadyExists);
    return 0;
  }
  WindowClass entry;
  entry.atom = reg.nextAtom++;
  if (reg.nextAtom == 0) reg.nextAtom = 0xC000;
  entry.procedure = windowClass->lpfnWndProc;
  reg.classes[key] = entry;
  return entry.atom;
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE /*instance*/) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  std::string key = classKey(className);
  auto it = reg.classes.find(key);
  if (it == reg.classes.end()) {
    SetLastError(kErrorClassDoesNotExist);
    return FALSE;
  }
  for (const auto& [id, window] : reg.windows) {
    if (window.className == key) {
      SetLastError(kErrorClassHasWindows);
      return FALSE;
    }
  }
  reg.classes.erase(it);
  return TRUE;
}

HWND CreateWindowExA(DWORD /*exStyle*/, LPCSTR className, LPCSTR /*windowName*/, DWORD /*style*/,
                     int /*x*/, int /*y*/, int /*width*/, int /*height*/, HWND /*parent*/,
                     HMENU /*menu*/, HINSTANCE /*instance*/, LPVOID /*param*/) {
  std::shared_ptr<Queue> queue = currentQueue();
  HWND handle = nullptr;
  {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    std::string key = classKey(className);
    auto cls = reg.classes.find(key);
    if (cls == reg.classes.end()) {
      SetLastError(kErrorCannotFindWndClass);
      return nullptr;
    }
    Window window;
    window.className = key;
    window.procedure = cls->second.procedure;
    window.ownerThread = queue->threadId;
    uintptr_t id = reg.nextWindow;
    reg.nextWindow += 2;
    reg.windows[id] = window;
    handle = reinterpret_cast<HWND>(id);
  }
  // A procedure that refuses WM_CREATE refuses the window, as on Windows.
  if (callProcedure(handle, WM_CREATE, 0, 0) == -1) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.windows.erase(windowKey(handle));
    return nullptr;
  }
  return handle;
}

BOOL DestroyWindow(HWND window) {
  {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.windows.find(windowKey(window));
    if (it == reg.windows.end()) {
      SetLastError(kErrorInvalidWindowHandle);
      return FALSE;
    }
    if (it->second.ownerThread != GetCurrentThreadId()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    // A procedure that destroys its window again while handling WM_DESTROY
    // must not recurse.
    if (it->second.destroying) return TRUE;
    it->second.destroying = true;
  }
  callProcedure(window, WM_DESTROY, 0, 0);
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.windows.erase(windowKey(window));
  return TRUE;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/) {
  if (message == WM_CLOSE) DestroyWindow(window);
  return 0;
}

void PostQuitMessage(int exitCode) {
  std::shared_ptr<Queue> queue = currentQueue();
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->quit = true;
    queue->quitCode = exitCode;
  }
  queue->changed.notify_all();
  lumra::platform::wakeWaiters();
}

bool lumra::platform::currentQueueHasInput() {
  std::shared_ptr<Queue> queue = currentQueue();
  std::lock_guard<std::mutex> lock(queue->mutex);
  return !queue->posted.empty() || queue->quit;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == nullptr) return post(*currentQueue(), nullptr, message, wParam, lParam);
  Window target;
  if (!windowAlive(window, &target)) {
    SetLastError(kErrorInvalidWindowHandle);
    return FALSE;
  }
  std::shared_ptr<Queue> queue = queueOfThread(target.ownerThread);
  if (queue == nullptr || !post(*queue, window, message, wParam, lParam)) {
    SetLastError(kErrorInvalidWindowHandle);
    return FALSE;
  }
  return TRUE;
}

BOOL GetMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax) {
  if (message == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return -1;
  }
  if (!validFilterWindow(window)) {
    SetLastError(kErrorInvalidWindowHandle);
    return -1;
  }
  std::shared_ptr<Queue> queue = currentQueue();
  std::unique_lock<std::mutex> lock(queue->mutex);
  for (;;) {
    switch (takeMessage(*queue, message, window, filterMin, filterMax, true)) {
      case Take::kMessage:
        return TRUE;
      case Take::kQuit:
        return FALSE;
      case Take::kNothing:
        queue->changed.wait(lock);
        break;
    }
  }
}

BOOL PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax,
                  UINT removeMessage) {
  if (message == nullptr || !validFilterWindow(window)) return FALSE;
  std::shared_ptr<Queue> queue = currentQueue();
  std::unique_lock<std::mutex> lock(queue->mutex);
  bool remove = (removeMessage & PM_REMOVE) != 0;
  return takeMessage(*queue, message, window, filterMin, filterMax, remove) != Take::kNothing
             ? TRUE
             : FALSE;
}

BOOL TranslateMessage(const MSG* /*message*/) { return FALSE; }

LRESULT DispatchMessageA(const MSG* message) {
  if (message == nullptr || message->hwnd == nullptr) return 0;
  return callProcedure(message->hwnd, message->message, message->wParam, message->lParam);
}

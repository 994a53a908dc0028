// Threads, time, the named mutex, critical sections and standard handles.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/handle-posix.h"
#include "platform/win32.h"

namespace lumra::platform {
namespace {

// ---- Named mutex ----

// The name exists while some process holds an exclusive flock on its lock
// file; the kernel drops the lock with the last descriptor, even on SIGKILL.
class NamedMutex final : public PosixHandle {
 public:
  NamedMutex(int fd, bool holdsName) : fd_(fd), holdsName_(holdsName) {}
  ~NamedMutex() override { ::close(fd_); }
  bool owned = false;

 private:
  int fd_;
  bool holdsName_;
};

// Lock files live in the user's private temp folder; "" when there is none.
std::string lockPath(const char* name) {
  char folder[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, folder);
  if (length == 0 || length >= MAX_PATH) return "";
  std::string file = name ? name : "";
  for (char& c : file) {
    if (c == '/' || c == '\\') c = '_';
  }
  return std::string(folder, length) + file + ".lock";
}

// A lock file that is not a regular file of ours was not made by one of our
// hosts: it must neither block us nor be locked by us.
int openLockFile(const std::string& path, bool create) {
  if (path.empty()) return -1;
  int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0600);
  } while (fd < 0 && errno == EINTR);
  struct stat info;
  if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid())) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// ---- Standard handles ----

class StdHandle final : public PosixHandle {
 public:
  explicit StdHandle(int fd) : fd(fd) {}
  bool closable() const override { return false; }
  int fd;
};

// Descriptors 0-2 that were closed when the process started are filled with
// /dev/null, so that no file opened later lands there and receives frames;
// their standard handles stay invalid.
struct StdSlots {
  StdSlots() {
    for (int fd = 0; fd < 3; ++fd) {
      if (::fcntl(fd, F_GETFD) < 0) {
        valid[fd] = false;
        int filler = ::open("/dev/null", O_RDWR);
        if (filler >= 0 && filler != fd) {
          ::dup2(filler, fd);
          ::close(filler);
        }
      }
    }
  }
  std::mutex mutex;
  bool valid[3] = {true, true, true};
  StdHandle* current[3] = {nullptr, nullptr, nullptr};
  // Handles handed out stay valid for the life of the process, also after
  // SetStdHandle replaced them in their slot.
  std::vector<StdHandle*> issued;
};

StdSlots& slots() {
  static StdSlots* slots = new StdSlots;  // Never destroyed: handles outlive statics.
  return *slots;
}

// Filled at load time, before main opens any file.
[[maybe_unused]] const bool kSlotsReady = (slots(), true);

int slotOf(DWORD which) {
  if (which == STD_INPUT_HANDLE) return 0;
  if (which == STD_OUTPUT_HANDLE) return 1;
  if (which == STD_ERROR_HANDLE) return 2;
  return -1;
}

}  // namespace
}  // namespace lumra::platform

using lumra::platform::fromHandle;
using lumra::platform::NamedMutex;
using lumra::platform::PosixHandle;
using lumra::platform::StdHandle;

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

void Sleep(DWORD milliseconds) {
  struct timespec request;
  request.tv_sec = milliseconds / 1000;
  request.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (::nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int fd = lumra::platform::openLockFile(lumra::platform::lockPath(name), false);
  if (fd < 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  // A shared lock we can take means nobody holds the name.
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
    ::close(fd);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return new NamedMutex(fd, false);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
  if (name == nullptr) {
    // Unnamed: a plain object with ownership only.
    auto* mutex = new NamedMutex(::open("/dev/null", O_RDONLY | O_CLOEXEC), true);
    mutex->owned = initialOwner != FALSE;
    SetLastError(ERROR_SUCCESS);
    return mutex;
  }
  int fd = lumra::platform::openLockFile(lumra::platform::lockPath(name), true);
  if (fd < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // Like Windows: a handle to the existing object, not owned by us.
    SetLastError(ERROR_ALREADY_EXISTS);
    return new NamedMutex(fd, false);
  }
  auto* mutex = new NamedMutex(fd, true);
  mutex->owned = initialOwner != FALSE;
  SetLastError(ERROR_SUCCESS);
  return mutex;
}

BOOL ReleaseMutex(HANDLE handle) {
  auto* mutex = dynamic_cast<NamedMutex*>(fromHandle(handle));
  if (mutex == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!mutex->owned) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  mutex->owned = false;
  return TRUE;
}

// Windows critical sections are recursive.
void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  section->impl = new std::recursive_mutex;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->impl)->lock();
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->impl)->unlock();
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
  delete static_cast<std::recursive_mutex*>(section->impl);
  section->impl = nullptr;
}

HANDLE GetStdHandle(DWORD which) {
  int slot = lumra::platform::slotOf(which);
  if (slot < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto& slots = lumra::platform::slots();
  std::lock_guard<std::mutex> lock(slots.mutex);
  if (slots.current[slot] == nullptr) {
    if (!slots.valid[slot]) {
      SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_HANDLE_VALUE;
    }
    slots.current[slot] = new StdHandle(slot);
    slots.issued.push_back(slots.current[slot]);
  }
  return slots.current[slot];
}

BOOL SetStdHandle(DWORD which, HANDLE handle) {
  int slot = lumra::platform::slotOf(which);
  auto* target = dynamic_cast<StdHandle*>(fromHandle(handle));
  if (slot < 0 || target == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto& slots = lumra::platform::slots();
  std::lock_guard<std::mutex> lock(slots.mutex);
  StdHandle* old = slots.current[slot];
  if (old == target) return TRUE;
  // Whoever holds the old handle keeps writing where it wrote before.
  if (old != nullptr && old->fd == slot) {
    int copy = ::fcntl(slot, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    old->fd = copy;
  }
  if (::dup2(target->fd, slot) < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  slots.valid[slot] = true;
  slots.current[slot] = target;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED) {
  auto* stream = dynamic_cast<StdHandle*>(fromHandle(file));
  if (written) *written = 0;
  if (stream == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A reader that went away must fail the write, as on Windows, not kill us.
  sigset_t pipeSignal, previous, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigpending(&pending);
  bool wasPending = sigismember(&pending, SIGPIPE);

  const char* data = static_cast<const char*>(buffer);
  DWORD done = 0;
  bool ok = true;
  while (done < bytes) {
    ssize_t n = ::write(stream->fd, data + done, bytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<DWORD>(n);
  }
  if (!ok && errno == EPIPE && !wasPending) {
    struct timespec zero = {0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (written) *written = done;
  if (!ok) SetLastError(ERROR_ACCESS_DENIED);
  return ok ? TRUE : FALSE;
}

int _setmode(int fd, int) {
  // Every stream is binary here.
  if (::fcntl(fd, F_GETFD) < 0) {
    errno = EBADF;
    return -1;
  }
  return _O_BINARY;
}

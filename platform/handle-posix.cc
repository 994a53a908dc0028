#include "platform/handle-posix.h"

#include <errno.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace lumra::platform {

PosixHandle::~PosixHandle() = default;

}  // namespace lumra::platform

namespace {
// Win32 keeps the last error per thread.
thread_local DWORD t_lastError = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

BOOL CloseHandle(HANDLE handle) {
  lumra::platform::PosixHandle* object = lumra::platform::fromHandle(handle);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (object->closable()) delete object;
  return TRUE;
}

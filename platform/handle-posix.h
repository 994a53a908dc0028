// Internal to platform/: every HANDLE the POSIX layer hands out points to a
// PosixHandle, so CloseHandle can release any kind (mutex, semaphore, standard
// handle) without knowing it. Other *-posix.cc files derive from it.
#pragma once

#include "platform/win32.h"

namespace lumra::platform {

/// Base of every kernel-object handle on POSIX. CloseHandle deletes it
/// through the virtual destructor, which releases the object's resources.
class PosixHandle {
 public:
  PosixHandle() = default;
  virtual ~PosixHandle();
  PosixHandle(const PosixHandle&) = delete;
  PosixHandle& operator=(const PosixHandle&) = delete;

  /// Standard handles are process-wide and survive CloseHandle (as on Windows,
  /// closing them is allowed, but we keep the descriptor object alive).
  virtual bool closable() const { return true; }
};

/// Returns the handle as a PosixHandle, or nullptr for NULL and
/// INVALID_HANDLE_VALUE. Never checks the dynamic type.
inline PosixHandle* fromHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  return static_cast<PosixHandle*>(handle);
}

/// The HANDLE value for an object the caller created with new.
inline HANDLE toHandle(PosixHandle* object) { return static_cast<HANDLE>(object); }

}  // namespace lumra::platform

#include "platform/memory.h"

#include "platform/win32.h"

namespace lumra {

void* TwainMemAllocate(uint32_t size) { return GlobalAlloc(GPTR, size); }
void TwainMemFree(void* handle) {
  if (handle != nullptr) GlobalFree(handle);
}
void* TwainMemLock(void* handle) { return GlobalLock(handle); }
void TwainMemUnlock(void* handle) { GlobalUnlock(handle); }

size_t TransferredBlockSize(void* handle, const void* /*locked*/) { return GlobalSize(handle); }

}  // namespace lumra

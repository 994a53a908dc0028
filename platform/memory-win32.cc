#include "platform/memory.h"

#include "platform/win32.h"

namespace lumra {

void* twainMemAllocate(uint32_t size) { return GlobalAlloc(GPTR, size); }
void twainMemFree(void* handle) {
  if (handle != nullptr) GlobalFree(handle);
}
void* twainMemLock(void* handle) { return GlobalLock(handle); }
void twainMemUnlock(void* handle) { GlobalUnlock(handle); }

size_t transferredBlockSize(void* handle, const void* /*locked*/) { return GlobalSize(handle); }

}  // namespace lumra

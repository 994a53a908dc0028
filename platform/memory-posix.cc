// Global memory blocks. The handle is the address of the block's data, as a
// GMEM_FIXED handle is on Windows, so code that treats a fixed handle as a
// pointer still works; a header in front keeps the size and the lock count.
// Live handles are also kept in a set, so a stale, foreign or doubly freed
// handle is refused without ever touching memory that is not a live block.

#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/memory.h"
#include "platform/resources.h"
#include "platform/win32.h"

namespace {

constexpr uint64_t kBlockMagic = 0x4C554D52474D454DULL;  // "LUMRGMEM"
constexpr DWORD kErrorNotLocked = 158;

struct alignas(16) BlockHeader {
  uint64_t magic;
  SIZE_T size;
  uint32_t locks;
};

struct Registry {
  std::mutex mutex;
  std::unordered_set<const void*> live;
};

// Leaked on purpose: blocks may be freed from static destructors of other
// modules after this one's would have run.
Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

BlockHeader* headerOf(HGLOBAL memory) {
  return reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(memory) - sizeof(BlockHeader));
}

// Caller holds the registry's mutex.
BlockHeader* findLocked(Registry& reg, HGLOBAL memory) {
  if (memory == nullptr || reg.live.count(memory) == 0) return nullptr;
  BlockHeader* header = headerOf(memory);
  return header->magic == kBlockMagic ? header : nullptr;
}

}  // namespace

HGLOBAL GlobalAlloc(UINT /*flags*/, SIZE_T bytes) {
  if (bytes > SIZE_MAX - sizeof(BlockHeader)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // Every block starts zeroed, not only GMEM_ZEROINIT ones: stale heap bytes
  // must never reach a page file.
  void* raw = std::calloc(1, sizeof(BlockHeader) + bytes);
  if (raw == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* header = new (raw) BlockHeader{kBlockMagic, bytes, 0};
  HGLOBAL memory = reinterpret_cast<unsigned char*>(header) + sizeof(BlockHeader);
  Registry& reg = registry();
  try {
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.live.insert(memory);
  } catch (const std::bad_alloc&) {
    std::free(raw);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return memory;
}

LPVOID GlobalLock(HGLOBAL memory) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  BlockHeader* header = findLocked(reg, memory);
  if (header == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ++header->locks;
  return memory;
}

BOOL GlobalUnlock(HGLOBAL memory) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  BlockHeader* header = findLocked(reg, memory);
  if (header == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (header->locks == 0) {
    SetLastError(kErrorNotLocked);
    return FALSE;
  }
  --header->locks;
  if (header->locks == 0) {
    SetLastError(ERROR_SUCCESS);
    return FALSE;
  }
  return TRUE;
}

SIZE_T GlobalSize(HGLOBAL memory) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  BlockHeader* header = findLocked(reg, memory);
  if (header == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return header->size;
}

HGLOBAL GlobalFree(HGLOBAL memory) {
  if (memory == nullptr) return nullptr;
  Registry& reg = registry();
  BlockHeader* header = nullptr;
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    header = findLocked(reg, memory);
    if (header == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return memory;
    }
    reg.live.erase(memory);
    header->magic = 0;
  }
  std::free(header);
  return nullptr;
}

int64_t lumra::liveGlobalBlocks() {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  return static_cast<int64_t>(reg.live.size());
}

namespace lumra {

void* twainMemAllocate(uint32_t size) { return std::calloc(size, 1); }
void twainMemFree(void* handle) { std::free(handle); }
void* twainMemLock(void* handle) { return handle; }
void twainMemUnlock(void* /*handle*/) {}

size_t transferredBlockSize(void* handle, const void* locked) {
  if (handle == nullptr || locked == nullptr) return 0;
  {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (BlockHeader* header = findLocked(reg, handle)) return locked == handle ? header->size : 0;
  }
  return locked == handle ? malloc_usable_size(handle) : 0;
}

}  // namespace lumra

// Memory that crosses the TWAIN boundary between an application and a data
// source, in the form the platform's published Data Source Manager hands it
// out through DAT_ENTRYPOINT.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumra {

/// A zeroed block of `size` bytes, or null. Windows: GlobalAlloc(GPTR).
/// POSIX: calloc, the handle being the block's address.
void* twainMemAllocate(uint32_t size);
/// Frees a block of twainMemAllocate; null is ignored.
void twainMemFree(void* handle);
/// The block's address (POSIX: the handle itself).
void* twainMemLock(void* handle);
/// Ends a lock (POSIX: nothing to do).
void twainMemUnlock(void* handle);

/// Bytes that may be read at `locked`, the address `handle` was locked to;
/// 0 when that cannot be told. Windows: GlobalSize. POSIX: our Global
/// blocks know their size; any other block is taken to come from the
/// allocator (the manager's calloc) and gives its usable size, but only when
/// it was locked to its own address.
size_t transferredBlockSize(void* handle, const void* locked);

}  // namespace lumra

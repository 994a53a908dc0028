// The machine's and the process's resource limits.
#pragma once

#include <cstdint>

namespace lumra {

/// Bytes of memory the process may use: the machine's physical memory, or
/// the process's own limit on its memory when that is lower. 0 when unknown.
uint64_t UsableMemoryBytes();

/// Global memory blocks (GlobalAlloc) not yet freed in this process; -1
/// where the system does not tell.
int64_t LiveGlobalBlocks();

/// Makes a write past the file size limit (ulimit -f) fail like a full disk
/// instead of ending the process. Call once at start-up.
void FailWritesPastFileSizeLimit();

}  // namespace lumra

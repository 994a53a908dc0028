// The machine's and the process's resource limits.
#pragma once

#include <cstdint>

namespace lumra {

/// Bytes of memory the process may use: the machine's physical memory, or
/// the process's own limit on its memory when that is lower. 0 when unknown.
uint64_t usableMemoryBytes();

/// Processors this process may run on (its affinity), at least 1: the most
/// threads worth starting for work that needs the processor alone.
unsigned processorCount();

/// Global memory blocks (GlobalAlloc) not yet freed in this process; -1
/// where the system does not tell.
int64_t liveGlobalBlocks();

/// Makes writes fail instead of ending the process: past the file size
/// limit (ulimit -f) like a full disk, and to a pipe nobody reads any more
/// (a driver printing after the reader of standard error left). Call once
/// at start-up.
void failWritesInsteadOfSignals();

}  // namespace lumra

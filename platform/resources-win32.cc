#include "platform/resources.h"

#include "platform/win32.h"

#include <algorithm>

namespace lumra {

uint64_t usableMemoryBytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  // A 32-bit process has less address space than the machine has memory.
  return std::min<uint64_t>(status.ullTotalPhys, status.ullTotalVirtual);
}

unsigned processorCount() {
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    unsigned count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
  }
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

int64_t liveGlobalBlocks() { return -1; }

// Windows has no such signals: the write fails.
void failWritesInsteadOfSignals() {}

}  // namespace lumra

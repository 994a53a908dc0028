// The length of an open C stream, beyond what a 32-bit long can hold.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace lumra {

/// Length in bytes of the open `file` (seeks to its end, then back to its
/// start). -1 when it cannot be found. 64-bit on every platform: Windows'
/// ftell gives 32 bits and wraps past 2 GiB.
int64_t fileLength(std::FILE* file);

/// Cuts the open `file` to `length` bytes (flushed first); the position
/// stays where it was.
bool truncateFile(std::FILE* file, int64_t length);

/// Length in bytes of the file at `path` (ANSI code page); -1 when it cannot
/// be found.
int64_t fileLengthAt(const std::string& path);

}  // namespace lumra

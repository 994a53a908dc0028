// Opening the host's own files (page files, the log) without being led
// elsewhere by a link that someone else planted.
#pragma once

#include <cstdio>
#include <string>

namespace lumra {

/// How OpenOwnFile opens a file.
enum class OpenFor {
  kRewrite,  ///< read and write, created or emptied ("w+b")
  kAppend,   ///< writes go to the end, created if missing ("ab")
  kRead,     ///< reading ("rb")
};

/// Opens `path` like fopen with the mode of `how`, in binary. On POSIX a
/// symlink at `path` is never followed, files are created 0600, and only a
/// regular file owned by this user is accepted; nullptr otherwise.
std::FILE* openOwnFile(const std::string& path, OpenFor how);

}  // namespace lumra

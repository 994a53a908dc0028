#include "platform/open_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumra {

std::FILE* openOwnFile(const std::string& path, OpenFor how) {
  int flags = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
  const char* mode = "rb";
  if (how == OpenFor::kRewrite) {
    flags |= O_RDWR | O_CREAT;  // emptied once known to be ours
    mode = "w+b";
  } else if (how == OpenFor::kAppend) {
    flags |= O_WRONLY | O_CREAT | O_APPEND;
    mode = "ab";
  } else {
    flags |= O_RDONLY | O_NONBLOCK;  // a planted FIFO must not hang us
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat info;
  // Someone else's file (or a device) in a shared folder is not ours to fill
  // or to send.
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    ::close(fd);
    errno = EACCES;
    return nullptr;
  }
  if (how == OpenFor::kRewrite && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return nullptr;
  }
  if (how == OpenFor::kRead) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = ::fdopen(fd, mode);
  if (file == nullptr) ::close(fd);
  return file;
}

}  // namespace lumra

#include "platform/file_length.h"

#include <sys/types.h>
#include <unistd.h>

namespace lumra {

int64_t fileLength(std::FILE* file) {
  if (file == nullptr || fseeko(file, 0, SEEK_END) != 0) return -1;
  off_t end = ftello(file);
  if (fseeko(file, 0, SEEK_SET) != 0) return -1;
  return end < 0 ? -1 : static_cast<int64_t>(end);
}

bool truncateFile(std::FILE* file, int64_t length) {
  return file != nullptr && length >= 0 && std::fflush(file) == 0 &&
         ftruncate(fileno(file), static_cast<off_t>(length)) == 0;
}

}  // namespace lumra

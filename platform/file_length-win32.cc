#include "platform/file_length.h"

#include <io.h>

namespace lumra {

int64_t fileLength(std::FILE* file) {
  if (file == nullptr || _fseeki64(file, 0, SEEK_END) != 0) return -1;
  __int64 end = _ftelli64(file);
  if (_fseeki64(file, 0, SEEK_SET) != 0) return -1;
  return end < 0 ? -1 : static_cast<int64_t>(end);
}

bool truncateFile(std::FILE* file, int64_t length) {
  return file != nullptr && length >= 0 && std::fflush(file) == 0 &&
         _chsize_s(_fileno(file), length) == 0;
}

}  // namespace lumra

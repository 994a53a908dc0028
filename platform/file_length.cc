#include "platform/file_length.h"

#include <filesystem>

namespace lumra {

int64_t fileLengthAt(const std::string& path) {
  std::error_code error;
  uintmax_t size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<int64_t>(size);
}

}  // namespace lumra

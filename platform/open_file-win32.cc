#include "platform/open_file.h"

namespace lumra {

std::FILE* openOwnFile(const std::string& path, OpenFor how) {
  const char* mode = how == OpenFor::kRewrite ? "w+b" : how == OpenFor::kAppend ? "ab" : "rb";
  return std::fopen(path.c_str(), mode);
}

}  // namespace lumra

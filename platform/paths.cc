#include "platform/paths.h"

#include "platform/win32.h"

namespace lumra {

std::string ExecutableFolder() {
  char path[4096];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return {};
  std::string full(path, length);
  // Windows accepts both separators.
  size_t cut = full.find_last_of(kPathSeparator == '/' ? "/" : "\\/");
  return cut == std::string::npos ? std::string() : full.substr(0, cut + 1);
}

}  // namespace lumra

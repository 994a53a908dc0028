#include "platform/paths.h"

#include <algorithm>
#include <filesystem>

#include "platform/win32.h"

namespace lumra {

std::string executableFolder() {
  char path[4096];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return {};
  std::string full(path, length);
  // Windows accepts both separators.
  size_t cut = full.find_last_of(kPathSeparator == '/' ? "/" : "\\/");
  return cut == std::string::npos ? std::string() : full.substr(0, cut + 1);
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/' || folder.back() == kPathSeparator) {
    return folder + name;
  }
  return folder + kPathSeparator + name;
}

bool createFolders(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return std::filesystem::is_directory(folder, error);
}

std::vector<std::string> filesBelow(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  std::error_code error;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    std::error_code typeError;
    if (it->is_regular_file(typeError)) files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace lumra

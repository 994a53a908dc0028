#include "sources/virtual/journal.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace lumra::virtual_scanner {

void journalLine(const std::string& line) {
  static std::mutex mutex;
  const char* path = std::getenv("LUMRA_VIRTUAL_JOURNAL");
  if (path == nullptr || *path == '\0') return;
  std::lock_guard<std::mutex> lock(mutex);
  // Opened per line so a reader sees every line as soon as it is written,
  // even if the process dies right after.
  FILE* file = std::fopen(path, "ab");
  if (file == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fputc('\n', file);
  std::fclose(file);
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c == '\n' ? ' ' : c);
  }
  out.push_back('"');
  return out;
}

}  // namespace lumra::virtual_scanner

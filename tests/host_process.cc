#include "tests/host_process.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <system_error>

namespace lumra::test {

std::string HostPath() { return BinaryPath("lumra-scan-host"); }

std::string MakeTempFolder(const std::string& prefix) {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return "";
  std::random_device seed;
  std::mt19937_64 random(seed() ^ static_cast<uint64_t>(
                                      std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = base / (prefix + std::to_string(random() % 1000000000ull));
    // Forward slashes on every platform: tests put these paths into JSON text.
    if (std::filesystem::create_directory(candidate, ec) && !ec) return candidate.generic_string();
  }
  return "";
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string Frame(std::string_view body) {
  std::string frame;
  frame.reserve(body.size() + 4);
  uint32_t n = static_cast<uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) frame.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  frame.append(body);
  return frame;
}

bool HostProcess::writeFrame(std::string_view body, std::string* err) {
  return write(Frame(body), err);
}

bool StartHost(HostProcess* host, const std::string& tmpFolder, std::string* err) {
  StartOptions options;
  std::string tmp = tmpFolder;
  options.env["TMPDIR"] = tmp;
  options.env["XDG_RUNTIME_DIR"] = std::nullopt;
  return host->start(HostPath(), options, err);
}

}  // namespace lumra::test

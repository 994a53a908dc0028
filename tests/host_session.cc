#include "tests/host_session.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include <utf8.h>

#include "platform/paths.h"

namespace lumra::test {

std::string BinaryPath(const std::string& name) {
  return std::string(LUMRA_BIN_DIR) + "/" + name + kProgramSuffix;
}

std::string HostPath() { return BinaryPath("lumra-scan-host"); }

std::string MakeTempFolder(const std::string& prefix) {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return "";
  std::mt19937_64 random(std::random_device{}() ^
                         std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = base / (prefix + std::to_string(random() % 1000000000ull));
    // Forward slashes on every platform: tests put these paths into JSON text.
    if (std::filesystem::create_directory(candidate, ec) && !ec) return candidate.generic_string();
  }
  return "";
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::map<std::string, std::optional<std::string>> HostEnv(const std::string& tmp) {
  return {{"TMPDIR", tmp}, {"TMP", tmp}, {"TEMP", tmp}, {"XDG_RUNTIME_DIR", std::nullopt}};
}

bool StartHost(ChildProcess* host, const std::string& tmp, std::string* err) {
  ChildOptions options;
  options.env = HostEnv(tmp);
  return host->start(HostPath(), options, err);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::unique_ptr<JsonValue> Parse(const std::string& utf8Text) {
  std::u16string wide;
  if (!utf8::is_valid(utf8Text.begin(), utf8Text.end())) return nullptr;
  utf8::utf8to16(utf8Text.begin(), utf8Text.end(), std::back_inserter(wide));
  return parseJson(wide);
}

std::string Utf8(const std::u16string& wide) {
  std::string out;
  utf8::utf16to8(wide.begin(), wide.end(), std::back_inserter(out));
  return out;
}

std::string DecodeBase64(const std::string& text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else break;  // '=' padding
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

std::string Le32(uint32_t n) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  return bytes;
}

void HostTest::SetUp() {
  tmp_ = MakeTempFolder("lumra-e2e-");
  ASSERT_FALSE(tmp_.empty());
}

void HostTest::TearDown() { RemoveTree(tmp_); }

void HostTest::start(ChildProcess* host, const std::string& program) {
  ChildOptions options;
  options.env = HostEnv(tmp_);
  std::string err;
  ASSERT_TRUE(host->start(program, options, &err)) << err;
}

std::string HostTest::exchange(ChildProcess* host, const std::string& body) {
  std::string err, answer;
  EXPECT_TRUE(host->writeFrame(body, &err)) << err;
  EXPECT_TRUE(host->readFrame(&answer, kTimeoutMs, &err)) << err << "\nstderr: " << host->stderrText();
  return answer;
}

void HostTest::finish(ChildProcess* host, int expectedCode) {
  host->closeStdin();
  ExitStatus status;
  ASSERT_TRUE(host->waitExit(kTimeoutMs, &status));
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, expectedCode);
  std::string rest;
  EXPECT_TRUE(host->readToEnd(&rest, kTimeoutMs));
  EXPECT_EQ(rest, "") << "stray bytes after the last frame";
}

std::string HostTest::logText() { return ReadFile(tmp_ + "/LumraImageScanning.log"); }

}  // namespace lumra::test

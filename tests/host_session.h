// Shared pieces of the end-to-end tests that talk to the host: a fixture
// with a private temp folder, request/answer exchange, and small decoders.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "json/json.h"
#include "tests/host_process.h"

namespace lumra::test {

/// Waits of the end-to-end tests, generous for sanitizer builds.
inline constexpr int kTimeoutMs = 30000;

/// Whole file as bytes ("" when missing).
std::string ReadFile(const std::string& path);
/// Writes `bytes` as the whole file.
void WriteFile(const std::string& path, const std::string& bytes);
/// Parses UTF-8 JSON text with the project's parser (nullptr when not valid
/// UTF-8 or not JSON).
std::unique_ptr<JsonValue> Parse(const std::string& utf8Text);
/// UTF-16 to UTF-8 (checked).
std::string Utf8(const std::u16string& wide);
/// Standard Base64 decoded by an independent decoder.
std::string DecodeBase64(const std::string& text);
/// 4-byte little-endian length.
std::string Le32(uint32_t n);

/// Fixture: a private TMPDIR for the host (log, working folder, instance
/// lock), removed afterwards.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Starts `program` (the host by default) with TMPDIR = tmp_.
  void start(HostProcess* host, const std::string& program = HostPath());
  /// Sends one request and returns its one answer ("" with a test failure
  /// when none arrives).
  std::string exchange(HostProcess* host, const std::string& body);
  /// Closes standard input and expects exit `expectedCode` with no bytes
  /// after the last frame.
  void finish(HostProcess* host, int expectedCode = 0);
  /// The host's log file in tmp_.
  std::string logText();

  std::string tmp_;
};

}  // namespace lumra::test

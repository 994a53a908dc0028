// Shared pieces of the end-to-end tests that talk to the host: a fixture
// with a private temp folder, request/answer exchange, and small decoders.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "json/json.h"
#include "platform/child_process.h"

namespace lumra::test {

/// Waits of the end-to-end tests, generous for sanitizer builds.
inline constexpr int kTimeoutMs = 30000;

/// Path of a program built next to the host, e.g. "lumra-scan-host".
std::string BinaryPath(const std::string& name);
/// Path of the host binary.
std::string HostPath();
/// A fresh empty folder under the system temp folder whose name starts with
/// `prefix`, with forward slashes and no trailing separator ("" on failure).
std::string MakeTempFolder(const std::string& prefix);
/// Removes a folder and everything below it; missing folders are fine.
void RemoveTree(const std::string& path);
/// Environment for a host whose temp folder (log, working folder, instance
/// lock) is `tmp`: TMPDIR on POSIX, TMP and TEMP on Windows.
std::map<std::string, std::optional<std::string>> HostEnv(const std::string& tmp);
/// Starts the host with HostEnv(`tmp`).
bool StartHost(ChildProcess* host, const std::string& tmp, std::string* err);

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
  void start(ChildProcess* host, const std::string& program = HostPath());
  /// Sends one request and returns its one answer ("" with a test failure
  /// when none arrives).
  std::string exchange(ChildProcess* host, const std::string& body);
  /// Closes standard input and expects exit `expectedCode` with no bytes
  /// after the last frame.
  void finish(ChildProcess* host, int expectedCode = 0);
  /// The host's log file in tmp_.
  std::string logText();

  std::string tmp_;
};

}  // namespace lumra::test

// Support for the end-to-end tests: the real host started with a private
// temp folder and a virtual-scanner scenario, frames and answers exchanged
// with it, its journal and log.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/testing/decoders.h"
#include "json/json.h"
#include "platform/child_process.h"

namespace lumra::test {

using lumra::testing::Decoded;
using lumra::testing::decodePage;

/// Waits of the end-to-end tests, generous for sanitizer builds.
inline constexpr int kTimeoutMs = 30000;

/// Folder of the programs under test: LUMRA_TEST_BIN_DIR when set (an
/// installed tree), else the build's bin folder.
std::string BinaryDir();
/// Path of a program built next to the host, e.g. "lumra-scan".
std::string BinaryPath(const std::string& name);
/// Path of the host binary.
std::string HostPath();
/// A fresh empty folder under the system temp folder whose name starts with
/// `prefix`, with forward slashes and no trailing separator ("" on failure).
std::string MakeTempFolder(const std::string& prefix);
/// The host's own temp folder (log, default working folder, lock) when its
/// temp folder is `tmp`.
std::string HostTempFolder(const std::string& tmp);
/// Removes a folder and everything below it; missing folders are fine.
void RemoveTree(const std::string& path);
/// Environment for a program whose temp folder is `tmp` (TMPDIR on POSIX,
/// TMP and TEMP on Windows) and whose virtual scanner follows the scenario
/// file `scenario` ("" for none) and journals into `tmp`; SANE finds no device.
std::map<std::string, std::optional<std::string>> HostEnv(const std::string& tmp,
                                                          const std::string& scenario = "");

/// Whole file ("" when missing).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
/// A path or text as JSON string content.
std::string JsonEscaped(const std::string& text);
/// Standard Base64 decoded by the client's decoder ("<not Base64>" when it
/// refuses the text).
std::string decodeBase64(const std::u16string& text);

/// UTF-8 text of a string at a member path ("" when absent).
std::string StringAt(const JsonValue* root, const std::vector<std::u16string>& path);
/// Number at a member path, or -1.
double NumberAt(const JsonValue* root, const std::vector<std::u16string>& path);
/// Value at a member path, or nullptr.
const JsonValue* ValueAt(const JsonValue* root, const std::vector<std::u16string>& path);
/// An answer's status as "result" or "result: description" ("no answer" for null).
std::string Status(const JsonValue* answer);

/// One host with its own temp folder (log, working folder, instance lock,
/// scenario, journal), removed afterwards. A host still running at the end
/// is finished as finish() does.
class TestHost {
 public:
  TestHost() = default;
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  /// Starts `program` (the host when empty) with the virtual scanner
  /// following `scenario` ("": well-mannered). `shareFolder` is another
  /// host's folder to use instead of a fresh one. A failure is a test failure
  /// with its reason.
  bool start(const std::string& scenario = "", const std::string& program = "",
             const std::string& shareFolder = "");

  /// Sends one request and returns its one answer ("" with a test failure
  /// when none arrives).
  std::string exchange(const std::string& body);
  /// Sends one request and parses its answer; the wire carries UTF-8
  /// whatever the ANSI code page is. A missing answer is a test failure (with
  /// the host's standard error) and nullptr.
  std::unique_ptr<JsonValue> ask(const std::string& json, int timeoutMs = 60000);
  /// Sends `first`, then `next` (`first` when empty) until the last slice of
  /// a split series; the reassembled answer (nullptr with the reason in
  /// `err`). Every slice must stay under the browser's 1 MiB; `slices` gets
  /// their number.
  std::unique_ptr<JsonValue> requestSplit(const std::string& first, std::string* err,
                                          int* slices = nullptr, const std::string& next = "");
  /// Closes standard input and expects exit `expectedCode` and, when
  /// `nothingLeft`, no bytes after the frames read.
  void finish(int expectedCode = 0, bool nothingLeft = true);

  /// Journal lines of the virtual scanner starting with `operation` ("" all).
  std::vector<std::string> journal(const std::string& operation = "") const;
  /// The host's log file so far.
  std::string log() const;
  /// The temp folder (no trailing separator) and the default working folder
  /// (with one).
  const std::string& folder() const { return folder_; }
  std::string defaultWorkFolder() const;

  ChildProcess& process() { return process_; }
  /// Environment set over HostEnv's at start().
  std::map<std::string, std::optional<std::string>> extraEnv;
  /// Arguments given to the program at start().
  std::vector<std::string> args;

 private:
  std::string folder_;
  bool ownsFolder_ = false;
  ChildProcess process_;
};

}  // namespace lumra::test

// lumra-scan's side of the host's protocol: starts the host next to the
// client, exchanges framed JSON with it, and reads answers.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "json/json.h"
#include "platform/child_process.h"

namespace lumra {

/// One host process for the life of a command.
class HostClient {
 public:
  HostClient() = default;
  HostClient(const HostClient&) = delete;
  HostClient& operator=(const HostClient&) = delete;

  /// Starts `hostPath`, or the host next to this executable when empty.
  bool start(const std::string& hostPath, std::string* err);

  /// Sends one UTF-8 request and reads its answer frame. Progress frames
  /// that come first go to `onProgress` (their "progress" member).
  bool exchange(std::string_view request, std::string* answer, std::string* err,
                const std::function<void(const JsonValue&)>& onProgress = {});

  /// Ends the host's input and returns its exit code.
  int finish();

 private:
  ChildProcess child_;
  bool started_ = false;
};

/// Path of the host binary next to this executable.
std::string defaultHostPath();

/// Parses a UTF-8 answer; nullptr with `err` set when it is not valid UTF-8
/// or not a JSON object.
std::unique_ptr<JsonValue> parseAnswer(std::string_view utf8, std::string* err);

/// Decodes standard Base64 (padding optional, no white space). False on any
/// other character.
bool decodeBase64(std::u16string_view text, std::string* out);

/// UTF-16 to UTF-8 for printing; unpaired surrogates become U+FFFD.
std::string toUtf8(std::u16string_view text);

/// UTF-8 to UTF-16; false when `text` is not valid UTF-8.
bool toUtf16(std::string_view text, std::u16string* out);

/// Member `key` of `object` as a string ("" when absent or of another kind).
std::u16string stringMember(const JsonValue* object, std::u16string_view key);

}  // namespace lumra

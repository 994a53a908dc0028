// The native-messaging channel: 4-byte little-endian length, then UTF-8 JSON,
// in both directions.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "platform/win32.h"

namespace lumra {

/// The standard output the process started with; the only way frames leave
/// the process (the process's own standard output goes to standard error).
extern HANDLE savedStdoutHandle;

/// Largest request body held in memory; a longer one is read and dropped in
/// chunks and answered as a request that does not parse.
inline constexpr uint32_t kMaxRequestBytes = 64u << 20;

class ImageClientStdinStdout {
 public:
  ImageClientStdinStdout() = delete;

  /// Reads requests from stdin and answers each with exactly one frame
  /// until the input ends or a zero length arrives; returns 0 then.
  static int loopClientStdinStdout();
  /// As above, reading requests from `input`.
  static int loopClientStdinStdout(std::FILE* input);

  /// Writes one frame holding `message` to savedStdoutHandle; nothing for an
  /// empty message. Write failures are not reported.
  static void writeMessage(std::string_view message);
};

}  // namespace lumra

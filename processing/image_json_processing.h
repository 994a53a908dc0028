// The dispatcher: one request text in, one answer text out.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"
#include "platform/win32.h"
#include "scanning/image_scanning.h"
#include "scanning/source_capabilities.h"

namespace lumra {

/// Held while the default working folder is built. main initialises it
/// before the first request and deletes it after the last.
extern CRITICAL_SECTION workFolderLock;

class ImageJsonProcessing {
 public:
  ImageJsonProcessing() = delete;

  /// Answers one request: `text` is read up to its first zero character,
  /// `length` is the frame's length in bytes. Always assigns exactly one
  /// UTF-8 answer to `answer`; never fails.
  /// Writes one frame before the answer (a progress report).
  using FrameSink = std::function<void(std::string_view frame)>;

  static void processingMessage(std::u16string_view text, uint32_t length, std::string* answer,
                                const FrameSink& progress = {});

  /// Runs the command of the parsed root object and writes the outcome in
  /// place: status ("success"/"error"), description, TWAIN status code,
  /// page files (ANSI paths), scanners and, for "scannerCapabilities",
  /// `capabilities`.
  static void processingMessage(const JsonValue& request, std::u16string* status,
                                std::u16string* description, uint32_t* statusCode,
                                std::vector<std::string>* pageFiles, ScannerList* scanners,
                                std::optional<SourceCapabilities>* capabilities,
                                const FrameSink& progress = {});

  /// Appends the "fileName" strings of the request's "files" (ANSI, in
  /// order; other elements skipped). False when "files" is not an array.
  static bool getListFiles(const JsonValue* request, std::vector<std::string>* pageFiles);

  /// The temp folder + "lumra_image_scan" + separator, created if missing;
  /// "" when there is no temp folder (never a relative path). Needs
  /// workFolderLock.
  static std::string getDefaultWorkFolder();
};

}  // namespace lumra

// Support for end-to-end scan tests: a host started with a virtual-scanner
// scenario in a private temp folder, its journal and log, and independent
// readers for the page files it writes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "json/json.h"
#include "tests/host_session.h"

namespace lumra::test {

/// A host whose virtual scanner follows `scenario`, with its own temp folder
/// (log, default working folder, instance lock) and journal.
class ScanHost {
 public:
  ScanHost() = default;
  ~ScanHost();
  ScanHost(const ScanHost&) = delete;
  ScanHost& operator=(const ScanHost&) = delete;

  /// Starts the host; an empty scenario leaves the scanner well-mannered.
  /// `hostPath` empty: the built host.
  bool start(const std::string& scenario, std::string* err, const std::string& hostPath = "");

  /// Sends one request and parses its answer (nullptr on any failure, with
  /// the reason in `err`). Waits up to `timeoutMs`.
  std::unique_ptr<JsonValue> request(const std::string& json, std::string* err,
                                     int timeoutMs = 60000);

  /// Sends a split request until its last slice and parses the reassembled
  /// answer; `slices` receives the number of answers.
  std::unique_ptr<JsonValue> requestSplit(const std::string& json, std::string* err,
                                          int* slices = nullptr);

  /// Journal lines of the virtual scanner starting with `operation` ("" all).
  std::vector<std::string> journal(const std::string& operation = "") const;

  /// The host's log file so far.
  std::string log() const;

  /// The private temp folder (ends without separator) and the host's default
  /// working folder (ends with one).
  const std::string& folder() const { return folder_; }
  std::string defaultWorkFolder() const;

  ChildProcess& process() { return host_; }

 private:
  std::string folder_;
  std::string journalPath_;
  ChildProcess host_;
};

/// Field `key` of a journal line ("cap" in "CAPSET ... cap=ICAP_PIXELTYPE ...").
std::string JournalField(const std::string& line, const std::string& key);

/// UTF-8 text of a JSON string member path, e.g. Member(a, {"status","result"}).
std::string StringAt(const JsonValue* root, const std::vector<std::u16string>& path);
/// Number at a member path, or -1.
double NumberAt(const JsonValue* root, const std::vector<std::u16string>& path);
/// Value at a member path, or nullptr.
const JsonValue* ValueAt(const JsonValue* root, const std::vector<std::u16string>& path);

/// Decodes Base64 (standard alphabet, padded).
bool DecodeBase64Text(const std::u16string& text, std::string* out);

/// A page file decoded by the format's own library: 8-bit samples, rows top
/// to bottom, `channels` per pixel (1 gray, 3 RGB).
struct Decoded {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<uint8_t> pixels;
};

/// Decodes JPEG (libjpeg), PNG (libpng) or TIFF (libtiff) bytes; false with
/// `err` set when the library refuses them.
bool DecodeImage(const std::string& bytes, const std::string& type, Decoded* out,
                 std::string* err);

/// Width and height read from the header of any written format (the magic is
/// checked too); false when the header does not fit the type.
bool HeaderSize(const std::string& bytes, const std::string& type, int* width, int* height,
                std::string* err);

/// Reads a whole file; false when it cannot.
bool ReadFile(const std::string& path, std::string* out);

}  // namespace lumra::test

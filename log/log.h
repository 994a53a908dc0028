// The host's log: severities, the record macros every subsystem writes with,
// and startLog, which opens the rolling file in the temp folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace lumra {

/// Severities, most severe first; a record is written when its number is at
/// most the threshold.
enum class Severity { none = 0, fatal = 1, error = 2, warning = 3, info = 4, debug = 5, verbose = 6 };

/// Opens the log file (temp folder + "LumraImageScanning.log", rolling at
/// 10,000,000 bytes over 10 files) with `threshold`, and writes the first
/// record. Before this runs, when there is no temp folder and when the file
/// cannot be opened (a symlink is never followed), records are dropped.
void startLog(Severity threshold);

/// Size past which the log file rolls, and the most files kept.
inline constexpr uint64_t kLogFileBytes = 10000000;
inline constexpr int kLogFiles = 10;

/// Opens the log at `path` instead of the temp folder, rolling past
/// `fileBytes` over `files` files (tests use small values).
void startLogAt(const std::string& path, Severity threshold, uint64_t fileBytes = kLogFileBytes,
                int files = kLogFiles);

/// Closes the log; later records are dropped (tests).
void stopLog();

/// True when a record of `severity` would be written; records that are not
/// written are never built.
bool logEnabled(Severity severity);

/// Name of the operation as records show it, from the compiler's signature:
/// "lumra::ImageScanning::openDSM" for class members, bare "createAnswer"
/// for free functions of the lumra namespace.
std::string_view logFunctionName(std::string_view prettyFunction);

/// Appends UTF-8 `text` to `out` with control characters escaped ("\n",
/// "\xNN"), and C1, line-separator and bidirectional controls as "\uXXXX":
/// a logged value never starts a line or disguises the rest of its own.
void appendLogText(std::string_view text, std::string* out);

/// One record, built by stream insertion and written when destroyed.
/// Narrow text is taken as ANSI (UTF-8 on POSIX), wide text as UTF-16.
class LogRecord {
 public:
  LogRecord(Severity severity, std::string_view function, int line);
  ~LogRecord();
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;

  LogRecord& operator<<(std::string_view text);
  LogRecord& operator<<(const char* text) { return *this << std::string_view(text ? text : ""); }
  LogRecord& operator<<(const std::string& text) { return *this << std::string_view(text); }
  LogRecord& operator<<(std::u16string_view text);
  LogRecord& operator<<(const char16_t* text) { return *this << std::u16string_view(text); }
  LogRecord& operator<<(const std::u16string& text) { return *this << std::u16string_view(text); }
  LogRecord& operator<<(char c) { return *this << std::string_view(&c, 1); }
  LogRecord& operator<<(bool value) { return *this << (value ? "1" : "0"); }
  LogRecord& operator<<(double value);
  template <typename T>
  std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>,
                   LogRecord&>
  operator<<(T value) {
    if constexpr (std::is_signed_v<T>) return appendSigned(static_cast<int64_t>(value));
    else return appendUnsigned(static_cast<uint64_t>(value));
  }

 private:
  LogRecord& appendSigned(int64_t value);
  LogRecord& appendUnsigned(uint64_t value);

  Severity severity_;
  std::string text_;  // "[function@line] message", UTF-8
};

}  // namespace lumra

/// Writes a record under the enclosing function's name:
///   LOG_DEBUG << "Read message size: " << length;
/// A loop of at most one pass rather than if/else: safe inside an unbraced
/// if, without the compiler's dangling-else warning.
#define LUMRA_LOG_AS(severity, name)                                              \
  for (bool lumra_log_once_ = ::lumra::logEnabled(::lumra::Severity::severity); \
       lumra_log_once_; lumra_log_once_ = false)                                \
  ::lumra::LogRecord(::lumra::Severity::severity, (name), __LINE__)
#define LUMRA_LOG(severity) LUMRA_LOG_AS(severity, ::lumra::logFunctionName(__PRETTY_FUNCTION__))

#define LOG_FATAL LUMRA_LOG(fatal)
#define LOG_ERROR LUMRA_LOG(error)
#define LOG_WARNING LUMRA_LOG(warning)
#define LOG_INFO LUMRA_LOG(info)
#define LOG_DEBUG LUMRA_LOG(debug)
#define LOG_VERBOSE LUMRA_LOG(verbose)

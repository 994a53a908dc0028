#include "log/log.h"

#include <spdlog/details/os.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include <utf8.h>

#include "platform/open_file.h"
#include "platform/win32.h"

namespace lumra {
namespace {

std::atomic<int> gThreshold{static_cast<int>(Severity::none)};
std::mutex gLoggerMutex;
std::shared_ptr<spdlog::logger> gLogger;

spdlog::level::level_enum toSpdlog(Severity severity) {
  switch (severity) {
    case Severity::fatal: return spdlog::level::critical;
    case Severity::error: return spdlog::level::err;
    case Severity::warning: return spdlog::level::warn;
    case Severity::info: return spdlog::level::info;
    case Severity::debug: return spdlog::level::debug;
    case Severity::verbose: return spdlog::level::trace;
    case Severity::none: break;
  }
  return spdlog::level::off;
}

const char* severityName(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::critical: return "FATAL";
    case spdlog::level::err: return "ERROR";
    case spdlog::level::warn: return "WARN ";
    case spdlog::level::info: return "INFO ";
    case spdlog::level::debug: return "DEBUG";
    case spdlog::level::trace: return "VERB ";
    default: return "NONE ";
  }
}

// "2024-03-05 14:05:09.042 DEBUG [4711] [startLog@84] Start ..." — the
// payload already holds "[function@line] message".
void formatRecord(const spdlog::details::log_msg& msg, spdlog::memory_buf_t* dest) {
  auto since = msg.time.time_since_epoch();
  std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  int millis = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
  std::tm local = spdlog::details::os::localtime(seconds);  // thread-safe
  char head[96];
  int n = std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d %s [%lu] ",
                        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec, millis, severityName(msg.level),
                        static_cast<unsigned long>(msg.thread_id));
  dest->append(head, head + n);
  dest->append(msg.payload.begin(), msg.payload.end());
  dest->push_back('\n');
}

// Appends to the file and rolls once it has grown past the limit, before the
// next record: the current file becomes NAME.1.EXT, older ones move up, the
// oldest goes. A file that starts empty gets the UTF-8 byte-order mark.
class RollingSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  RollingSink(std::string path, uint64_t fileBytes, int files)
      : path_(std::move(path)), fileBytes_(fileBytes), files_(files) {
    open();
  }
  ~RollingSink() override {
    if (file_) std::fclose(file_);
  }
  bool isOpen() const { return file_ != nullptr; }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (size_ > fileBytes_) roll();
    if (!file_) return;  // no file: records are dropped
    spdlog::memory_buf_t line;
    formatRecord(msg, &line);
    size_ += std::fwrite(line.data(), 1, line.size(), file_);
  }
  void flush_() override {
    if (file_) std::fflush(file_);
  }
  void set_pattern_(const std::string&) override {}
  void set_formatter_(std::unique_ptr<spdlog::formatter>) override {}

 private:
  void open() {
    file_ = openOwnFile(path_, OpenFor::kAppend);
    if (!file_) return;
    std::fseek(file_, 0, SEEK_END);
    long at = std::ftell(file_);
    size_ = at > 0 ? static_cast<uint64_t>(at) : 0;
    if (size_ == 0) size_ = std::fwrite("\xEF\xBB\xBF", 1, 3, file_);
  }

  // "dir/LumraImageScanning.log", 3 -> "dir/LumraImageScanning.3.log".
  std::string numbered(int index) const {
    size_t slash = path_.find_last_of("/\\");
    size_t dot = path_.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
      return path_ + "." + std::to_string(index);
    return path_.substr(0, dot) + "." + std::to_string(index) + path_.substr(dot);
  }

  void roll() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (files_ > 1) {
      std::remove(numbered(files_ - 1).c_str());
      for (int i = files_ - 2; i >= 1; --i) std::rename(numbered(i).c_str(), numbered(i + 1).c_str());
      std::rename(path_.c_str(), numbered(1).c_str());
    } else {
      std::remove(path_.c_str());
    }
    open();
  }

  std::string path_;
  uint64_t fileBytes_;
  int files_;
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
};

// The code point of an escaped UTF-8 sequence at `p` (`n` bytes left), with
// its length; 0 when the sequence is left as it is. C1 controls, line and
// paragraph separators and bidirectional controls would break a line or
// make it read otherwise in a viewer.
uint32_t disguising(const unsigned char* p, size_t n, size_t* length) {
  if (n >= 2 && p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
    *length = 2;
    return p[1];
  }
  if (n >= 2 && p[0] == 0xD8 && p[1] == 0x9C) {  // U+061C
    *length = 2;
    return 0x061C;
  }
  if (n >= 3 && p[0] == 0xE2 && (p[1] == 0x80 || p[1] == 0x81)) {
    uint32_t c = 0x2000 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    if (c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) {
      *length = 3;
      return c;
    }
  }
  return 0;
}

}  // namespace

void appendLogText(std::string_view text, std::string* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t plain = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < n;) {
    unsigned char b = p[i];
    char escape[12] = {0};
    size_t length = 1;
    if (b < 0x20 || b == 0x7F) {
      const char* named = b == '\n' ? "\\n" : b == '\r' ? "\\r" : b == '\t' ? "\\t" : nullptr;
      if (named) std::snprintf(escape, sizeof escape, "%s", named);
      else std::snprintf(escape, sizeof escape, "\\x%02X", b);
    } else if (b == 0xC2 || b == 0xD8 || b == 0xE2) {
      if (uint32_t c = disguising(p + i, n - i, &length)) std::snprintf(escape, sizeof escape, "\\u%04X", c);
    }
    if (escape[0] == 0) {
      ++i;
      continue;
    }
    out->append(text.data() + plain, i - plain);
    out->append(escape);
    i += length;
    plain = i;
  }
  out->append(text.data() + plain, n - plain);
}

void startLogAt(const std::string& path, Severity threshold, uint64_t fileBytes, int files) {
  auto sink = std::make_shared<RollingSink>(path, fileBytes, files);
  std::shared_ptr<spdlog::logger> logger;
  if (sink->isOpen()) {
    logger = std::make_shared<spdlog::logger>("lumra", std::move(sink));
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);
  }
  {
    std::lock_guard<std::mutex> lock(gLoggerMutex);
    gLogger = logger;
  }
  gThreshold = logger ? static_cast<int>(threshold) : static_cast<int>(Severity::none);
  LUMRA_LOG_AS(debug, "startLog") << "Start LumraImageScanning...";
}

void startLog(Severity threshold) {
  char folder[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, folder);
  // Without a private temp folder there is no safe place for the log: the
  // current folder may be anybody's.
  if (length == 0 || length > MAX_PATH) return;
  startLogAt(std::string(folder, length) + "LumraImageScanning.log", threshold);
}

void stopLog() {
  gThreshold = static_cast<int>(Severity::none);
  std::lock_guard<std::mutex> lock(gLoggerMutex);
  gLogger.reset();
}

bool logEnabled(Severity severity) {
  return static_cast<int>(severity) <= gThreshold.load(std::memory_order_relaxed) &&
         severity != Severity::none;
}

std::string_view logFunctionName(std::string_view pretty) {
  size_t open = pretty.find('(');
  if (open == std::string_view::npos) return pretty;
  std::string_view head = pretty.substr(0, open);
  size_t space = head.rfind(' ');
  std::string_view name = space == std::string_view::npos ? head : head.substr(space + 1);
  while (!name.empty() && (name.front() == '*' || name.front() == '&')) name.remove_prefix(1);
  constexpr std::string_view kNamespace = "lumra::";
  if (name.substr(0, kNamespace.size()) == kNamespace &&
      name.find("::", kNamespace.size()) == std::string_view::npos)
    name.remove_prefix(kNamespace.size());
  return name;
}

LogRecord::LogRecord(Severity severity, std::string_view function, int line)
    : severity_(severity) {
  text_.reserve(96);
  text_ += '[';
  text_ += function;
  text_ += '@';
  appendSigned(line);
  text_ += "] ";
}

LogRecord::~LogRecord() {
  std::shared_ptr<spdlog::logger> logger;
  {
    std::lock_guard<std::mutex> lock(gLoggerMutex);
    logger = gLogger;
  }
  if (logger) logger->log(toSpdlog(severity_), spdlog::string_view_t(text_.data(), text_.size()));
}

LogRecord& LogRecord::operator<<(std::string_view text) {
  appendLogText(text, &text_);
  return *this;
}

LogRecord& LogRecord::operator<<(std::u16string_view text) {
  // Lone surrogates must not cost the record: replace what does not convert.
  std::u16string clean;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      clean += c;
      clean += text[++i];
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      clean += u'\uFFFD';
    } else {
      clean += c;
    }
  }
  std::string utf8;
  utf8::unchecked::utf16to8(clean.begin(), clean.end(), std::back_inserter(utf8));
  appendLogText(utf8, &text_);
  return *this;
}

LogRecord& LogRecord::operator<<(double value) {
  char buffer[32];
  int n = std::snprintf(buffer, sizeof buffer, "%g", value);
  text_.append(buffer, n);
  return *this;
}

LogRecord& LogRecord::appendSigned(int64_t value) {
  text_ += std::to_string(value);
  return *this;
}

LogRecord& LogRecord::appendUnsigned(uint64_t value) {
  text_ += std::to_string(value);
  return *this;
}

}  // namespace lumra

#include "host/log.h"

#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include <utf8.h>

#include "platform/win32.h"

namespace lumra {
namespace {

constexpr size_t kLogFileSize = 10000000;
// The current file and nine numbered ones: ten files at most.
constexpr size_t kLogRolledFiles = 9;

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
class TextFormatter final : public spdlog::formatter {
 public:
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
    auto since = msg.time.time_since_epoch();
    std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    int millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
    // The sink calls this under its own lock, so localtime's buffer is ours.
    std::tm local = *std::localtime(&seconds);
    char head[96];
    int n = std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d %s [%lu] ",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, millis, severityName(msg.level),
                          static_cast<unsigned long>(msg.thread_id));
    dest.append(head, head + n);
    dest.append(msg.payload.begin(), msg.payload.end());
    dest.push_back('\n');
  }
  std::unique_ptr<spdlog::formatter> clone() const override {
    return std::make_unique<TextFormatter>();
  }
};

}  // namespace

void startLogAt(const std::string& path, Severity threshold) {
  std::shared_ptr<spdlog::logger> logger;
  try {
    spdlog::file_event_handlers handlers;
    // A file that starts empty gets the UTF-8 byte-order mark.
    handlers.after_open = [](const spdlog::filename_t&, std::FILE* file) {
      if (std::fseek(file, 0, SEEK_END) == 0 && std::ftell(file) == 0)
        std::fwrite("\xEF\xBB\xBF", 1, 3, file);
    };
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        path, kLogFileSize, kLogRolledFiles, false, handlers);
    sink->set_formatter(std::make_unique<TextFormatter>());
    logger = std::make_shared<spdlog::logger>("lumra", std::move(sink));
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);
  } catch (const std::exception&) {
    logger.reset();  // No file: records are dropped and the host runs on.
  }
  {
    std::lock_guard<std::mutex> lock(gLoggerMutex);
    gLogger = logger;
  }
  gThreshold = logger ? static_cast<int>(threshold) : static_cast<int>(Severity::none);
  LOG_DEBUG << "Start LumraImageScanning...";
}

void startLog(Severity threshold) {
  char folder[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, folder);
  std::string path;
  if (length > 0 && length <= MAX_PATH) path.assign(folder, length);
  path += "LumraImageScanning.log";
  startLogAt(path, threshold);
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
  text_ += text;
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
  utf8::unchecked::utf16to8(clean.begin(), clean.end(), std::back_inserter(text_));
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

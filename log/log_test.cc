#include "log/log.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace lumra {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    folder_ = (std::filesystem::temp_directory_path() / ("lumra-log-" + std::to_string(random())))
                  .string();
    std::filesystem::create_directories(folder_);
    path_ = folder_ + "/LumraImageScanning.log";
  }
  void TearDown() override {
    stopLog();
    std::filesystem::remove_all(folder_);
  }
  std::string folder_, path_;
};

const std::regex kLine(
    R"(^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) (FATAL|ERROR|WARN |INFO |DEBUG|VERB ) \[(\d+)\] \[([^@\]]+)@(\d+)\] (.*)$)");

TEST_F(LogFile, RecordsFollowTheTextLayout) {
  LOG_DEBUG << "before start is dropped";
  startLogAt(path_, Severity::debug);
  LOG_VERBOSE << "Read message: " << u"dropped";
  LUMRA_LOG_AS(error, "lumra::ImageScanning::openDSM") << "Cannot " << 42u << ' ' << -7 << (std::u16string(u" \u00e9") + char16_t(0xD800));
  LUMRA_LOG_AS(warning, "main") << "w";
  LUMRA_LOG_AS(info, "main") << "i";
  LUMRA_LOG_AS(fatal, "main") << "f";
  stopLog();
  LUMRA_LOG_AS(error, "main") << "after stop is dropped";

  std::string text = ReadFile(path_);
  ASSERT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
  auto lines = Lines(text.substr(3));
  ASSERT_EQ(lines.size(), 5u) << text;
  struct Expected {
    std::string severity, function, message;
  };
  const Expected expected[] = {
      {"DEBUG", "startLog", "Start LumraImageScanning..."},
      {"ERROR", "lumra::ImageScanning::openDSM", "Cannot 42 -7 \xC3\xA9\xEF\xBF\xBD"},
      {"WARN ", "main", "w"},
      {"INFO ", "main", "i"},
      {"FATAL", "main", "f"},
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, kLine)) << lines[i];
    EXPECT_EQ(m[8], expected[i].severity);
    EXPECT_EQ(std::stoul(m[9]), GetCurrentThreadId());
    EXPECT_EQ(m[10], expected[i].function);
    EXPECT_EQ(m[12], expected[i].message);
    EXPECT_LE(std::stoi(m[2]), 12);
    EXPECT_LE(std::stoi(m[4]), 23);
  }
  // A later run appends its start record, without a second byte-order mark.
  startLogAt(path_, Severity::debug);
  stopLog();
  text = ReadFile(path_);
  EXPECT_EQ(text.find("\xEF\xBB\xBF", 3), std::string::npos);
  lines = Lines(text.substr(3));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_NE(lines[5].find("] [startLog@"), std::string::npos);
  EXPECT_NE(lines[5].find("] Start LumraImageScanning..."), std::string::npos);
}

// A record the threshold drops is never built, and the macro nests safely
// inside an unbraced if/else.
TEST_F(LogFile, DroppedRecordsAreNotBuilt) {
  startLogAt(path_, Severity::debug);
  int built = 0;
  auto text = [&built] {
    ++built;
    return std::string("x");
  };
  LOG_VERBOSE << text();
  EXPECT_EQ(built, 0);
  LOG_DEBUG << text();
  EXPECT_EQ(built, 1);
  bool elseTaken = false;
  if (built == 0) LOG_ERROR << text(); else elseTaken = true;
  EXPECT_TRUE(elseTaken);
  EXPECT_EQ(built, 1);
}

TEST_F(LogFile, RollsPastTheLimitAndKeepsAtMostTheFileCount) {
  constexpr uint64_t kBytes = 2000;
  startLogAt(path_, Severity::debug, kBytes, 4);
  for (int i = 0; i < 400; ++i) LUMRA_LOG_AS(debug, "main") << "record " << i;
  stopLog();
  std::vector<std::string> names;
  for (auto& entry : std::filesystem::directory_iterator(folder_)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"LumraImageScanning.1.log", "LumraImageScanning.2.log",
                                             "LumraImageScanning.3.log", "LumraImageScanning.log"}));
  for (const auto& name : names) {
    std::string text = ReadFile(folder_ + "/" + name);
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF") << name;
    // A file rolls only once it has grown past the limit: by one record at most.
    if (name != "LumraImageScanning.log") {
      EXPECT_GT(text.size(), kBytes);
      EXPECT_LT(text.size(), kBytes + 100);
    }
  }
  // The newest record is in the current file, the ones before it in .1.
  EXPECT_NE(ReadFile(path_).find("record 399\n"), std::string::npos);
  auto previous = Lines(ReadFile(folder_ + "/LumraImageScanning.1.log"));
  auto current = Lines(ReadFile(path_).substr(3));
  std::smatch a, b;
  ASSERT_TRUE(std::regex_match(previous.back(), a, kLine));
  ASSERT_TRUE(std::regex_match(current.front(), b, kLine));
  EXPECT_EQ(std::stoi(a[12].str().substr(7)) + 1, std::stoi(b[12].str().substr(7)));
}

TEST_F(LogFile, ConcurrentWritersKeepWholeLines) {
  startLogAt(path_, Severity::debug);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) LUMRA_LOG_AS(debug, "TWAIN_Callback") << "thread " << t << " record " << i;
    });
  }
  for (auto& thread : threads) thread.join();
  stopLog();
  auto lines = Lines(ReadFile(path_).substr(3));
  EXPECT_EQ(lines.size(), 801u);
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, kLine)) << line;
}

TEST_F(LogFile, UnopenableFileOrPlantedLinkDropsRecords) {
  const std::string target = folder_ + "/profile";
  std::ofstream(target) << "keep";
  std::vector<std::string> paths = {folder_ + "/missing/LumraImageScanning.log"};
  std::error_code noLinks;  // Wine has none
  std::filesystem::create_symlink(target, path_, noLinks);
  if (!noLinks) paths.push_back(path_);
  for (const std::string& path : paths) {
    startLogAt(path, Severity::debug);
    EXPECT_FALSE(logEnabled(Severity::error));
    LUMRA_LOG_AS(error, "main") << "dropped";
  }
  EXPECT_EQ(ReadFile(target), "keep");
}

TEST(LogText, ValuesCannotBreakOrDisguiseTheirLine) {
  struct Case {
    std::string value, logged;
  };
  const Case cases[] = {
      {"m1\ncurl x | sh\n", "m1\\ncurl x | sh\\n"},
      {std::string("a\0b\r\t\x1B[2J\x7F", 10), "a\\x00b\\r\\t\\x1B[2J\\x7F"},
      {"C:\\scans\\\xC3\xA9t\xC3\xA9", "C:\\scans\\\xC3\xA9t\xC3\xA9"},  // backslashes and letters stay
      {"x\xC2\x85y\xE2\x80\xA8z\xE2\x80\xAE!\xE2\x81\xA6", "x\\u0085y\\u2028z\\u202E!\\u2066"},
      {"cut\xE2\x80", "cut\xE2\x80"},  // a truncated sequence is not read past
  };
  for (const Case& c : cases) {
    std::string out = "[f@1] ";
    appendLogText(c.value, &out);
    EXPECT_EQ(out, "[f@1] " + c.logged);
  }
}

// Static members and main are Protocol.LogTellsEachRequestAndAnswer's.
TEST(LogFunctionName, QualifiesClassMembersOnly) {
  struct Case {
    std::string pretty, name;
  };
  const Case cases[] = {
      {"void lumra::createAnswer(const lumra::JsonValue*, uint32_t)", "createAnswer"},
      {"std::map<unsigned int, TW_IDENTITY> lumra::ImageScanning::getSources()",
       "lumra::ImageScanning::getSources"},
      {"const char* lumra::name()", "name"},
  };
  for (const Case& c : cases) EXPECT_EQ(logFunctionName(c.pretty), c.name);
}

}  // namespace
}  // namespace lumra

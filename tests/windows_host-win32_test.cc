// What only the real Win32 API shows: our manager found where Windows keeps
// an installed one, and temp and working folders as GetTempPathA and the
// ANSI code page give them (backslashes, non-ASCII names).
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/text.h"
#include "platform/win32.h"
#include "tests/host_session.h"
#include "tools/host_client.h"

namespace lumra::test {
namespace {

namespace fs = std::filesystem;

constexpr int kWineTimeoutMs = 60000;

std::string SystemFolder() {
  char buffer[MAX_PATH] = {};
  UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
  return std::string(buffer, length < MAX_PATH ? length : 0);
}

// Our manager and data source in the system folder for one test, as a
// TWAIN installation would put them; removed afterwards.
class InstalledManager {
 public:
  InstalledManager() {
    std::string system = SystemFolder();
    std::error_code ec;
    fs::create_directories(system + "\\twain", ec);
    for (const char* name : {"TWAINDSM.DLL", "TWAIN_32.DLL"}) {
      copy(std::string(LUMRA_BIN_DIR) + "/" + name, system + "\\" + name);
    }
    copy(std::string(LUMRA_BIN_DIR) + "/twain/virtual.ds", system + "\\twain\\virtual.ds");
  }
  ~InstalledManager() {
    std::error_code ec;
    for (const std::string& path : installed_) fs::remove(path, ec);
    fs::remove(SystemFolder() + "\\twain", ec);
  }
  InstalledManager(const InstalledManager&) = delete;
  InstalledManager& operator=(const InstalledManager&) = delete;

 private:
  void copy(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    EXPECT_FALSE(ec) << from << " -> " << to << ": " << ec.message();
    installed_.push_back(to);
  }
  std::vector<std::string> installed_;
};

// A copy of the host alone in `folder`, as a user installs it.
std::string LoneHost(const std::string& folder) {
  std::string copy = folder + "\\lumra-scan-host.exe";
  std::error_code ec;
  fs::copy_file(HostPath(), copy, ec);
  EXPECT_FALSE(ec) << ec.message();
  return copy;
}

std::string Utf8ToAnsi(const std::string& utf8) {
  std::u16string wide;
  toUtf16(utf8, &wide);
  return wideToAnsi(wide);
}

// A non-ASCII name the ANSI code page can hold (the host's paths are ANSI).
std::string NonAsciiName() {
  for (const char* candidate : {"Sc\xC3\xA4n \xC3\xA9t\xC3\xA9", "\xD0\xA1\xD0\xBA\xD0\xB0\xD0\xBD",
                                "\xE6\x89\xAB\xE6\x8F\x8F"}) {
    std::u16string wide;
    std::string text(candidate);
    toUtf16(text, &wide);
    BOOL usedDefault = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(wide.data()),
                        static_cast<int>(wide.size()), nullptr, 0, nullptr, &usedDefault);
    if (!usedDefault) return text;
  }
  return "";
}

TEST(WindowsHost, ScansThroughTheManagerInstalledInTheSystemFolder) {
  InstalledManager installed;
  std::string lonely = MakeTempFolder("lumra_installed_");
  ASSERT_FALSE(lonely.empty());
  TestHost host;
  std::string err;
  ASSERT_TRUE(host.start("width = 80\nheight = 60\npages = 2\n", &err, LoneHost(lonely))) << err;
  struct Case {
    const char* name;
    const char* extra;  // TWAIN 2 with its callback, or TWAIN 1 with the event loop
    const char* format;
    const char* extension;
    const char* command;
  };
  const Case cases[] = {
      {"TWAINDSM.DLL, files", "", "jpeg", "jpg", "scannerProcessingFiles"},
      {"TWAIN_32.DLL, content", R"(,"isDsm2":false)", "png", "png", "scannerProcessing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto list = host.request(
        std::string(R"({"messageId":"l","command":"scannersList")") + c.extra + "}", &err,
        kWineTimeoutMs);
    ASSERT_NE(list, nullptr) << err;
    EXPECT_EQ(StringAt(list.get(), {u"status", u"result"}), "success");
    const JsonValue* scanners = list->find(u"scanners");
    ASSERT_NE(scanners, nullptr);
    EXPECT_GE(scanners->asArray().size(), 1u);

    auto scan = host.request(std::string(R"({"messageId":"s","command":")") + c.command +
                                 R"(","settings":{"format":{"type":")" + c.format + "\"}}" +
                                 c.extra + "}",
                             &err, kWineTimeoutMs);
    ASSERT_NE(scan, nullptr) << err;
    ASSERT_EQ(StringAt(scan.get(), {u"status", u"result"}), "success")
        << StringAt(scan.get(), {u"status", u"description"});
    std::vector<std::string> pages;
    if (const JsonValue* files = scan->find(u"files"); files != nullptr) {
      for (const auto& f : files->asArray()) {
        pages.push_back(ReadFile(Utf8ToAnsi(StringAt(f.get(), {u"fileName"}))));
      }
    } else if (const JsonValue* list = scan->find(u"pages"); list != nullptr) {
      for (const auto& p : list->asArray()) pages.push_back(decodeBase64(ValueAt(p.get(), {u"content"})->asString()));
    }
    ASSERT_EQ(pages.size(), 2u);
    for (const std::string& bytes : pages) {
      Decoded image;
      ASSERT_TRUE(decodePage(bytes, c.extension, &image));
      EXPECT_EQ(image.width, 80u);
      EXPECT_EQ(image.height, 60u);
    }
  }
  EXPECT_EQ(host.log().find("Cannot load library"), std::string::npos);
  RemoveTree(lonely);
}

// The host's temp folder as Windows gives it: backslashes, and a name that
// is not ASCII. Log and default working folder follow GetTempPathA.
TEST(WindowsHost, LogAndWorkingFoldersFollowTheTempFolder) {
  std::string name = NonAsciiName();
  if (name.empty()) GTEST_SKIP() << "the ANSI code page holds none of the candidate names";
  std::string base = MakeTempFolder("lumra_temp_");
  ASSERT_FALSE(base.empty());
  std::string tmp = base + "/" + Utf8ToAnsi(name);
  for (char& c : tmp) {
    if (c == '/') c = '\\';
  }
  ASSERT_TRUE(CreateDirectoryA(tmp.c_str(), nullptr));

  TestHost host;
  std::string err;
  ASSERT_TRUE(host.start("", &err, "", tmp)) << err;

  // No working folder in the request: the default one under the temp folder.
  auto answer = host.request(
      R"({"messageId":"m","command":"scannerProcessingFiles","settings":{"format":{"type":"bmp"}}})",
      &err, kWineTimeoutMs);
  ASSERT_NE(answer, nullptr) << err;
  ASSERT_EQ(StringAt(answer.get(), {u"status", u"result"}), "success");
  const JsonValue* files = answer->find(u"files");
  ASSERT_NE(files, nullptr);
  ASSERT_FALSE(files->asArray().empty());
  std::string first = Utf8ToAnsi(StringAt(files->asArray()[0].get(), {u"fileName"}));
  EXPECT_EQ(first, tmp + "\\lumra_image_scan\\page_0.bmp");
  EXPECT_EQ(ReadFile(first).substr(0, 2), "BM");

  // A working folder of the request with the same non-ASCII name.
  std::string work = tmp + "\\" + Utf8ToAnsi(name) + "\\";
  ASSERT_TRUE(CreateDirectoryA(work.c_str(), nullptr));
  answer = host.request(R"({"messageId":"w","command":"scannerProcessingFiles",)"
                        R"("workingDirectory":")" + JsonEscaped(Utf8(ansiToWide(work))) +
                            R"(","settings":{"format":{"type":"png"}}})",
                        &err, kWineTimeoutMs);
  ASSERT_NE(answer, nullptr) << err;
  ASSERT_EQ(StringAt(answer.get(), {u"status", u"result"}), "success");
  files = answer->find(u"files");
  ASSERT_NE(files, nullptr);
  ASSERT_FALSE(files->asArray().empty());
  std::string page = Utf8ToAnsi(StringAt(files->asArray()[0].get(), {u"fileName"}));
  EXPECT_EQ(page, work + "page_0.png");
  Decoded image;
  EXPECT_TRUE(decodePage(ReadFile(page), "png", &image));
  host.finish();
  EXPECT_EQ(host.log().substr(0, 3), "\xEF\xBB\xBF");
  RemoveTree(base);
}

}  // namespace
}  // namespace lumra::test

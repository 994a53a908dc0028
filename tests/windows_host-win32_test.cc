// What only the real Win32 API shows: our manager found where Windows keeps
// an installed one, temp and working folders as GetTempPathA and the ANSI
// code page give them (backslashes, non-ASCII names), and frames that stay
// byte-exact on pipes where the C runtime would translate text.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <utf8.h>

#include "platform/text.h"
#include "platform/win32.h"
#include "tests/scan_support.h"

namespace lumra::test {
namespace {

namespace fs = std::filesystem;

constexpr int kTimeoutMs = 60000;

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
  utf8::utf8to16(utf8.begin(), utf8.end(), std::back_inserter(wide));
  return WideToAnsi(wide);
}

// A non-ASCII name the ANSI code page can hold (the host's paths are ANSI).
std::string NonAsciiName() {
  for (const char* candidate : {"Sc\xC3\xA4n \xC3\xA9t\xC3\xA9", "\xD0\xA1\xD0\xBA\xD0\xB0\xD0\xBD",
                                "\xE6\x89\xAB\xE6\x8F\x8F"}) {
    std::u16string wide;
    std::string text(candidate);
    utf8::utf8to16(text.begin(), text.end(), std::back_inserter(wide));
    BOOL usedDefault = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(wide.data()),
                        static_cast<int>(wide.size()), nullptr, 0, nullptr, &usedDefault);
    if (!usedDefault) return text;
  }
  return "";
}

std::string JsonEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// The answer as JSON; nullptr when it is not UTF-8 JSON.
std::unique_ptr<JsonValue> ParseAnswer(const std::string& body) {
  if (!utf8::is_valid(body.begin(), body.end())) return nullptr;
  std::u16string wide;
  utf8::utf8to16(body.begin(), body.end(), std::back_inserter(wide));
  return parseJson(wide);
}

std::string Utf8Of(const JsonValue* root, const std::vector<std::u16string>& path) {
  return StringAt(root, path);
}

TEST(WindowsHost, ScansThroughTheManagerInstalledInTheSystemFolder) {
  InstalledManager installed;
  std::string lonely = MakeTempFolder("lumra_installed_");
  ASSERT_FALSE(lonely.empty());
  ScanHost host;
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
      {"TWAIN_32.DLL, files", R"(,"isDsm2":false)", "png", "png", "scannerProcessingFiles"},
      {"TWAINDSM.DLL, content", "", "tiff", "tif", "scannerProcessing"},
      {"TWAIN_32.DLL, content", R"(,"isDsm2":false)", "jpeg", "jpg", "scannerProcessing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto list = host.request(
        std::string(R"({"messageId":"l","command":"scannersList")") + c.extra + "}", &err,
        kTimeoutMs);
    ASSERT_NE(list, nullptr) << err;
    EXPECT_EQ(Utf8Of(list.get(), {u"status", u"result"}), "success");
    const JsonValue* scanners = list->find(u"scanners");
    ASSERT_NE(scanners, nullptr);
    EXPECT_GE(scanners->asArray().size(), 1u);

    auto scan = host.request(std::string(R"({"messageId":"s","command":")") + c.command +
                                 R"(","settings":{"format":{"type":")" + c.format + "\"}}" +
                                 c.extra + "}",
                             &err, kTimeoutMs);
    ASSERT_NE(scan, nullptr) << err;
    ASSERT_EQ(Utf8Of(scan.get(), {u"status", u"result"}), "success")
        << Utf8Of(scan.get(), {u"status", u"description"});
    std::vector<std::string> pages;
    if (const JsonValue* files = scan->find(u"files"); files != nullptr) {
      for (const auto& f : files->asArray()) {
        std::string bytes;
        ASSERT_TRUE(ReadFile(Utf8ToAnsi(Utf8Of(f.get(), {u"fileName"})), &bytes));
        pages.push_back(bytes);
      }
    } else if (const JsonValue* list = scan->find(u"pages"); list != nullptr) {
      for (const auto& p : list->asArray()) {
        std::string bytes;
        ASSERT_TRUE(DecodeBase64Text(ValueAt(p.get(), {u"content"})->asString(), &bytes));
        pages.push_back(bytes);
      }
    }
    ASSERT_EQ(pages.size(), 2u);
    for (const std::string& bytes : pages) {
      Decoded image;
      ASSERT_TRUE(DecodeImage(bytes, c.extension, &image, &err)) << err;
      EXPECT_EQ(image.width, 80);
      EXPECT_EQ(image.height, 60);
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

  ChildProcess host;
  ChildOptions options;
  options.env["TMP"] = tmp;
  options.env["TEMP"] = tmp;
  std::string err;
  ASSERT_TRUE(host.start(std::string(LUMRA_BIN_DIR) + "/lumra-scan-host.exe", options, &err)) << err;

  // No working folder in the request: the default one under the temp folder.
  ASSERT_TRUE(host.writeFrame(
      R"({"messageId":"m","command":"scannerProcessingFiles","settings":{"format":{"type":"bmp"}}})",
      &err));
  std::string body;
  ASSERT_TRUE(host.readFrame(&body, kTimeoutMs, &err)) << err;
  auto answer = ParseAnswer(body);
  ASSERT_NE(answer, nullptr) << body;
  ASSERT_EQ(Utf8Of(answer.get(), {u"status", u"result"}), "success") << body;
  const JsonValue* files = answer->find(u"files");
  ASSERT_NE(files, nullptr);
  ASSERT_FALSE(files->asArray().empty());
  std::string first = Utf8ToAnsi(Utf8Of(files->asArray()[0].get(), {u"fileName"}));
  EXPECT_EQ(first, tmp + "\\lumra_image_scan\\page_0.bmp");
  std::string bytes;
  ASSERT_TRUE(ReadFile(first, &bytes));
  EXPECT_EQ(bytes.substr(0, 2), "BM");

  // A working folder of the request with the same non-ASCII name.
  std::string work = tmp + "\\" + Utf8ToAnsi(name) + "\\";
  std::u16string workWide = AnsiToWide(work);
  std::string workUtf8;
  utf8::utf16to8(workWide.begin(), workWide.end(), std::back_inserter(workUtf8));
  ASSERT_TRUE(CreateDirectoryA(work.c_str(), nullptr));
  ASSERT_TRUE(host.writeFrame(R"({"messageId":"w","command":"scannerProcessingFiles",)"
                              R"("workingDirectory":")" +
                                  JsonEscaped(workUtf8) + R"(","settings":{"format":{"type":"png"}}})",
                              &err));
  ASSERT_TRUE(host.readFrame(&body, kTimeoutMs, &err)) << err;
  answer = ParseAnswer(body);
  ASSERT_NE(answer, nullptr) << body;
  ASSERT_EQ(Utf8Of(answer.get(), {u"status", u"result"}), "success") << body;
  files = answer->find(u"files");
  ASSERT_NE(files, nullptr);
  ASSERT_FALSE(files->asArray().empty());
  std::string page = Utf8ToAnsi(Utf8Of(files->asArray()[0].get(), {u"fileName"}));
  EXPECT_EQ(page, work + "page_0.png");
  Decoded image;
  ASSERT_TRUE(ReadFile(page, &bytes));
  ASSERT_TRUE(DecodeImage(bytes, "png", &image, &err)) << err;

  host.closeStdin();
  ExitStatus status;
  ASSERT_TRUE(host.waitExit(kTimeoutMs, &status));
  EXPECT_EQ(status.code, 0);
  std::string log;
  ASSERT_TRUE(ReadFile(tmp + "\\LumraImageScanning.log", &log));
  EXPECT_EQ(log.substr(0, 3), "\xEF\xBB\xBF");
  RemoveTree(base);
}

// Length prefixes and bodies full of the bytes a text-mode runtime changes
// (LF, CR, Ctrl-Z) pass both ways unchanged.
TEST(WindowsHost, FramesStayByteExact) {
  std::string tmp = MakeTempFolder("lumra_frames_");
  ASSERT_FALSE(tmp.empty());
  ChildProcess host;
  ChildOptions options;
  options.env = HostEnv(tmp);
  std::string err;
  ASSERT_TRUE(host.start(HostPath(), options, &err)) << err;
  // Requests and answers of every length from about 40 to 340 bytes: their
  // prefixes hold 0x0A, 0x0D and 0x1A.
  for (size_t n = 0; n < 300; ++n) {
    std::string id(n, 'i');
    std::string request = "\r\n{\"messageId\":\"" + id + "\",\"command\":\"nothing\"}\r\n";
    ASSERT_TRUE(host.writeFrame(request, &err));
    std::string body;
    ASSERT_TRUE(host.readFrame(&body, kTimeoutMs, &err)) << err << " at " << id.size();
    EXPECT_EQ(body, "{\"command\":\"nothing\",\"messageId\":\"" + id +
                        "\",\"status\":{\"code\":0,\"description\":\"Unknow request command "
                        "nothing\",\"result\":\"error\"}}");
  }
  // A body whose length prefix holds 0x1A: Ctrl-Z must not end the input.
  std::string padded = "{\"messageId\":\"z\",\"command\":\"nothing\"}";
  padded.append(0x1A1A - padded.size(), ' ');
  ASSERT_EQ(padded.size(), 0x1A1Au);
  ASSERT_TRUE(host.writeFrame(padded, &err));
  std::string body;
  ASSERT_TRUE(host.readFrame(&body, kTimeoutMs, &err)) << err;
  EXPECT_NE(body.find("\"messageId\":\"z\""), std::string::npos);
  host.closeStdin();
  std::string rest;
  ASSERT_TRUE(host.readToEnd(&rest, kTimeoutMs));
  EXPECT_EQ(rest, "");
  ExitStatus status;
  ASSERT_TRUE(host.waitExit(kTimeoutMs, &status));
  EXPECT_EQ(status.code, 0);
  RemoveTree(tmp);
}

}  // namespace
}  // namespace lumra::test

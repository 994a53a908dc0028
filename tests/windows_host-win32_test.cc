// What only the real Win32 API shows: temp and working folders as
// GetTempPathA and the ANSI code page give them (backslashes, non-ASCII
// names). The installed host finding an installed manager is the installer
// test's (tests/packages/msi_test.sh).
#include <string>

#include <gtest/gtest.h>

#include "platform/text.h"
#include "platform/win32.h"
#include "tests/host_session.h"
#include "tools/host_client.h"

namespace lumra::test {
namespace {

constexpr int kWineTimeoutMs = 60000;

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
  ASSERT_TRUE(host.start("", "", tmp));

  // No working folder in the request: the default one under the temp folder.
  auto answer = host.ask(
      R"({"messageId":"m","command":"scannerProcessingFiles","settings":{"format":{"type":"bmp"}}})",
      kWineTimeoutMs);
  ASSERT_EQ(Status(answer.get()), "success");
  const JsonValue* files = answer->find(u"files");
  ASSERT_NE(files, nullptr);
  ASSERT_FALSE(files->asArray().empty());
  std::string first = Utf8ToAnsi(StringAt(files->asArray()[0].get(), {u"fileName"}));
  EXPECT_EQ(first, tmp + "\\lumra_image_scan\\page_0.bmp");
  EXPECT_EQ(ReadFile(first).substr(0, 2), "BM");

  // A working folder of the request with the same non-ASCII name.
  std::string work = tmp + "\\" + Utf8ToAnsi(name) + "\\";
  ASSERT_TRUE(CreateDirectoryA(work.c_str(), nullptr));
  answer = host.ask(R"({"messageId":"w","command":"scannerProcessingFiles",)"
                    R"("workingDirectory":")" + JsonEscaped(toUtf8(ansiToWide(work))) +
                        R"(","settings":{"format":{"type":"png"}}})",
                    kWineTimeoutMs);
  ASSERT_EQ(Status(answer.get()), "success");
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

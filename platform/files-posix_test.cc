#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

// The temp folder is <TMPDIR or /tmp>/lumra-<uid>/, made private; a folder of
// that name that is not private and ours is refused.
TEST(TempPath, IsAPrivateFolderOfTheUserUnderTmpdir) {
  char pattern[] = "/tmp/lumra-temp-XXXXXX";
  const std::string root = ::mkdtemp(pattern);
  const std::string uid = std::to_string(::geteuid());
  auto prepare = [&](const std::string& base, const char* how) {
    std::filesystem::create_directories(base);
    std::string own = base + "/lumra-" + uid;
    if (std::string(how) == "open") {
      ::mkdir(own.c_str(), 0700);
      ::chmod(own.c_str(), 0750);
    } else if (std::string(how) == "symlink") {
      ::mkdir((base + "/elsewhere").c_str(), 0700);
      std::filesystem::create_directory_symlink(base + "/elsewhere", own);
    } else if (std::string(how) == "file") {
      std::ofstream(own) << "x";
    } else if (std::string(how) == "open parent") {
      ::chmod(base.c_str(), 0777);
    }
  };
  struct Case {
    const char* tmpdir;  // under root; nullptr: unset
    const char* planted;
    std::string expected;  // "" when refused
  };
  const Case cases[] = {
      {"/a", "", root + "/a/lumra-" + uid + "/"},
      {"/b/", "", root + "/b/lumra-" + uid + "/"},
      {nullptr, "", "/tmp/lumra-" + uid + "/"},
      {"/c", "open", ""},
      {"/d", "symlink", ""},
      {"/e", "file", ""},
      {"/f", "open parent", ""},
  };
  const char* old = ::getenv("TMPDIR");
  std::string saved = old ? old : "";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    if (c.tmpdir) {
      prepare(root + c.tmpdir, c.planted);
      ::setenv("TMPDIR", (root + c.tmpdir).c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    char buffer[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, buffer);
    if (c.expected.empty()) {
      EXPECT_EQ(n, 0u);
      EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
      continue;
    }
    EXPECT_EQ(std::string(buffer, n), c.expected);
    struct stat info;
    ASSERT_EQ(::lstat(c.expected.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    // Too small: the size needed, terminator included.
    EXPECT_EQ(GetTempPathA(2, buffer), c.expected.size() + 1);
  }
  if (old) ::setenv("TMPDIR", saved.c_str(), 1);
  else ::unsetenv("TMPDIR");
  std::filesystem::remove_all(root);
}

TEST(Files, CreateDirectoryAndDeleteFileReportLikeWindows) {
  char pattern[] = "/tmp/lumra-files-XXXXXX";
  std::string root = ::mkdtemp(pattern);
  std::string folder = root + "/scans/";
  EXPECT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryA(folder.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryA((root + "/a/b").c_str(), nullptr));  // one level only
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(CreateDirectoryA("", nullptr));

  std::string page = folder + "page_0.jpg";
  std::ofstream(page) << "x";
  std::string readOnly = folder + "page_1.jpg";
  std::ofstream(readOnly) << "x";
  ::chmod(readOnly.c_str(), 0444);

  struct Case {
    std::string path;
    bool deleted;
    DWORD error;
  };
  const Case cases[] = {
      {page, true, 0},
      {page, false, ERROR_FILE_NOT_FOUND},
      {readOnly, false, ERROR_ACCESS_DENIED},
      {folder, false, ERROR_ACCESS_DENIED},
      {"", false, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(DeleteFileA(c.path.c_str()) != FALSE, c.deleted);
    if (!c.deleted) {
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
  EXPECT_TRUE(std::filesystem::exists(readOnly));
  std::filesystem::remove_all(root);
}

TEST(CodePages, ConvertWithTheWin32SizeProtocol) {
  struct Case {
    std::string narrow;
    std::u16string wide;
  };
  const Case cases[] = {
      {"abc", u"abc"},
      {"C:\\scans\\\xC3\xA9t\xC3\xA9", u"C:\\scans\\\u00E9t\u00E9"},
      {"\xF0\x9F\x93\x84", u"\U0001F4C4"},
      {"bad\xFF", u"bad\uFFFD"},
  };
  for (const Case& c : cases) {
    int need = MultiByteToWideChar(CP_ACP, 0, c.narrow.data(), static_cast<int>(c.narrow.size()), nullptr, 0);
    ASSERT_EQ(need, static_cast<int>(c.wide.size()));
    std::u16string wide(need, u'\0');
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.narrow.data(), static_cast<int>(c.narrow.size()), wide.data(), need), need);
    EXPECT_EQ(wide, c.wide);
  }
  // Invalid bytes fail only when asked to.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3", 2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  // -1: the terminator is counted and converted.
  char16_t buffer[8];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "ab", -1, buffer, 8), 3);
  EXPECT_EQ(buffer[2], 0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abcdef", 6, buffer, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  const char16_t lone[] = {u'a', 0xD800, u'b'};
  BOOL usedDefault = FALSE;
  char out[16];
  int n = WideCharToMultiByte(CP_ACP, 0, lone, 3, out, 16, nullptr, &usedDefault);
  EXPECT_EQ(std::string(out, n), "a?b");
  EXPECT_TRUE(usedDefault);
  n = WideCharToMultiByte(CP_UTF8, 0, lone, 3, out, 16, nullptr, nullptr);
  EXPECT_EQ(std::string(out, n), "a\xEF\xBF\xBD" "b");
  const char16_t pair[] = {0xD83D, 0xDCC4, 0};
  n = WideCharToMultiByte(CP_ACP, 0, pair, -1, out, 16, nullptr, &usedDefault);
  EXPECT_EQ(std::string(out, n), std::string("\xF0\x9F\x93\x84", 5));
  EXPECT_FALSE(usedDefault);
  EXPECT_EQ(WideCharToMultiByte(12345, 0, pair, 2, out, 16, nullptr, nullptr), 0);
}

}  // namespace

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/text.h"
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

// UTF-8 is the ANSI code page here: bad bytes become U+FFFD, a lone
// surrogate the default character.
TEST(AnsiText, ConvertsAsTheUtf8CodePageDoes) {
  EXPECT_EQ(lumra::ansiToWide("C:\\\xC3\xA9\xF0\x9F\x93\x84"), u"C:\\\u00E9\U0001F4C4");
  EXPECT_EQ(lumra::wideToAnsi(u"C:\\\u00E9\U0001F4C4"), "C:\\\xC3\xA9\xF0\x9F\x93\x84");
  EXPECT_EQ(lumra::ansiToWide("bad\xFF"), u"bad\uFFFD");
  EXPECT_EQ(lumra::wideToAnsi(std::u16string{u'a', 0xD800, u'b'}), "a?b");
}

}  // namespace

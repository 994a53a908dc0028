#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

// Points TMPDIR at a private folder for one test, so lock files stay apart.
class PrivateTemp {
 public:
  PrivateTemp() {
    char pattern[] = "/tmp/lumra-platform-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    const char* old = ::getenv("TMPDIR");
    if (old) old_ = old, hadOld_ = true;
    ::setenv("TMPDIR", folder_.c_str(), 1);
  }
  ~PrivateTemp() {
    if (hadOld_) ::setenv("TMPDIR", old_.c_str(), 1);
    else ::unsetenv("TMPDIR");
    std::filesystem::remove_all(folder_);
  }
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_, old_;
  bool hadOld_ = false;
};

TEST(NamedMutex, ExistsWhileAHandleHoldsTheName) {
  PrivateTemp temp;
  const char* name = "lumraTestLock";
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name), nullptr);

  HANDLE first = CreateMutexA(nullptr, FALSE, name);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

  // Another open of the name sees it taken, as a second process would.
  HANDLE seen = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
  ASSERT_NE(seen, nullptr);
  EXPECT_TRUE(CloseHandle(seen));
  HANDLE again = CreateMutexA(nullptr, FALSE, name);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(CloseHandle(again));

  // Not created owned: releasing fails like on Windows, and keeps the name.
  EXPECT_FALSE(ReleaseMutex(first));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  HANDLE still = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
  EXPECT_NE(still, nullptr);
  CloseHandle(still);

  EXPECT_TRUE(CloseHandle(first));
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name), nullptr);

  HANDLE owned = CreateMutexA(nullptr, TRUE, name);
  EXPECT_TRUE(ReleaseMutex(owned));
  EXPECT_FALSE(ReleaseMutex(owned));
  CloseHandle(owned);
}

TEST(NamedMutex, LockFilesAreOwnRegularFilesInThePrivateTempFolder) {
  PrivateTemp temp;
  const std::string folder = temp.folder() + "/lumra-" + std::to_string(::geteuid());
  HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\a/b");
  ASSERT_NE(m, nullptr);
  int files = 0;
  for (auto& entry : std::filesystem::directory_iterator(folder)) {
    ++files;
    EXPECT_EQ(entry.path().filename().string(), "Global_a_b.lock");
  }
  EXPECT_EQ(files, 1);
  CloseHandle(m);

  // A link planted at the name neither takes the name nor is written through.
  std::filesystem::create_symlink(temp.folder() + "/target", folder + "/planted.lock");
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "planted"), nullptr);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "planted"), nullptr);
  EXPECT_FALSE(std::filesystem::exists(temp.folder() + "/target"));
}

TEST(Handles, BadHandlesFailCleanly) {
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(ReleaseMutex(nullptr));
  EXPECT_EQ(GetStdHandle(12345), INVALID_HANDLE_VALUE);
  DWORD written = 7;
  EXPECT_FALSE(WriteFile(nullptr, "x", 1, &written, nullptr));
  EXPECT_EQ(written, 0u);
}

TEST(Errors, LastErrorIsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  std::thread([] {
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    SetLastError(ERROR_FILE_NOT_FOUND);
  }).join();
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  LeaveCriticalSection(&section);
  int counter = 0;
  std::thread other([&] {
    EnterCriticalSection(&section);
    ++counter;
    LeaveCriticalSection(&section);
  });
  Sleep(20);
  EXPECT_EQ(counter, 0);
  LeaveCriticalSection(&section);
  other.join();
  EXPECT_EQ(counter, 1);
  DeleteCriticalSection(&section);
}

}  // namespace

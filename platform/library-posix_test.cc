#include <string>

#include "gtest/gtest.h"
#include "platform/library-posix.h"
#include "platform/paths.h"
#include "platform/win32.h"

namespace {

TEST(ModuleName, MapsTheTwainManagersAndKeepsTheRest) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"TWAINDSM.DLL", "libtwaindsm.so"}, {"twaindsm.dll", "libtwaindsm.so"},
      {"TWAIN_32.DLL", "libtwain_32.so"}, {"Twain_32.Dll", "libtwain_32.so"},
      {"virtual.ds", "virtual.ds"},       {"/abs/path/x.ds", "/abs/path/x.ds"},
      {"TWAINDSM.DLL.bak", "TWAINDSM.DLL.bak"},
  };
  for (const auto& c : cases) EXPECT_EQ(lumra::platform::mapModuleName(c.in), c.out) << c.in;
}

TEST(Library, LoadsFromTheExecutableFolderAndFindsExports) {
  // The platform library itself sits next to this test, as the manager sits
  // next to the host.
  HMODULE module = LoadLibraryA("liblumra_platform.so");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
  char path[4096];
  DWORD length = GetModuleFileNameA(module, path, sizeof path);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(std::string(path), lumra::executableFolder() + "liblumra_platform.so");
  EXPECT_NE(GetModuleHandleA("liblumra_platform.so"), nullptr);
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(Library, FallsBackToTheSystemSearch) {
  HMODULE libc = LoadLibraryA("libc.so.6");
  ASSERT_NE(libc, nullptr);
  EXPECT_NE(GetProcAddress(libc, "strlen"), nullptr);
  EXPECT_TRUE(FreeLibrary(libc));
}

TEST(Library, MissingModulesFailCleanly) {
  EXPECT_EQ(LoadLibraryA("no-such-module.ds"), nullptr);
  EXPECT_EQ(LoadLibraryA(""), nullptr);
  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(GetModuleHandleA("no-such-module.ds"), nullptr);
  EXPECT_EQ(GetProcAddress(nullptr, "x"), nullptr);
}

TEST(Library, OwnExecutableNameAndTruncation) {
  EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
  char path[4096];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  ASSERT_GT(length, 0u);
  std::string full(path);
  EXPECT_EQ(full.substr(0, full.rfind('/') + 1), lumra::executableFolder());
  char small[5];
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
  EXPECT_EQ(std::string(small), full.substr(0, 4));
}

}  // namespace

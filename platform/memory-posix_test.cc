#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

TEST(GlobalMemory, BlocksKnowTheirSizeAndStartZeroed) {
  struct Case {
    UINT flags;
    SIZE_T bytes;
  };
  const Case cases[] = {{GHND, 1}, {GHND, 40}, {GMEM_FIXED, 4096}, {GPTR, 3 << 20}, {GHND, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    HGLOBAL h = GlobalAlloc(c.flags, c.bytes);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GlobalSize(h), c.bytes);
    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    if (c.bytes > 0) {
      std::vector<unsigned char> zeros(c.bytes, 0);
      EXPECT_EQ(std::memcmp(p, zeros.data(), c.bytes), 0);
      std::memset(p, 0xAB, c.bytes);  // the whole block is writable
    }
    GlobalUnlock(h);
    EXPECT_EQ(GlobalFree(h), nullptr);
  }
}

TEST(GlobalMemory, LockCountsNest) {
  HGLOBAL h = GlobalAlloc(GHND, 16);
  void* first = GlobalLock(h);
  EXPECT_EQ(GlobalLock(h), first);  // same data on every lock
  EXPECT_TRUE(GlobalUnlock(h));     // still locked once
  EXPECT_FALSE(GlobalUnlock(h));    // now unlocked
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_FALSE(GlobalUnlock(h));    // was not locked
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
  GlobalFree(h);
}

TEST(GlobalMemory, BadHandlesFailWithoutCrashing) {
  HGLOBAL freed = GlobalAlloc(GHND, 64);
  ASSERT_EQ(GlobalFree(freed), nullptr);
  int local = 0;
  long words[8] = {};
  const HGLOBAL bad[] = {nullptr, freed, &local, &words[4], reinterpret_cast<HGLOBAL>(0x10)};
  for (HGLOBAL h : bad) {
    SCOPED_TRACE(reinterpret_cast<uintptr_t>(h));
    EXPECT_EQ(GlobalSize(h), 0u);
    EXPECT_EQ(GlobalLock(h), nullptr);
    EXPECT_FALSE(GlobalUnlock(h));
    if (h != nullptr) {
      EXPECT_EQ(GlobalFree(h), h);  // failure returns the handle
      EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
  }
  EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

TEST(GlobalMemory, ImpossibleSizeFails) {
  EXPECT_EQ(GlobalAlloc(GHND, static_cast<SIZE_T>(-1)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

}  // namespace

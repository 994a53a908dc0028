#include <atomic>
#include <thread>

#include "gtest/gtest.h"
#include "platform/win32.h"

namespace {

TEST(Semaphore, RefusesBadLimits) {
  const struct {
    LONG initial, maximum;
  } cases[] = {{0, 0}, {-1, 1}, {2, 1}, {0, -5}};
  for (const auto& c : cases) {
    EXPECT_EQ(CreateSemaphoreA(nullptr, c.initial, c.maximum, nullptr), nullptr)
        << c.initial << "/" << c.maximum;
  }
}

TEST(Semaphore, ReleasePastTheMaximumFailsAndKeepsTheCount) {
  HANDLE sem = CreateSemaphoreA(nullptr, 0, 1, nullptr);
  ASSERT_NE(sem, nullptr);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(sem, 1, &previous));
  EXPECT_EQ(previous, 0);
  SetLastError(0);
  EXPECT_FALSE(ReleaseSemaphore(sem, 1, &previous));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  // The refused release must not have added a second count.
  EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(ReleaseSemaphore(sem, 0, nullptr));
  EXPECT_TRUE(CloseHandle(sem));
}

TEST(Semaphore, ClosedHandleIsRefusedNotTouched) {
  HANDLE sem = CreateSemaphoreA(nullptr, 1, 1, nullptr);
  ASSERT_NE(sem, nullptr);
  ASSERT_TRUE(CloseHandle(sem));
  // A late notification after the waiter closed the semaphore.
  EXPECT_FALSE(ReleaseSemaphore(sem, 1, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

TEST(Semaphore, ReleasesRacingWithCloseNeverCrash) {
  for (int round = 0; round < 50; ++round) {
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    std::atomic<bool> go{false};
    std::thread late([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 100; ++i) ReleaseSemaphore(sem, 1, nullptr);
    });
    go = true;
    WaitForSingleObject(sem, 1);
    CloseHandle(sem);
    late.join();
  }
}

}  // namespace

#include <atomic>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/win32.h"

namespace {

// Messages the test procedure saw, in order (touched on the owner thread only).
std::vector<UINT> g_seen;

LRESULT CALLBACK recordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  g_seen.push_back(message);
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  if (message == WM_USER + 7) return static_cast<LRESULT>(wParam + 1);
  return DefWindowProcA(window, message, wParam, lParam);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.clear();
    WNDCLASSA cls{};
    cls.lpfnWndProc = recordingProc;
    cls.lpszClassName = "lumraTestWindow";
    ASSERT_NE(RegisterClassA(&cls), 0);
    window_ = CreateWindowExA(0, "lumraTestWindow", "", WS_POPUPWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    DestroyWindow(window_);
    UnregisterClassA("lumraTestWindow", GetModuleHandleA(nullptr));
    drain();
  }
  // Empties this thread's queue, quit flag included.
  static void drain() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  HWND window_ = nullptr;
};

TEST_F(WindowTest, ClassRegistrationRules) {
  WNDCLASSA cls{};
  cls.lpfnWndProc = recordingProc;
  cls.lpszClassName = "LUMRATESTWINDOW";  // class names ignore letter case
  EXPECT_EQ(RegisterClassA(&cls), 0);
  EXPECT_FALSE(UnregisterClassA("lumraTestWindow", nullptr)) << "class still has a window";
  EXPECT_EQ(CreateWindowExA(0, "noSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                            nullptr),
            nullptr);
  EXPECT_FALSE(UnregisterClassA("noSuchClass", nullptr));
}

TEST_F(WindowTest, DestroyRunsTheProcedureAndInvalidatesTheHandle) {
  ASSERT_TRUE(DestroyWindow(window_));
  ASSERT_FALSE(g_seen.empty());
  EXPECT_EQ(g_seen.back(), WM_DESTROY);
  EXPECT_FALSE(DestroyWindow(window_));
  EXPECT_FALSE(PostMessageA(window_, WM_USER, 0, 0));
  EXPECT_TRUE(UnregisterClassA("lumraTestWindow", nullptr));
  // Re-registering after unregistering works (each TWAIN command does it).
  WNDCLASSA cls{};
  cls.lpfnWndProc = recordingProc;
  cls.lpszClassName = "lumraTestWindow";
  EXPECT_NE(RegisterClassA(&cls), 0);
}

TEST_F(WindowTest, QuitComesAfterPostedMessagesAndStaysUntilRemoved) {
  ASSERT_TRUE(PostMessageA(window_, WM_USER + 1, 11, -3));
  ASSERT_TRUE(DestroyWindow(window_));  // posts the quit message
  MSG msg;
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, WM_USER + 1u);
  EXPECT_EQ(msg.wParam, 11u);
  EXPECT_EQ(msg.lParam, -3);
  // The quit flag survives peeks that do not remove it...
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_QUIT);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  // ...and is gone once removed, so a later loop does not end at once.
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WindowTest, GetMessageReturnsZeroForQuitEvenWithAFilter) {
  PostQuitMessage(3);
  MSG msg;
  EXPECT_EQ(GetMessageA(&msg, window_, WM_USER, WM_USER), FALSE);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
}

TEST_F(WindowTest, FiltersSelectByWindowAndRange) {
  PostMessageA(nullptr, WM_USER + 2, 0, 0);  // thread message
  PostMessageA(window_, WM_USER + 3, 0, 0);
  PostMessageA(window_, WM_NULL, 0, 0);
  const struct {
    HWND window;
    UINT min, max;
    bool found;
    UINT message;
  } cases[] = {
      {window_, WM_USER + 2, WM_USER + 2, false, 0},
      {reinterpret_cast<HWND>(-1), 0, 0, true, WM_USER + 2},
      {window_, WM_USER + 3, WM_USER + 4, true, WM_USER + 3},
      {nullptr, 0, 0, true, WM_NULL},  // 0..0 means no range filter
      {nullptr, 0, 0, false, 0},
  };
  for (const auto& c : cases) {
    MSG msg{};
    BOOL got = PeekMessageA(&msg, c.window, c.min, c.max, PM_REMOVE);
    EXPECT_EQ(got != FALSE, c.found) << c.message;
    if (got) {
      EXPECT_EQ(msg.message, c.message);
    }
  }
}

TEST_F(WindowTest, DispatchReachesTheProcedureOnlyForLiveWindows) {
  MSG msg{};
  msg.hwnd = window_;
  msg.message = WM_USER + 7;
  msg.wParam = 41;
  EXPECT_EQ(DispatchMessageA(&msg), 42);
  msg.hwnd = nullptr;
  EXPECT_EQ(DispatchMessageA(&msg), 0);
  DestroyWindow(window_);
  msg.hwnd = window_;
  size_t before = g_seen.size();
  EXPECT_EQ(DispatchMessageA(&msg), 0);
  EXPECT_EQ(g_seen.size(), before);
}

TEST(ForeignWindow, OnlyTheOwnerDestroysAndItsWindowsEndWithIt) {
  WNDCLASSA cls{};
  cls.lpfnWndProc = DefWindowProcA;
  cls.lpszClassName = "lumraForeignWindow";
  ASSERT_NE(RegisterClassA(&cls), 0);
  HWND window = nullptr;
  std::atomic<bool> created{false};
  std::atomic<bool> finish{false};
  std::thread owner([&] {
    window = CreateWindowExA(0, "lumraForeignWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                             nullptr);
    created = true;
    while (!finish) std::this_thread::yield();
  });
  while (!created) std::this_thread::yield();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(DestroyWindow(window));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  finish = true;
  owner.join();
  // Like Windows, a thread's windows go with it.
  EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
  EXPECT_TRUE(UnregisterClassA("lumraForeignWindow", nullptr));
}

}  // namespace

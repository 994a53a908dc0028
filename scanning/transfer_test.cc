#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "imaging/testing_dib.h"
#include "scanning/fake_manager.h"
#include "scanning/image_scanning.h"

namespace lumra {
namespace {

using test::FakeCall;
using test::FakeManager;

// A small 24-bit bottom-up DIB, as a source delivers it.
HGLOBAL MakeDib(FakeManager* fake) {
  const std::vector<uint8_t> dib = lumra::testing::packDib(lumra::testing::makeTestPage(8, 4, 24));
  HGLOBAL handle = fake->newBitmap(dib.size());
  const bool global = ImageScanning::entryPoints.DSM_MemLock == nullptr;
  std::memcpy(global ? GlobalLock(handle) : twainMemLock(handle), dib.data(), dib.size());
  if (global) GlobalUnlock(handle);
  return handle;
}

// What the fake source does at each MSG_GET: its return code, whether it hands
// over a bitmap (null, a real one or one cut short), and the Count it leaves
// at the following MSG_ENDXFER.
enum class Bitmap { kGood, kNull, kTruncated };
struct Delivery {
  TW_UINT16 rc;
  Bitmap bitmap;
  TW_UINT16 countAfter;
};

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // CTest runs each test in a process of its own, in parallel: name the
    // folder after the test, not after a per-process counter.
    folder_ = ::testing::TempDir() + "transfer_test_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
              std::to_string(counter_++) + "/";
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  using Hook = std::function<std::optional<TW_UINT16>(const FakeCall&, TW_MEMREF)>;
  // Scripts the source: MSG_GET answers from `deliveries` in order; `onEnable`
  // runs inside MSG_ENABLEDS; what `first` answers goes before the script.
  void Script(FakeManager* fake, std::vector<Delivery> deliveries,
              std::function<TW_UINT16()> onEnable = [] { return TW_UINT16(TWRC_SUCCESS); },
              Hook first = [](const FakeCall&, TW_MEMREF) { return std::nullopt; }) {
    auto next = std::make_shared<size_t>(0);
    auto count = std::make_shared<TW_UINT16>(0);
    fake->handler = [fake, deliveries, onEnable, first, next, count](const FakeCall& call,
                                                                     TW_MEMREF data) -> TW_UINT16 {
      if (auto answer = first(call, data)) return *answer;
      if (call.msg == MSG_ENABLEDS) return onEnable();
      if (call.dat == DAT_IMAGENATIVEXFER) {
        if (*next >= deliveries.size()) return TWRC_FAILURE;
        const Delivery& d = deliveries[(*next)++];
        *count = d.countAfter;
        if (d.rc == TWRC_XFERDONE) {
          HGLOBAL dib = nullptr;
          if (d.bitmap == Bitmap::kGood) dib = MakeDib(fake);
          if (d.bitmap == Bitmap::kTruncated) dib = fake->newBitmap(20);
          *static_cast<TW_HANDLE*>(data) = dib;
        }
        return d.rc;
      }
      if (call.msg == MSG_ENDXFER) {
        static_cast<TW_PENDINGXFERS*>(data)->Count = *count;
        return TWRC_SUCCESS;
      }
      return TWRC_SUCCESS;
    };
  }

  std::string Page(int n) const { return folder_ + "page_" + std::to_string(n) + ".bmp"; }

  std::string folder_;
  static inline int counter_ = 0;
};

// Cancels, failed transfers and bitmaps cut short are ScanTest.TransferFailuresKeepThePagesAlreadySaved's,
// against the strict source.
TEST_F(TransferTest, KeepsEveryPageSavedBeforeAFailure) {
  constexpr TW_UINT16 kMore = 0xFFFF;  // the source does not know how many follow
  struct Case {
    const char* name;
    std::vector<Delivery> deliveries;
    int pages;
    std::u16string error;  // empty: success
    uint32_t code;
    size_t ends;    // MSG_ENDXFER: one per transfer that reached state 7
    size_t resets;  // MSG_RESET: only from state 6, with transfers pending
  };
  const Delivery more{TWRC_XFERDONE, Bitmap::kGood, kMore}, last{TWRC_XFERDONE, Bitmap::kGood, 0};
  const Case cases[] = {
      {"unknown count over five pages", {more, more, more, more, last}, 5, u"", 77, 5, 0},
      {"unknown return code", {{42, Bitmap::kNull, 0}}, 0, u"Scanning process error.", 0, 0, 1},
      {"null bitmap", {{TWRC_XFERDONE, Bitmap::kNull, 0}}, 0, u"Error save image to file.", 0, 1, 0},
  };
  for (const Case& c : cases) {
    for (bool twain2 : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.name << " twain2=" << twain2);
      FakeManager fake;
      fake.install(twain2);
      fake.conditionCode = TWCC_PAPERJAM;
      Script(&fake, c.deliveries);
      uint32_t code = 77;
      std::vector<std::string> pages;
      std::u16string error;
      ImageScanning::sourceState = 6;
      EXPECT_EQ(ImageScanning::transferImages(folder_, 1, 70, &code, &pages, &error), c.error.empty());
      EXPECT_EQ(ImageScanning::sourceState, 5) << "back to enabled, ready to be disabled";
      EXPECT_EQ(error, c.error);
      EXPECT_EQ(code, c.code);
      std::vector<std::string> want;
      for (int i = 0; i < c.pages; ++i) want.push_back(Page(i));
      EXPECT_EQ(pages, want);
      for (const auto& page : want) EXPECT_GT(std::filesystem::file_size(page), 54u) << page;
      EXPECT_EQ(fake.sent(DAT_PENDINGXFERS, MSG_RESET).size(), c.resets);
      EXPECT_EQ(fake.sent(DAT_PENDINGXFERS, MSG_ENDXFER).size(), c.ends);
      // Every bitmap went back, once, through the manager's own free.
      if (twain2) {
        EXPECT_TRUE(fake.liveBitmaps.empty());
        EXPECT_EQ(fake.strayFrees, 0);
      }
      for (const auto& entry : std::filesystem::directory_iterator(folder_)) std::filesystem::remove(entry.path());
    }
  }
}

TEST_F(TransferTest, MemoryRunningOutMidTransferLeavesNothingOpen) {
  FakeManager fake;
  fake.install(true);
  Script(
      &fake, {{TWRC_XFERDONE, Bitmap::kGood, 0}},
      [] { return TWAIN_Callback(nullptr, nullptr, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr); },
      [](const FakeCall& call, TW_MEMREF) -> std::optional<TW_UINT16> {
        if (call.dat == DAT_IMAGENATIVEXFER) throw std::bad_alloc();
        return std::nullopt;
      });
  uint32_t code = 0;
  std::vector<std::string> pages;
  std::u16string error;
  ImageScanning::sourceState = 4;
  EXPECT_THROW(ImageScanning::transferImageCallBack(0, folder_, 1, 70, 1000, &code, &pages, &error),
               std::bad_alloc);
  EXPECT_EQ(ImageScanning::transferSemaphore, nullptr) << "a late callback must find none";
  // What the scan job does next: the source is wound down from where it
  // stood (state 6: reset, disable, close), then the manager is closed.
  fake.calls.clear();
  ImageScanning::abandonConnection(GetModuleHandleA(nullptr));
  EXPECT_EQ(ImageScanning::sourceState, 0);
  std::vector<TW_UINT16> sent;
  for (const FakeCall& call : fake.calls) sent.push_back(call.msg);
  EXPECT_EQ(sent, (std::vector<TW_UINT16>{MSG_RESET, MSG_DISABLEDS, MSG_CLOSEDS, MSG_CLOSEDSM}));
}

// From state 7 down, and a refusal that stops it, are ScanTest.TransferFailuresKeepThePagesAlreadySaved's;
// a notification that races the disabling is not for an end-to-end test.
TEST_F(TransferTest, WindDownGoesStateByStateAndStopsAtARefusal) {
  struct Case {
    const char* name;
    int from;
    std::vector<TW_UINT16> disableAnswers;  // then TWRC_SUCCESS
    TW_UINT16 disableCode;
    std::vector<TW_UINT16> sent;  // what reached the source, in order
    int stays;                    // sourceState afterwards
  };
  const Case cases[] = {
      // A notification that came after the wait put the source in state 6.
      {"disable out of sequence", 5, {TWRC_FAILURE}, TWCC_SEQERROR,
       {MSG_DISABLEDS, MSG_RESET, MSG_DISABLEDS, MSG_CLOSEDS}, 0},
      {"still out of sequence", 5, {TWRC_FAILURE, TWRC_FAILURE}, TWCC_SEQERROR,
       {MSG_DISABLEDS, MSG_RESET, MSG_DISABLEDS}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeManager fake;
    fake.install(true);
    fake.conditionCode = c.disableCode;
    std::vector<TW_UINT16> sent;
    size_t disables = 0;
    fake.handler = [&](const FakeCall& call, TW_MEMREF data) -> TW_UINT16 {
      sent.push_back(call.msg);
      if (call.msg == MSG_ENDXFER) static_cast<TW_PENDINGXFERS*>(data)->Count = 1;
      if (call.msg == MSG_DISABLEDS && disables < c.disableAnswers.size()) {
        return c.disableAnswers[disables++];
      }
      return TWRC_SUCCESS;
    };
    ImageScanning::sourceState = c.from;
    EXPECT_EQ(ImageScanning::closeSource(), c.stays == 0);
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(ImageScanning::sourceState, c.stays);
  }
}

TEST_F(TransferTest, EnableCarriesTheDialogChoiceAndTheParent) {
  for (uint32_t showUI : {0u, 1u, 5u}) {
    FakeManager fake;
    fake.install(true);
    HWND parent = reinterpret_cast<HWND>(0x1234);
    ImageScanning::twainWindow = parent;
    TW_USERINTERFACE seen{};
    Script(
        &fake, {}, [] { return TWAIN_Callback(nullptr, nullptr, DG_CONTROL, DAT_NULL, MSG_CLOSEDSOK, nullptr); },
        [&](const FakeCall& call, TW_MEMREF data) -> std::optional<TW_UINT16> {
          if (call.msg == MSG_ENABLEDS) std::memcpy(&seen, data, sizeof(seen));
          return std::nullopt;
        });
    uint32_t code = 0;
    std::vector<std::string> pages;
    std::u16string error;
    ImageScanning::transferImageCallBack(showUI, folder_, 1, 70, 1000, &code, &pages, &error);
    EXPECT_EQ(seen.ShowUI, showUI != 0 ? 1 : 0);
    TW_HANDLE parentSeen = seen.hParent;  // a packed member, read by value
    EXPECT_EQ(parentSeen, static_cast<TW_HANDLE>(parent));
    EXPECT_EQ(ImageScanning::transferSemaphore, nullptr) << "a late callback must find none";
    ImageScanning::twainWindow = nullptr;
  }
}

// ---- Event loop ----

int g_dispatched = 0;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER + 1 || message == WM_USER + 2) ++g_dispatched;
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(TransferTest, EventLoopPassesEveryMessageToTheSourceFirst) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = CountingProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = "transferTestWindow";
  ASSERT_NE(RegisterClassA(&windowClass), 0);
  HWND window = CreateWindowExA(0, "transferTestWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                instance, nullptr);
  ASSERT_NE(window, nullptr);

  struct Case {
    const char* name;
    TW_UINT16 notification;  // TWMessage the source claims WM_USER + 3 with
    TW_UINT16 processResult;  // for WM_USER + 3
    bool quit;               // a quit message waits instead
    bool expected;
    std::u16string error;
    int dispatched;
  };
  const Case cases[] = {
      {"ready", MSG_XFERREADY, TWRC_DSEVENT, false, true, u"", 1},
      {"close request", MSG_CLOSEDSREQ, TWRC_DSEVENT, false, false, u"Scanning not image.", 1},
      {"close ok", MSG_CLOSEDSOK, TWRC_DSEVENT, false, false, u"Scanning not image.", 1},
      {"source fails the event", MSG_NULL, TWRC_FAILURE, false, false,
       u"Error send event to DS.", 1},
      {"quit message", MSG_NULL, TWRC_DSEVENT, true, false,
       u"Quit event loop from GetMessage.", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_dispatched = 0;
    FakeManager fake;
    fake.install(false);
    // WM_USER+1: not the source's (dispatched); WM_USER+2: the source's
    // own, claimed without a notification (not dispatched); then the
    // notification or a quit.
    Script(&fake, {{TWRC_XFERDONE, Bitmap::kGood, 0}}, [&] {
      PostMessageA(window, WM_USER + 1, 0, 0);
      PostMessageA(window, WM_USER + 2, 0, 0);
      if (c.quit) {
        PostQuitMessage(0);
      } else {
        PostMessageA(window, WM_USER + 3, 0, 0);
      }
      return TW_UINT16(TWRC_SUCCESS);
    }, [&](const FakeCall& call, TW_MEMREF data) -> std::optional<TW_UINT16> {
      if (call.msg != MSG_PROCESSEVENT) return std::nullopt;
      auto* event = static_cast<TW_EVENT*>(data);
      EXPECT_EQ(event->TWMessage, MSG_NULL);
      UINT message = static_cast<MSG*>(event->pEvent)->message;
      if (message == WM_USER + 2) return TWRC_DSEVENT;
      if (message == WM_USER + 3) {
        event->TWMessage = c.notification;
        return c.processResult;
      }
      return TWRC_NOTDSEVENT;
    });
    uint32_t code = 0;
    std::vector<std::string> pages;
    std::u16string error;
    EXPECT_EQ(ImageScanning::transferImageLoop(0, folder_, 1, 70, &code, &pages, &error),
              c.expected);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(pages.size(), c.expected ? 1u : 0u);
    EXPECT_EQ(g_dispatched, c.dispatched);
    EXPECT_EQ(fake.sent(DAT_USERINTERFACE, MSG_DISABLEDS).size(), 1u);
  }
  DestroyWindow(window);
  UnregisterClassA("transferTestWindow", instance);
  // DestroyWindow of a window of ours posts nothing; drain whatever is left.
  MSG rest;
  while (PeekMessageA(&rest, nullptr, 0, 0, PM_REMOVE)) {
  }
}

}  // namespace
}  // namespace lumra

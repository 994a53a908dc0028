// The virtual source driven through its DS_Entry side directly, with a
// stand-in manager that records notifications.
#include "sources/virtual/virtual_source.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/memory.h"

namespace lumra::virtual_scanner {
namespace {

std::atomic<int> g_notified{0};
std::atomic<TW_UINT16> g_message{0};

TW_UINT16 TW_CALLINGSTYLE recordingManager(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32 dg, TW_UINT16 dat,
                                           TW_UINT16 msg, TW_MEMREF) {
  if (dg == DG_CONTROL && dat == DAT_NULL) {
    g_message = msg;
    ++g_notified;
  }
  return TWRC_SUCCESS;
}

class VirtualSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string base = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                       "/lumra_vs_test_" + std::to_string(getpid());
    scenario_ = base + "_scenario";
    journal_ = base + "_journal";
    std::remove(journal_.c_str());
    setenv("LUMRA_VIRTUAL_SCENARIO", scenario_.c_str(), 1);
    setenv("LUMRA_VIRTUAL_JOURNAL", journal_.c_str(), 1);
    g_notified = 0;
    g_message = 0;
    app_.Id = 11;
  }
  void TearDown() override {
    std::remove(scenario_.c_str());
    std::remove(journal_.c_str());
    unsetenv("LUMRA_VIRTUAL_SCENARIO");
    unsetenv("LUMRA_VIRTUAL_JOURNAL");
  }
  // Asks the module who it is, as the published manager does (in the
  // application's name, state 3), hands it a TWAIN 2 manager's entry points
  // and opens it.
  void open(const std::string& scenario) { openIn(module_, scenario); }
  void openIn(VirtualModule& module, const std::string& scenario) {
    std::ofstream(scenario_) << "width = 40\nheight = 30\n" << scenario;
    TW_IDENTITY id{};
    ASSERT_EQ(module.entry(&app_, DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
    source_ = id;
    TW_ENTRYPOINT points{};
    points.Size = sizeof points;
    points.DSM_Entry = recordingManager;
    points.DSM_MemAllocate = [](TW_UINT32 size) -> TW_HANDLE { return twainMemAllocate(size); };
    points.DSM_MemFree = [](TW_HANDLE h) { twainMemFree(h); };
    points.DSM_MemLock = [](TW_HANDLE h) -> TW_MEMREF { return twainMemLock(h); };
    points.DSM_MemUnlock = [](TW_HANDLE h) { twainMemUnlock(h); };
    ASSERT_EQ(module.entry(&app_, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points), TWRC_SUCCESS);
    ASSERT_EQ(module.entry(&app_, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_), TWRC_SUCCESS);
  }
  TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return module_.entry(&app_, dg, dat, msg, data);
  }
  TW_UINT16 status() {
    TW_STATUS s{};
    EXPECT_EQ(call(DG_CONTROL, DAT_STATUS, MSG_GET, &s), TWRC_SUCCESS);
    return s.ConditionCode;
  }
  TW_UINT16 set(TW_UINT16 cap, TW_UINT16 type, TW_UINT32 value) {
    TW_CAPABILITY c{cap, TWON_ONEVALUE, GlobalAlloc(GHND, sizeof(TW_ONEVALUE))};
    auto* one = static_cast<pTW_ONEVALUE>(GlobalLock(c.hContainer));
    one->ItemType = type;
    one->Item = value;
    GlobalUnlock(c.hContainer);
    TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c);
    GlobalFree(c.hContainer);
    return rc;
  }
  TW_UINT16 enable() {
    TW_USERINTERFACE ui{1, 0, nullptr};
    return call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  }
  TW_UINT16 get(TW_HANDLE* handle) { return call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, handle); }
  TW_UINT16 disable() {
    TW_USERINTERFACE ui{};
    return call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
  }
  TW_UINT16 close() { return call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_); }
  std::string journal() {
    std::ifstream in(journal_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  VirtualModule module_;
  TW_IDENTITY app_{};
  TW_IDENTITY source_{};
  std::string scenario_;
  std::string journal_;
};

// Scripted refusals are ScanTest.RefusedCapabilitiesAreLoggedAndTheJobGoesOn's.
TEST_F(VirtualSourceTest, CapabilitySettingsAreChecked) {
  open("ready = never\n");
  const struct {
    TW_UINT16 cap, type;
    TW_UINT32 value;
    TW_UINT16 cc;
  } cases[] = {
      {ICAP_XRESOLUTION, TWTY_FIX32, 5000, TWCC_BADVALUE},
      {ICAP_XRESOLUTION, TWTY_UINT16, 300, TWCC_BADVALUE},
      {ICAP_PIXELTYPE, TWTY_UINT16, 7, TWCC_BADVALUE},
      {0x8001, TWTY_UINT16, 1, TWCC_CAPUNSUPPORTED},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(set(c.cap, c.type, c.value), TWRC_FAILURE) << c.cap << " " << c.value;
    EXPECT_EQ(status(), c.cc) << c.cap << " " << c.value;
  }
}

TEST_F(VirtualSourceTest, NotificationScripts) {
  const struct {
    const char* scenario;
    int beforeDisable;  // notifications seen before MSG_DISABLEDS
    int afterClose;     // MSG_XFERREADY notifications seen once closed
  } cases[] = {
      {"ready = enable\nnotify_count = 2\n", 2, 2},
      {"ready = never\nlate_notify = disable\n", 0, 1},
      {"ready = never\nlate_notify = close\n", 0, 1},
      {"ready = thread\nready_delay = 150\n", 0, 1},  // after the wait gave up
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    g_notified = 0;
    g_message = 0;
    VirtualModule fresh;
    openIn(fresh, std::string("width = 8\nheight = 8\n") + c.scenario);
    TW_IDENTITY id = source_;
    TW_USERINTERFACE ui{};
    ASSERT_EQ(fresh.entry(&app_, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(g_notified, c.beforeDisable);
    if (c.beforeDisable > 0) {
      TW_PENDINGXFERS pending{};  // ready (state 6): drop the transfers first
      EXPECT_EQ(fresh.entry(&app_, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    }
    EXPECT_EQ(fresh.entry(&app_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(fresh.entry(&app_, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &id), TWRC_SUCCESS);
    EXPECT_EQ(g_notified, c.afterClose);
    EXPECT_EQ(g_message, MSG_XFERREADY);
    EXPECT_EQ(journal().find("VIOLATION"), std::string::npos);
  }
}

TEST_F(VirtualSourceTest, WindowOnTheCallersThreadReportsOnlyOnceDispatched) {
  open("window = thread\n");
  ASSERT_EQ(enable(), TWRC_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(g_notified, 0) << "nothing happens while nobody pumps the thread's queue";
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  EXPECT_EQ(g_notified, 1);
  EXPECT_EQ(g_message, MSG_XFERREADY);
  TW_PENDINGXFERS pending{};
  EXPECT_EQ(call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
  EXPECT_EQ(disable(), TWRC_SUCCESS);
}

TEST_F(VirtualSourceTest, OutOfStateOperationsAreViolations) {
  open("ready = never\n");
  TW_HANDLE h = nullptr;
  TW_PENDINGXFERS pending{};
  TW_USERINTERFACE ui{};
  TW_IDENTITY stranger{};
  stranger.Id = 99;
  const struct {
    const char* what;
    std::function<TW_UINT16()> send;
    TW_UINT16 cc;
    const char* violation;  // the journal line's tail, or null
  } cases[] = {
      {"transfer before ready", [&] { return get(&h); }, TWCC_SEQERROR, "state=4 op=XFER"},
      {"disable before enable", [&] { return disable(); }, TWCC_SEQERROR, "state=4 op=DISABLEDS"},
      {"end a transfer never begun", [&] { return call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending); },
       TWCC_SEQERROR, "state=4 op=ENDXFER"},
      {"enable without data", [&] { return call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, nullptr); },
       TWCC_BADVALUE, nullptr},
      {"unknown operation", [&] { return call(DG_CONTROL, DAT_XFERGROUP, MSG_GET, &h); },
       TWCC_BADPROTOCOL, nullptr},
      {"a stranger enables", [&] { return module_.entry(&stranger, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui); },
       TWCC_SEQERROR, "app=99 state=3 op=ENABLEDS"},
      {"enabled: enable again", [&] { EXPECT_EQ(enable(), TWRC_SUCCESS); return enable(); },
       TWCC_SEQERROR, "state=5 op=ENABLEDS"},
      {"enabled: settings", [&] { return set(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY); },
       TWCC_SEQERROR, "state=5 op=CAPSET"},
      {"enabled: reset with nothing ready", [&] { return call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending); },
       TWCC_SEQERROR, "state=5 op=RESET"},
      {"enabled: close", [&] { return close(); }, TWCC_SEQERROR, "state=5 op=CLOSEDS"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.send(), TWRC_FAILURE);
    TW_STATUS s{};
    (std::string(c.what).rfind("a stranger", 0) == 0 ? module_.entry(&stranger, DG_CONTROL, DAT_STATUS, MSG_GET, &s)
                                                     : call(DG_CONTROL, DAT_STATUS, MSG_GET, &s));
    EXPECT_EQ(s.ConditionCode, c.cc);
    if (c.violation != nullptr) {
      EXPECT_NE(journal().find(c.violation), std::string::npos) << journal();
    }
  }
  EXPECT_NE(journal().find("UNSUPPORTED source=0 dg=1 dat=10 msg=1"), std::string::npos);
}

}  // namespace
}  // namespace lumra::virtual_scanner

// Drives our managers through DSM_Entry as an application would, with the
// virtual scanner (bin/twain/virtual.ds) scripted behind them.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "twain/twain.h"

namespace {

std::string tempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/lumra_dsm_test_" +
         std::to_string(GetCurrentProcessId()) + "_" + name;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

LRESULT CALLBACK plainProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

// One manager variant, loaded the way the host loads it, with a scenario.
class ManagerTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    scenario_ = tempPath("scenario");
    journal_ = tempPath("journal");
    std::remove(journal_.c_str());
    setenv("LUMRA_VIRTUAL_SCENARIO", scenario_.c_str(), 1);
    setenv("LUMRA_VIRTUAL_JOURNAL", journal_.c_str(), 1);
    unsetenv("LUMRA_TWAIN_SOURCES");
    // The SANE source beside the virtual one finds no device (and probes nothing).
    setenv("SANE_CONFIG_DIR", tempPath("no-sane").c_str(), 1);
    WNDCLASSA cls{};
    cls.lpfnWndProc = plainProc;
    cls.lpszClassName = "lumraDsmTest";
    RegisterClassA(&cls);
    window_ = CreateWindowExA(0, "lumraDsmTest", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  }
  void TearDown() override {
    if (library_ != nullptr) FreeLibrary(library_);
    DestroyWindow(window_);
    UnregisterClassA("lumraDsmTest", nullptr);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    std::remove(scenario_.c_str());
    std::remove(journal_.c_str());
    unsetenv("LUMRA_VIRTUAL_SCENARIO");
    unsetenv("LUMRA_VIRTUAL_JOURNAL");
    unsetenv("LUMRA_TWAIN_SOURCES");
  }
  bool twain2() const { return GetParam(); }

  void load(const std::string& scenario) {
    std::ofstream(scenario_) << scenario;
    library_ = LoadLibraryA(twain2() ? "TWAINDSM.DLL" : "TWAIN_32.DLL");
    ASSERT_NE(library_, nullptr);
    entry_ = reinterpret_cast<DSMENTRYPROC>(
        reinterpret_cast<void (*)()>(GetProcAddress(library_, "DSM_Entry")));
    ASSERT_NE(entry_, nullptr);
  }
  TW_UINT16 call(pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return entry_(&app_, dest, dg, dat, msg, data);
  }
  TW_UINT16 status(pTW_IDENTITY dest = nullptr) {
    TW_STATUS s{};
    EXPECT_EQ(call(dest, DG_CONTROL, DAT_STATUS, MSG_GET, &s), TWRC_SUCCESS);
    return s.ConditionCode;
  }
  void openManager() {
    app_ = TW_IDENTITY{};
    app_.ProtocolMajor = 2;
    app_.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    strcpy(app_.ProductName, "dsm test");
    ASSERT_EQ(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &window_), TWRC_SUCCESS);
  }
  std::vector<TW_IDENTITY> list() {
    std::vector<TW_IDENTITY> out;
    TW_IDENTITY id{};
    for (TW_UINT16 rc = call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id);
         rc == TWRC_SUCCESS; rc = call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &id)) {
      out.push_back(id);
    }
    return out;
  }
  TW_UINT16 openSource(TW_UINT32 id) {
    source_ = TW_IDENTITY{};
    source_.Id = id;
    return call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_);
  }
  TW_UINT16 enable() {
    TW_USERINTERFACE ui{0, 0, window_};
    return call(&source_, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  }
  TW_UINT16 disable() {
    TW_USERINTERFACE ui{0, 0, window_};
    return call(&source_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
  }
  // Pumps the window queue the way the host's event loop does, until the
  // source claims an event; returns its message.
  TW_UINT16 pumpUntilSourceEvent() {
    MSG msg;
    for (int guard = 0; guard < 100 && GetMessageA(&msg, nullptr, 0, 0) > 0; ++guard) {
      TW_EVENT event{&msg, MSG_NULL};
      TW_UINT16 rc = call(&source_, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
      if (rc == TWRC_DSEVENT) return event.TWMessage;
      EXPECT_EQ(rc, TWRC_NOTDSEVENT);
      DispatchMessageA(&msg);
    }
    return MSG_NULL;
  }
  std::string journal() { return readFile(journal_); }

  HMODULE library_ = nullptr;
  DSMENTRYPROC entry_ = nullptr;
  TW_IDENTITY app_{};
  TW_IDENTITY source_{};
  HWND window_ = nullptr;
  std::string scenario_;
  std::string journal_;
};

const char kThreeSources[] =
    "width = 64\nheight = 48\n"
    "[source]\nid = 7\nname = Seven\n"
    "[source]\nid = 7\nname = Three\ntwain2 = no\n"  // ids are the manager's, whatever the module says
    "[source]\nid = 5\nname = Five\n";

TEST_P(ManagerTest, OpensOnceNumbersSourcesItselfAndClosesOnce) {
  load(kThreeSources);
  openManager();
  EXPECT_EQ((app_.SupportedGroups & DF_DSM2) != 0, twain2());
  std::vector<TW_UINT32> ids;
  for (const TW_IDENTITY& source : list()) ids.push_back(source.Id);
  EXPECT_EQ(ids, (std::vector<TW_UINT32>{1, 2, 3}));
  // A second open by the same application is a sequence error.
  EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &window_), TWRC_FAILURE);
  EXPECT_EQ(status(), TWCC_SEQERROR);
  EXPECT_EQ(status(), TWCC_SUCCESS) << "reading the status clears it";
  EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window_), TWRC_SUCCESS);
  EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window_), TWRC_FAILURE);
  EXPECT_EQ(status(), TWCC_SEQERROR);
}

TEST_P(ManagerTest, EntryPointsAndCallbacksOnlyFromTheTwain2Manager) {
  load(kThreeSources);
  openManager();
  ASSERT_EQ(openSource(1), TWRC_SUCCESS);
  TW_CALLBACK callback{nullptr, 0, 0};
  EXPECT_EQ(call(&source_, DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &callback),
            twain2() ? TWRC_SUCCESS : TWRC_FAILURE);
  if (!twain2()) { EXPECT_EQ(status(), TWCC_BADPROTOCOL); }
  TW_ENTRYPOINT points{};
  points.Size = sizeof points;
  TW_UINT16 rc = call(nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &points);
  if (!twain2()) {
    EXPECT_EQ(rc, TWRC_FAILURE);
    EXPECT_EQ(status(), TWCC_BADPROTOCOL);
    return;
  }
  ASSERT_EQ(rc, TWRC_SUCCESS);
  TW_ENTRYPOINT small{};
  small.Size = 8;
  EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &small), TWRC_FAILURE);
  EXPECT_EQ(status(), TWCC_BADVALUE);
}

TEST_P(ManagerTest, RefusesBadSourceOperationsWithConditionCodes) {
  load(kThreeSources);
  openManager();
  const struct {
    const char* what;
    TW_UINT32 open;  // source to open first, 0: none
    TW_UINT32 target;
    TW_UINT16 msg;
    TW_UINT16 code;
  } cases[] = {
      {"unknown source", 0, 42, MSG_OPENDS, TWCC_NODS},
      {"close a source never opened", 0, 1, MSG_CLOSEDS, TWCC_SEQERROR},
      {"open twice", 1, 1, MSG_OPENDS, TWCC_SEQERROR},
      {"second source of one module", 1, 3, MSG_OPENDS, TWCC_MAXCONNECTIONS},
  };
  for (const auto& c : cases) {
    if (c.open != 0) {
      ASSERT_EQ(openSource(c.open), TWRC_SUCCESS) << c.what;
    }
    TW_IDENTITY target{};
    target.Id = c.target;
    EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, c.msg, &target), TWRC_FAILURE) << c.what;
    EXPECT_EQ(status(), c.code) << c.what;
    if (c.open != 0) {
      TW_IDENTITY opened{};
      opened.Id = c.open;
      EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &opened), TWRC_SUCCESS);
    }
  }
  // Operations for a source that is not open never reach a module.
  TW_IDENTITY unknown{};
  unknown.Id = 99;
  TW_USERINTERFACE ui{};
  EXPECT_EQ(call(&unknown, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_FAILURE);
  EXPECT_EQ(status(), TWCC_BADDEST);
  TW_IDENTITY closed{};
  closed.Id = 2;
  EXPECT_EQ(call(&closed, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_FAILURE);
  EXPECT_EQ(status(), TWCC_SEQERROR);
  // Null data is refused, not dereferenced.
  EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, nullptr), TWRC_FAILURE);
  EXPECT_EQ(status(), TWCC_BADVALUE);
  // Notifications only from an open source, of a known kind, to a known application.
  EXPECT_EQ(entry_(&closed, &app_, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr), TWRC_FAILURE);
  ASSERT_EQ(openSource(1), TWRC_SUCCESS);
  EXPECT_EQ(entry_(&source_, &app_, DG_CONTROL, DAT_NULL, 0x7777, nullptr), TWRC_FAILURE);
  EXPECT_EQ(entry_(&source_, nullptr, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr), TWRC_FAILURE);
  EXPECT_EQ(entry_(nullptr, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, nullptr), TWRC_FAILURE);
}

TEST_P(ManagerTest, NoSourcesGivesAnEmptyListAndNoDefault) {
  std::string empty = tempPath("empty_sources");
  std::filesystem::create_directories(empty);
  setenv("LUMRA_TWAIN_SOURCES", empty.c_str(), 1);
  load("");
  openManager();
  EXPECT_TRUE(list().empty());
  TW_IDENTITY def{};
  EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &def), TWRC_FAILURE);
  EXPECT_EQ(status(), TWCC_NODS);
  EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window_), TWRC_SUCCESS);
  std::filesystem::remove_all(empty);
}

TEST_P(ManagerTest, SourceFailureReasonReachesTheManagerStatus) {
  load("fail.opends = DENIED\n");
  openManager();
  EXPECT_EQ(openSource(1), TWRC_FAILURE);
  EXPECT_EQ(status(), TWCC_DENIED);
}

TEST_P(ManagerTest, StaleNotificationsDoNotLeakIntoTheNextEnabling) {
  load("width = 16\nheight = 16\ntwain2 = no\nready = enable\nnotify_count = 2\nlenient = yes\n");
  openManager();
  ASSERT_EQ(openSource(1), TWRC_SUCCESS);
  ASSERT_EQ(enable(), TWRC_SUCCESS);
  ASSERT_EQ(pumpUntilSourceEvent(), MSG_XFERREADY);
  TW_PENDINGXFERS pending{};
  EXPECT_EQ(call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
  EXPECT_EQ(disable(), TWRC_SUCCESS);
  // The second notification was dropped with the disabling.
  MSG msg{};
  TW_EVENT event{&msg, MSG_NULL};
  EXPECT_EQ(call(&source_, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);
}

TEST_P(ManagerTest, SourcesLeftOpenAreTheApplicationsToClose) {
  load("width = 16\nheight = 16\nready = never\n");
  openManager();
  ASSERT_EQ(openSource(1), TWRC_SUCCESS);
  ASSERT_EQ(enable(), TWRC_SUCCESS);
  EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window_), TWRC_FAILURE);
  EXPECT_EQ(status(), TWCC_SEQERROR);
  EXPECT_EQ(journal().find("DISABLEDS"), std::string::npos);
  EXPECT_EQ(disable(), TWRC_SUCCESS);
  EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_), TWRC_SUCCESS);
  EXPECT_EQ(call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window_), TWRC_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(BothManagers, ManagerTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Twain2" : "Twain1"; });

}  // namespace

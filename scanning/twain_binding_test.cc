#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <thread>

#include "scanning/fake_manager.h"
#include "scanning/image_scanning.h"

namespace lumra {
namespace {

using test::FakeCall;
using test::FakeManager;

TEST(CommandChannel, StatusIsFetchedOnlyAfterFailure) {
  struct Case {
    TW_UINT16 rc;
    TW_UINT16 statusResult;
    bool expected;
    size_t statusFetches;
    TW_UINT16 condition;
  };
  const Case cases[] = {
      {TWRC_SUCCESS, TWRC_SUCCESS, true, 0, 0},
      {TWRC_FAILURE, TWRC_SUCCESS, false, 1, TWCC_BADVALUE},
      {TWRC_FAILURE, TWRC_FAILURE, false, 1, 0},
      {TWRC_CHECKSTATUS, TWRC_SUCCESS, false, 0, 0},
      {99, TWRC_SUCCESS, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rc);
    for (bool toSource : {false, true}) {
      FakeManager fake;
      fake.install(false);
      fake.handler = [&](const FakeCall&, TW_MEMREF) { return c.rc; };
      fake.statusResult = c.statusResult;
      fake.conditionCode = TWCC_BADVALUE;
      ImageScanning::lastStatus.ConditionCode = 77;  // stale from an earlier operation
      bool ok = ImageScanning::sendTwainCommand(
          &ImageScanning::appIdentity, toSource ? &ImageScanning::sourceIdentity : nullptr,
          DG_CONTROL, DAT_CAPABILITY, MSG_SET, nullptr);
      EXPECT_EQ(ok, c.expected);
      EXPECT_EQ(ImageScanning::lastResult, c.rc);
      EXPECT_EQ(ImageScanning::lastStatus.ConditionCode, c.condition);
      ASSERT_EQ(fake.statusCalls.size(), c.statusFetches);
      if (c.statusFetches != 0) {
        // The status comes from whoever failed.
        EXPECT_EQ(fake.statusCalls[0].toSource, toSource);
        EXPECT_EQ(fake.statusCalls[0].destinationId, toSource ? 42u : 0u);
      }
    }
  }
}

TEST(CommandChannel, ForwardingPrefersTheEntryPointAndFailsWithoutManager) {
  static int libraryCalls;
  static int entryPointCalls;
  libraryCalls = entryPointCalls = 0;
  DSMENTRYPROC library = [](pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16,
                            TW_MEMREF) -> TW_UINT16 {
    ++libraryCalls;
    return TWRC_SUCCESS;
  };
  DSMENTRYPROC entryPoint = [](pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16,
                               TW_MEMREF) -> TW_UINT16 {
    ++entryPointCalls;
    return TWRC_CHECKSTATUS;
  };
  ImageScanning::dsmEntryProc = library;
  EXPECT_EQ(DSM_Entry(nullptr, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, nullptr), TWRC_SUCCESS);
  ImageScanning::entryPoints.DSM_Entry = entryPoint;
  EXPECT_EQ(DSM_Entry(nullptr, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, nullptr),
            TWRC_CHECKSTATUS);
  EXPECT_EQ(libraryCalls, 1);
  EXPECT_EQ(entryPointCalls, 1);

  ImageScanning::entryPoints.DSM_Entry = nullptr;
  ImageScanning::dsmEntryProc = nullptr;
  EXPECT_EQ(DSM_Entry(nullptr, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, nullptr), TWRC_FAILURE);
}

TEST(Callback, ActsOnTheMessageAlone) {
  struct Case {
    TW_UINT16 msg;
    TW_UINT16 rc;
    bool released;
    bool ready;  // meaningful when released
  };
  const Case cases[] = {
      {MSG_NULL, TWRC_SUCCESS, false, false},
      {MSG_DEVICEEVENT, TWRC_SUCCESS, false, false},
      {MSG_XFERREADY, TWRC_SUCCESS, true, true},
      {MSG_CLOSEDSREQ, TWRC_SUCCESS, true, false},
      {MSG_CLOSEDSOK, TWRC_SUCCESS, true, false},
      {0x0999, TWRC_FAILURE, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.msg);
    HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    ASSERT_NE(semaphore, nullptr);
    ImageScanning::transferSemaphore = semaphore;
    ImageScanning::transferReady = !c.ready;
    EXPECT_EQ(TWAIN_Callback(nullptr, nullptr, DG_CONTROL, DAT_NULL, c.msg, nullptr), c.rc);
    bool released = WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0;
    EXPECT_EQ(released, c.released);
    if (c.released) {
      EXPECT_EQ(ImageScanning::transferReady.load(), c.ready);
    }
    ImageScanning::transferSemaphore = nullptr;
    CloseHandle(semaphore);
  }
}

TEST(Callback, HarmlessWhenNoTransferWaitsAndHeldOnlyOnce) {
  ImageScanning::transferSemaphore = nullptr;
  EXPECT_EQ(TWAIN_Callback(nullptr, nullptr, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr),
            TWRC_SUCCESS);

  // A source that notifies twice leaves one pending wake-up, not two.
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 1, nullptr);
  ImageScanning::transferSemaphore = semaphore;
  std::thread source([] {
    TWAIN_Callback(nullptr, nullptr, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr);
    TWAIN_Callback(nullptr, nullptr, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr);
  });
  source.join();
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
  ImageScanning::transferSemaphore = nullptr;
  CloseHandle(semaphore);
}

TEST(Connection, OpenFillsTheIdentityAndFetchesEntryPointsOnlyFromTwain2) {
  for (bool twain2 : {false, true}) {
    SCOPED_TRACE(twain2);
    FakeManager fake;
    fake.install(false);
    TW_IDENTITY seen{};
    HWND parent = nullptr;
    fake.handler = [&](const FakeCall& call, TW_MEMREF data) -> TW_UINT16 {
      if (call.dat == DAT_PARENT && call.msg == MSG_OPENDSM) {
        seen = ImageScanning::appIdentity;
        parent = *static_cast<HWND*>(data);
        ImageScanning::appIdentity.Id = 9;
        if (twain2) ImageScanning::appIdentity.SupportedGroups |= DF_DSM2;
      }
      if (call.dat == DAT_ENTRYPOINT) {
        auto* entry = static_cast<TW_ENTRYPOINT*>(data);
        EXPECT_EQ(entry->Size, 44u);
        entry->DSM_MemFree = [](TW_HANDLE) {};
      }
      return TWRC_SUCCESS;
    };
    HINSTANCE instance = GetModuleHandleA(nullptr);
    ASSERT_TRUE(ImageScanning::openDSM(instance));
    EXPECT_NE(parent, nullptr);
    EXPECT_EQ(parent, ImageScanning::twainWindow);
    std::ostringstream identity;  // packed members, read by value
    identity << seen.Id << " " << seen.Version.MajorNum << "." << seen.Version.MinorNum << " "
             << seen.Version.Language << " " << seen.Version.Country << " " << seen.Version.Info << " "
             << seen.ProtocolMajor << "." << seen.ProtocolMinor << " " << std::hex << seen.SupportedGroups
             << " " << seen.Manufacturer << "/" << seen.ProductFamily << "/" << seen.ProductName;
    EXPECT_EQ(identity.str(), "0 2.3 " + std::to_string(TWLG_USA) + " " + std::to_string(TWCY_USA) +
                                  " 2016-12-29 2.3 20000003 LUMRA/image_scanning/image_scanning");
    EXPECT_EQ(fake.sent(DAT_ENTRYPOINT, MSG_GET).size(), twain2 ? 1u : 0u);
    EXPECT_EQ(ImageScanning::entryPoints.DSM_MemFree != nullptr, twain2);

    ImageScanning::closeDSM();
    ImageScanning::clearConnection(instance);
    EXPECT_EQ(ImageScanning::twainWindow, nullptr);
    EXPECT_EQ(ImageScanning::dsmEntryProc, nullptr);
    EXPECT_TRUE(ImageScanning::entryPoints.DSM_MemFree == nullptr);
    EXPECT_EQ(ImageScanning::appIdentity.Id, 0u);
    EXPECT_EQ(fake.sent(DAT_PARENT, MSG_CLOSEDSM).size(), 1u);
  }
}

TEST(Connection, FailedOpenClearsEverything) {
  struct Case {
    TW_UINT16 openResult;
    TW_UINT16 entryResult;
    bool expected;
    bool closes;  // MSG_CLOSEDSM after a failed entry-point fetch
  };
  const Case cases[] = {
      {TWRC_FAILURE, TWRC_SUCCESS, false, false},
      {TWRC_CHECKSTATUS, TWRC_SUCCESS, false, false},
      {TWRC_SUCCESS, TWRC_FAILURE, false, true},
      {TWRC_SUCCESS, TWRC_CHECKSTATUS, true, false},  // anything but failure counts
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.openResult << "/" << c.entryResult);
    FakeManager fake;
    fake.install(false);
    fake.handler = [&](const FakeCall& call, TW_MEMREF) -> TW_UINT16 {
      if (call.msg == MSG_OPENDSM) {
        ImageScanning::appIdentity.SupportedGroups |= DF_DSM2;
        return c.openResult;
      }
      if (call.dat == DAT_ENTRYPOINT) return c.entryResult;
      return TWRC_SUCCESS;
    };
    HINSTANCE instance = GetModuleHandleA(nullptr);
    EXPECT_EQ(ImageScanning::openDSM(instance), c.expected);
    EXPECT_EQ(fake.sent(DAT_PARENT, MSG_CLOSEDSM).size(), c.closes ? 1u : 0u);
    if (c.expected) {
      ImageScanning::clearConnection(instance);
    } else {
      EXPECT_EQ(ImageScanning::twainWindow, nullptr);
      EXPECT_EQ(ImageScanning::dsmEntryProc, nullptr);
    }
    // The class is free again: a later command can register it.
    fake.install(false);
    fake.handler = [](const FakeCall&, TW_MEMREF) { return TW_UINT16(TWRC_SUCCESS); };
    ASSERT_TRUE(ImageScanning::openDSM(instance));
    ImageScanning::clearConnection(instance);
  }
}

}  // namespace
}  // namespace lumra

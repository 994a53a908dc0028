#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "log/log.h"
#include "platform/text.h"
#include "scanning/fake_manager.h"
#include "scanning/image_scanning.h"

namespace lumra {
namespace {

using test::FakeCall;
using test::FakeManager;

TW_IDENTITY Identity(TW_UINT32 id, const char* name, TW_UINT32 groups = DG_CONTROL | DG_IMAGE) {
  TW_IDENTITY identity{};
  identity.Id = id;
  identity.ProtocolMajor = 2;
  identity.SupportedGroups = groups;
  std::strncpy(identity.ProductName, name, sizeof(identity.ProductName) - 1);
  return identity;
}

// Answers the enumeration with `list` in the given order; `failAt` makes that
// GETNEXT fail instead of ending the list.
void Enumerate(FakeManager* fake, std::vector<TW_IDENTITY> list, size_t failAt = SIZE_MAX) {
  auto next = std::make_shared<size_t>(0);
  fake->handler = [list, failAt, next](const FakeCall& call, TW_MEMREF data) -> TW_UINT16 {
    if (call.dat != DAT_IDENTITY) return TWRC_SUCCESS;
    if (call.msg == MSG_GETFIRST) *next = 0;
    if (call.msg == MSG_GETFIRST || call.msg == MSG_GETNEXT) {
      if (*next == failAt) return TWRC_FAILURE;
      if (*next >= list.size()) return TWRC_ENDOFLIST;
      *static_cast<TW_IDENTITY*>(data) = list[(*next)++];
      return TWRC_SUCCESS;
    }
    return TWRC_SUCCESS;
  };
}

TEST(Sources, NumberedInAscendingIdOrder) {
  struct Case {
    std::vector<TW_IDENTITY> reported;
    size_t failAt;
    std::vector<std::string> sources;  // "Id name" in number order
  };
  const Case cases[] = {
      {{}, SIZE_MAX, {}},
      {{Identity(7, "seven"), Identity(3, "three"), Identity(5, "five")}, SIZE_MAX, {"3 three", "5 five", "7 seven"}},
      // A repeated Id keeps the identity first reported.
      {{Identity(4, "first"), Identity(4, "second"), Identity(2, "two")}, SIZE_MAX, {"2 two", "4 first"}},
      // A failing GETNEXT ends the list with what was found.
      {{Identity(8, "a"), Identity(6, "b"), Identity(1, "c")}, 2, {"6 b", "8 a"}},
      {{Identity(8, "a")}, 0, {}},
  };
  for (const Case& c : cases) {
    FakeManager fake;
    fake.install(false);
    Enumerate(&fake, c.reported, c.failAt);
    std::vector<std::string> sources;
    for (const auto& [id, identity] : ImageScanning::getSources()) {
      sources.push_back(std::to_string(id) + " " + identity.ProductName);
    }
    EXPECT_EQ(sources, c.sources);
  }
}

TEST(Sources, NamesWithoutTerminatorStayInsideTheField) {
  std::string path = testing::TempDir() + "sources_names.log";
  std::remove(path.c_str());
  startLogAt(path, Severity::debug);
  {
    FakeManager fake;
    fake.install(false);
    TW_IDENTITY full = Identity(1, "");
    std::memset(full.ProductName, 'x', sizeof(full.ProductName));
    // Source names are ANSI text: UTF-8 here, a single-byte code page on Windows.
    TW_IDENTITY accented = Identity(2, wideToAnsi(u"Sc\u00E4nner").c_str());
    Enumerate(&fake, {full, accented});
    EXPECT_EQ(ImageScanning::getSources().size(), 2u);
  }
  stopLog();
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Found scanner Id = 1, name = " + std::string(34, 'x') + "\n"),
            std::string::npos);
  EXPECT_NE(text.find("Found scanner Id = 2, name = Sc\xC3\xA4nner\n"), std::string::npos);
  EXPECT_NE(text.find("Found 2 sources."), std::string::npos);
  std::remove(path.c_str());
}

TEST(Sources, OpenByNumber) {
  struct Case {
    uint32_t number;
    TW_UINT16 openResult;
    bool expected;
    TW_UINT32 openedId;  // 0: MSG_OPENDS not sent
    TW_UINT32 identityAfter;
  };
  const Case cases[] = {
      {1, TWRC_SUCCESS, true, 3, 3},
      {2, TWRC_SUCCESS, true, 5, 5},
      {3, TWRC_SUCCESS, true, 7, 7},
      {0, TWRC_SUCCESS, false, 0, 42},  // not found: identity untouched
      {4, TWRC_SUCCESS, false, 0, 42},
      {2, TWRC_FAILURE, false, 5, 0},  // refused: identity zeroed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    FakeManager fake;
    fake.install(false);
    Enumerate(&fake, {Identity(7, "seven"), Identity(3, "three"), Identity(5, "five")});
    auto enumerate = fake.handler;
    TW_UINT32 opened = 0;
    fake.handler = [&](const FakeCall& call, TW_MEMREF data) -> TW_UINT16 {
      if (call.msg == MSG_OPENDS) {
        EXPECT_FALSE(call.toSource);
        opened = static_cast<TW_IDENTITY*>(data)->Id;
        return c.openResult;
      }
      return enumerate(call, data);
    };
    EXPECT_EQ(ImageScanning::openSource(c.number), c.expected);
    EXPECT_EQ(opened, c.openedId);
    EXPECT_EQ(ImageScanning::sourceIdentity.Id, c.identityAfter);
  }
}

// A default that opens, or whose opening is refused, is ScanTest.BothTransferModes' and
// ScanTest.WaitingForTheSource's ("source refuses to open").
TEST(Sources, NoDefaultMeansNothingOpened) {
  FakeManager fake;
  fake.install(false);
  fake.handler = [](const FakeCall& call, TW_MEMREF) -> TW_UINT16 {
    return call.msg == MSG_GETDEFAULT ? TWRC_FAILURE : TWRC_SUCCESS;
  };
  EXPECT_FALSE(ImageScanning::openDefaultSource());
  EXPECT_EQ(ImageScanning::sourceIdentity.Id, 0u);
  EXPECT_TRUE(fake.sent(DAT_IDENTITY, MSG_OPENDS).empty());
}

// ---- Capabilities ----

struct Sent {
  TW_UINT16 cap;
  TW_UINT16 itemType;
  TW_UINT32 item;
};

TEST(Capabilities, OneValueContainersFreedEveryTime) {
  struct Case {
    const char* name;
    std::function<bool()> set;
    std::vector<Sent> sent;
  };
  const std::vector<Case> cases = {
      {"resolution", [] { return ImageScanning::setResolution(300, 300); },
       {{ICAP_XRESOLUTION, TWTY_FIX32, 300}, {ICAP_YRESOLUTION, TWTY_FIX32, 300}}},
      {"resolution differs", [] { return ImageScanning::setResolution(200, 600); },
       {{ICAP_XRESOLUTION, TWTY_FIX32, 200}, {ICAP_YRESOLUTION, TWTY_FIX32, 600}}},
      {"bw", [] { return ImageScanning::setColor(TWPT_BW); }, {{ICAP_PIXELTYPE, TWTY_UINT16, 0}}},
      {"rgb", [] { return ImageScanning::setColor(TWPT_RGB); },
       {{ICAP_PIXELTYPE, TWTY_UINT16, 2}}},
      {"duplex", [] { return ImageScanning::setDuplex(1); },
       {{CAP_DUPLEXENABLED, TWTY_BOOL, 1}}},
      {"feeder", [] { return ImageScanning::setFeeder(0); },
       {{CAP_FEEDERENABLED, TWTY_BOOL, 0}}},
  };
  for (const Case& c : cases) {
    for (bool twain2 : {false, true}) {
      for (TW_UINT16 answer : {TWRC_SUCCESS, TWRC_CHECKSTATUS}) {
        SCOPED_TRACE(testing::Message() << c.name << " twain2=" << twain2 << " answer=" << answer);
        FakeManager fake;
        fake.install(twain2);
        // A refused X resolution stops the setter before Y.
        fake.handler = [&](const FakeCall&, TW_MEMREF) { return answer; };
        EXPECT_EQ(c.set(), answer == TWRC_SUCCESS);
        size_t expected = answer == TWRC_SUCCESS ? c.sent.size() : 1;
        ASSERT_EQ(fake.calls.size(), expected);
        for (size_t i = 0; i < expected; ++i) {
          const FakeCall& call = fake.calls[i];
          EXPECT_EQ(std::tuple(call.toSource, call.dat, call.msg, call.cap, call.containerLive, call.itemType, call.item),
                    std::tuple(true, DAT_CAPABILITY, MSG_SET, c.sent[i].cap, true, c.sent[i].itemType, c.sent[i].item));
        }
        if (twain2) {
          EXPECT_EQ(fake.allocations, static_cast<int>(expected));
          EXPECT_EQ(fake.frees, fake.allocations);
          EXPECT_EQ(fake.locks, fake.allocations);
          EXPECT_EQ(fake.unlocks, fake.allocations);
          EXPECT_TRUE(fake.liveBlocks.empty());
        } else {
          EXPECT_EQ(fake.allocations, 0);
          for (const FakeCall& call : fake.calls) EXPECT_EQ(GlobalSize(call.container), 0u);
        }
      }
    }
  }
}

TEST(Capabilities, NoMemoryMeansNothingSent) {
  FakeManager fake;
  fake.install(true);
  fake.failAllocation = true;
  EXPECT_FALSE(ImageScanning::setColor(2));
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_EQ(fake.frees, 0);
}

}  // namespace
}  // namespace lumra

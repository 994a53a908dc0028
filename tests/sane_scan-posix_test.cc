// Scan jobs from SANE's test backend through the real host, our manager and
// the SANE data source; each page is compared with what scanimage reads from
// the same device. SANE sees only the test backend (a private config).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/host_session.h"

namespace lumra::test {
namespace {

namespace fs = std::filesystem;

constexpr char kScanimage[] = "/usr/bin/scanimage";
constexpr char kPattern[] = "test-picture=Color pattern";
// The test backend's devices come after the two virtual scanners.
constexpr char kScanner[] = R"("scannerId":3,)";  // at the request's root

class SaneScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(BinaryDir() + "/twain/sane/sane.ds") || !fs::exists(kScanimage)) {
      GTEST_SKIP() << "built without SANE";
    }
    config_ = MakeTempFolder("lumra_sane_");
    ASSERT_FALSE(config_.empty());
    WriteFile(config_ + "/dll.conf", "test\n");
    WriteFile(config_ + "/test.conf", "number_of_devices 2\ngeometry_max 300.0\n");
    // Under the sanitizers: the test backend loses the blocks of the reader
    // threads it kills, and keeps a listing string; not ours to free.
    WriteFile(config_ + "/lsan.supp", "leak:libsane\n");
    sanitizerEnv_ = {{"LSAN_OPTIONS", "suppressions=" + config_ + "/lsan.supp"}};
  }
  void TearDown() override {
    host_.reset();  // ends before its SANE config goes
    RemoveTree(config_);
  }

  // A host whose SANE source sets `options` (LUMRA_SANE_OPTIONS) on the device.
  void Start(const std::string& options = "") {
    host_->extraEnv = sanitizerEnv_;
    host_->extraEnv["SANE_CONFIG_DIR"] = config_;
    host_->extraEnv["LUMRA_SANE_OPTIONS"] = options;
    ASSERT_TRUE(host_->start());
    pages_ = host_->folder() + "/pages";
  }

  // A scan into pages_, under the request's watchdog; its status.
  std::string Scan(const std::string& settings, int watchdogMs = kTimeoutMs) {
    return Status(host_->ask(std::string(R"({"messageId":"m1","command":"scannerProcessingFiles",)") + kScanner +
                                 R"("workingDirectory":")" + JsonEscaped(pages_) + R"(","settings":{)" + settings +
                                 R"(,"format":{"type":"png"}}})",
                             watchdogMs)
                      .get());
  }

  std::vector<std::string> PageFiles() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(pages_, ec)) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
  }

  // What scanimage reads from the whole area of test:0 in `mode` at `depth`.
  Decoded Scanimage(const std::string& mode, const std::string& depth) {
    ChildProcess child;
    ChildOptions options;
    options.args = {"-d", "test:0", "--resolution", "25", "--test-picture=Color pattern", "--format=png",
                    "--mode", mode, "--depth", depth, "-l", "0", "-t", "0", "-x", "300", "-y", "300"};
    options.env = {{"SANE_CONFIG_DIR", config_}};
    std::string err, bytes;
    Decoded picture;
    EXPECT_TRUE(child.start(kScanimage, options, &err)) << err;
    child.closeStdin();
    EXPECT_TRUE(child.readToEnd(&bytes, kTimeoutMs));
    ExitStatus status;
    EXPECT_TRUE(child.waitExit(kTimeoutMs, &status));
    EXPECT_TRUE(decodePage(bytes, "png", &picture)) << child.stderrText();
    return picture;
  }

  std::string config_, pages_;
  std::map<std::string, std::optional<std::string>> sanitizerEnv_;
  std::unique_ptr<TestHost> host_ = std::make_unique<TestHost>();
};

// Without devices the source lists none: ScanClientTest's exact list.
TEST_F(SaneScanTest, DevicesAreListedAfterTheVirtualScanners) {
  Start();
  auto answer = host_->ask(R"({"messageId":"m1","command":"scannersList"})");
  ASSERT_EQ(Status(answer.get()), "success");
  std::vector<std::string> names;
  for (const auto& s : answer->find(u"scanners")->asArray()) names.push_back(StringAt(s.get(), {u"scannerName"}));
  EXPECT_EQ(names, (std::vector<std::string>{"Lumra Virtual Scanner", "Lumra Virtual Scanner (TWAIN 1)",
                                             "Noname frontend-tester", "Noname frontend-tester #2"}));
}

// Frame layouts the backend makes, decoded and compared pixel by pixel
// (16-bit lines and pages of unknown height are PageReaderTest's).
TEST_F(SaneScanTest, PagesMatchTheTestPatternInEveryLayout) {
  struct Case {
    const char* name;
    const char* settings;
    const char* options;
    const char* mode;
    const char* depth;  // of scanimage
  };
  const Case cases[] = {
      {"gray", R"("dpi":25,"color":"gray")", "", "Gray", "8"},
      {"colour", R"("dpi":25,"color":"color")", "", "Color", "8"},
      {"lineart", R"("dpi":25,"color":"bw")", "", "Gray", "1"},
      {"three-pass", R"("dpi":25,"color":"color")", ";three-pass=yes", "Color", "8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host_ = std::make_unique<TestHost>();  // a process per case: options are read once
    Start(std::string(kPattern) + c.options);
    ASSERT_EQ(Scan(c.settings), "success");
    std::vector<std::string> files = PageFiles();
    ASSERT_EQ(files.size(), 1u);
    Decoded ours;
    ASSERT_TRUE(decodePage(ReadFile(files[0]), "png", &ours));
    Decoded expected = Scanimage(c.mode, c.depth);
    ASSERT_EQ(ours.width, expected.width);
    ASSERT_EQ(ours.height, expected.height);
    size_t wrong = 0;
    for (uint32_t y = 0; y < ours.height; ++y) {
      for (uint32_t x = 0; x < ours.width; ++x) wrong += !(ours.at(x, y) == expected.at(x, y));
    }
    EXPECT_EQ(wrong, 0u);
    host_->finish();
  }
}

// The test backend has no duplex source: refused, logged, and the job goes
// on until its feeder is empty.
TEST_F(SaneScanTest, FeederJobRunsUntilTheFeederIsEmptyPastARefusedSetting) {
  Start(kPattern);
  EXPECT_EQ(Scan(R"("dpi":10,"color":"gray","feeder":true,"duplex":true)"), "success");
  EXPECT_EQ(PageFiles().size(), 10u);  // the test backend's feeder holds ten sheets
  host_->finish();
  const std::string log = host_->log();
  size_t set = log.find("Set duplex to 1");
  ASSERT_NE(set, std::string::npos);
  EXPECT_EQ(log.find("DSM_Entry result = ", set), log.find("DSM_Entry result = 1", set));
}

// A fault at the third sheet ends the job as a failed transfer; the two
// pages saved before it stay.
TEST_F(SaneScanTest, DeviceFaultsEndTheJobKeepingSavedPages) {
  for (const auto& [status, description] : {std::pair{"SANE_STATUS_JAMMED", "Scanning process error."},
                                             std::pair{"SANE_STATUS_CANCELLED", "Scanning cancelled by user."}}) {
    SCOPED_TRACE(status);
    host_ = std::make_unique<TestHost>();
    Start(std::string(kPattern) + ";read-return-value=" + status + "@3");
    EXPECT_EQ(Scan(R"("dpi":10,"feeder":true)"), std::string("error: ") + description);
    EXPECT_EQ(PageFiles().size(), 2u);
    host_->finish();
  }
}

// The job's time-out in the middle of a slow page: the source stops the
// device (sane_cancel on its own thread) and the host ends normally.
TEST_F(SaneScanTest, TimeOutMidPageCancelsTheDevice) {
  Start(std::string(kPattern) + ";read-delay=yes;read-delay-duration=100000");
  EXPECT_EQ(Scan(R"("dpi":100,"timeout":500)").rfind("error: ", 0), 0u);
  EXPECT_TRUE(PageFiles().empty());
  host_->finish();
  bool cancelled = false;
  for (const std::string& line : host_->journal("JOB")) {
    cancelled = cancelled || line.find("end=Operation was canceled") != std::string::npos;
  }
  EXPECT_TRUE(cancelled);
}

// What the device's options offer, as a scanning screen asks for it.
TEST_F(SaneScanTest, CapabilitiesComeFromTheDevicesOptions) {
  Start(kPattern);
  auto answer = host_->ask(std::string(R"({"messageId":"c","command":"scannerCapabilities",)") + kScanner +
                           R"("isDsm2":true})");
  ASSERT_NE(answer, nullptr);
  std::string text;
  stringifyUtf8(*answer->find(u"capabilities"), &text);
  EXPECT_EQ(text,
            R"({"colors":["bw","gray","color"],"duplex":false,"feeder":true,)"
            R"("pageSize":{"height":11.81,"width":11.81},"resolutions":{"max":1200,"min":1,"step":1},)"
            R"("showUI":true})");
}

}  // namespace
}  // namespace lumra::test

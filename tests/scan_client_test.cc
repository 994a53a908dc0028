// lumra-scan's scan verbs against the real host and virtual scanner: exit
// statuses, what it prints, and the pages it writes, read back with the
// codecs' own decoders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "lumra_version.h"
#include "platform/paths.h"
#include "tests/host_session.h"

namespace lumra::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out, err;
};

class ScanClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder("lumra_client_e2e_");
    ASSERT_FALSE(folder_.empty());
  }
  void TearDown() override { RemoveTree(folder_); }

  void Scenario(const std::string& text) {
    std::ofstream(folder_ + "/scenario.txt") << text;
    scenario_ = folder_ + "/scenario.txt";
  }

  Outcome Client(const std::vector<std::string>& args) { return Run("lumra-scan", args); }

  Outcome Run(const std::string& program, const std::vector<std::string>& args) {
    ChildProcess client;
    ChildOptions options;
    options.args = args;
    options.env = HostEnv(folder_, scenario_);
    std::string err;
    Outcome outcome;
    EXPECT_TRUE(client.start(BinaryPath(program), options, &err)) << err;
    client.closeStdin();
    ExitStatus status;
    EXPECT_TRUE(client.waitExit(120000, &status));
    client.readToEnd(&outcome.out, 10000);
    outcome.err = client.stderrText();
    // A console program's text lines end in CR LF on Windows.
    for (std::string* text : {&outcome.out, &outcome.err}) std::erase(*text, '\r');
    outcome.status = status.exited ? status.code : -1;
    return outcome;
  }

  std::string folder_;
  std::string scenario_;
};

TEST_F(ScanClientTest, ListNamesEveryScannerAndCapsTellsWhatOneOffers) {
  Scenario("[source]\nname = Seven\n[source]\nname = Three\nresolutions = 150 300\n"
           "pixel_types = gray\nunsupported = CAP_DUPLEX ICAP_PHYSICALWIDTH\n");
  Outcome list = Client({"list"});
  EXPECT_EQ(list.status, 0) << list.err;
  // Exactly these: a SANE source without devices adds none.
  EXPECT_EQ(list.out, "result: success\nscanner 1: Seven\nscanner 2: Three\n");
  Outcome caps = Client({"caps", "--scanner", "2"});
  EXPECT_EQ(caps.status, 0) << caps.err;
  EXPECT_NE(caps.out.find("resolutions: 150, 300\ncolors: gray\nfeeder: yes\n"
                          "dialog can stay hidden: yes\n"),
            std::string::npos)
      << caps.out;
  EXPECT_EQ(caps.out.find("page size"), std::string::npos) << caps.out;
}

TEST_F(ScanClientTest, PagesArriveInEveryWay) {
  Scenario("width = 200\nheight = 120\npages = 3\n");
  for (const auto& [as, format, ext] : {std::tuple{"pages", "jpg", "jpg"}, std::tuple{"socket", "png", "png"},
                                        std::tuple{"split", "tiff", "tif"}}) {
    SCOPED_TRACE(as);
    std::string out = folder_ + "/out_" + as;
    Outcome scan = Client({"scan", "--as", as, "--format", format, "--color", "gray", "--dpi", "100", "--out", out});
    ASSERT_EQ(scan.status, 0) << scan.out << scan.err;
    for (int n = 1; n <= 3; ++n) {
      std::string path = out + "/page_" + std::to_string(n) + "." + ext;
      Decoded decoded;
      ASSERT_TRUE(decodePage(ReadFile(path), ext, &decoded)) << path << "\n" << scan.out;
      EXPECT_EQ(decoded.width, 200u);
      EXPECT_EQ(decoded.height, 120u);
      // The client names files with the platform's own separator.
      std::string shown =
          (std::filesystem::path(out) / ("page_" + std::to_string(n) + "." + ext)).string();
      EXPECT_NE(scan.out.find(shown), std::string::npos) << shown << "\n" << scan.out;
      // Each page is reported as the host saves it, before the answer.
      std::string progress = "page " + std::to_string(n) + " saved, ";
      EXPECT_NE(scan.err.find(progress), std::string::npos) << scan.err;
    }
    // Pages sent as content are not left behind.
    std::error_code ec;
    EXPECT_TRUE(fs::is_empty(HostTempFolder(folder_) + "/lumra_image_scan", ec));
  }
}

TEST_F(ScanClientTest, FilesThenRemove) {
  Scenario("width = 64\nheight = 48\npages = 2\n");
  std::string work = folder_ + "/work";
  Outcome scan = Client({"scan", "--as", "files", "--working-dir", work, "--format", "bmp"});
  ASSERT_EQ(scan.status, 0) << scan.err;
  // The host ends the working folder with the platform's separator.
  std::vector<std::string> files = {work + kPathSeparator + "page_0.bmp",
                                    work + kPathSeparator + "page_1.bmp"};
  for (const auto& f : files) {
    EXPECT_TRUE(fs::exists(f)) << f;
    EXPECT_NE(scan.out.find("file: " + f), std::string::npos) << scan.out;
  }
  Outcome removed = Client({"remove", files[0], files[1]});
  EXPECT_EQ(removed.status, 0) << removed.err;
  for (const auto& f : files) EXPECT_FALSE(fs::exists(f)) << f;
}

TEST_F(ScanClientTest, ErrorsExitWithTheHostsDescription) {
  Scenario("width = 64\nheight = 48\npages = 3\nreturn.xfer.1 = CANCEL\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;  // on standard error
  };
  const Case cases[] = {
      {{"scan", "--out", folder_ + "/cancelled"}, 1, "Scanning cancelled by user."},
      {{"raw", R"({"messageId":"r","command":"nonsense"})"}, 1, "Unknow request command nonsense"},
      {{"scan", "--color", "purple"}, 2, "--color takes bw, gray or color"},
      {{"scan", "--dpi"}, 2, "--dpi needs a value"},
      {{"remove"}, 2, "name at least one file"},
      {{"no-such-verb"}, 2, "unknown verb \"no-such-verb\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    Outcome outcome = Client(c.args);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
  }
  // The page saved before the cancel is still delivered.
  EXPECT_TRUE(fs::exists(folder_ + "/cancelled/page_1.jpg"));
}

// The host tells its version without starting: no lock, no log.
TEST_F(ScanClientTest, HelpForEveryVerbAndBothProgramsVersions) {
  for (const char* verb : {"list", "scan", "remove", "raw", "encode"}) {
    Outcome help = Client({verb, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("usage: lumra-scan ") + verb, 0), 0u) << help.out;
  }
  for (const std::string program : {"lumra-scan", "lumra-scan-host"}) {
    Outcome outcome = Run(program, {"--version"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, program + " " LUMRA_VERSION "\n");
  }
  EXPECT_FALSE(fs::exists(HostTempFolder(folder_) + "/LumraImageScanning.log"));
}

}  // namespace
}  // namespace lumra::test

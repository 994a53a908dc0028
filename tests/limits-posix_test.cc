// The host under hostile limits and readers: a file size limit, a full disk,
// a data limit far below a list of large files or a request, readers that
// close their end (of standard output in the middle of a series, of
// standard error before a driver prints) and one that reads slower than it
// asks.
// Every request is answered (or its reader is gone) and the host lives on.
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "imaging/testing/pdf_tools.h"
#include "tests/host_session.h"
#include "tools/host_client.h"

namespace lumra::test {
namespace {

namespace fs = std::filesystem;

// A private folder for the tests' files, and hosts started through
// /bin/sh -c `script` ("$0" is the host).
class Limits : public ::testing::Test {
 protected:
  void SetUp() override { tmp_ = MakeTempFolder("lumra_limits_"); }
  void TearDown() override { RemoveTree(tmp_); }
  void startUnder(TestHost* host, const std::string& script, const std::string& scenario = "") {
    host->args = {"-c", script, HostPath()};
    ASSERT_TRUE(host->start(scenario, "/bin/sh"));
  }
  // A split series' request over one file of `size` bytes, written under tmp_.
  std::string Series(size_t size) {
    file_ = tmp_ + "/page.bin";
    WriteFile(file_, std::string(size, 'p'));
    return R"({"messageId":"f","command":"filesSplitProcessing","files":[{"fileName":")" + file_ + "\"}]}";
  }
  std::string tmp_, file_;
};

// A document that outgrows the file size limit (200 KiB) part-way: the job
// fails, and what is listed is a complete file, never a cut one; no spool
// stays.
TEST_F(Limits, ADocumentPastTheFileSizeLimitIsNeverCut) {
  TestHost host;
  startUnder(&host, "ulimit -f 400 && exec \"$0\"", "width = 800\nheight = 600\npages = 12\n");
  for (const char* format : {R"({"type":"pdf"})", R"({"type":"tif","multipage":true})"}) {
    SCOPED_TRACE(format);
    const std::string folder = host.folder() + "/pages/";
    RemoveTree(folder);
    auto answer = host.ask(R"({"messageId":"d","command":"scannerProcessingFiles","workingDirectory":")" +
                           folder + R"(","settings":{"feeder":true,"format":)" + format + "}}");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(Status(answer.get()), "error: Error save image to file.");
    std::vector<std::string> listed, left;
    if (const JsonValue* files = answer->find(u"files")) {
      for (const auto& f : files->asArray()) listed.push_back(StringAt(f.get(), {u"fileName"}));
    }
    for (const auto& entry : fs::directory_iterator(folder)) left.push_back(entry.path().string());
    EXPECT_EQ(left, listed);
    for (const std::string& file : listed) {
      const std::string bytes = ReadFile(file);
      const std::vector<uint8_t> tif(bytes.begin(), bytes.end());
      Decoded decoded;
      testing::TiffFacts facts;
      // Every page of the TIFF reads, down to the last.
      EXPECT_TRUE(file.ends_with(".pdf") ? testing::qpdfChecks(file)
                                         : testing::decodeTiff(tif, &decoded, &facts) &&
                                               testing::decodeTiff(tif, &decoded, nullptr, facts.directories - 1));
    }
  }
}

// A driver prints after the reader of standard error left: the print fails
// and the scan and the host go on.
TEST_F(Limits, DriverPrintsAfterTheErrorReaderLeft) {
  TestHost host;
  startUnder(&host, "exec 3>&1; \"$0\" 2>&1 1>&3 3>&- | { exec 0<&-; echo reader gone >&2; }",
             "width = 64\nheight = 48\nstdout = warming up\n");
  for (int waited = 0; host.process().stderrText().find("reader gone") == std::string::npos; ++waited) {
    ASSERT_LT(waited, kTimeoutMs / 10);
    usleep(10000);
  }
  for (const char* command : {"scannerProcessing", "scannersList"}) {
    EXPECT_EQ(Status(host.ask(std::string(R"({"messageId":"s","command":")") + command + "\"}").get()), "success")
        << command;
  }
}

TEST_F(Limits, RequestWhileTheDiskIsFull) {
  std::string disk = MakeTempFolder("lumra_full_disk_");
  if (geteuid() != 0 || mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0) {
    RemoveTree(disk);
    GTEST_SKIP() << "a small disk needs root (mount tmpfs)";
  }
  TestHost host;
  ASSERT_TRUE(host.start("width = 800\nheight = 600\n"));  // 1.4 MB as BMP
  EXPECT_EQ(Status(host.ask(R"({"messageId":"s","command":"scannerProcessing","workingDirectory":")" + disk +
                            R"(/","settings":{"format":{"type":"bmp"}}})").get()),
            "error: Error save image to file.");
  EXPECT_EQ(Status(host.ask(R"({"messageId":"l","command":"scannersList"})").get()), "success");
  // What was written is the failed page's partial file.
  EXPECT_TRUE(fs::exists(disk + "/page_0.bmp"));
  umount2(disk.c_str(), MNT_DETACH);
  RemoveTree(disk);
}

// Answers stay whole and in order when the host must wait for its reader:
// nothing reads the host's output for a second while requests keep coming.
TEST_F(Limits, RequestsFasterThanAnswersAreRead) {
  const std::string series = Series(1500000);
  TestHost host;
  startUnder(&host, "\"$0\" | { sleep 1; cat; }");
  std::string err;
  constexpr int kSlices = 4;  // 2 MB of answer: the last slice of the series
  for (int i = 0; i < kSlices; ++i) ASSERT_TRUE(host.process().writeFrame(series, &err)) << err;
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(host.process().writeFrame(R"({"messageId":"l","command":"x"})", &err));
  std::u16string whole;
  for (int i = 0; i < kSlices; ++i) {
    std::string body;
    ASSERT_TRUE(host.process().readFrame(&body, kTimeoutMs, &err)) << err;
    auto answer = parseAnswer(body, &err);
    ASSERT_NE(answer, nullptr);
    whole += ValueAt(answer.get(), {u"split", u"part"})->asString();
    EXPECT_EQ(ValueAt(answer.get(), {u"split", u"last"})->asBool(), i == kSlices - 1);
  }
  auto full = parseJson(whole);
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(decodeBase64(ValueAt(full.get(), {u"pages"})->asArray()[0]->find(u"content")->asString()),
            std::string(1500000, 'p'));
  for (int i = 0; i < 40; ++i) {
    std::string body;
    ASSERT_TRUE(host.process().readFrame(&body, kTimeoutMs, &err)) << err;
    EXPECT_NE(body.find("Unknow request command x"), std::string::npos);
  }
  host.finish();
}

// The reader goes away after 600,000 bytes, in the second slice of a series:
// the host keeps answering into nothing, and ends well with its input.
TEST_F(Limits, StandardOutputClosedInTheMiddleOfASplitSeries) {
  const std::string series = Series(2500000);
  TestHost host;
  startUnder(&host, "{ \"$0\"; echo \"host exit $?\" >&2; } | head -c 600000 >/dev/null");
  std::string err;
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(host.process().writeFrame(series, &err)) << err;
  ASSERT_TRUE(host.process().writeFrame(R"({"messageId":"l","command":"scannersList"})", &err)) << err;
  host.finish();
  EXPECT_NE(host.process().stderrText().find("host exit 0"), std::string::npos) << host.process().stderrText();
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_NE(host.log().find("Command scannersList"), std::string::npos);
}

// Memory runs out in the middle of a request (a 60 MB body under a 150 MB
// data limit): that request is answered as such and the next one as usual.
TEST_F(Limits, RequestThatRunsOutOfMemoryIsAnswered) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot run under a data limit";
#endif
  TestHost host;
  startUnder(&host, "ulimit -d 150000 && exec \"$0\"");
  const std::string big = R"({"messageId":"big","command":"x","pad":")" + std::string(60000000, 'a') + "\"}";
  EXPECT_EQ(host.exchange(big),
            R"({"status":{"code":0,"description":"Not enough memory to answer the request","result":"error"}})");
  EXPECT_NE(host.exchange(R"({"messageId":"l","command":"x"})").find("Unknow request command x"),
            std::string::npos);
  host.finish();
}

// 300 entries naming one large read-only file (it cannot be deleted, so
// every entry reads it) under a data limit: the pages that fit the budget
// (a quarter of the limit) come back whole, the rest as "Error create page".
TEST_F(Limits, ThreeHundredLargeFilesWithinTheMemoryBudget) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot run under a data limit";
#endif
  const std::string bytes(20000000, 'L');
  std::string file = tmp_ + "/large.bin";
  WriteFile(file, bytes);
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  std::string files;
  for (int i = 0; i < 300; ++i) files += std::string(i ? "," : "") + R"({"fileName":")" + file + "\"}";

  TestHost host;
  startUnder(&host, "ulimit -d 400000 && exec \"$0\"");  // 400 MB
  std::string err;
  auto full = host.requestSplit(R"({"messageId":"b","command":"filesSplitProcessing","files":[)" + files + "]}", &err);
  ASSERT_NE(full, nullptr) << err;
  const auto& pages = ValueAt(full.get(), {u"pages"})->asArray();
  ASSERT_EQ(pages.size(), 300u);
  size_t whole_pages = 0;
  for (const auto& page : pages) {
    if (page->find(u"content") == nullptr) break;
    EXPECT_EQ(decodeBase64(page->find(u"content")->asString()), bytes);
    ++whole_pages;
  }
  EXPECT_EQ(whole_pages, 3u);  // 26.7 MB of text each in a budget of 102.4 MB
  for (size_t i = whole_pages; i < pages.size(); ++i) {
    EXPECT_EQ(StringAt(pages[i].get(), {u"description"}), "Error create page") << i;
  }
  EXPECT_NE(host.log().find("the answer would pass its memory budget of 102400000 bytes"),
            std::string::npos);
  EXPECT_NE(host.exchange(R"({"messageId":"l","command":"x"})").find("Unknow request command x"),
            std::string::npos);
  host.finish();
}

}  // namespace
}  // namespace lumra::test

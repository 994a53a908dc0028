// Scan jobs through the real host, our manager and the scripted virtual
// scanner: what the source received (its journal), what the answer says, and
// the page files read back with the codecs' own decoders.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "tests/scan_support.h"

namespace lumra::test {
namespace {

namespace fs = std::filesystem;

// Small pages keep the jobs fast; the layout tests set their own.
constexpr char kSmallPages[] = "width = 64\nheight = 48\n";

std::string Request(const std::string& command, const std::string& extra = "",
                    const std::string& messageId = "m1") {
  std::string json = R"({"messageId":")" + messageId + R"(","command":")" + command + "\"";
  if (!extra.empty()) json += "," + extra;
  return json + "}";
}

struct Job {
  std::unique_ptr<JsonValue> answer;
  std::string result, description;
  double code = -1;
  std::vector<std::string> files;  // "files" of scannerProcessingFiles
};

Job Send(ScanHost* host, const std::string& json) {
  Job job;
  std::string err;
  job.answer = host->request(json, &err);
  EXPECT_NE(job.answer, nullptr) << err << "\nstderr: " << host->process().stderrText();
  if (job.answer == nullptr) return job;
  job.result = StringAt(job.answer.get(), {u"status", u"result"});
  job.description = StringAt(job.answer.get(), {u"status", u"description"});
  job.code = NumberAt(job.answer.get(), {u"status", u"code"});
  if (const JsonValue* files = job.answer->find(u"files"); files != nullptr && files->isArray()) {
    for (const auto& f : files->asArray()) job.files.push_back(StringAt(f.get(), {u"fileName"}));
  }
  return job;
}

// A scan into `folder` whose page files stay there.
// A path as JSON string content (Windows paths carry backslashes).
std::string JsonEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

Job ScanFiles(ScanHost* host, const std::string& folder, const std::string& settings = "",
              const std::string& extra = "") {
  std::string fields = R"("workingDirectory":")" + JsonEscaped(folder) + "\"";
  if (!settings.empty()) fields += R"(,"settings":{)" + settings + "}";
  if (!extra.empty()) fields += "," + extra;
  return Send(host, Request("scannerProcessingFiles", fields));
}

class ScanTest : public testing::Test {
 protected:
  void Start(const std::string& scenario) {
    std::string err;
    ASSERT_TRUE(host_.start(scenario, &err)) << err;
    pages_ = host_.folder() + "/pages" + kPathSeparator;
  }
  ScanHost host_;
  std::string pages_;
};

TEST_F(ScanTest, ScannersAreNumberedByIdAndOpenedByNumber) {
  Start(std::string(kSmallPages) +
        "[source]\nid = 7\nname = Seven\n[source]\nid = 3\nname = Three\n"
        "[source]\nid = 5\nname = Five\n");
  Job list = Send(&host_, Request("scannersList"));
  ASSERT_EQ(list.result, "success");
  const JsonValue* scanners = list.answer->find(u"scanners");
  ASSERT_NE(scanners, nullptr);
  ASSERT_EQ(scanners->asArray().size(), 3u);
  const char* names[] = {"Three", "Five", "Seven"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(NumberAt(scanners->asArray()[i].get(), {u"scannerId"}), i + 1.0);
    EXPECT_EQ(StringAt(scanners->asArray()[i].get(), {u"scannerName"}), names[i]);
  }

  Job job = ScanFiles(&host_, pages_, "", R"("scannerId":2)");
  EXPECT_EQ(job.result, "success") << job.description;
  auto opened = host_.journal("OPENDS");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(JournalField(opened[0], "source"), "5");

  // A number that names nothing opens nothing.
  for (const char* id : {"0", "4", "4294967295"}) {
    Job missing = ScanFiles(&host_, pages_, "", std::string(R"("scannerId":)") + id);
    EXPECT_EQ(missing.result, "error");
    EXPECT_EQ(missing.description, "Error open source.");
    EXPECT_EQ(missing.code, 0);
  }
  EXPECT_EQ(host_.journal("OPENDS").size(), 1u);
}

TEST_F(ScanTest, CapabilitiesReachTheSourceInOrder) {
  struct Case {
    const char* name;
    std::string settings;
    std::vector<std::string> sent;  // "cap=value" in the order received
  };
  const Case cases[] = {
      {"nothing but the pixel type", "", {"ICAP_PIXELTYPE=2"}},
      {"everything",
       R"("dpi":300,"color":"gray","duplex":true,"feeder":false,"format":{"type":"png"})",
       {"ICAP_XRESOLUTION=300", "ICAP_YRESOLUTION=300", "ICAP_PIXELTYPE=1",
        "CAP_DUPLEXENABLED=1", "CAP_FEEDERENABLED=0"}},
      {"JPEG cannot be black and white", R"("color":"bw","format":{"type":"jpg"})",
       {"ICAP_PIXELTYPE=1"}},
      {"TIFF can", R"("color":"bw","format":{"type":"tif"})", {"ICAP_PIXELTYPE=0"}},
      {"any other colour text", R"("color":"Gray","dpi":150)",
       {"ICAP_XRESOLUTION=150", "ICAP_YRESOLUTION=150", "ICAP_PIXELTYPE=2"}},
  };
  Start(kSmallPages);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = host_.journal("CAPSET").size();
    Job job = ScanFiles(&host_, pages_, c.settings);
    EXPECT_EQ(job.result, "success") << job.description;
    auto capset = host_.journal("CAPSET");
    std::vector<std::string> sent;
    for (size_t i = before; i < capset.size(); ++i) {
      sent.push_back(JournalField(capset[i], "cap") + "=" + JournalField(capset[i], "value"));
      EXPECT_EQ(JournalField(capset[i], "contype"), "5");
    }
    EXPECT_EQ(sent, c.sent);
  }
}

TEST_F(ScanTest, QualityKeepsItsLowByte) {
  Start(kSmallPages);
  auto jpeg = [&](const std::string& quality) {
    Job job = ScanFiles(&host_, pages_, R"("format":{"type":"jpg","quality":)" + quality + "}");
    EXPECT_EQ(job.result, "success");
    std::string bytes;
    EXPECT_TRUE(ReadFile(pages_ + "page_0.jpg", &bytes));
    return bytes;
  };
  std::string q44 = jpeg("44");
  EXPECT_EQ(jpeg("300"), q44);  // 300 & 0xFF
  EXPECT_NE(jpeg("70"), q44);
  EXPECT_EQ(jpeg("70"), jpeg("326"));
  EXPECT_NE(host_.log().find("Quality jpeg 44"), std::string::npos);
}

TEST_F(ScanTest, RefusedCapabilitiesAreLoggedAndTheJobGoesOn) {
  Start(std::string(kSmallPages) + "refuse = ICAP_XRESOLUTION:BADVALUE CAP_DUPLEXENABLED\n");
  Job job = ScanFiles(&host_, pages_, R"("dpi":300,"duplex":true,"feeder":true)");
  EXPECT_EQ(job.result, "success") << job.description;
  EXPECT_EQ(job.files.size(), 3u);
  std::vector<std::string> caps;
  for (const auto& line : host_.journal("CAPSET")) caps.push_back(JournalField(line, "cap"));
  // A refused X resolution means no Y resolution.
  EXPECT_EQ(caps, (std::vector<std::string>{"ICAP_XRESOLUTION", "ICAP_PIXELTYPE",
                                            "CAP_DUPLEXENABLED", "CAP_FEEDERENABLED"}));
  std::string log = host_.log();
  EXPECT_NE(log.find("Error set resolution."), std::string::npos);
  EXPECT_NE(log.find("Error set duplex."), std::string::npos);
  EXPECT_NE(log.find("DSM_Entry status = 10"), std::string::npos);
}

TEST_F(ScanTest, BothTransferModes) {
  struct Case {
    const char* name;
    std::string extra;  // request fields
    const char* mode;   // log record of the chosen mode
  };
  const Case cases[] = {
      {"TWAIN 2 source under the TWAIN 2 manager", R"("scannerId":1)",
       "Scanning using callback..."},
      {"TWAIN 1 source under the TWAIN 2 manager", R"("scannerId":2)",
       "Scanning using event loop..."},
      {"TWAIN 2 source under the TWAIN 1 manager", R"("scannerId":1,"isDsm2":false)",
       "Scanning using event loop..."},
      {"default source", "", "Scanning using callback..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScanHost host;
    std::string err;
    ASSERT_TRUE(host.start(std::string(kSmallPages) +
                               "[source]\nid = 1\nname = Two\n[source]\nid = 2\nname = One\n"
                               "twain2 = no\n",
                           &err))
        << err;
    // A list first: its connection must leave nothing behind that ends a later
    // event loop.
    Job list = Send(&host, Request("scannersList", c.extra.find("isDsm2") != std::string::npos
                                                      ? R"("isDsm2":false)"
                                                      : ""));
    EXPECT_EQ(list.result, "success");
    std::string folder = host.folder() + "/pages" + kPathSeparator;
    for (int round = 0; round < 2; ++round) {
      Job job = ScanFiles(&host, folder, R"("feeder":true)", c.extra);
      EXPECT_EQ(job.result, "success") << job.description;
      EXPECT_EQ(job.files.size(), 3u);
    }
    EXPECT_NE(host.log().find(c.mode), std::string::npos);
  }
}

TEST_F(ScanTest, WaitingForTheSource) {
  struct Case {
    const char* name;
    std::string scenario;
    std::string settings;
    std::string extra;
    const char* result;
    const char* description;
    double code;
    size_t disables;  // MSG_DISABLEDS the source received
    size_t closes;    // MSG_CLOSEDS
  };
  const Case cases[] = {
      {"ready during enable, zero time-out", "ready = enable\n", R"("timeout":0)", "", "success",
       "", -1, 1, 1},
      {"ready during enable, event loop", "ready = enable\n", "", R"("isDsm2":false)", "success",
       "", -1, 1, 1},
      {"ready later, event loop", "ready = thread\nready_delay = 50\n", R"("timeout":0)",
       R"("isDsm2":false)", "success", "", -1, 1, 1},
      {"ready later, zero time-out", "ready = thread\nready_delay = 50\n", R"("timeout":0)", "",
       "error", "Scanning timeout.", 0, 1, 1},
      {"time-out expires", "ready = thread\nready_delay = 400\n", R"("timeout":50)", "", "error",
       "Scanning timeout.", 0, 1, 1},
      {"never ready", "ready = never\n", R"("timeout":100)", "", "error", "Scanning timeout.", 0,
       1, 1},
      {"cancel in the dialog", "cancel = dialog\n", R"("showUI":true)", "", "error",
       "Scanning not image.", 0, 1, 1},
      {"cancel in the dialog, event loop", "cancel = dialog\n", R"("showUI":true)",
       R"("isDsm2":false)", "error", "Scanning not image.", 0, 1, 1},
      {"close ok", "notify = closedsok\n", "", "", "error", "Scanning not image.", 0, 1, 1},
      {"enable refused", "fail.enableds = OPERATIONERROR\n", "", "", "error",
       "Error enable source.", 5, 0, 1},
      {"enable refused, event loop", "fail.enableds = OPERATIONERROR\n", "", R"("isDsm2":false)",
       "error", "Error enable source.", 5, 0, 1},
      {"source refuses to open", "fail.opends = MAXCONNECTIONS\n", "", "", "error",
       "Error open source.", 4, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScanHost host;
    std::string err;
    ASSERT_TRUE(host.start(std::string(kSmallPages) + c.scenario, &err)) << err;
    Job job = ScanFiles(&host, host.folder() + "/pages" + kPathSeparator, c.settings, c.extra);
    EXPECT_EQ(job.result, c.result);
    EXPECT_EQ(job.description, c.description);
    EXPECT_EQ(job.code, c.code);
    EXPECT_EQ(host.journal("DISABLEDS").size(), c.disables);
    EXPECT_EQ(host.journal("CLOSEDS").size(), c.closes);
    // A late notification changes nothing; the host goes on.
    Job list = Send(&host, Request("scannersList", "", "after"));
    EXPECT_EQ(list.result, "success");
  }
}

TEST_F(ScanTest, TransferFailuresKeepThePagesAlreadySaved) {
  struct Case {
    const char* name;
    std::string scenario;
    const char* result;
    const char* description;
    std::vector<std::string> pages;
  };
  const Case cases[] = {
      {"unknown count over five pages", "pages = 5\npending = unknown\n", "success", "",
       {"page_0.jpg", "page_1.jpg", "page_2.jpg", "page_3.jpg", "page_4.jpg"}},
      {"cancel during the second page", "pages = 3\nreturn.xfer.1 = CANCEL\n", "error",
       "Scanning cancelled by user.", {"page_0.jpg"}},
      {"failure on the second page", "pages = 3\nfail.xfer.1 = PAPERJAM\n", "error",
       "Scanning process error.", {"page_0.jpg"}},
      {"unknown code on the third page", "pages = 3\nreturn.xfer.2 = 77\n", "error",
       "Scanning process error.", {"page_0.jpg", "page_1.jpg"}},
      {"third page cannot be saved", "pages = 3\nhandle.2 = truncated\n", "error",
       "Error save image to file.", {"page_0.jpg", "page_1.jpg"}},
      {"null bitmap", "pages = 3\nhandle.1 = null\n", "error", "Error save image to file.",
       {"page_0.jpg"}},
      {"notifies twice and once more when disabled", "notify_count = 2\nlate_notify = disable\n",
       "success", "", {"page_0.jpg"}},
      {"notifies while closing", "late_notify = close\n", "success", "", {"page_0.jpg"}},
  };
  for (bool twain2 : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << (twain2 ? " (callback)" : " (event loop)"));
      ScanHost host;
      std::string err;
      ASSERT_TRUE(host.start(std::string(kSmallPages) + c.scenario, &err)) << err;
      std::string folder = host.folder() + "/pages" + kPathSeparator;
      Job job = ScanFiles(&host, folder, "", twain2 ? "" : R"("isDsm2":false)");
      EXPECT_EQ(job.result, c.result);
      EXPECT_EQ(job.description, c.description);
      std::vector<std::string> want;
      for (const auto& p : c.pages) want.push_back(folder + p);
      EXPECT_EQ(job.files, want);
      for (const auto& path : want) {
        std::string bytes;
        ASSERT_TRUE(ReadFile(path, &bytes)) << path;
        Decoded decoded;
        EXPECT_TRUE(DecodeImage(bytes, "jpg", &decoded, &err)) << path << ": " << err;
        EXPECT_EQ(decoded.width, 64);
        EXPECT_EQ(decoded.height, 48);
      }
      if (std::string(c.description) == "Scanning process error.") {
        EXPECT_EQ(job.code, c.scenario.find("PAPERJAM") != std::string::npos ? 20 : 0);
      }
      // A failed transfer drops the source's pending transfers.
      EXPECT_EQ(host.journal("RESET").size(), std::string(c.result) == "error" ? 1u : 0u);
      Job list = Send(&host, Request("scannersList", "", "after"));
      EXPECT_EQ(list.result, "success");
    }
  }
}

TEST_F(ScanTest, PagesAsBase64AndAsSplitSeries) {
  Start(std::string(kSmallPages) + "pages = 4\n");
  struct Case {
    const char* command;
    bool split;
  };
  const Case cases[] = {{"scannerProcessing", false},
                        {"scannerProcessingSocketPartSend", false},
                        {"scannerSplitProcessing", true}};
  int series = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    std::string json = Request(c.command, R"("settings":{"format":{"type":"png"}})",
                               "series" + std::to_string(series++));
    std::unique_ptr<JsonValue> answer;
    std::string err;
    if (c.split) {
      answer = host_.requestSplit(json, &err);
    } else {
      answer = host_.request(json, &err);
    }
    ASSERT_NE(answer, nullptr) << err;
    EXPECT_EQ(StringAt(answer.get(), {u"status", u"result"}), "success");
    const JsonValue* pages = answer->find(u"pages");
    ASSERT_NE(pages, nullptr);
    ASSERT_EQ(pages->asArray().size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      const JsonValue* page = pages->asArray()[i].get();
      EXPECT_EQ(NumberAt(page, {u"number"}), i + 1.0);
      EXPECT_EQ(StringAt(page, {u"type"}), "png");
      std::string bytes;
      ASSERT_TRUE(DecodeBase64Text(ValueAt(page, {u"content"})->asString(), &bytes));
      Decoded decoded;
      EXPECT_TRUE(DecodeImage(bytes, "png", &decoded, &err)) << err;
      EXPECT_EQ(decoded.width, 64);
    }
    // Pages sent as content are not left behind.
    std::error_code ec;
    EXPECT_TRUE(fs::is_empty(host_.defaultWorkFolder(), ec)) << host_.defaultWorkFolder();
  }
}

TEST_F(ScanTest, LargeSplitSeriesHoldsEveryPage) {
  // Uncompressed colour pages: the answer needs many slices.
  Start("width = 400\nheight = 600\npages = 3\n");
  std::string err;
  int slices = 0;
  auto answer = host_.requestSplit(
      Request("scannerSplitProcessing", R"("settings":{"format":{"type":"bmp"}})", "big"), &err,
      &slices);
  ASSERT_NE(answer, nullptr) << err;
  EXPECT_GT(slices, 4);
  const JsonValue* pages = answer->find(u"pages");
  ASSERT_NE(pages, nullptr);
  ASSERT_EQ(pages->asArray().size(), 3u);
  const size_t rowSize = 400 * 3;
  for (const auto& page : pages->asArray()) {
    std::string bytes;
    ASSERT_TRUE(DecodeBase64Text(ValueAt(page.get(), {u"content"})->asString(), &bytes));
    EXPECT_EQ(bytes.size(), 54 + rowSize * 600);
    int width = 0, height = 0;
    ASSERT_TRUE(HeaderSize(bytes, "bmp", &width, &height, &err)) << err;
    EXPECT_EQ(width, 400);
    EXPECT_EQ(height, 600);
  }
}

TEST_F(ScanTest, FilesStayOnDiskUntilRemoved) {
  Start(std::string(kSmallPages) + "pages = 3\n");
  Job job = ScanFiles(&host_, pages_, R"("format":{"type":"tiff"})");
  ASSERT_EQ(job.result, "success") << job.description;
  ASSERT_EQ(job.files.size(), 3u);
  std::string items;
  for (size_t i = 0; i < job.files.size(); ++i) {
    EXPECT_EQ(job.files[i], pages_ + "page_" + std::to_string(i) + ".tif");
    EXPECT_TRUE(fs::exists(job.files[i]));
    items += std::string(i ? "," : "") + R"({"fileName":")" + JsonEscaped(job.files[i]) + "\"}";
  }
  Job removed = Send(&host_, Request("removeFiles", R"("files":[)" + items + "]"));
  EXPECT_EQ(removed.result, "success");
  for (const auto& f : job.files) EXPECT_FALSE(fs::exists(f)) << f;
}

TEST_F(ScanTest, DriverOutputNeverReachesThePipe) {
  Start(std::string(kSmallPages) + "stdout = scanner warming up\n");
  for (const char* extra : {"", R"("isDsm2":false)"}) {
    Job job = ScanFiles(&host_, pages_, "", extra);
    EXPECT_EQ(job.result, "success");
  }
  ASSERT_FALSE(host_.journal("PRINT").empty());
  host_.process().closeStdin();
  std::string rest;
  ASSERT_TRUE(host_.process().readToEnd(&rest, 10000));
  EXPECT_EQ(rest, "");
  EXPECT_NE(host_.process().stderrText().find("scanner warming up"), std::string::npos);
}

TEST_F(ScanTest, MissingManager) {
  // A host alone in a folder with its own libraries but without our manager.
  std::string lonely = MakeTempFolder("lumra_lonely_");
  ASSERT_FALSE(lonely.empty());
  std::string hostCopy = lonely + "/" + fs::path(HostPath()).filename().string();
  fs::copy_file(HostPath(), hostCopy);
  for (const auto& entry : fs::directory_iterator(LUMRA_BIN_DIR)) {
    std::string name = entry.path().filename().string();
    std::string lower = name;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    bool library = lower.rfind("lib", 0) == 0 || lower.ends_with(".dll");
    if (entry.is_regular_file() && library && lower.find("twain") == std::string::npos) {
      fs::copy_file(entry.path(), lonely + "/" + name);
    }
  }
  ScanHost host;
  std::string err;
  ASSERT_TRUE(host.start("", &err, hostCopy)) << err;
  for (const char* isDsm2 : {"", R"("isDsm2":false)"}) {
    Job list = Send(&host, Request("scannersList", isDsm2));
    EXPECT_EQ(list.result, "error");
    EXPECT_EQ(list.answer->find(u"scanners"), nullptr);
    Job scan = ScanFiles(&host, host.folder() + "/pages" + kPathSeparator, "", isDsm2);
    EXPECT_EQ(scan.result, "error");
    EXPECT_TRUE(scan.files.empty());
  }
  EXPECT_NE(host.log().find("Cannot load library TWAINDSM.DLL or TWAIN_32.DLL."),
            std::string::npos);
  RemoveTree(lonely);
}

// ---- Every bitmap layout in every format ----

struct Layout {
  const char* name;
  const char* scenario;
  const char* color;  // request colour, which picks the palette
  int pageDepth;      // depth the host keeps: 1, 4, 8 or 24
  bool gray;          // 8-bit gray ramp
};

const Layout kLayouts[] = {
    {"1 bit", "depth = 1\n", "bw", 1, false},
    {"4 bit", "depth = 4\n", "gray", 4, false},
    {"4 bit RLE", "depth = 4\ncompression = rle\n", "gray", 4, false},
    {"8 bit gray", "depth = 8\n", "gray", 8, true},
    {"8 bit gray RLE", "depth = 8\ncompression = rle\n", "gray", 8, true},
    {"8 bit gray top-down", "depth = 8\ntopdown = yes\n", "gray", 8, true},
    {"8 bit palette", "depth = 8\n", "color", 8, false},
    {"16 bit 5-5-5", "depth = 16\n", "color", 24, false},
    {"16 bit bit fields", "depth = 16\ncompression = bitfields\n", "color", 24, false},
    {"24 bit", "depth = 24\n", "color", 24, false},
    {"24 bit top-down", "depth = 24\ntopdown = yes\n", "color", 24, false},
    {"32 bit", "depth = 32\n", "color", 24, false},
    {"32 bit bit fields top-down", "depth = 32\ncompression = bitfields\ntopdown = yes\n",
     "color", 24, false},
};

struct Format {
  const char* name;
  const char* ext;
  bool (*accepts)(const Layout&);
};

bool Always(const Layout&) { return true; }
bool Never(const Layout&) { return false; }
bool TrueColourOrGray(const Layout& l) { return l.pageDepth == 24 || l.gray; }

const Format kFormats[] = {
    {"bmp", "bmp", Always},
    {"gif", "gif", Always},
    {"jpg", "jpg", TrueColourOrGray},
    {"png", "png", Always},
    {"ico", "ico", Always},
    {"tif", "tif", Always},
    {"tga", "tga", [](const Layout& l) { return l.pageDepth >= 8; }},
    {"pcx", "pcx", Always},
    {"wbmp", "wbmp", [](const Layout& l) { return l.pageDepth == 1; }},
    {"wmf", "wmf", Never},
    {"jp2", "jp2", TrueColourOrGray},
    {"jpc", "jpc", TrueColourOrGray},
    {"pgx", "pgx", [](const Layout& l) { return l.gray; }},
    {"pnm", "pnm", TrueColourOrGray},
    {"ras", "ras", TrueColourOrGray},
    {"mng", "mng", [](const Layout& l) { return l.pageDepth == 24; }},
    {"ska", "ska", [](const Layout& l) { return l.pageDepth <= 8; }},
    {"raw", "raw", Never},
    {"psd", "psd", Never},
    {"nonsense", "", Never},
};

constexpr int kLayoutWidth = 45;  // odd, so rows need padding at every depth
constexpr int kLayoutHeight = 31;

// Largest difference of any sample between two decoded pages of equal size.
int MaxDifference(const Decoded& a, const Decoded& b) {
  if (a.pixels.size() != b.pixels.size()) return 256;
  int worst = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    worst = std::max(worst, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
  }
  return worst;
}

// Largest difference between the average red, green or blue of two pages:
// lossy codecs keep the averages, a swapped channel does not.
double ChannelDifference(const Decoded& a, const Decoded& b) {
  if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 256;
  double worst = 0;
  for (int channel = 0; channel < 3; ++channel) {
    double sumA = 0, sumB = 0;
    for (size_t i = channel; i < a.pixels.size(); i += 3) {
      sumA += a.pixels[i];
      sumB += b.pixels[i];
    }
    worst = std::max(worst, std::abs(sumA - sumB) / static_cast<double>(a.pixels.size() / 3));
  }
  return worst;
}

TEST_F(ScanTest, EveryLayoutInEveryFormat) {
  std::map<std::string, Decoded> png;  // layout name -> its PNG page, decoded
  for (const Layout& layout : kLayouts) {
    ScanHost host;
    std::string err;
    ASSERT_TRUE(host.start("width = " + std::to_string(kLayoutWidth) +
                               "\nheight = " + std::to_string(kLayoutHeight) + "\n" +
                               layout.scenario,
                           &err))
        << err;
    std::string folder = host.folder() + "/pages" + kPathSeparator;
    for (const Format& format : kFormats) {
      SCOPED_TRACE(testing::Message() << layout.name << " as " << format.name);
      Job job = ScanFiles(&host, folder,
                          std::string(R"("color":")") + layout.color +
                              R"(","format":{"type":")" + format.name + "\"}");
      bool accepted = format.accepts(layout);
      if (!accepted) {
        EXPECT_EQ(job.result, "error");
        EXPECT_EQ(job.description, "Error save image to file.");
        EXPECT_TRUE(job.files.empty());
        continue;
      }
      ASSERT_EQ(job.result, "success") << job.description;
      ASSERT_EQ(job.files.size(), 1u);
      EXPECT_EQ(job.files[0], folder + "page_0." + format.ext);
      std::string bytes;
      ASSERT_TRUE(ReadFile(job.files[0], &bytes));
      int width = 0, height = 0;
      ASSERT_TRUE(HeaderSize(bytes, format.ext, &width, &height, &err)) << err;
      EXPECT_EQ(width, kLayoutWidth);
      EXPECT_EQ(height, kLayoutHeight);
      if (std::string(format.ext) == "png") {
        ASSERT_TRUE(DecodeImage(bytes, "png", &png[layout.name], &err)) << err;
      }
      if (std::string(format.ext) == "tif" && layout.pageDepth < 24) {
        // Lossless at these depths: the same pixels as the PNG.
        Decoded tiff;
        ASSERT_TRUE(DecodeImage(bytes, "tif", &tiff, &err)) << err;
        EXPECT_EQ(MaxDifference(tiff, png[layout.name]), 0);
      }
    }
  }
  // Layouts of one picture give one page, whatever the bitmap's form.
  struct Same {
    const char* a;
    const char* b;
    int tolerance;
  };
  const Same same[] = {
      {"4 bit", "4 bit RLE", 0},
      {"8 bit gray", "8 bit gray RLE", 0},
      {"8 bit gray", "8 bit gray top-down", 0},
      {"24 bit", "24 bit top-down", 0},
      {"24 bit", "32 bit", 0},
      {"24 bit", "32 bit bit fields top-down", 0},
      {"24 bit", "16 bit 5-5-5", 7},
      {"24 bit", "16 bit bit fields", 7},
  };
  for (const Same& s : same) {
    ASSERT_TRUE(png.count(s.a) && png.count(s.b));
    EXPECT_LE(MaxDifference(png[s.a], png[s.b]), s.tolerance) << s.a << " vs " << s.b;
  }
}


TEST_F(ScanTest, LossyPagesKeepTheColours) {
  Start("width = 620\nheight = 877\n");
  auto page = [&](const std::string& type, const char* color) {
    Job job = ScanFiles(&host_, pages_,
                        std::string(R"("color":")") + color + R"(","format":{"type":")" + type +
                            R"(","quality":95})");
    EXPECT_EQ(job.result, "success") << job.description;
    std::string bytes, err;
    Decoded decoded;
    EXPECT_TRUE(ReadFile(job.files.empty() ? "" : job.files[0], &bytes));
    EXPECT_TRUE(DecodeImage(bytes, type == "tiff" ? "tif" : type, &decoded, &err)) << err;
    return decoded;
  };
  for (const char* color : {"color", "gray"}) {
    SCOPED_TRACE(color);
    Decoded png = page("png", color);
    Decoded swapped = png;
    for (size_t i = 0; i + 2 < swapped.pixels.size(); i += 3) {
      std::swap(swapped.pixels[i], swapped.pixels[i + 2]);
    }
    // The colour page has enough colour for a swap to show.
    if (std::string(color) == "color") {
      EXPECT_GT(ChannelDifference(swapped, png), 3.0);
    }
    EXPECT_LT(ChannelDifference(page("jpg", color), png), 1.5);
    EXPECT_LT(ChannelDifference(page("tiff", color), png), 1.5);
  }
}

}  // namespace
}  // namespace lumra::test

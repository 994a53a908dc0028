// Scan jobs through the real host, our manager and the scripted virtual
// scanner: what the source received (its journal), what the answer says, and
// the page files read back with the codecs' own decoders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/paths.h"
#include "tests/host_session.h"

namespace lumra::test {
namespace {

// Small pages keep the jobs fast.
constexpr char kSmallPages[] = "width = 64\nheight = 48\n";
constexpr char kEventLoop[] = R"("isDsm2":false)";

std::string Request(const std::string& command, const std::string& extra = "",
                    const std::string& messageId = "m1") {
  std::string json = R"({"messageId":")" + messageId + R"(","command":")" + command + "\"";
  if (!extra.empty()) json += "," + extra;
  return json + "}";
}

// Field `key` of a journal line ("cap" in "CAPSET ... cap=ICAP_PIXELTYPE ...").
std::string JournalField(const std::string& line, const std::string& key) {
  size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  return line.substr(at, line.find(' ', at) - at);
}

struct Job {
  std::unique_ptr<JsonValue> answer;
  std::string status;  // as Status() tells it
  double code = -1;
  std::vector<std::string> files;  // "files" of scannerProcessingFiles
};

Job Send(TestHost* host, const std::string& json) {
  Job job;
  job.answer = host->ask(json);
  if (job.answer == nullptr) return job;
  job.status = Status(job.answer.get());
  job.code = NumberAt(job.answer.get(), {u"status", u"code"});
  if (const JsonValue* files = job.answer->find(u"files"); files != nullptr && files->isArray()) {
    for (const auto& f : files->asArray()) job.files.push_back(StringAt(f.get(), {u"fileName"}));
  }
  return job;
}

// A scan into `folder` whose page files stay there.
Job ScanFiles(TestHost* host, const std::string& folder, const std::string& settings = "",
              const std::string& extra = "") {
  std::string fields = R"("workingDirectory":")" + JsonEscaped(folder) + "\"";
  if (!settings.empty()) fields += R"(,"settings":{)" + settings + "}";
  if (!extra.empty()) fields += "," + extra;
  return Send(host, Request("scannerProcessingFiles", fields));
}

class ScanTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario) {
    ASSERT_TRUE(host_.start(scenario));
    pages_ = host_.folder() + "/pages" + kPathSeparator;
  }
  TestHost host_;
  std::string pages_;
};

TEST_F(ScanTest, CapabilitiesAsTheSourceTellsThem) {
  struct Case {
    const char* name;
    std::string scenario;
    std::string capabilities;  // the member as the answer carries it
  };
  const Case cases[] = {
      {"the default scanner", "",
       R"("capabilities":{"colors":["bw","gray","color"],"duplex":true,"feeder":true,)"
       R"("pageSize":{"height":11.69,"width":8.27},)"
       R"("resolutions":{"max":1200,"min":25,"step":1},"showUI":true})"},
      {"an enumeration, a flatbed", "resolutions = 75, 150, 300\npixel_types = gray rgb\n"
       "has_feeder = no\nduplex_kind = none\nui_controllable = no\npage_size = 8.5 14\n",
       R"("capabilities":{"colors":["gray","color"],"duplex":false,"pageSize":{"height":14,"width":8.5},)"
       R"("resolutions":[75,150,300],"showUI":false})"},
      {"a source that refuses MSG_GET", "fail.capget = BUMMER\n", R"("capabilities":{})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHost host;
    ASSERT_TRUE(host.start(c.scenario));
    const std::string answer = host.exchange(Request("scannerCapabilities"));
    EXPECT_EQ(answer.rfind("{" + c.capabilities + ",\"command\":\"scannerCapabilities\"", 0), 0u)
        << answer;
    EXPECT_NE(answer.find(R"("result":"success")"), std::string::npos) << answer;
    // The source was opened, read and closed again, never enabled.
    EXPECT_EQ(host.journal("OPENDS").size(), 1u);
    EXPECT_EQ(host.journal("CLOSEDS").size(), 1u);
    EXPECT_TRUE(host.journal("ENABLEDS").empty());
    if (!c.scenario.empty()) continue;
    const std::string missing = host.exchange(Request("scannerCapabilities", R"("scannerId":9)"));
    EXPECT_EQ(missing.find("capabilities"), std::string::npos) << missing;
    EXPECT_NE(missing.find(R"("description":"Error open source.")"), std::string::npos) << missing;
  }
}

TEST_F(ScanTest, ProgressFramesComeBeforeTheAnswerOnlyWhenAskedFor) {
  struct Case {
    const char* name;
    std::string extra, scenario;
    int frames;  // progress frames before the answer
  };
  const Case cases[] = {
      {"asked for", R"("progress":true)", "", 3},
      {"page 2 cannot be saved", R"("progress":true)", "handle.1 = truncated\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHost host;
    std::string err;
    ASSERT_TRUE(host.start(std::string(kSmallPages) + "pages = 3\n" + c.scenario));
    ASSERT_TRUE(host.process().writeFrame(Request("scannerProcessing", c.extra, "p1"), &err)) << err;
    std::vector<std::string> frames;
    for (;;) {
      std::string frame;
      ASSERT_TRUE(host.process().readFrame(&frame, 60000, &err)) << err;
      if (frame.find(R"("progress":{)") == std::string::npos) break;
      frames.push_back(frame);
    }
    ASSERT_EQ(frames.size(), static_cast<size_t>(c.frames));
    for (size_t i = 0; i < frames.size(); ++i) {
      const std::string head = R"({"command":"scannerProcessing","messageId":"p1","progress":{"bytes":)";
      EXPECT_EQ(frames[i].rfind(head, 0), 0u) << frames[i];
      std::string tail = R"(,"page":)" + std::to_string(i + 1) + R"(,"state":"saved"}})";
      ASSERT_GT(frames[i].size(), head.size() + tail.size());
      EXPECT_EQ(frames[i].substr(frames[i].size() - tail.size()), tail);
      EXPECT_GT(std::stol(frames[i].substr(head.size())), 100) << "a JPEG page's size";
    }
  }
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
    // No progress frame comes before the answer when it is not asked for.
    Job job = ScanFiles(&host_, pages_, c.settings, R"("progress":false)");
    EXPECT_EQ(job.status, "success");
    auto capset = host_.journal("CAPSET");
    std::vector<std::string> sent;
    for (size_t i = before; i < capset.size(); ++i)
      sent.push_back(JournalField(capset[i], "cap") + "=" + JournalField(capset[i], "value"));
    EXPECT_EQ(sent, c.sent);
  }
}

TEST_F(ScanTest, RefusedCapabilitiesAreLoggedAndTheJobGoesOn) {
  Start(std::string(kSmallPages) + "refuse = ICAP_XRESOLUTION:BADVALUE CAP_DUPLEXENABLED\n");
  Job job = ScanFiles(&host_, pages_, R"("dpi":300,"duplex":true,"feeder":true)");
  EXPECT_EQ(job.status, "success");
  EXPECT_EQ(job.files.size(), 3u);
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
    TestHost host;
    // The sources print to standard output, which must never reach the pipe.
    ASSERT_TRUE(host.start(std::string(kSmallPages) + "stdout = scanner warming up\n"
                           "[source]\nid = 1\nname = Two\n[source]\nid = 2\nname = One\ntwain2 = no\n"));
    // A list first: its connection must leave nothing behind that ends a later
    // event loop.
    EXPECT_EQ(Send(&host, Request("scannersList", c.extra.find("isDsm2") != std::string::npos ? kEventLoop : "")).status,
              "success");
    std::string folder = host.folder() + "/pages" + kPathSeparator;
    for (int round = 0; round < 2; ++round) {
      Job job = ScanFiles(&host, folder, R"("feeder":true)", c.extra);
      EXPECT_EQ(job.status, "success");
      EXPECT_EQ(job.files.size(), 3u);
    }
    EXPECT_NE(host.log().find(c.mode), std::string::npos);
    EXPECT_FALSE(host.journal("PRINT").empty());
    host.finish();  // nothing but the answers on standard output
    EXPECT_NE(host.process().stderrText().find("scanner warming up"), std::string::npos);
  }
}

TEST_F(ScanTest, WaitingForTheSource) {
  struct Case {
    const char* name;
    std::string scenario, settings, extra;
    const char* description;          // "": success
    double code = 0;                  // -2: not checked
    size_t disables = 1, closes = 1;  // MSG_DISABLEDS and MSG_CLOSEDS the source received
  };
  const Case cases[] = {
      {"ready during enable, zero time-out", "ready = enable\n", R"("timeout":0)", "", ""},
      {"ready later, event loop", "ready = thread\nready_delay = 50\n", R"("timeout":0)", kEventLoop, ""},
      {"ready later, zero time-out", "ready = thread\nready_delay = 50\n", R"("timeout":0)", "",
       "Scanning timeout."},
      {"time-out expires", "ready = thread\nready_delay = 400\n", R"("timeout":50)", "", "Scanning timeout."},
      {"cancel in the dialog", "cancel = dialog\n", R"("showUI":true)", "", "Scanning not image."},
      {"enable refused", "fail.enableds = OPERATIONERROR\n", "", "", "Error enable source.", 5, 0},
      {"enable refused, event loop", "fail.enableds = OPERATIONERROR\n", "", kEventLoop,
       "Error enable source.", 5, 0},
      // Which condition code the manager reports after a refused open is
      // the manager's own business.
      {"source refuses to open", "fail.opends = MAXCONNECTIONS\n", "", "", "Error open source.", -2, 0, 0},
      {"window on the host's thread", "window = thread\n", R"("timeout":10000)", "", ""},
      {"window on the host's thread, event loop", "window = thread\n", "", kEventLoop, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHost host;
    ASSERT_TRUE(host.start(std::string(kSmallPages) + c.scenario));
    Job job = ScanFiles(&host, host.folder() + "/pages" + kPathSeparator, c.settings, c.extra);
    EXPECT_EQ(job.status, *c.description ? std::string("error: ") + c.description : "success");
    if (c.code != -2) { EXPECT_EQ(job.code, *c.description ? c.code : -1); }
    EXPECT_EQ(host.journal("DISABLEDS").size(), c.disables);
    EXPECT_EQ(host.journal("CLOSEDS").size(), c.closes);
    // A late notification changes nothing; the host goes on.
    EXPECT_EQ(Send(&host, Request("scannersList", "", "after")).status, "success");
  }
}

TEST_F(ScanTest, TransferFailuresKeepThePagesAlreadySaved) {
  // The source is strict about its states (a VIOLATION fails every test):
  // these show the wind-down from each state a job can stop in; unknown
  // return codes and null bitmaps are TransferTest.KeepsEveryPageSavedBeforeAFailure's.
  // Each job keeps its first page.
  struct Case {
    const char* name;
    std::string scenario;
    const char* description;            // "": success
    std::vector<std::string> windDown;  // the source's journal from the first failure on
  };
  const Case cases[] = {
      {"cancel of the last page", "pages = 2\nreturn.xfer.1 = CANCEL\n", "Scanning cancelled by user.",
       {"XFER", "ENDXFER", "DISABLEDS", "CLOSEDS"}},
      {"cancel with more pending", "pages = 3\nreturn.xfer.1 = CANCEL\n", "Scanning cancelled by user.",
       {"XFER", "ENDXFER", "RESET", "DISABLEDS", "CLOSEDS"}},
      // A refused reset keeps the jam's condition code, and the source stays open.
      {"reset refused after a jam", "pages = 3\nfail.xfer.1 = PAPERJAM\nfail.reset = BUMMER\n",
       "Scanning process error.", {"RESET", "STATUS"}},
      {"failure on the second page", "pages = 3\nfail.xfer.1 = PAPERJAM\n", "Scanning process error.",
       {"XFER", "STATUS", "RESET", "DISABLEDS", "CLOSEDS"}},
      {"second of three cannot be saved", "pages = 3\nhandle.1 = truncated\n", "Error save image to file.",
       {"XFER", "ENDXFER", "RESET", "DISABLEDS", "CLOSEDS"}},
      {"notifies twice and once more when disabled", "notify_count = 2\nlate_notify = disable\n", "",
       {"DISABLEDS", "CLOSEDS"}},
      {"notifies while closing", "late_notify = close\n", "", {"DISABLEDS", "CLOSEDS"}},
      // A source that will not be disabled or closed stays open: the host
      // says so in its log, keeps the manager loaded and goes on.
      {"refuses to be disabled", "fail.disableds = BUMMER\n", "", {"DISABLEDS", "STATUS"}},
      {"refuses to be closed", "fail.closeds = BUMMER\n", "", {"DISABLEDS", "CLOSEDS", "STATUS"}},
      // Without MSG_ENDXFER the count is unknown: pages may be missing, the
      // job failed, and the source stays in state 7 where nothing else goes.
      {"refuses to end the transfer", "pages = 3\nfail.endxfer.0 = BUMMER\n", "Scanning process error.",
       {"ENDXFER", "STATUS", "ENDXFER", "STATUS"}},
  };
  for (bool twain2 : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.name << (twain2 ? " (callback)" : " (event loop)"));
      TestHost host;
      ASSERT_TRUE(host.start(std::string(kSmallPages) + c.scenario));
      std::string folder = host.folder() + "/pages" + kPathSeparator;
      Job job = ScanFiles(&host, folder, "", twain2 ? "" : kEventLoop);
      EXPECT_EQ(job.status, *c.description ? std::string("error: ") + c.description : "success");
      EXPECT_EQ(job.files, std::vector<std::string>{folder + "page_0.jpg"});
      if (*c.description) {
        const bool jam = c.scenario.find("PAPERJAM") != std::string::npos;
        EXPECT_EQ(job.code, jam ? 20 : c.scenario.find("BUMMER") != std::string::npos ? 1 : 0);
      }
      std::vector<std::string> tail;
      for (const std::string& line : host.journal()) {
        std::string op = line.substr(0, line.find(' '));
        if (op != "NOTIFY" && op != "PRINT") tail.push_back(op);
      }
      ASSERT_GE(tail.size(), c.windDown.size());
      tail.erase(tail.begin(), tail.end() - static_cast<std::ptrdiff_t>(c.windDown.size()));
      EXPECT_EQ(tail, c.windDown);
      // A wind-down that stops at a refusal leaves the source open.
      EXPECT_EQ(host.log().find("Cannot close source: the Data Source Manager stays loaded.") != std::string::npos,
                c.windDown.back() == "STATUS");
      EXPECT_EQ(Send(&host, Request("scannersList", "", "after")).status, "success");
    }
  }
}

// One page in every format: the name picks the encoder and the extension.
// Which format holds which kind of page, and what the files hold, is the
// imaging tests' business.
TEST_F(ScanTest, OnePagePerFormatAndTheQualitysLowByte) {
  Start(kSmallPages);
  const char* names[] = {"bmp", "gif", "jpg", "jpeg", "png", "ico", "tif", "tiff", "tga", "pcx",
                         "jp2", "jpc", "pnm", "ras", "mng"};
  for (const std::string name : names) {
    SCOPED_TRACE(name);
    const std::string ext = name == "jpeg" ? "jpg" : name == "tiff" ? "tif" : name;
    Job job = ScanFiles(&host_, pages_, R"("format":{"type":")" + name + "\"}");
    ASSERT_EQ(job.status, "success");
    ASSERT_EQ(job.files, std::vector<std::string>{pages_ + "page_0." + ext});
    const std::string bytes = ReadFile(job.files[0]);
    Decoded decoded;
    if (decodePage(bytes, ext, &decoded)) {
      EXPECT_EQ(decoded.width, 64u);
      EXPECT_EQ(decoded.height, 48u);
    } else {
      EXPECT_GT(bytes.size(), 64u);
    }
  }
  // Formats that hold no colour page, or are never written, fail the job.
  for (const char* name : {"wbmp", "raw", "nonsense"}) {
    Job job = ScanFiles(&host_, pages_, std::string(R"("format":{"type":")") + name + "\"}");
    EXPECT_EQ(job.status, "error: Error save image to file.") << name;
    EXPECT_TRUE(job.files.empty()) << name;
  }
  // The JPEG quality keeps its low byte: 300 is 44.
  auto jpeg = [&](const std::string& quality) {
    EXPECT_EQ(ScanFiles(&host_, pages_, R"("format":{"type":"jpg","quality":)" + quality + "}").status, "success");
    return ReadFile(pages_ + "page_0.jpg");
  };
  EXPECT_EQ(jpeg("300"), jpeg("44"));
  EXPECT_NE(jpeg("70"), jpeg("44"));
}

}  // namespace
}  // namespace lumra::test

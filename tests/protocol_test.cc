// The host's protocol through its real pipes: framing, malformed requests,
// the echo, split series, the log, the single instance.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "lumra_version.h"
#include "tests/host_session.h"

namespace lumra::test {
namespace {

// A 4-byte little-endian length.
std::string Le32(uint32_t n) {
  return {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
}

// An error answer: `before` holds the members the request echoes.
std::string ErrorAnswer(const std::string& description, const std::string& before = "") {
  return "{" + before + R"("status":{"code":0,"description":")" + description + R"(","result":"error"}})";
}

TEST(Protocol, MalformedRequestsGetExactlyOneErrorAnswerEach) {
  struct Case {
    std::string name, body, answer;
  };
  const std::string notParsed = ErrorAnswer("JSON failed to parse");
  const Case cases[] = {
      {"empty object", "{}", ErrorAnswer("Request messageId not found")},
      {"array root", "[1]", ErrorAnswer("The root element is not an object")},
      {"not json", "hello", notParsed},
      {"numeric messageId", R"({"messageId":1,"command":"scannersList"})",
       ErrorAnswer("Request messageId not found", R"("command":"scannersList",)")},
      {"no command", R"({"messageId":"m"})", ErrorAnswer("Request command not found", R"("messageId":"m",)")},
      {"command case", R"({"messageId":"m","command":"ScannersList"})",
       ErrorAnswer("Unknow request command ScannersList", R"("command":"ScannersList","messageId":"m",)")},
      {"invalid utf-8", "{\"messageId\":\"\xFF\"}", notParsed},
      {"zero inside", std::string("{}\0{garbage", 11), ErrorAnswer("Request messageId not found")},
      {"zero first", std::string("\0{}", 3), notParsed},
  };
  TestHost host;
  ASSERT_TRUE(host.start());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(host.exchange(c.body), c.answer);
  }
  // 05 00 00 00 is five bytes, not 83,886,080; two requests in one write.
  std::string err, first, second;
  ASSERT_TRUE(host.process().write(Le32(5) + "[1,2]" + frame("{}"), &err)) << err;
  ASSERT_TRUE(host.process().readFrame(&first, kTimeoutMs, &err)) << err;
  ASSERT_TRUE(host.process().readFrame(&second, kTimeoutMs, &err)) << err;
  EXPECT_EQ(first, ErrorAnswer("The root element is not an object"));
  EXPECT_EQ(second, ErrorAnswer("Request messageId not found"));
  // A body past the limit is read and dropped: the next frame starts in place.
  const uint32_t length = (64u << 20) + 1;
  ASSERT_TRUE(host.process().write(Le32(length), &err));
  std::string chunk(1 << 20, ' ');
  for (uint32_t sent = 0; sent < length;) {
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(chunk.size()), length - sent);
    ASSERT_TRUE(host.process().write(std::string_view(chunk).substr(0, n), &err)) << err;
    sent += n;
  }
  ASSERT_TRUE(host.process().readFrame(&first, kTimeoutMs, &err)) << err;
  EXPECT_EQ(first, ErrorAnswer("JSON failed to parse"));
  EXPECT_NE(host.exchange("{\"messageId\":\"next\"}").find("\"messageId\":\"next\""), std::string::npos);
  // Length prefixes and bodies full of the bytes a text-mode runtime changes
  // (LF, CR, Ctrl-Z) pass both ways unchanged: answers of every length from
  // about 100 to 400 bytes, whose prefixes hold 0x0A, 0x0D and 0x1A.
  for (size_t n = 0; n < 300; ++n) {
    std::string id(n, 'i');
    EXPECT_EQ(host.exchange("\r\n{\"messageId\":\"" + id + "\",\"command\":\"nothing\"}\r\n"),
              ErrorAnswer("Unknow request command nothing", R"("command":"nothing","messageId":")" + id + "\","));
  }
  // A body whose length prefix holds 0x1A: Ctrl-Z must not end the input.
  std::string padded = "{\"messageId\":\"z\",\"command\":\"nothing\"}";
  padded.append(0x1A1A - padded.size(), ' ');
  EXPECT_NE(host.exchange(padded).find("\"messageId\":\"z\""), std::string::npos);
  host.finish();
}

TEST(Protocol, ZeroLengthAndCutShortBodies) {
  struct Case {
    std::string name;
    std::string input;
    std::vector<std::string> answers;  // substrings, one per expected frame
  };
  const Case cases[] = {
      {"zero length, whatever follows", Le32(0) + frame("{}"), {}},
      // The missing length bytes count as 0: a request of 5 bytes, all missing.
      {"half a length", std::string("\x05\x00", 2), {"JSON failed to parse"}},
      {"body cut short", Le32(100) + "{\"messageId\":\"m\"", {"JSON failed to parse"}},
      {"whole value then missing bytes", Le32(100) + "{\"a\":1}", {"Request messageId not found"}},
      {"length near 4 GiB", Le32(0xFFFFFFF0u) + "{\"messageId\":", {"JSON failed to parse"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHost host;
    ASSERT_TRUE(host.start());
    std::string err;
    ASSERT_TRUE(host.process().write(c.input, &err)) << err;
    host.process().closeStdin();
    for (const std::string& expected : c.answers) {
      std::string answer;
      ASSERT_TRUE(host.process().readFrame(&answer, kTimeoutMs, &err)) << err;
      EXPECT_NE(answer.find(expected), std::string::npos) << answer;
    }
    host.finish();
  }
}

// Commands on files the host is given. A series goes on with any split
// command of the same messageId; its slices, each under 1 MiB, join into the
// full answer.
TEST(Protocol, FilesSplitSeriesAndRemoveFiles) {
  std::mt19937 random(11);
  std::string big(1500000, '\0');
  for (char& c : big) c = static_cast<char>(random());
  TestHost host;
  ASSERT_TRUE(host.start());
  const std::string bigPath = host.folder() + "/page_0.jpg", missingPath = host.folder() + "/page_1.tif";
  WriteFile(bigPath, big);
  const std::string first =
      "{\"messageId\":\"s\xC3\xA9rie\",\"command\":\"filesSplitProcessing\",\"clientLogin\":\"\xE2\x82\xAC\","
      "\"files\":[{\"fileName\":\"" + bigPath + "\"},\"plain\",{\"name\":1},{\"fileName\":\"" + missingPath + "\"}]}";
  std::string err;
  int slices = 0;
  auto tree = host.requestSplit(first, &err, &slices,
                                "{\"messageId\":\"s\xC3\xA9rie\",\"command\":\"scannerSplitProcessing\"}");
  ASSERT_TRUE(tree) << err;
  EXPECT_GE(slices, 3);
  EXPECT_EQ(StringAt(tree.get(), {u"messageId"}), "s\xC3\xA9rie");
  EXPECT_EQ(StringAt(tree.get(), {u"clientLogin"}), "\xE2\x82\xAC");
  const JsonArray& pages = tree->find(u"pages")->asArray();
  ASSERT_EQ(pages.size(), 2u);  // entries without a "fileName" are no pages
  EXPECT_EQ(decodeBase64(pages[0]->find(u"content")->asString()), big);
  EXPECT_EQ(StringAt(pages[1].get(), {u"description"}), "Error create page");
  EXPECT_FALSE(std::filesystem::exists(bigPath));

  // The series is over: the same messageId starts a new one, which reads
  // "files" again (now all gone).
  auto again = host.requestSplit(first, &err, &slices);
  ASSERT_TRUE(again) << err;
  EXPECT_EQ(slices, 1);
  EXPECT_EQ(StringAt(again->find(u"pages")->asArray()[0].get(), {u"description"}), "Error create page");

  // removeFiles deletes what it may and logs the rest: a success all the same.
  const std::string page = host.folder() + "/a.jpg";
  WriteFile(page, "x");
  EXPECT_EQ(host.exchange("{\"messageId\":\"r\",\"command\":\"removeFiles\",\"files\":[{\"fileName\":\"" + page +
                          "\"},{\"fileName\":\"" + missingPath + "\"}]}"),
            "{\"command\":\"removeFiles\",\"messageId\":\"r\",\"status\":{\"result\":\"success\"}}");
  EXPECT_EQ(host.exchange("{\"messageId\":\"r\",\"command\":\"removeFiles\"}"),
            ErrorAnswer("Error parsing list files", R"("command":"removeFiles","messageId":"r",)"));
  host.finish();
  EXPECT_FALSE(std::filesystem::exists(page));
  const std::string log = host.log();
  EXPECT_NE(log.find("Create split message for messageId = s\xC3\xA9rie"), std::string::npos);
  EXPECT_NE(log.find("Ended split message for messageId = s\xC3\xA9rie"), std::string::npos);
  EXPECT_NE(log.find("Error open file " + missingPath), std::string::npos);
  EXPECT_NE(log.find("Error delete file " + missingPath), std::string::npos);
  EXPECT_EQ(log.find("Error delete file " + page), std::string::npos);
}

// The host's records of a session, in order; their layout, the mark and
// appending are the log's own tests' business (LogFile.*).
TEST(Protocol, LogTellsEachRequestAndAnswer) {
  TestHost host;
  ASSERT_TRUE(host.start());
  const std::string first = host.exchange("{\"messageId\":\"m\",\"command\":\"nothing\"}");
  const std::string second = host.exchange("nope");
  host.finish();
  const std::string expected[] = {
      "DEBUG [", "] [startLog@", "] Start LumraImageScanning...",
      "DEBUG [", "] [main@", "] Version " LUMRA_VERSION "\n",
      "DEBUG [", "] [lumra::ImageClientStdinStdout::loopClientStdinStdout@", "] Read message size: 37",
      "DEBUG [", "] [lumra::ImageJsonProcessing::processingMessage@", "] Command nothing...",
      "ERROR [", "] [lumra::ImageJsonProcessing::processingMessage@", "] Unknow request command nothing",
      "DEBUG [", "] [lumra::ImageClientStdinStdout::writeMessage@", "] Write message size: " + std::to_string(first.size()),
      "DEBUG [", "] [lumra::ImageClientStdinStdout::loopClientStdinStdout@", "] Read message size: 4",
      "ERROR [", "] [lumra::ImageJsonProcessing::processingMessage@", "] JSON failed to parse",
      "DEBUG [", "] [lumra::ImageClientStdinStdout::writeMessage@", "] Write message size: " + std::to_string(second.size()),
      "DEBUG [", "] [lumra::ImageClientStdinStdout::loopClientStdinStdout@", "] Read message size: 0\n",
  };
  const std::string log = host.log();
  size_t at = 0;
  for (const std::string& part : expected) {
    at = log.find(part, at);
    ASSERT_NE(at, std::string::npos) << part << "\n" << log;
  }
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 10);
}

// Hosts of one user started at the same moment: exactly one keeps running;
// every other one answers once, writes no log record and ends by itself (its
// standard input stays open and unread). Killed without a chance to clean
// up, the one running still frees the name.
TEST(Protocol, OneHostRunsAndTheLockDiesWithIt) {
  constexpr int kHosts = 6;
  TestHost hosts[kHosts];
  for (TestHost& host : hosts) ASSERT_TRUE(host.start("", "", hosts[0].folder()));
  TestHost* running = nullptr;
  for (TestHost& host : hosts) {
    ExitStatus status;
    if (!host.process().waitExit(3000, &status)) {
      EXPECT_EQ(running, nullptr) << "two hosts run";
      running = &host;
      continue;
    }
    EXPECT_EQ(status.code, 1);
    std::string answer, err, rest;
    ASSERT_TRUE(host.process().readFrame(&answer, kTimeoutMs, &err)) << err;
    EXPECT_EQ(answer, ErrorAnswer("The application is already running"));
    host.process().readToEnd(&rest, kTimeoutMs);
    EXPECT_EQ(rest, "");
  }
  ASSERT_NE(running, nullptr);
  EXPECT_NE(running->exchange("{\"messageId\":\"alive\"}").find("alive"), std::string::npos);
  const std::string log = running->log();
  EXPECT_EQ(log.find("Start LumraImageScanning..."), log.rfind("Start LumraImageScanning..."));

  running->process().kill();
  TestHost next;
  ASSERT_TRUE(next.start("", "", hosts[0].folder()));
  EXPECT_NE(next.exchange("{\"messageId\":\"next\"}").find("next"), std::string::npos);
  next.finish();
}

// A host alone in a folder with its own libraries but no TWAIN manager, as
// on a machine that has none: every scan command fails cleanly.
TEST(Protocol, ScanCommandsOnAMachineWithoutAManager) {
  const std::string bin = MakeTempFolder("lumra_lonely_");
  const std::string hostCopy = bin + "/" + std::filesystem::path(HostPath()).filename().string();
  std::filesystem::copy_file(HostPath(), hostCopy);
  for (const auto& entry : std::filesystem::directory_iterator(BinaryDir())) {
    std::string name = entry.path().filename().string(), lower = name;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    bool library = lower.rfind("lib", 0) == 0 || lower.ends_with(".dll");
    if (entry.is_regular_file() && library && lower.find("twain") == std::string::npos) {
      std::filesystem::copy_file(entry.path(), bin + "/" + name);
    }
  }
  TestHost host;
  ASSERT_TRUE(host.start("", hostCopy));
  const std::string error = "\"status\":{\"code\":0,\"result\":\"error\"}}";
  const std::pair<std::string, std::string> cases[] = {  // request, answer
      {"{\"messageId\":\"l\",\"command\":\"scannersList\"}",
       "{\"command\":\"scannersList\",\"messageId\":\"l\"," + error},
      {"{\"messageId\":\"l\",\"command\":\"scannersList\",\"isDsm2\":false}",
       "{\"command\":\"scannersList\",\"isDsm2\":false,\"messageId\":\"l\"," + error},
      {"{\"messageId\":\"p\",\"command\":\"scannerProcessing\",\"settings\":{\"dpi\":200}}",
       "{\"command\":\"scannerProcessing\",\"messageId\":\"p\",\"settings\":{\"dpi\":200}," + error},
      {"{\"messageId\":\"p\",\"command\":\"scannerSplitProcessing\"}",
       "{\"command\":\"scannerSplitProcessing\",\"messageId\":\"p\",\"split\":{\"last\":true,\"part\":"
       "\"{\\\"command\\\":\\\"scannerSplitProcessing\\\",\\\"messageId\\\":\\\"p\\\",\\\"status\\\":{\\\"code\\\":0,"
       "\\\"result\\\":\\\"error\\\"}}\"}," + error},
  };
  for (const auto& [request, answer] : cases) EXPECT_EQ(host.exchange(request), answer);
  host.finish();
  // The scan job made the default working folder.
  EXPECT_TRUE(std::filesystem::is_directory(host.defaultWorkFolder()));
  EXPECT_NE(host.log().find("Cannot load library TWAINDSM.DLL or TWAIN_32.DLL."), std::string::npos);
  RemoveTree(bin);
}

}  // namespace
}  // namespace lumra::test

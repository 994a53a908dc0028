#include "tools/scan_commands.h"

#include <gtest/gtest.h>

#include "json/json.h"
#include "tools/host_client.h"

namespace lumra {
namespace {

TEST(ScanRequest, OptionsBecomeRequestFieldsOrAreRefused) {
  struct Case {
    std::vector<std::string> args;
    std::string json;  // members in the writer's order; empty: refused
    std::string outDir;
  };
  const Case cases[] = {
      {{}, R"({"command":"scannerProcessing","messageId":"id","progress":true})", "."},
      {{"--scanner", "2", "--dpi", "300", "--color", "bw", "--feeder", "--duplex", "--show-ui",
        "--format", "tif", "--quality", "80", "--timeout", "5000", "--working-dir", "/w",
        "--out", "o", "--twain1", "--multipage"},
       R"({"command":"scannerProcessing","isDsm2":false,"messageId":"id","progress":true,"scannerId":2,"settings":{"color":"bw",)"
       R"("dpi":300,"duplex":true,"feeder":true,"format":{"multipage":true,"quality":80,"type":"tif"},)"
       R"("showUI":true,"timeout":5000},"workingDirectory":"\/w"})",
       "o"},
      {{"--quality=4294967295"},
       R"({"command":"scannerProcessing","messageId":"id","progress":true,"settings":{"format":{"quality":4294967295}}})", "."},
      {{"--working-dir", "/tmp/Scän \"x\""},
       R"({"command":"scannerProcessing","messageId":"id","progress":true,"workingDirectory":"\/tmp\/Scän \"x\""})", "."},
      {{"--dpi", "-5"}, "", ""},
      {{"--dpi", "3e2"}, "", ""},
      {{"--scanner", "4294967296"}, "", ""},
      {{"--bogus"}, "", ""},
      {{"--quality", ""}, "", ""},
  };
  for (const Case& c : cases) {
    std::string request, outDir, err;
    EXPECT_EQ(buildScanRequest(c.args, "id", &request, &outDir, &err), !c.json.empty()) << err;
    EXPECT_EQ(err.empty(), !c.json.empty());
    if (!c.json.empty()) {
      EXPECT_EQ(request, c.json);
      EXPECT_EQ(outDir, c.outDir);
    }
  }
}

TEST(Base64, DecodesWhatTheHostSends) {
  struct Case {
    std::u16string text;
    bool ok;
    std::string bytes;
  };
  const Case cases[] = {
      {u"", true, ""},
      {u"TQ==", true, "M"},
      {u"TQ", true, "M"},  // without padding
      {u"T", false, ""},
      {u"TW=u", false, ""},
      {u"TW\nFu", false, ""},
      {u"TWF\u00fc", false, ""},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(decodeBase64(c.text, &out), c.ok) << toUtf8(c.text);
    if (c.ok) {
      EXPECT_EQ(out, c.bytes);
    }
  }
}

TEST(RawAnswer, LongPageTextsAreShortened) {
  std::string longText(200, 'A');
  auto root = parseJson(u"{\"pages\":[{\"content\":\"" +
                        std::u16string(longText.begin(), longText.end()) +
                        u"\",\"number\":1}],\"split\":{\"part\":\"short\"},"
                        u"\"status\":{\"description\":\"" +
                        std::u16string(longText.begin(), longText.end()) + u"\"}}");
  ASSERT_NE(root, nullptr);
  elideLongStrings(root.get());
  std::string text;
  stringifyUtf8(*root, &text);
  EXPECT_EQ(text, R"({"pages":[{"content":"<200 characters>","number":1}],"split":{"part":"short"},)"
                  R"("status":{"description":")" + longText + R"("}})");
}

TEST(Answer, OnlyValidUtf8Objects) {
  std::string err;
  EXPECT_EQ(parseAnswer("[1]", &err), nullptr);
  EXPECT_EQ(parseAnswer("{\"a\":\"\xC3\"}", &err), nullptr);
}

}  // namespace
}  // namespace lumra

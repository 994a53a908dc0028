#include "processing/answers.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>
#include <utf8.h>

#include "processing/split_registry.h"

namespace lumra {
namespace {

// Our answers are canonical: the independent tree writer gives the same bytes.
void ExpectCanonical(const std::string& answer) {
  std::u16string wide;
  ASSERT_TRUE(utf8::is_valid(answer.begin(), answer.end())) << answer;
  utf8::utf8to16(answer.begin(), answer.end(), std::back_inserter(wide));
  auto tree = parseJson(wide);
  ASSERT_TRUE(tree) << answer;
  std::string again;
  stringifyUtf8(*tree, &again);
  EXPECT_EQ(again, answer);
}

std::string Answer(const std::u16string& request, const std::u16string& status,
                   const std::u16string& description, std::vector<std::string> pages = {},
                   ScannerList scanners = {}, uint32_t code = 0, uint32_t length = 100) {
  auto root = parseJson(request);
  std::string out;
  createAnswer(root.get(), length, code, status, description, pages, scanners, true, &out);
  ExpectCanonical(out);
  return out;
}

class Answers : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumra-answers-XXXXXX";
    folder_ = ::mkdtemp(pattern);
  }
  void TearDown() override {
    std::filesystem::remove_all(folder_);
    EXPECT_EQ(SplitRegistry::instance().size(), 0u);
  }
  std::string write(const std::string& name, const std::string& bytes) {
    std::string path = folder_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string folder_;
};

TEST_F(Answers, ExactBytesForEchoStatusAndPayloads) {
  const std::u16string full =
      u"{\"messageId\":\"m/1\",\"contentId\":\"c\",\"destination\":\"lumraImageScanningNative\","
      u"\"command\":\"scannerProcessingFiles\",\"workingDirectory\":\"C:\\\\scans\","
      u"\"clientLogin\":\"Jos\\u00e9\",\"clientIp\":\"10.0.0.1\",\"isDsm2\":false,\"scannerId\":2.9,"
      u"\"settings\":{\"dpi\":300.7,\"timeout\":-1,\"color\":\"gray\",\"feeder\":true,\"duplex\":false,"
      u"\"showUI\":false,\"format\":{\"type\":\"png\",\"quality\":80}},\"extra\":1}";
  EXPECT_EQ(Answer(full, u"success", u"", {"/tmp/a.png", "/tmp/b.png"}),
            "{\"clientIp\":\"10.0.0.1\",\"clientLogin\":\"Jos\xC3\xA9\",\"command\":\"scannerProcessingFiles\","
            "\"contentId\":\"c\",\"destination\":\"lumraImageScanningWebExt\","
            "\"files\":[{\"fileName\":\"\\/tmp\\/a.png\"},{\"fileName\":\"\\/tmp\\/b.png\"}],\"isDsm2\":false,"
            "\"messageId\":\"m\\/1\",\"scannerId\":2,\"settings\":{\"color\":\"gray\",\"dpi\":300,\"duplex\":false,"
            "\"feeder\":true,\"format\":{\"quality\":80,\"type\":\"png\"},\"showUI\":false,\"timeout\":4294967295},"
            "\"status\":{\"result\":\"success\"},\"workingDirectory\":\"C:\\\\scans\"}");
  EXPECT_EQ(Answer(u"{\"messageId\":\"m\",\"command\":\"scannersList\",\"destination\":\"lumraImageScanningWebExt\"}",
                   u"success", u"", {}, {{2, u"Flatbed \"B\""}, {1, u"Feeder A"}}),
            "{\"command\":\"scannersList\",\"messageId\":\"m\",\"scanners\":[{\"scannerId\":1,\"scannerName\":\"Feeder A\"},"
            "{\"scannerId\":2,\"scannerName\":\"Flatbed \\\"B\\\"\"}],\"status\":{\"result\":\"success\"}}");
  EXPECT_EQ(Answer(u"{\"messageId\":\"m\",\"command\":\"scannerProcessing\",\"settings\":{}}", u"error", u"Paper jam", {}, {}, 9),
            "{\"command\":\"scannerProcessing\",\"messageId\":\"m\",\"status\":{\"code\":9,\"description\":\"Paper jam\",\"result\":\"error\"}}");
  EXPECT_EQ(Answer(u"{\"messageId\":\"m\",\"command\":\"scannerProcessingSocketPartSend\"}", u"error", u"", {}, {}, 4),
            "{\"command\":\"scannerProcessingSocketPartSend\",\"last\":true,\"messageId\":\"m\",\"status\":{\"code\":4,\"result\":\"error\"}}");
  EXPECT_EQ(Answer(u"{\"messageId\":\"m\",\"command\":\"scannerProcessingFiles\"}", u"success", u""),
            "{\"command\":\"scannerProcessingFiles\",\"messageId\":\"m\",\"status\":{\"result\":\"success\"}}");
  // status empty: only "code"
  EXPECT_EQ(Answer(u"{\"messageId\":\"m\"}", u"", u""), "{\"messageId\":\"m\",\"status\":{\"code\":0}}");
  // removeFiles never carries pages, even when given paths
  EXPECT_EQ(Answer(u"{\"messageId\":\"m\",\"command\":\"removeFiles\"}", u"success", u"", {"/nonexistent/x.jpg"}),
            "{\"command\":\"removeFiles\",\"messageId\":\"m\",\"status\":{\"result\":\"success\"}}");
  // an unpaired surrogate is written as U+FFFD
  EXPECT_EQ(Answer(u"{\"messageId\":\"a\\ud800b\",\"command\":\"x\"}", u"error", u"Unknow request command x"),
            "{\"command\":\"x\",\"messageId\":\"a\xEF\xBF\xBD" "b\",\"status\":{\"code\":0,\"description\":\"Unknow request command x\",\"result\":\"error\"}}");
}

TEST_F(Answers, PageItemsReadAndDeleteEveryFile) {
  std::string missing = folder_ + "/page_0.jpg";
  std::string page = write("page_1.jpg", "abc");
  std::string odd = write("page_2", "\xFF\xFF\xFF");
  std::string answer = Answer(u"{\"messageId\":\"m\",\"command\":\"scannerProcessing\"}", u"success", u"",
                              {missing, page, odd});
  EXPECT_EQ(answer,
            "{\"command\":\"scannerProcessing\",\"messageId\":\"m\",\"pages\":["
            "{\"description\":\"Error create page\",\"number\":1},"
            "{\"content\":\"YWJj\",\"number\":2,\"type\":\"jpg\"},"
            "{\"content\":\"\\/\\/\\/\\/\",\"number\":3,\"type\":\"unknow\"}],"
            "\"status\":{\"result\":\"success\"}}");
  EXPECT_FALSE(std::filesystem::exists(page));
  EXPECT_FALSE(std::filesystem::exists(odd));
}

TEST_F(Answers, PagePastTheBudgetGetsTheErrorItemAndIsDeleted) {
  std::string first = write("page_0.jpg", "abcdef");
  std::string second = write("page_1.jpg", "abcdef");
  std::string text = "[";
  uint32_t counter = 1;
  const uint64_t budget = 60;  // the first item takes 48 bytes
  createItemPage(first, &text, &counter, budget);
  createItemPage(second, &text, &counter, budget);
  EXPECT_EQ(text,
            "[{\"content\":\"YWJjZGVm\",\"number\":1,\"type\":\"jpg\"},"
            "{\"description\":\"Error create page\",\"number\":2}");
  EXPECT_FALSE(std::filesystem::exists(second));
}

TEST_F(Answers, FileExtensionLooksAtTheWholePath) {
  struct Case {
    std::string path, type;
  };
  const Case cases[] = {
      {"/tmp/x.d/page_0", "d/page_0"}, {"/tmp/page_0.", ""}, {"/a/b.tar.gz", "gz"},
  };
  for (const Case& c : cases) EXPECT_EQ(fileExtensionOf(c.path), c.type);
}

TEST_F(Answers, ZeroSliceMakesNoProgressUntilASmallerRequest) {
  const std::u16string request = u"{\"messageId\":\"z\",\"command\":\"scannerSplitProcessing\"}";
  std::string first = Answer(request, u"success", u"", {}, {}, 0, 1047552);
  EXPECT_EQ(first,
            "{\"command\":\"scannerSplitProcessing\",\"messageId\":\"z\",\"split\":{\"last\":false,\"part\":\"\"},"
            "\"status\":{\"result\":\"success\"}}");
  std::string rest = Answer(request, u"success", u"", {}, {}, 0, 10);
  EXPECT_EQ(rest,
            "{\"command\":\"scannerSplitProcessing\",\"messageId\":\"z\",\"split\":{\"last\":true,\"part\":"
            "\"{\\\"command\\\":\\\"scannerSplitProcessing\\\",\\\"messageId\\\":\\\"z\\\",\\\"status\\\":"
            "{\\\"result\\\":\\\"success\\\"}}\"},\"status\":{\"result\":\"success\"}}");
}

}  // namespace
}  // namespace lumra

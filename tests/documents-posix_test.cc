// Whole jobs as one PDF or one multi-page TIFF through the real host, read
// back by readers we did not write (qpdf, poppler, libtiff).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "imaging/testing/pdf_tools.h"
#include "tests/host_session.h"

namespace lumra::test {
namespace {

namespace fs = std::filesystem;

// How many A4 pages a file holds, by readers we did not write; 0 when it is
// not a sound PDF or TIFF.
int PagesIn(const std::string& bytes, const std::string& type, const std::string& scratch) {
  if (type == "tif") {
    Decoded decoded;
    testing::TiffFacts facts;
    const std::vector<uint8_t> file(bytes.begin(), bytes.end());
    return testing::decodeTiff(file, &decoded, &facts) && decoded.width == 827 ? facts.directories : 0;
  }
  WriteFile(scratch, bytes);
  if (!testing::qpdfChecks(scratch)) return 0;
  const std::vector<std::string> sizes = testing::pdfPageSizes(scratch);
  for (const std::string& size : sizes) EXPECT_NE(size.find("(A4)"), std::string::npos) << size;
  return static_cast<int>(sizes.size());
}

// One file for the job: listed in files mode, one page item in pages mode. A
// job that ends early keeps a complete file of the pages that came, beside
// its error; one without any page leaves nothing, nor any spool.
TEST(DocumentJobs, OneFileHoldsThePagesThatCame) {
  struct Case {
    const char* scenario;
    const char* command;
    const char* format;
    const char* description;  // "": success
    int pages;
  };
  const Case cases[] = {
      {"pages = 10\n", "scannerProcessing", R"({"multipage":true,"type":"tiff"})", "", 10},
      {"pages = 4\nhandle.2 = truncated\n", "scannerProcessingFiles", R"({"type":"pdf"})",
       "Error save image to file.", 2},
      {"pages = 4\nreturn.xfer.3 = CANCEL\n", "scannerProcessing", R"({"type":"pdf"})",
       "Scanning cancelled by user.", 3},
      {"pages = 2\nhandle.0 = truncated\n", "scannerProcessingFiles", R"({"type":"pdf"})",
       "Error save image to file.", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scenario) + c.command);
    TestHost host;
    ASSERT_TRUE(host.start(c.scenario));
    const std::string folder = host.folder() + "/pages/";
    const bool files = std::string(c.command) == "scannerProcessingFiles";
    std::string json = R"({"messageId":"d","command":")" + std::string(c.command) +
                       R"(","settings":{"dpi":100,"color":"gray","feeder":true,"format":)" + c.format + "}";
    if (files) json += R"(,"workingDirectory":")" + JsonEscaped(folder) + "\"";
    std::unique_ptr<JsonValue> answer = host.ask(json + "}");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(Status(answer.get()), *c.description ? std::string("error: ") + c.description : "success");
    const std::string type = std::string(c.format).find("pdf") != std::string::npos ? "pdf" : "tif";
    const JsonValue* list = answer->find(files ? u"files" : u"pages");
    if (c.pages == 0) {
      EXPECT_EQ(list, nullptr);
      EXPECT_TRUE(fs::is_empty(folder));
      continue;
    }
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->asArray().size(), 1u);
    const JsonValue* item = list->asArray()[0].get();
    std::string bytes;
    if (files) {
      EXPECT_EQ(StringAt(item, {u"fileName"}), folder + "page_0." + type);
      EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
      bytes = ReadFile(folder + "page_0." + type);
    } else {
      EXPECT_EQ(NumberAt(item, {u"number"}), 1);
      EXPECT_EQ(StringAt(item, {u"type"}), type);
      EXPECT_TRUE(fs::is_empty(host.defaultWorkFolder()));
      bytes = decodeBase64(ValueAt(item, {u"content"})->asString());
    }
    EXPECT_EQ(PagesIn(bytes, type, host.folder() + "/copy"), c.pages);
  }
}

}  // namespace
}  // namespace lumra::test

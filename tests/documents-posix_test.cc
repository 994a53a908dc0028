// Whole jobs as one PDF or one multi-page TIFF through the real host, read
// back by readers we did not write (qpdf, poppler, libtiff).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <tiffio.h>

#include "imaging/testing/pdf_tools.h"
#include "tests/host_session.h"

namespace lumra::test {
namespace {

namespace fs = std::filesystem;

std::string ScanRequest(const std::string& command, const std::string& folder,
                        const std::string& settings) {
  std::string json = R"({"messageId":"d","command":")" + command + R"(","settings":{)" + settings + "}";
  if (!folder.empty()) json += R"(,"workingDirectory":")" + JsonEscaped(folder) + "\"";
  return json + "}";
}

std::vector<std::string> FileNames(const JsonValue* answer) {
  std::vector<std::string> names;
  const JsonValue* files = answer->find(u"files");
  for (size_t i = 0; files != nullptr && i < files->asArray().size(); ++i) {
    names.push_back(StringAt(files->asArray()[i].get(), {u"fileName"}));
  }
  return names;
}

// The pages a PDF holds, and their codings, by independent readers.
void ExpectPdf(const std::string& path, size_t pages, const std::string& encoding) {
  ASSERT_TRUE(testing::qpdfChecks(path));
  const std::vector<std::string> sizes = testing::pdfPageSizes(path);
  const std::vector<testing::PdfImage> images = testing::pdfImages(path);
  ASSERT_EQ(sizes.size(), pages);
  ASSERT_EQ(images.size(), pages);
  for (size_t i = 0; i < pages; ++i) {
    EXPECT_NE(sizes[i].find("(A4)"), std::string::npos) << sizes[i];
    EXPECT_EQ(images[i].page, static_cast<int>(i + 1));
    EXPECT_EQ(images[i].encoding, encoding);
    EXPECT_EQ(images[i].xPpi, 100);
  }
}

void ExpectTiff(const std::string& bytes, int pages, uint16_t compression) {
  const std::vector<uint8_t> file(bytes.begin(), bytes.end());
  for (int i = 0; i < pages; ++i) {
    Decoded decoded;
    testing::TiffFacts facts;
    ASSERT_TRUE(testing::decodeTiff(file, &decoded, &facts, static_cast<uint16_t>(i)));
    EXPECT_EQ(facts.directories, pages);
    EXPECT_EQ(facts.compression, compression);
    EXPECT_EQ(facts.pageNumber, i);
    EXPECT_EQ(decoded.width, 827u);
  }
}

// Ten feeder pages of A4 at 100 dpi: one file in files mode, one page item in
// pages mode.
TEST(DocumentJobs, TenPagesMakeOneFile) {
  TestHost host;
  std::string err;
  ASSERT_TRUE(host.start("pages = 10\n", &err)) << err;
  const std::string folder = host.folder() + "/pages/";
  const std::string common = R"("dpi":100,"feeder":true,)";

  std::unique_ptr<JsonValue> answer = host.request(
      ScanRequest("scannerProcessingFiles", folder, common + R"("format":{"type":"pdf","quality":60})"), &err);
  ASSERT_NE(answer, nullptr) << err;
  EXPECT_EQ(StringAt(answer.get(), {u"status", u"result"}), "success");
  ASSERT_EQ(FileNames(answer.get()), std::vector<std::string>{folder + "page_0.pdf"});
  ExpectPdf(folder + "page_0.pdf", 10, "jpeg");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

  answer = host.request(ScanRequest("scannerProcessingFiles", folder,
                                    common + R"("color":"bw","format":{"type":"tif","multipage":true})"),
                        &err);
  ASSERT_NE(answer, nullptr) << err;
  ASSERT_EQ(FileNames(answer.get()), std::vector<std::string>{folder + "page_0.tif"});
  ExpectTiff(ReadFile(folder + "page_0.tif"), 10, COMPRESSION_CCITTFAX4);

  struct Case {
    const char* format;
    const char* type;
  };
  for (const Case& c : {Case{R"({"type":"pdf"})", "pdf"}, Case{R"({"multipage":true,"type":"tiff"})", "tif"}}) {
    SCOPED_TRACE(c.type);
    answer = host.request(ScanRequest("scannerProcessing", "", common + R"("color":"gray","format":)" + c.format), &err);
    ASSERT_NE(answer, nullptr) << err;
    EXPECT_EQ(StringAt(answer.get(), {u"status", u"result"}), "success");
    const JsonValue* pages = answer->find(u"pages");
    ASSERT_NE(pages, nullptr);
    ASSERT_EQ(pages->asArray().size(), 1u);
    const JsonValue* item = pages->asArray()[0].get();
    EXPECT_EQ(NumberAt(item, {u"number"}), 1);
    EXPECT_EQ(StringAt(item, {u"type"}), c.type);
    const std::string bytes = decodeBase64(ValueAt(item, {u"content"})->asString());
    if (std::string(c.type) == "pdf") {
      const std::string copy = host.folder() + "/copy.pdf";
      WriteFile(copy, bytes);
      ExpectPdf(copy, 10, "jpeg");
    } else {
      ExpectTiff(bytes, 10, COMPRESSION_LZW);
    }
    EXPECT_TRUE(fs::is_empty(host.defaultWorkFolder()));
  }
}

// A job that ends early keeps the pages that came in a complete file, with
// the job's error; one without any page leaves nothing, nor any spool.
TEST(DocumentJobs, AJobThatFailsKeepsACompleteFileOfItsPages) {
  struct Case {
    const char* scenario;
    const char* format;
    const char* description;
    int pages;
  };
  const Case cases[] = {
      {"pages = 4\nhandle.2 = truncated\n", R"({"type":"pdf"})", "Error save image to file.", 2},
      {"pages = 4\nreturn.xfer.3 = CANCEL\n", R"({"type":"pdf"})", "Scanning cancelled by user.", 3},
      {"pages = 4\nhandle.1 = truncated\n", R"({"type":"tif","multipage":true})", "Error save image to file.", 1},
      {"pages = 2\nhandle.0 = truncated\n", R"({"type":"pdf"})", "Error save image to file.", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    TestHost host;
    std::string err;
    ASSERT_TRUE(host.start(std::string("width = 827\nheight = 1169\nresolution = 100\n") + c.scenario, &err)) << err;
    const std::string folder = host.folder() + "/pages/";
    std::unique_ptr<JsonValue> answer = host.request(
        ScanRequest("scannerProcessingFiles", folder, std::string(R"("color":"gray","feeder":true,"format":)") + c.format),
        &err);
    ASSERT_NE(answer, nullptr) << err;
    EXPECT_EQ(StringAt(answer.get(), {u"status", u"result"}), "error");
    EXPECT_EQ(StringAt(answer.get(), {u"status", u"description"}), c.description);
    const std::vector<std::string> files = FileNames(answer.get());
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), c.pages > 0 ? 1 : 0);
    if (c.pages == 0) {
      EXPECT_TRUE(files.empty());
    } else if (std::string(c.format).find("pdf") != std::string::npos) {
      ASSERT_EQ(files, std::vector<std::string>{folder + "page_0.pdf"});
      ExpectPdf(files[0], static_cast<size_t>(c.pages), "jpeg");
    } else {
      ASSERT_EQ(files, std::vector<std::string>{folder + "page_0.tif"});
      ExpectTiff(ReadFile(files[0]), c.pages, COMPRESSION_LZW);
    }
  }
}

}  // namespace
}  // namespace lumra::test

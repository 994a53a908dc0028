#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/page_documents.h"
#include "imaging/testing/decoders.h"
#include "imaging/testing/pdf_tools.h"

namespace lumra {
namespace {

using namespace testing;

// Every kind of page goes in by its own coding, sized from its resolution,
// and the lossless ones come out of an independent reader as they went in.
TEST(PdfDocument, PagesAreCodedByKindAndSizedByResolution) {
  struct Page {
    uint32_t depth;
    PaletteKind palette;
    int32_t ppm;  // 2835: 72 dpi (a pixel a point), 5669: 144 dpi
    const char* color;
    const char* encoding;  // all but "jpeg" lossless
  };
  const Page pages[] = {
      {24, PaletteKind::kColour, 2835, "rgb", "jpeg"},
      {8, PaletteKind::kGray, 5669, "gray", "jpeg"},
      {1, PaletteKind::kBlackWhite, 2835, "gray", "ccitt"},
      {1, PaletteKind::kWhiteBlack, 2835, "gray", "ccitt"},
      {4, PaletteKind::kColour, 2835, "index", "image"},
      {8, PaletteKind::kColour, 2835, "index", "image"},
      {1, PaletteKind::kColour, 2835, "index", "image"},
  };
  const std::string path = ::testing::TempDir() + "document.pdf";
  std::unique_ptr<PageDocument> document = openPdfDocument(path);
  ASSERT_NE(document, nullptr);
  for (const Page& p : pages) {
    PageImage image = readDib(packDib(makeTestPage(37, 23, p.depth, p.palette), false, p.ppm));
    image.setJpegQuality(95);
    ASSERT_TRUE(document->addPage(std::move(image)));
  }
  EXPECT_FALSE(document->addPage(PageImage()));
  ASSERT_TRUE(document->finish());
  EXPECT_FALSE(std::ifstream(path + ".part").good());

  ASSERT_TRUE(testing::qpdfChecks(path));
  const std::vector<std::string> sizes = testing::pdfPageSizes(path);
  const std::vector<testing::PdfImage> images = testing::pdfImages(path);
  ASSERT_EQ(sizes.size(), std::size(pages));
  ASSERT_EQ(images.size(), std::size(pages));
  const std::string prefix = ::testing::TempDir() + "pdfpage";
  testing::commandOutput("pdfimages -png '" + path + "' '" + prefix + "'");
  for (size_t i = 0; i < std::size(pages); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sizes[i], pages[i].ppm == 2835 ? "37 x 23 pts" : "18.5 x 11.5 pts");
    EXPECT_EQ(images[i].page, static_cast<int>(i + 1));
    EXPECT_EQ(images[i].color, pages[i].color);
    EXPECT_EQ(images[i].encoding, pages[i].encoding);
    EXPECT_EQ(images[i].width, 37);
    EXPECT_EQ(images[i].height, 23);
    EXPECT_EQ(images[i].xPpi, pages[i].ppm == 2835 ? 72 : 144);
    char name[32];
    std::snprintf(name, sizeof name, "-%03zu.png", i);
    testing::Decoded decoded;
    ASSERT_TRUE(testing::decodePng(testing::readBytes(prefix + name), &decoded));
    std::remove((prefix + name).c_str());
    const testing::TestPage page = makeTestPage(37, 23, pages[i].depth, pages[i].palette);
    for (uint32_t y = 0; pages[i].encoding != std::string("jpeg") && y < 23; ++y) {
      for (uint32_t x = 0; x < 37; ++x) ASSERT_EQ(decoded.at(x, y), page.at(x, y)) << x << "," << y;
    }
  }
  std::remove(path.c_str());
}

// A document that is never finished leaves neither the file nor its spool.
TEST(PdfDocument, LeavesNoFileUnlessFinished) {
  const std::string path = ::testing::TempDir() + "unfinished.pdf";
  std::unique_ptr<PageDocument> document = openPdfDocument(path);
  ASSERT_TRUE(document->addPage(readDib(packDib(makeTestPage(8, 8, 24)))));
  document.reset();
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_FALSE(std::ifstream(path + ".part").good());
}

}  // namespace
}  // namespace lumra

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/page_documents.h"
#include "imaging/testing/pdf_tools.h"
#include "imaging/testing_dib.h"

namespace lumra {
namespace {

using testing::makeTestPage;
using testing::packDib;
using testing::PaletteKind;
using testing::readDib;
using testing::Rgb;

// A PNM image as pdfimages writes it: P4 (1 is black), P5 or P6.
bool readPnm(const std::string& path, uint32_t* width, uint32_t* height, std::vector<Rgb>* pixels) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int max = 1;
  if (!(in >> magic >> *width >> *height)) return false;
  if (magic != "P4" && !(in >> max)) return false;
  in.get();
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  pixels->clear();
  const size_t rowBytes = (*width + 7) / 8;
  for (uint32_t y = 0; y < *height; ++y) {
    for (uint32_t x = 0; x < *width; ++x) {
      if (magic == "P4") {
        const uint8_t v = (bytes.at(y * rowBytes + x / 8) >> (7 - x % 8)) & 1 ? 0 : 255;
        pixels->push_back({v, v, v});
      } else if (magic == "P5") {
        const uint8_t v = bytes.at(y * *width + x);
        pixels->push_back({v, v, v});
      } else {
        const uint8_t* p = &bytes.at((y * *width + x) * 3);
        pixels->push_back({p[0], p[1], p[2]});
      }
    }
  }
  return true;
}

// Every kind of page goes in by its own coding, sized from its resolution,
// and the lossless ones come out of an independent reader as they went in.
TEST(PdfDocument, PagesAreCodedByKindAndSizedByResolution) {
  struct Page {
    uint32_t depth;
    PaletteKind palette;
    int32_t ppm;  // 2835: 72 dpi (a pixel a point), 5669: 144 dpi
    const char* color;
    const char* encoding;
    const char* size;
    bool lossless;
  };
  const Page pages[] = {
      {24, PaletteKind::kColour, 2835, "rgb", "jpeg", "37 x 23 pts", false},
      {8, PaletteKind::kGray, 5669, "gray", "jpeg", "18.5 x 11.5 pts", false},
      {1, PaletteKind::kBlackWhite, 2835, "gray", "ccitt", "37 x 23 pts", true},
      {1, PaletteKind::kWhiteBlack, 2835, "gray", "ccitt", "37 x 23 pts", true},
      {4, PaletteKind::kColour, 2835, "index", "image", "37 x 23 pts", true},
      {8, PaletteKind::kColour, 2835, "index", "image", "37 x 23 pts", true},
      {1, PaletteKind::kColour, 2835, "index", "image", "37 x 23 pts", true},
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
  testing::commandOutput("pdfimages '" + path + "' '" + prefix + "'");
  for (size_t i = 0; i < std::size(pages); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sizes[i], pages[i].size);
    EXPECT_EQ(images[i].page, static_cast<int>(i + 1));
    EXPECT_EQ(images[i].color, pages[i].color);
    EXPECT_EQ(images[i].encoding, pages[i].encoding);
    EXPECT_EQ(images[i].width, 37);
    EXPECT_EQ(images[i].height, 23);
    EXPECT_EQ(images[i].xPpi, pages[i].ppm == 2835 ? 72 : 144);
    char name[32];
    const bool blackAndWhite = pages[i].depth == 1 && pages[i].palette != PaletteKind::kColour;
    std::snprintf(name, sizeof name, "-%03zu.%s", i, blackAndWhite ? "pbm" : "ppm");
    uint32_t width = 0, height = 0;
    std::vector<Rgb> pixels;
    ASSERT_TRUE(readPnm(prefix + name, &width, &height, &pixels)) << name;
    std::remove((prefix + name).c_str());
    const testing::TestPage page = makeTestPage(37, 23, pages[i].depth, pages[i].palette);
    for (uint32_t y = 0; pages[i].lossless && y < 23; ++y) {
      for (uint32_t x = 0; x < 37; ++x) ASSERT_EQ(pixels[y * 37 + x], page.at(x, y)) << x << "," << y;
    }
  }
  std::remove(path.c_str());
}

// A document that is not finished, or has no pages, leaves neither the file
// nor its spool.
TEST(PdfDocument, LeavesNoFileUnlessFinishedWithPages) {
  const std::string path = ::testing::TempDir() + "empty.pdf";
  std::unique_ptr<PageDocument> document = openPdfDocument(path);
  ASSERT_NE(document, nullptr);
  EXPECT_FALSE(document->finish());
  document.reset();
  EXPECT_FALSE(std::ifstream(path).good());
  document = openPdfDocument(path);
  ASSERT_TRUE(document->addPage(readDib(packDib(makeTestPage(8, 8, 24)))));
  document.reset();
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_FALSE(std::ifstream(path + ".part").good());
}

}  // namespace
}  // namespace lumra

#include "imaging/page_documents.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tiffio.h>

#include "imaging/testing/decoders.h"

namespace lumra {
namespace {

using namespace testing;

// Each page of a multi-page TIFF is coded as a single-page TIFF of its depth
// would be, numbered in order, and reads back as it was.
TEST(TiffDocument, PagesKeepTheirDepthsCodingAndOrder) {
  struct Page {
    uint32_t depth;
    PaletteKind palette;
    uint16_t compression;  // all but JPEG lossless
  };
  const Page pages[] = {{1, PaletteKind::kBlackWhite, COMPRESSION_CCITTFAX4},
                        {24, PaletteKind::kColour, COMPRESSION_JPEG},
                        {8, PaletteKind::kGray, COMPRESSION_LZW},
                        {4, PaletteKind::kColour, COMPRESSION_LZW},
                        {1, PaletteKind::kWhiteBlack, COMPRESSION_CCITTFAX4},
                        {8, PaletteKind::kColour, COMPRESSION_LZW}};
  const std::string path = ::testing::TempDir() + "document.tif";
  std::unique_ptr<PageDocument> document = openTiffDocument(path);
  ASSERT_NE(document, nullptr);
  for (const Page& p : pages) ASSERT_TRUE(document->addPage(readDib(packDib(makeTestPage(29, 11, p.depth, p.palette)))));
  // A page that cannot be read is refused; the document goes on without it.
  EXPECT_FALSE(document->addPage(PageImage()));
  EXPECT_EQ(document->pages(), std::size(pages));
  ASSERT_TRUE(document->finish());

  const std::vector<uint8_t> file = testing::readBytes(path);
  for (uint16_t i = 0; i < std::size(pages); ++i) {
    SCOPED_TRACE(i);
    testing::Decoded decoded;
    testing::TiffFacts facts;
    ASSERT_TRUE(testing::decodeTiff(file, &decoded, &facts, i));
    EXPECT_EQ(facts.directories, static_cast<int>(std::size(pages)));
    EXPECT_EQ(facts.compression, pages[i].compression);
    EXPECT_EQ(facts.subfileType, static_cast<uint32_t>(FILETYPE_PAGE));
    EXPECT_EQ(facts.pageNumber, i);
    const testing::TestPage page = makeTestPage(29, 11, pages[i].depth, pages[i].palette);
    ASSERT_EQ(decoded.width, 29u);
    for (uint32_t y = 0; pages[i].compression != COMPRESSION_JPEG && y < 11; ++y) {
      for (uint32_t x = 0; x < 29; ++x) ASSERT_EQ(decoded.at(x, y), page.at(x, y)) << x << "," << y;
    }
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace lumra

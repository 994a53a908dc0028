#include "imaging/page_files.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/testing/decoders.h"
#include "log/log.h"
#include "platform/resources.h"

namespace lumra {
namespace {

using namespace testing;

// Every format by name: its number, its files' extension and the kinds of
// page it holds. What each file holds is the encoder tests'.
TEST(PageFormats, EveryFormatHoldsItsKindsOfPage) {
  struct Kind {
    uint32_t depth;
    PaletteKind palette;
  };
  const Kind kinds[] = {{1, PaletteKind::kBlackWhite}, {4, PaletteKind::kColour},
                        {8, PaletteKind::kGray},       {8, PaletteKind::kColour},
                        {24, PaletteKind::kColour}};
  struct Case {
    std::u16string name;
    uint32_t number;
    std::string extension;
    const char* holds;  // 1 bit, 4 bit, gray, palette, 24 bit
  };
  const Case cases[] = {
      {u"bmp", 1, "bmp", "11111"},
      {u"gif", 2, "gif", "11111"},
      {u"jpg", 3, "jpg", "00101"},
      {u"jpeg", 3, "jpg", "00101"},
      {u"png", 4, "png", "11111"},
      {u"ico", 5, "ico", "11111"},
      {u"tif", 6, "tif", "11111"},
      {u"tiff", 6, "tif", "11111"},
      {u"tga", 7, "tga", "00111"},
      {u"pcx", 8, "pcx", "11111"},
      {u"wbmp", 9, "wbmp", "10000"},
      {u"wmf", 10, "wmf", "00000"},
      {u"jp2", 11, "jp2", "00101"},
      {u"jpc", 12, "jpc", "00101"},
      {u"pgx", 13, "pgx", "00100"},
      {u"pnm", 14, "pnm", "00101"},
      {u"ras", 15, "ras", "00101"},
      {u"mng", 17, "mng", "00001"},
      {u"ska", 18, "ska", "11110"},
      {u"raw", 19, "raw", "00000"},
      {u"psd", 20, "psd", "00000"},
      // One file per job: never a page file of its own.
      {u"pdf", 21, "pdf", "00000"},
      // Names are exact.
      {u"JPEG", 0, "", "00000"},
      {std::u16string(u"jpg\0", 4), 0, "", "00000"},
      {u"", 0, "", "00000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    ASSERT_EQ(getImageType(c.name), c.number);
    EXPECT_EQ(getImageExtension(c.number), c.extension);
    for (int k = 0; k < 5; ++k) {
      SCOPED_TRACE(::testing::Message() << "kind " << k);
      const TestPage page = makeTestPage(13, 7, kinds[k].depth, kinds[k].palette);
      bool ok = false;
      const std::vector<uint8_t> file = encodePage(page, c.number, &ok);
      EXPECT_EQ(ok, c.holds[k] == '1');
      EXPECT_EQ(file.empty(), !ok);
    }
  }
  for (uint32_t number : {16u, 23u, 0xFFFFFFFFu}) EXPECT_EQ(getImageExtension(number), "");
}

// Counts the frees through the manager's memory function.
int gFrees = 0;
HGLOBAL gFreed = nullptr;
void countingFree(HGLOBAL handle) {
  ++gFrees;
  gFreed = handle;
  GlobalFree(handle);
}
const HandleMemory kCountingFree{nullptr, nullptr, countingFree};

class SaveDib : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = ::testing::TempDir() + "save_dib_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    std::error_code ignored;
    std::filesystem::create_directories(folder_, ignored);
    ASSERT_TRUE(std::filesystem::is_directory(folder_));
    logPath_ = folder_ + "test.log";
    std::remove(logPath_.c_str());
    startLogAt(logPath_, Severity::debug);
    gFrees = 0;
    gFreed = nullptr;
  }
  void TearDown() override {
    stopLog();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  std::string log() const {
    const std::vector<uint8_t> text = readBytes(logPath_);
    return {text.begin(), text.end()};
  }

  std::string folder_, logPath_;
};

TEST_F(SaveDib, EveryPathLogsKeepsItsFileAndFreesOnce) {
  struct Case {
    const char* name;
    std::vector<uint8_t> dib;
    uint32_t format;
    bool inMissingFolder;
    const char* record;
    bool fileExists;
  };
  const std::vector<uint8_t> colour = packDib(makeTestPage(40, 20, 24));
  std::vector<uint8_t> shortDib(colour.begin(), colour.end() - 5);
  const Case cases[] = {
      {"saved", colour, 3, false, "Save dib to ", true},
      {"unknown format", colour, 0, false, "Error Encode image for file ", true},
      {"bitmap cut short", shortDib, 4, false, "Error createFromHandle for file ", true},
      {"missing folder", colour, 4, true, "Error open file ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gFrees = 0;
    GlobalBlock block(c.dib);
    const HGLOBAL handle = block.release();
    const std::string folder = c.inMissingFolder ? folder_ + "missing/" : folder_;
    const std::string path = getPageFileName(folder, c.format, 0);
    const bool saved = c.record == std::string("Save dib to ");
    EXPECT_EQ(saveDIB(path, handle, c.format, 90, kCountingFree), saved);
    EXPECT_EQ(gFrees, 1);
    EXPECT_EQ(gFreed, handle);
    const std::vector<uint8_t> file = readBytes(path);
    EXPECT_EQ(std::ifstream(path).good(), c.fileExists);
    Decoded decoded;
    EXPECT_EQ(decodeJpeg(file, &decoded) && decoded.width == 40, saved);
    EXPECT_EQ(file.empty(), !saved);
    EXPECT_NE(log().find(std::string(c.record) + path), std::string::npos) << log();
    std::remove(path.c_str());
  }
  EXPECT_NE(log().find("[lumra::ImageScanning::saveDIB@"), std::string::npos);
  EXPECT_EQ(getPageFileName(folder_, 0, 0), folder_ + "page_0.");  // no extension: the dot stays
}

// Without the manager's functions every handle goes to GlobalFree: a freed
// handle must not be asked anything, so the live blocks are counted instead
// (where the system tells).
TEST_F(SaveDib, GlobalFreeQualityForJpegOnlyAndOverwrites) {
  const int64_t live = liveGlobalBlocks();
  auto save = [&](uint32_t format, uint8_t quality, uint32_t size) {
    GlobalBlock block(packDib(makeTestPage(size, size, 24)));
    const std::string path = getPageFileName(folder_, format, 0);
    EXPECT_TRUE(saveDIB(path, block.release(), format, quality, HandleMemory{}));
    return readBytes(path);
  };
  EXPECT_EQ(save(6, 10, 64), save(6, 95, 64));  // TIFF keeps its own 90
  EXPECT_EQ(save(12, 10, 64), save(12, 95, 64));
  save(1, 90, 64);
  EXPECT_EQ(save(1, 90, 4).size(), 54u + 12 * 4);  // a smaller second page replaces a larger first
  GlobalBlock bad(std::vector<uint8_t>(10, 0));
  EXPECT_FALSE(saveDIB(folder_ + "page_1.bmp", bad.release(), 1, 90, HandleMemory{}));
  if (live >= 0) {
    EXPECT_EQ(liveGlobalBlocks(), live);
  }
}

}  // namespace
}  // namespace lumra

#include "imaging/page_files.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/log.h"
#include "imaging/testing_dib.h"
#include "platform/resources.h"

namespace lumra {
namespace {

using testing::GlobalBlock;
using testing::makeTestPage;
using testing::packDib;

TEST(PageFiles, FormatNames) {
  struct Case {
    std::u16string name;
    uint32_t format;
  };
  const Case cases[] = {
      {u"bmp", 1},  {u"gif", 2},  {u"jpg", 3},  {u"jpeg", 3}, {u"png", 4},   {u"ico", 5},
      {u"tif", 6},  {u"tiff", 6}, {u"tga", 7},  {u"pcx", 8},  {u"wbmp", 9},  {u"wmf", 10},
      {u"jp2", 11}, {u"jpc", 12}, {u"pgx", 13}, {u"pnm", 14}, {u"ras", 15},  {u"mng", 17},
      {u"ska", 18}, {u"raw", 19}, {u"psd", 20}, {u"JPEG", 0}, {u"jpeg ", 0}, {u" jpg", 0},
      {u"", 0},     {u"j", 0},    {u"Png", 0},  {u"16", 0},   {std::u16string(u"jpg\0", 4), 0}, {u"webp", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(getImageType(c.name), c.format) << std::string(c.name.begin(), c.name.end());
  }
}

TEST(PageFiles, ExtensionsAndNames) {
  const char* extensions[] = {"",    "bmp", "gif", "jpg", "png", "ico", "tif", "tga", "pcx", "wbmp", "wmf",
                              "jp2", "jpc", "pgx", "pnm", "ras", "",    "mng", "ska", "raw", "psd"};
  for (uint32_t format = 0; format <= 20; ++format) {
    EXPECT_EQ(getImageExtension(format), extensions[format]) << format;
  }
  for (uint32_t format : {21u, 100u, 0xFFFFFFFFu}) EXPECT_EQ(getImageExtension(format), "");

  struct Case {
    std::string folder;
    uint32_t format, page;
    std::string path;
  };
  const Case cases[] = {
      {"/tmp/scan/", getImageType(u"tiff"), 0, "/tmp/scan/page_0.tif"},
      {"/tmp/scan/", getImageType(u"tiff"), 1, "/tmp/scan/page_1.tif"},
      {"/tmp/scan/", getImageType(u"jpeg"), 0, "/tmp/scan/page_0.jpg"},
      {"C:\\Temp\\lumra_image_scan\\", 9, 12, "C:\\Temp\\lumra_image_scan\\page_12.wbmp"},
      {"/w/", getImageType(u"nonsense"), 0, "/w/page_0."},
      {"/w/", 16, 3, "/w/page_3."},
      {"", 4, 2147483647, "page_2147483647.png"},
  };
  for (const Case& c : cases) EXPECT_EQ(getPageFileName(c.folder, c.format, c.page), c.path);
}

// Counts the frees through the manager's memory function.
int gFrees = 0;
HGLOBAL gFreed = nullptr;
void countingFree(HGLOBAL handle) {
  ++gFrees;
  gFreed = handle;
  GlobalFree(handle);
}

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

  static std::vector<uint8_t> readFile(const std::string& path, bool* exists = nullptr) {
    std::ifstream in(path, std::ios::binary);
    if (exists) *exists = static_cast<bool>(in);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  std::string log() const {
    std::ifstream in(logPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string folder_, logPath_;
};

TEST_F(SaveDib, WritesEveryFormatThatTakesAColourPageAndFreesOnce) {
  struct Case {
    uint32_t format;
    std::vector<uint8_t> magic;
  };
  const Case cases[] = {
      {1, {'B', 'M'}},
      {2, {'G', 'I', 'F', '8', '9', 'a'}},
      {3, {0xFF, 0xD8, 0xFF}},
      {4, {0x89, 'P', 'N', 'G'}},
      {5, {0, 0, 1, 0, 1, 0}},
      {6, {'I', 'I', 42, 0}},
      {7, {0, 0, 2}},
      {8, {10, 5, 1}},
      {11, {0, 0, 0, 12, 'j', 'P'}},
      {12, {0xFF, 0x4F}},
      {14, {'P', '6'}},
      {15, {0x59, 0xA6, 0x6A, 0x95}},
      {17, {0x8A, 'M', 'N', 'G'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    gFrees = 0;
    GlobalBlock block(packDib(makeTestPage(40, 20, 24)));
    const HGLOBAL handle = block.release();
    const std::string path = getPageFileName(folder_, c.format, 0);
    EXPECT_TRUE(saveDIB(path, handle, c.format, 75, countingFree));
    EXPECT_EQ(gFrees, 1);
    EXPECT_EQ(gFreed, handle);
    const std::vector<uint8_t> file = readFile(path);
    ASSERT_GE(file.size(), c.magic.size());
    EXPECT_TRUE(std::equal(c.magic.begin(), c.magic.end(), file.begin()));
  }
  EXPECT_NE(log().find("[lumra::ImageScanning::saveDIB@"), std::string::npos);
  EXPECT_NE(log().find("Save dib to " + folder_ + "page_0.jpg"), std::string::npos);
  EXPECT_EQ(log().find("Error"), std::string::npos);
}

TEST_F(SaveDib, FailuresLeaveTheirFileLogAndStillFreeOnce) {
  struct Case {
    const char* name;
    std::vector<uint8_t> dib;
    uint32_t format;
    bool inMissingFolder;
    const char* record;
    bool fileExists;
  };
  const std::vector<uint8_t> colour = packDib(makeTestPage(8, 8, 24));
  const std::vector<uint8_t> bw = packDib(makeTestPage(8, 8, 1));
  std::vector<uint8_t> shortDib(colour.begin(), colour.end() - 5);
  const Case cases[] = {
      {"unknown format", colour, 0, false, "Error Encode image for file ", true},
      {"format 16", colour, 16, false, "Error Encode image for file ", true},
      {"wmf", colour, 10, false, "Error Encode image for file ", true},
      {"raw", colour, 19, false, "Error Encode image for file ", true},
      {"psd", colour, 20, false, "Error Encode image for file ", true},
      {"black and white as JPEG", bw, 3, false, "Error Encode image for file ", true},
      {"colour as WBMP", colour, 9, false, "Error Encode image for file ", true},
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
    EXPECT_FALSE(saveDIB(path, handle, c.format, 90, countingFree));
    EXPECT_EQ(gFrees, 1);
    bool exists = false;
    const std::vector<uint8_t> file = readFile(path, &exists);
    EXPECT_EQ(exists, c.fileExists);
    EXPECT_TRUE(file.empty());
    EXPECT_NE(log().find(std::string(c.record) + path), std::string::npos) << log();
    std::remove(path.c_str());
  }
}

TEST_F(SaveDib, WithoutManagerFunctionsTheHandleGoesToGlobalFree) {
  // A freed handle must not be asked anything: count the live blocks instead
  // (where the system tells).
  const int64_t live = LiveGlobalBlocks();
  GlobalBlock block(packDib(makeTestPage(4, 4, 24)));
  EXPECT_TRUE(saveDIB(folder_ + "page_0.bmp", block.release(), 1, 90, nullptr));
  GlobalBlock bad(std::vector<uint8_t>(10, 0));
  EXPECT_FALSE(saveDIB(folder_ + "page_1.bmp", bad.release(), 1, 90, nullptr));
  if (live >= 0) EXPECT_EQ(LiveGlobalBlocks(), live);
}

TEST_F(SaveDib, QualityReachesJpegOnlyAndLaterPagesOverwrite) {
  auto save = [&](uint32_t format, uint8_t quality, uint32_t size) {
    GlobalBlock block(packDib(makeTestPage(size, size, 24)));
    const std::string path = getPageFileName(folder_, format, 0);
    EXPECT_TRUE(saveDIB(path, block.release(), format, quality, nullptr));
    return readFile(path);
  };
  EXPECT_LT(save(3, 10, 64).size(), save(3, 95, 64).size());
  EXPECT_EQ(save(6, 10, 64), save(6, 95, 64));  // TIFF keeps its own 90
  EXPECT_EQ(save(12, 10, 64), save(12, 95, 64));
  save(1, 90, 64);
  const size_t small = save(1, 90, 4).size();
  EXPECT_EQ(small, 54u + 12 * 4);  // a smaller second page replaces a larger first
}

}  // namespace
}  // namespace lumra

#include "tools/encode_command.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "imaging/testing/decoders.h"

namespace lumra {
namespace {

using namespace testing;

std::string tempPath(const std::string& name) { return ::testing::TempDir() + "encode_verb_" + name; }

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A .bmp file: the 14-byte file header, then the packed bitmap.
std::vector<uint8_t> bmpFile(const std::vector<uint8_t>& dib, uint32_t pixelOffset) {
  std::vector<uint8_t> file = {'B', 'M'};
  putLe32(file, static_cast<uint32_t>(14 + dib.size()));
  putLe32(file, 0);
  putLe32(file, pixelOffset);
  file.insert(file.end(), dib.begin(), dib.end());
  return file;
}

TEST(EncodeVerb, WritesThePageAnyoneCanDecode) {
  const testing::TestPage page = makeTestPage(31, 9, 24);
  const std::string input = tempPath("colour.bmp"), output = tempPath("colour.png");
  writeFile(input, bmpFile(packDib(page), 54));
  std::remove(output.c_str());
  ASSERT_EQ(runEncodeVerb({input, "--format", "png", "-o", output}), 0);
  testing::Decoded png;
  ASSERT_TRUE(testing::decodePng(readFile(output), &png));
  expectPicture(png, page);
  // The quality reaches JPEG.
  const std::string low = tempPath("low.jpg"), high = tempPath("high.jpg");
  ASSERT_EQ(runEncodeVerb({input, "--format", "jpeg", "--quality", "5", "-o", low}), 0);
  ASSERT_EQ(runEncodeVerb({"--format", "jpg", "-o", high, input, "--quality", "98"}), 0);
  EXPECT_LT(readFile(low).size(), readFile(high).size());
  for (const std::string& path : {input, output, low, high}) std::remove(path.c_str());
}

TEST(EncodeVerb, ClearFailures) {
  const std::string good = tempPath("good.bmp"), notBmp = tempPath("text.bmp"),
                    cut = tempPath("cut.bmp"), output = tempPath("out.bin");
  const std::vector<uint8_t> dib = packDib(makeTestPage(8, 8, 24));
  writeFile(good, bmpFile(dib, 54));
  writeFile(notBmp, {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!', '!', '!'});
  std::vector<uint8_t> shortFile = bmpFile(dib, 54);
  shortFile.resize(shortFile.size() - 10);
  writeFile(cut, shortFile);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {"missing input", {tempPath("absent.bmp"), "--format", "png", "-o", output}, 1},
      {"not a bmp", {notBmp, "--format", "png", "-o", output}, 1},
      {"bitmap cut short", {cut, "--format", "png", "-o", output}, 1},
      {"colour page as wbmp", {good, "--format", "wbmp", "-o", output}, 1},
      {"unknown format", {good, "--format", "PNG", "-o", output}, 2},
      {"quality too high", {good, "--format", "jpg", "--quality", "256", "-o", output}, 2},
      {"quality not a number", {good, "--format", "jpg", "--quality", "high", "-o", output}, 2},
      {"two inputs", {good, good, "--format", "png", "-o", output}, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(runEncodeVerb(c.args), c.status) << c.name;
  }
  for (const std::string& path : {good, notBmp, cut, output}) std::remove(path.c_str());
}

}  // namespace
}  // namespace lumra

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

// A .bmp file: the 14-byte file header, then the packed bitmap.
std::vector<uint8_t> bmpFile(const std::vector<uint8_t>& dib, uint32_t pixelOffset) {
  std::vector<uint8_t> file = {'B', 'M'};
  putLe32(file, static_cast<uint32_t>(14 + dib.size()));
  putLe32(file, 0);
  putLe32(file, pixelOffset);
  file.insert(file.end(), dib.begin(), dib.end());
  return file;
}

TEST(EncodeVerb, WritesThePageAnyoneCanDecodeOrFailsClearly) {
  const testing::TestPage page = makeTestPage(31, 9, 24);
  const std::string good = tempPath("colour.bmp"), notBmp = tempPath("text.bmp"), cut = tempPath("cut.bmp"),
                    output = tempPath("colour.png"), low = tempPath("low.jpg"), high = tempPath("high.jpg");
  std::vector<uint8_t> bmp = bmpFile(packDib(page), 54);
  writeFile(good, bmp);
  bmp.resize(bmp.size() - 10);
  writeFile(cut, bmp);
  writeFile(notBmp, {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!', '!', '!'});
  std::remove(output.c_str());
  ASSERT_EQ(runEncodeVerb({good, "--format", "png", "-o", output}), 0);
  testing::Decoded png;
  ASSERT_TRUE(testing::decodePng(readBytes(output), &png));
  expectPicture(png, page);
  // The quality reaches JPEG.
  ASSERT_EQ(runEncodeVerb({good, "--format", "jpeg", "--quality", "5", "-o", low}), 0);
  ASSERT_EQ(runEncodeVerb({"--format", "jpg", "-o", high, good, "--quality", "98"}), 0);
  EXPECT_LT(readBytes(low).size(), readBytes(high).size());
  // A page that cannot be read or written: 1; a wrong command line: 2.
  const std::pair<std::vector<std::string>, int> failures[] = {
      {{tempPath("absent.bmp"), "--format", "png", "-o", output}, 1},
      {{notBmp, "--format", "png", "-o", output}, 1},
      {{cut, "--format", "png", "-o", output}, 1},
      {{good, "--format", "wbmp", "-o", output}, 1},  // a colour page
      {{good, "--format", "PNG", "-o", output}, 2},
      {{good, "--format", "jpg", "--quality", "256", "-o", output}, 2},
      {{good, "--format", "jpg", "--quality", "9x", "-o", output}, 2},
      {{good, good, "--format", "png", "-o", output}, 2},
      {{"--format", "png", "-o", output}, 2},  // no input
  };
  for (const auto& [args, status] : failures) {
    EXPECT_EQ(runEncodeVerb(args), status) << args[0] << " " << args[1] << " " << args[2];
  }
  for (const std::string& path : {good, notBmp, cut, output, low, high}) std::remove(path.c_str());
}

}  // namespace
}  // namespace lumra

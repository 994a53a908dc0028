#include "processing/page_payloads.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

namespace lumra {
namespace {

std::string Encode(std::string_view bytes) {
  return base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

std::string EscapeSlashes(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

// An independent, bit-by-bit encoder to compare against.
std::string ReferenceBase64(const std::string& bytes) {
  std::string bits;
  for (unsigned char c : bytes)
    for (int b = 7; b >= 0; --b) bits += (c >> b) & 1 ? '1' : '0';
  while (bits.size() % 6) bits += '0';
  std::string out;
  for (size_t i = 0; i < bits.size(); i += 6) out += base64Alphabet[std::stoi(bits.substr(i, 6), nullptr, 2)];
  while (out.size() % 4) out += '=';
  return out;
}

TEST(Base64, AllLengthsAndChunkingsMatchTheReference) {
  std::mt19937 random(7);
  std::string data(5000, '\0');
  for (char& c : data) c = static_cast<char>(random());
  for (size_t length : {1u, 2u, 3u, 11u, 12u, 13u, 3071u, 3072u, 3073u, 5000u}) {
    std::string bytes = data.substr(0, length);
    std::string expected = ReferenceBase64(bytes);
    EXPECT_EQ(Encode(bytes), expected);
    // The JSON form, fed in uneven pieces, is the same text with "\/".
    for (size_t piece : {1u, 2u, 4u, 7u, 4096u}) {
      std::string out = "x";
      Base64Carry carry;
      for (size_t i = 0; i < length; i += piece) {
        size_t n = std::min(piece, length - i);
        base64JsonAppend(reinterpret_cast<const uint8_t*>(bytes.data() + i), n, &carry, &out);
      }
      base64JsonFinish(&carry, &out);
      EXPECT_EQ(out, "x" + EscapeSlashes(expected)) << length << " " << piece;
    }
  }
}

class PageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumra-payloads-XXXXXX";
    folder_ = ::mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string write(const std::string& name, const std::string& bytes) {
    std::string path = folder_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string folder_;
};

TEST_F(PageFiles, ReadsWholeFilesAndFailsWithoutTouchingTheOutput) {
  struct Case {
    std::string bytes, json;
  };
  const Case cases[] = {{"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"\xFF\xFE\xFD", "\\/\\/79"}};
  for (const Case& c : cases) {
    std::string json = "[";
    EXPECT_TRUE(appendFileBase64Json(write("page.jpg", c.bytes), &json));
    EXPECT_EQ(json, "[" + c.json);
  }
  std::string json = "[";
  EXPECT_FALSE(appendFileBase64Json(folder_ + "/missing.jpg", &json));
  EXPECT_EQ(json, "[");
  // A folder opens on POSIX but has no usable length.
  EXPECT_FALSE(appendFileBase64Json(folder_, &json));
  EXPECT_EQ(json, "[");
}

// The limit counts the whole text, escapes included; a page past it leaves
// the text as it was.
TEST_F(PageFiles, LimitBoundsTheText) {
  std::mt19937 random(5);
  std::string bytes(3 * 1024 * 1024 + 5, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  std::string path = write("big.png", bytes);
  const std::string expected = "[" + EscapeSlashes(Encode(bytes));
  const uint64_t exact = expected.size();
  const uint64_t base64Only = 1 + Encode(bytes).size();
  for (uint64_t limit : {exact, exact - 1, base64Only, base64Only - 1, uint64_t{0}}) {
    SCOPED_TRACE(limit);
    std::string json = "[";
    EXPECT_EQ(appendFileBase64Json(path, &json, limit), limit >= exact);
    EXPECT_EQ(json, limit >= exact ? expected : "[");
  }
}

// A page of 2 GiB or more has no 32-bit length: it fails instead of being
// read with a wrapped size. Sparse, so it costs no disk.
TEST_F(PageFiles, TwoGibibytesAndMoreFailWithoutReading) {
  for (uint64_t size : {uint64_t{1} << 31, (uint64_t{1} << 32) + 3}) {
    std::string path = write("huge.tif", "");
    std::error_code error;
    std::filesystem::resize_file(path, size, error);
    if (error) GTEST_SKIP() << "no sparse files here";
    std::string json = "[";
    EXPECT_FALSE(appendFileBase64Json(path, &json));
    EXPECT_EQ(json, "[");
  }
}

}  // namespace
}  // namespace lumra

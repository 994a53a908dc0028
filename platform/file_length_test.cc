#include "platform/file_length.h"

#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace lumra {
namespace {

TEST(FileLengthTest, MeasuresFromAnyPositionAndRewinds) {
  std::random_device random;
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("lumra-length-" + std::to_string(random()));
  const uint64_t sizes[] = {0, 1, 4096, (uint64_t{1} << 31) - 1, uint64_t{1} << 31,
                            (uint64_t{1} << 32) + 3};
  for (uint64_t size : sizes) {
    SCOPED_TRACE(size);
    std::FILE* make = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(make, nullptr);
    std::fclose(make);
    std::error_code error;
    std::filesystem::resize_file(path, size, error);
    if (error) GTEST_SKIP() << "no sparse files here";
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    ASSERT_NE(file, nullptr);
    if (size > 0) std::fgetc(file);  // not at the start
    EXPECT_EQ(fileLength(file), static_cast<int64_t>(size));
    EXPECT_EQ(std::fgetc(file), size > 0 ? 0 : EOF);
    std::fclose(file);
  }
  std::filesystem::remove(path);
  EXPECT_EQ(fileLength(nullptr), -1);
}

}  // namespace
}  // namespace lumra

// Encoding a test page in memory, for the encoder tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "imaging/byte_stream.h"
#include "imaging/testing_dib.h"

namespace lumra::testing {

/// The page file of `page` in `format`; `ok` tells whether the encoder
/// accepted it.
inline std::vector<uint8_t> encodePage(const TestPage& page, uint32_t format, bool* ok,
                                       int32_t ppm = 11811) {
  bool loaded = false;
  PageImage image = readDib(packDib(page, false, ppm), &loaded);
  EXPECT_TRUE(loaded);
  MemoryStream stream;
  *ok = image.encode(stream, format);
  return stream.buffer();
}

}  // namespace lumra::testing

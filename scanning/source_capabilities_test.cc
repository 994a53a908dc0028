#include "scanning/source_capabilities.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace lumra {
namespace {

// Container bytes as a source lays them out (2-byte packing, little-endian).
struct Bytes {
  std::vector<uint8_t> data;
  Bytes& u16(uint16_t v) { return put(&v, 2); }
  Bytes& u32(uint32_t v) { return put(&v, 4); }
  Bytes& put(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    data.insert(data.end(), b, b + n);
    return *this;
  }
};

uint32_t fix32(int whole, uint16_t frac) { return static_cast<uint16_t>(whole) | frac << 16; }

TEST(CapabilityContainers, ReadWithinTheirBlock) {
  struct Case {
    const char* name;
    TW_UINT16 conType;
    std::vector<uint8_t> bytes;
    bool ok;
    std::vector<double> items = {};
    bool range = false;
    double min = 0, max = 0, step = 0;
  };
  const Case cases[] = {
      {"one FIX32", TWON_ONEVALUE, Bytes().u16(TWTY_FIX32).u32(fix32(8, 0x8000)).data, true, {8.5}},
      {"enumeration of pixel types", TWON_ENUMERATION,
       Bytes().u16(TWTY_UINT16).u32(3).u32(1).u32(0).u16(0).u16(1).u16(2).data, true, {0, 1, 2}},
      {"enumeration of resolutions", TWON_ENUMERATION,
       Bytes().u16(TWTY_FIX32).u32(2).u32(0).u32(0).u32(fix32(150, 0)).u32(fix32(300, 0)).data,
       true, {150, 300}},
      {"range", TWON_RANGE,
       Bytes().u16(TWTY_FIX32).u32(fix32(50, 0)).u32(fix32(1200, 0)).u32(fix32(25, 0)).u32(0).u32(0).data,
       true, {}, true, 50, 1200, 25},
      {"array of flags", TWON_ARRAY, Bytes().u16(TWTY_BOOL).u32(2).u16(1).u16(0).data, true, {1, 0}},
      {"more items than the block holds", TWON_ENUMERATION,
       Bytes().u16(TWTY_UINT16).u32(1000).u32(0).u32(0).u16(1).data, false},
      {"count that would wrap", TWON_ARRAY, Bytes().u16(TWTY_UINT32).u32(0xFFFFFFFF).u32(1).data, false},
      {"range upside down", TWON_RANGE,
       Bytes().u16(TWTY_UINT16).u32(9).u32(1).u32(1).u32(0).u32(0).data, false},
      {"text items", TWON_ONEVALUE, Bytes().u16(TWTY_STR32).u32(0).data, false},
      {"cut short", TWON_ONEVALUE, Bytes().u16(TWTY_UINT16).u16(0).data, false},
      {"unknown container", 77, Bytes().u16(TWTY_UINT16).u32(0).data, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CapabilityValues values;
    ASSERT_EQ(parseCapabilityContainer(c.conType, c.bytes.data(), c.bytes.size(), &values), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(values.items, c.items);
    EXPECT_EQ(values.isRange, c.range);
    if (c.range) {
      EXPECT_EQ(values.min, c.min);
      EXPECT_EQ(values.max, c.max);
      EXPECT_EQ(values.step, c.step);
    }
  }
}

}  // namespace
}  // namespace lumra

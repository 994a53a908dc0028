// What a source says it can do, read with MSG_GET for a scanning screen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "twain/twain.h"

namespace lumra {

/// The values of one capability container: a one-value, an enumeration or
/// an array give `items`; a range gives min, max and step.
struct CapabilityValues {
  TW_UINT16 itemType = 0;
  bool isRange = false;
  std::vector<double> items;
  double min = 0, max = 0, step = 0;
};

/// Reads a container of type `conType` from `size` bytes at `data`; false
/// when it is not one of ours to read or does not fit in `size` (a number
/// of items the block cannot hold, an item type without a numeric reading).
bool parseCapabilityContainer(TW_UINT16 conType, const uint8_t* data, size_t size,
                              CapabilityValues* out);

/// The answer to "scannerCapabilities"; a member the source did not answer
/// stays empty and is left out of the answer.
struct SourceCapabilities {
  std::optional<CapabilityValues> resolutions;  ///< dpi: items, or a range
  std::vector<const char16_t*> colors;          ///< "bw", "gray", "color"
  std::optional<bool> feeder;
  std::optional<bool> duplex;
  std::optional<bool> showUI;  ///< the source can scan without its own dialog
  std::optional<double> width, height;  ///< inches
};

}  // namespace lumra

// Scan settings onto the options a SANE backend offers: what to set, read
// from the option descriptors alone (no device calls), so it is testable
// with the descriptor tables of real backends.
#pragma once

#include <sane/sane.h>

#include <optional>
#include <string>
#include <vector>

namespace lumra::sane_source {

/// A copy of one SANE option descriptor that outlives the device's tables.
struct OptionInfo {
  int index = 0;
  std::string name;
  SANE_Value_Type type = SANE_TYPE_INT;
  SANE_Int size = 0;
  SANE_Int cap = 0;
  SANE_Unit unit = SANE_UNIT_NONE;
  SANE_Constraint_Type constraint = SANE_CONSTRAINT_NONE;
  SANE_Range range{0, 0, 0};
  std::vector<SANE_Word> words;       ///< word list, without its count
  std::vector<std::string> strings;   ///< string list
};

/// Copies descriptor `index` (null or nameless descriptors give nullopt).
std::optional<OptionInfo> describe(int index, const SANE_Option_Descriptor* d);

/// One option value to set: a string, or a word (SANE_Int, SANE_Fixed or SANE_Bool).
struct Assignment {
  std::string name;
  bool isString = false;
  std::string text;
  SANE_Word word = 0;
};

enum class PixelKind { kBw = 0, kGray = 1, kColor = 2 };

/// The settings of a job as TWAIN gave them.
struct ScanSettings {
  double dpi = 0;  ///< 0: the device's default
  PixelKind pixel = PixelKind::kColor;
  bool pixelSet = false;
  bool feeder = false;
  bool duplex = false;
};

/// What a device can do, read from its descriptors, for MSG_GET.
struct Offers {
  bool hasResolution = false;
  bool resolutionRange = false;
  std::vector<double> resolutions;  ///< dpi, when not a range
  double min = 0, max = 0, step = 0;  ///< dpi, when a range
  std::vector<PixelKind> pixels;
  bool feeder = false, duplex = false;  ///< a source for each
  double width = 0, height = 0;  ///< inches of the largest scan area; 0: unknown
};

/// The options of one device, looked up by name.
class OptionTable {
 public:
  explicit OptionTable(std::vector<OptionInfo> options) : options_(std::move(options)) {}
  /// The settable, active option called `name`, or null.
  const OptionInfo* find(const std::string& name) const;

  /// The resolution value nearest `dpi` the device offers (in the option's
  /// own type), or nullopt when it has no resolution option.
  std::optional<Assignment> resolution(double dpi) const;
  /// mode (and depth) for a pixel kind; empty when the device has none.
  std::vector<Assignment> pixel(PixelKind kind) const;
  /// source for the feeder/duplex choice; nullopt when the device has no
  /// such source (flatbed wanted and no source option: nothing to set).
  std::optional<std::vector<Assignment>> source(bool feeder, bool duplex) const;
  /// Every assignment of a job, in the order to set them (source, mode,
  /// depth, resolution, then the whole scan area).
  std::vector<Assignment> plan(const ScanSettings& settings) const;
  /// Resolutions, modes, sources and the largest scan area on offer.
  Offers offers() const;

 private:
  std::optional<Assignment> depth(int bits) const;
  std::vector<OptionInfo> options_;
};

/// `value` (text as a user writes it: "Color", "16", "150.5", "yes") as a
/// value of `option`, or nullopt when it cannot be one.
std::optional<Assignment> parseValue(const OptionInfo& option, const std::string& value);

}  // namespace lumra::sane_source

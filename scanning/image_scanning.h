// lumra::ImageScanning: the TWAIN engine. Lists the sources of the Data
// Source Manager and runs scan jobs whose pages become page files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lumra {

/// Setting name ("scannerId", "dpi", "timeout", "color", "feeder", "duplex",
/// "showUI", "imageType", "quality") to value; a key is present only when the
/// request gave it.
using ScanSettings = std::map<std::u16string, uint32_t>;

/// Scanner number (1-based, ascending TWAIN Id order) to product name.
using ScannerList = std::map<uint32_t, std::u16string>;

class ImageScanning {
 public:
  /// Fills `scanners` with the manager's sources. False, `scanners`
  /// untouched, when the manager cannot be loaded or opened.
  static bool getListScanners(bool isDsm2, ScannerList* scanners);

  /// Runs one scan job into `workFolder` (ending in the separator). Appends
  /// every saved page's path to `pageFiles`, in delivery order, also when the
  /// job fails later. On failure sets `errorText` and, where TWAIN gave one,
  /// `statusCode` (a condition code).
  static bool scanning(bool isDsm2, const ScanSettings& settings, const std::string& workFolder,
                       uint32_t* statusCode, std::vector<std::string>* pageFiles,
                       std::u16string* errorText);
};

}  // namespace lumra

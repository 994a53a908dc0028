#include "imaging/page_files.h"

#include <array>
#include <cstdio>

namespace lumra {

namespace {

struct FormatName {
  std::u16string_view name;
  uint32_t format;
};

constexpr std::array<FormatName, 21> kFormatNames{{
    {u"bmp", 1},  {u"gif", 2},   {u"jpg", 3},  {u"jpeg", 3}, {u"png", 4},  {u"ico", 5},
    {u"tif", 6},  {u"tiff", 6},  {u"tga", 7},  {u"pcx", 8},  {u"wbmp", 9}, {u"wmf", 10},
    {u"jp2", 11}, {u"jpc", 12},  {u"pgx", 13}, {u"pnm", 14}, {u"ras", 15}, {u"mng", 17},
    {u"ska", 18}, {u"raw", 19},  {u"psd", 20},
}};

// Indexed by format number; 0 and 16 have no extension.
constexpr std::array<const char*, 21> kExtensions{{
    "",    "bmp", "gif", "jpg", "png", "ico", "tif", "tga", "pcx", "wbmp", "wmf",
    "jp2", "jpc", "pgx", "pnm", "ras", "",    "mng", "ska", "raw", "psd",
}};

}  // namespace

uint32_t getImageType(std::u16string_view name) {
  for (const FormatName& entry : kFormatNames) {
    if (entry.name == name) return entry.format;
  }
  return 0;
}

std::string getImageExtension(uint32_t format) {
  if (format >= kExtensions.size()) return std::string();
  return kExtensions[format];
}

std::string getPageFileName(const std::string& folder, uint32_t format, uint32_t page) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "page_%d", static_cast<int>(page));
  return folder + buffer + "." + getImageExtension(format);
}

}  // namespace lumra

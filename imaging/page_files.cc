#include "imaging/page_files.h"

#include <cstdio>

#include "imaging/encoders.h"

namespace lumra {

namespace {

template <typename Encoder>
std::unique_ptr<PageEncoder> make(PageImage&& image, uint32_t) {
  return std::make_unique<Encoder>(std::move(image));
}

std::unique_ptr<PageEncoder> makeJpeg2000(PageImage&& image, uint32_t number) {
  return std::make_unique<Jpeg2000Encoder>(std::move(image), number);
}

constexpr uint32_t kTrueColourOrGray = kTrueColour | kGray;

// Numbers and names are those of the protocol; 16 is unused. A format
// with openDocument makes one file of all the pages of a job.
const PageFormat kFormats[] = {
    {1, u"bmp", u"", "bmp", kAnyKind, false, make<BmpEncoder>, nullptr},
    {2, u"gif", u"", "gif", kAnyKind, false, make<GifEncoder>, nullptr},
    {3, u"jpg", u"jpeg", "jpg", kTrueColourOrGray, true, make<JpegEncoder>, nullptr},
    {4, u"png", u"", "png", kAnyKind, false, make<PngEncoder>, nullptr},
    {5, u"ico", u"", "ico", kAnyKind, false, make<IcoEncoder>, nullptr},
    {6, u"tif", u"tiff", "tif", kAnyKind, false, make<TiffEncoder>, nullptr},
    {7, u"tga", u"", "tga", kGray | kPalette | kTrueColour, false, make<TgaEncoder>, nullptr},
    {8, u"pcx", u"", "pcx", kAnyKind, false, make<PcxEncoder>, nullptr},
    {9, u"wbmp", u"", "wbmp", kOneBit, false, make<WbmpEncoder>, nullptr},
    {10, u"wmf", u"", "wmf", 0, false, nullptr, nullptr},
    {11, u"jp2", u"", "jp2", kTrueColourOrGray, false, makeJpeg2000, nullptr},
    {12, u"jpc", u"", "jpc", kTrueColourOrGray, false, makeJpeg2000, nullptr},
    {13, u"pgx", u"", "pgx", kGray, false, makeJpeg2000, nullptr},
    {14, u"pnm", u"", "pnm", kTrueColourOrGray, false, makeJpeg2000, nullptr},
    {15, u"ras", u"", "ras", kTrueColourOrGray, false, makeJpeg2000, nullptr},
    {17, u"mng", u"", "mng", kTrueColour, false, make<MngEncoder>, nullptr},
    {18, u"ska", u"", "ska", kOneBit | kFourBit | kGray | kPalette, false, make<SkaEncoder>, nullptr},
    {19, u"raw", u"", "raw", 0, false, nullptr, nullptr},
    {20, u"psd", u"", "psd", 0, false, nullptr, nullptr},
    {21, u"pdf", u"", "pdf", kAnyKind, true, nullptr, openPdfDocument},
    {kMultiPageTiff, u"", u"", "tif", kAnyKind, false, nullptr, openTiffDocument},
};

}  // namespace

uint32_t pageKind(const PageImage& image) {
  switch (image.depth()) {
    case 1: return kOneBit;
    case 4: return kFourBit;
    case 8: return image.isGray() ? kGray : kPalette;
    default: return kTrueColour;
  }
}

const PageFormat* findPageFormat(uint32_t number) {
  for (const PageFormat& format : kFormats) {
    if (format.number == number) return &format;
  }
  return nullptr;
}

uint32_t getImageType(std::u16string_view name) {
  for (const PageFormat& format : kFormats) {
    if (format.name.empty()) continue;
    if (format.name == name || (!format.alias.empty() && format.alias == name)) return format.number;
  }
  return 0;
}

std::string getImageExtension(uint32_t format) {
  const PageFormat* found = findPageFormat(format);
  return found != nullptr ? found->extension : "";
}

std::string getPageFileName(const std::string& folder, uint32_t format, uint32_t page) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "page_%d", static_cast<int>(page));
  return folder + buffer + "." + getImageExtension(format);
}

}  // namespace lumra

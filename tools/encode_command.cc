#include "tools/encode_command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "imaging/page_files.h"
#include "platform/text.h"
#include "platform/win32.h"

namespace lumra {

const char kEncodeHelp[] =
    "usage: lumra-scan encode INPUT.bmp --format NAME [--quality Q] -o OUTPUT\n"
    "  Writes the bitmap of INPUT.bmp as a page file, exactly as a scanned page\n"
    "  would be written.\n"
    "  --format NAME   bmp, gif, jpg, png, ico, tif, tga, pcx, wbmp, jp2, jpc,\n"
    "                  pgx, pnm, ras, mng, ska (wmf, raw and psd are refused)\n"
    "  --quality Q     JPEG quality 0-255, used by jpg only (default 90)\n"
    "  -o OUTPUT       the file to write\n";

namespace {

constexpr size_t kFileHeaderSize = 14;

int usage(const std::string& message) {
  std::fprintf(stderr, "lumra-scan encode: %s\n%s", message.c_str(), kEncodeHelp);
  return 2;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "lumra-scan encode: %s\n", message.c_str());
  return 1;
}

bool parseQuality(const std::string& text, uint8_t* quality) {
  if (text.empty() || text.size() > 3) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const int value = std::atoi(text.c_str());
  if (value > 255) return false;
  *quality = static_cast<uint8_t>(value);
  return true;
}

}  // namespace

int runEncodeVerb(const std::vector<std::string>& args) {
  std::string input, output, formatName;
  uint8_t quality = 90;
  bool haveFormat = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kEncodeHelp, stdout);
      return 0;
    } else if (arg == "--format") {
      if (!hasValue) return usage("--format needs a format name");
      formatName = args[++i];
      haveFormat = true;
    } else if (arg == "--quality") {
      if (!hasValue || !parseQuality(args[i + 1], &quality)) {
        return usage("--quality needs a number from 0 to 255");
      }
      ++i;
    } else if (arg == "-o" || arg == "--output") {
      if (!hasValue) return usage("-o needs a file name");
      output = args[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      return usage("unknown option " + arg);
    } else if (input.empty()) {
      input = arg;
    } else {
      return usage("more than one input file");
    }
  }
  if (input.empty()) return usage("no input file");
  if (!haveFormat) return usage("no --format");
  if (output.empty()) return usage("no -o OUTPUT");

  const uint32_t format = getImageType(ansiToWide(formatName));
  if (format == 0) return usage("unknown format \"" + formatName + "\"");

  // The packed bitmap, as a scanner hands it over: everything after the
  // 14-byte file header, read straight into the global memory block.
  std::ifstream in(input, std::ios::binary | std::ios::ate);
  if (!in) return failure("cannot open " + input + ": " + std::strerror(errno));
  const std::streamoff fileSize = in.tellg();
  char fileHeader[kFileHeaderSize];
  in.seekg(0);
  if (fileSize <= static_cast<std::streamoff>(kFileHeaderSize) ||
      !in.read(fileHeader, kFileHeaderSize) || fileHeader[0] != 'B' || fileHeader[1] != 'M') {
    return failure(input + " is not a BMP file");
  }
  const size_t dibSize = static_cast<size_t>(fileSize) - kFileHeaderSize;
  HGLOBAL dib = GlobalAlloc(GHND, dibSize);
  void* data = dib != nullptr ? GlobalLock(dib) : nullptr;
  if (data == nullptr) {
    if (dib != nullptr) GlobalFree(dib);
    return failure("out of memory for " + input);
  }
  const bool read = static_cast<bool>(in.read(static_cast<char*>(data), static_cast<std::streamsize>(dibSize)));
  GlobalUnlock(dib);
  if (!read) {
    GlobalFree(dib);
    return failure("cannot read " + input);
  }

  // saveDIB frees the handle on every path.
  if (!saveDIB(output, dib, format, quality, HandleMemory{})) {
    return failure("could not write " + output + " as " + formatName +
                   " (the bitmap is unreadable, the format refuses this kind of page, or the"
                   " file cannot be written)");
  }
  return 0;
}

}  // namespace lumra

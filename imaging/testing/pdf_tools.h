// PDF files read by tools we did not write (qpdf, poppler's pdfimages and
// pdfinfo), for the POSIX tests. Header-only.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace lumra::testing {

/// Standard output of `command` run by the shell; `status` gets its exit code.
inline std::string commandOutput(const std::string& command, int* status = nullptr) {
  std::string out;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int code = pclose(pipe);
  if (status != nullptr) *status = code;
  return out;
}

/// qpdf --check finds no error.
inline bool qpdfChecks(const std::string& pdf) {
  int status = -1;
  const std::string out = commandOutput("qpdf --check '" + pdf + "' 2>&1", &status);
  return status == 0 && out.find("No syntax or stream encoding errors") != std::string::npos;
}

/// One row of `pdfimages -list`.
struct PdfImage {
  int page = 0, width = 0, height = 0, bpc = 0, xPpi = 0, yPpi = 0;
  std::string color, encoding;
};

inline std::vector<PdfImage> pdfImages(const std::string& pdf) {
  std::istringstream lines(commandOutput("pdfimages -list '" + pdf + "' 2>/dev/null"));
  std::vector<PdfImage> images;
  std::string line, type, comp, interp, object, generation;
  int num = 0;
  for (int skip = 0; skip < 2 && std::getline(lines, line); ++skip) {
  }
  while (std::getline(lines, line)) {
    std::istringstream row(line);
    PdfImage image;
    if (row >> image.page >> num >> type >> image.width >> image.height >> image.color >> comp >>
        image.bpc >> image.encoding >> interp >> object >> generation >> image.xPpi >> image.yPpi) {
      images.push_back(image);
    }
  }
  return images;
}

/// "W x H pts" of every page, from pdfinfo, with its paper name when it has
/// one ("595.2 x 841.92 pts (A4)").
inline std::vector<std::string> pdfPageSizes(const std::string& pdf) {
  std::istringstream lines(commandOutput("pdfinfo -f 1 -l 100000 '" + pdf + "' 2>/dev/null"));
  std::vector<std::string> sizes;
  std::string line;
  while (std::getline(lines, line)) {
    const size_t at = line.find(" size: ");
    if (line.rfind("Page ", 0) != 0 || at == std::string::npos) continue;
    std::string size = line.substr(at + 7);
    sizes.push_back(size.substr(size.find_first_not_of(' ')));
  }
  return sizes;
}

}  // namespace lumra::testing

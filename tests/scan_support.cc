#include "tests/scan_support.h"

#include <cstdio>
#include <cstring>
#include <csetjmp>
#include <fstream>
#include <iterator>
#include <sstream>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <gtest/gtest.h>
#include <utf8.h>

#include "platform/text.h"

namespace lumra::test {

namespace {

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

uint32_t Le16(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8;
}
uint32_t Le32(const std::string& b, size_t at) {
  return Le16(b, at) | Le16(b, at + 2) << 16;
}
uint32_t Be32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 8 |
         static_cast<uint8_t>(b[at + 3]);
}

}  // namespace

ScanHost::~ScanHost() {
  if (host_.running()) {
    host_.closeStdin();
    ExitStatus status;
    if (!host_.waitExit(30000, &status)) {
      host_.kill();
      ADD_FAILURE() << "the host did not end after its input";
    } else if (!status.exited || status.code != 0) {
      // Also how a sanitizer reports a leak or an error at exit.
      std::string err = host_.stderrText();
      ADD_FAILURE() << "the host ended with " << (status.exited ? status.code : -status.signal)
                    << "\n" << err.substr(err.size() > 4000 ? err.size() - 4000 : 0);
    }
  }
  RemoveTree(folder_);
}

bool ScanHost::start(const std::string& scenario, std::string* err, const std::string& hostPath) {
  folder_ = MakeTempFolder("lumra_scan_e2e_");
  if (folder_.empty()) {
    *err = "no temp folder";
    return false;
  }
  journalPath_ = folder_ + "/journal.txt";
  ChildOptions options;
  options.env = HostEnv(folder_);
  options.env["LUMRA_TWAIN_SOURCES"] = std::nullopt;
  options.env["LUMRA_VIRTUAL_JOURNAL"] = journalPath_;
  if (scenario.empty()) {
    options.env["LUMRA_VIRTUAL_SCENARIO"] = std::nullopt;
  } else {
    std::string scenarioPath = folder_ + "/scenario.txt";
    if (!WriteText(scenarioPath, scenario)) {
      *err = "cannot write the scenario";
      return false;
    }
    options.env["LUMRA_VIRTUAL_SCENARIO"] = scenarioPath;
  }
  return host_.start(hostPath.empty() ? HostPath() : hostPath, options, err);
}

std::unique_ptr<JsonValue> ScanHost::request(const std::string& json, std::string* err,
                                             int timeoutMs) {
  if (!host_.writeFrame(json, err)) return nullptr;
  std::string body;
  if (!host_.readFrame(&body, timeoutMs, err)) return nullptr;
  // The wire carries UTF-8 whatever the ANSI code page is.
  if (!utf8::is_valid(body.begin(), body.end())) {
    *err = "answer is not UTF-8: " + body.substr(0, 200);
    return nullptr;
  }
  std::u16string wide;
  utf8::unchecked::utf8to16(body.begin(), body.end(), std::back_inserter(wide));
  auto root = parseJson(wide);
  if (root == nullptr) *err = "answer is not JSON: " + body.substr(0, 200);
  return root;
}

std::unique_ptr<JsonValue> ScanHost::requestSplit(const std::string& json, std::string* err,
                                                  int* slices) {
  std::u16string whole;
  int count = 0;
  for (;;) {
    auto answer = request(json, err);
    if (answer == nullptr) return nullptr;
    ++count;
    const JsonValue* part = ValueAt(answer.get(), {u"split", u"part"});
    const JsonValue* last = ValueAt(answer.get(), {u"split", u"last"});
    if (part == nullptr || !part->isString() || last == nullptr || !last->isBool()) {
      *err = "answer without split part";
      return nullptr;
    }
    if (answer->find(u"pages") != nullptr) {
      *err = "a split answer carries pages at its top level";
      return nullptr;
    }
    whole += part->asString();
    if (last->asBool()) break;
    if (count > 10000) {
      *err = "split series does not end";
      return nullptr;
    }
  }
  if (slices != nullptr) *slices = count;
  auto root = parseJson(whole);
  if (root == nullptr) *err = "reassembled answer is not JSON";
  return root;
}

std::vector<std::string> ScanHost::journal(const std::string& operation) const {
  std::vector<std::string> lines;
  std::ifstream in(journalPath_);
  std::string line;
  while (std::getline(in, line)) {
    if (operation.empty() || line.compare(0, operation.size() + 1, operation + " ") == 0) {
      lines.push_back(line);
    }
  }
  return lines;
}

std::string ScanHost::log() const {
  std::string text;
  ReadFile(folder_ + "/LumraImageScanning.log", &text);
  return text;
}

std::string ScanHost::defaultWorkFolder() const { return folder_ + "/lumra_image_scan/"; }

std::string JournalField(const std::string& line, const std::string& key) {
  size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  if (at < line.size() && line[at] == '"') {
    size_t end = line.find('"', at + 1);
    return line.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
  }
  size_t end = line.find(' ', at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

const JsonValue* ValueAt(const JsonValue* root, const std::vector<std::u16string>& path) {
  const JsonValue* value = root;
  for (const auto& key : path) {
    if (value == nullptr) return nullptr;
    value = value->find(key);
  }
  return value;
}

std::string StringAt(const JsonValue* root, const std::vector<std::u16string>& path) {
  const JsonValue* value = ValueAt(root, path);
  if (value == nullptr || !value->isString()) return std::string();
  std::string text;
  const std::u16string& wide = value->asString();
  utf8::unchecked::utf16to8(wide.begin(), wide.end(), std::back_inserter(text));
  return text;
}

double NumberAt(const JsonValue* root, const std::vector<std::u16string>& path) {
  const JsonValue* value = ValueAt(root, path);
  return value != nullptr && value->isNumber() ? value->asNumber() : -1;
}

bool DecodeBase64Text(const std::u16string& text, std::string* out) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return false;
  out->clear();
  uint32_t bits = 0;
  int count = 0;
  for (char16_t c : text) {
    if (c == u'=') break;
    size_t v = c < 128 ? kAlphabet.find(static_cast<char>(c)) : std::string::npos;
    if (v == std::string::npos) return false;
    bits = bits << 6 | static_cast<uint32_t>(v);
    if (++count == 4) {
      out->push_back(static_cast<char>(bits >> 16));
      out->push_back(static_cast<char>(bits >> 8));
      out->push_back(static_cast<char>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) out->push_back(static_cast<char>(bits >> 4));
  if (count == 3) {
    out->push_back(static_cast<char>(bits >> 10));
    out->push_back(static_cast<char>(bits >> 2));
  }
  return true;
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

namespace {

struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

bool DecodeJpeg(const std::string& bytes, Decoded* out, std::string* err) {
  jpeg_decompress_struct info;
  JpegError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = [](j_common_ptr common) {
    longjmp(reinterpret_cast<JpegError*>(common->err)->jump, 1);
  };
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    *err = "libjpeg refused the file";
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  out->width = static_cast<int>(info.output_width);
  out->height = static_cast<int>(info.output_height);
  out->channels = 3;
  out->pixels.assign(static_cast<size_t>(out->width) * out->height * 3, 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out->pixels.data() + static_cast<size_t>(info.output_scanline) * out->width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool DecodePng(const std::string& bytes, Decoded* out, std::string* err) {
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
    *err = std::string("libpng refused the file: ") + image.message;
    return false;
  }
  image.format = PNG_FORMAT_RGB;
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  out->channels = 3;
  out->pixels.assign(PNG_IMAGE_SIZE(image), 0);
  if (!png_image_finish_read(&image, nullptr, out->pixels.data(), 0, nullptr)) {
    *err = std::string("libpng failed: ") + image.message;
    png_image_free(&image);
    return false;
  }
  return true;
}

// libtiff reads from memory through these client procedures.
struct TiffMemory {
  const std::string* bytes;
  toff_t position;
};

bool DecodeTiff(const std::string& bytes, Decoded* out, std::string* err) {
  TiffMemory memory{&bytes, 0};
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  TIFF* tiff = TIFFClientOpen(
      "page", "r", &memory,
      [](thandle_t h, tdata_t buffer, tmsize_t size) -> tmsize_t {
        auto* m = static_cast<TiffMemory*>(h);
        if (m->position >= m->bytes->size()) return 0;
        tmsize_t n = std::min<tmsize_t>(size, static_cast<tmsize_t>(m->bytes->size() - m->position));
        std::memcpy(buffer, m->bytes->data() + m->position, static_cast<size_t>(n));
        m->position += static_cast<toff_t>(n);
        return n;
      },
      [](thandle_t, tdata_t, tmsize_t) -> tmsize_t { return 0; },
      [](thandle_t h, toff_t offset, int whence) -> toff_t {
        auto* m = static_cast<TiffMemory*>(h);
        if (whence == SEEK_SET) m->position = offset;
        if (whence == SEEK_CUR) m->position += offset;
        if (whence == SEEK_END) m->position = m->bytes->size() + offset;
        return m->position;
      },
      [](thandle_t) { return 0; },
      [](thandle_t h) -> toff_t { return static_cast<TiffMemory*>(h)->bytes->size(); },
      [](thandle_t, tdata_t*, toff_t*) { return 0; }, [](thandle_t, tdata_t, toff_t) {});
  if (tiff == nullptr) {
    *err = "libtiff refused the file";
    return false;
  }
  uint32_t width = 0, height = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  std::vector<uint32_t> raster(static_cast<size_t>(width) * height);
  bool ok = width > 0 && height > 0 &&
            TIFFReadRGBAImageOriented(tiff, width, height, raster.data(), ORIENTATION_TOPLEFT, 0);
  TIFFClose(tiff);
  if (!ok) {
    *err = "libtiff could not read the pixels";
    return false;
  }
  out->width = static_cast<int>(width);
  out->height = static_cast<int>(height);
  out->channels = 3;
  out->pixels.resize(raster.size() * 3);
  for (size_t i = 0; i < raster.size(); ++i) {
    out->pixels[i * 3] = static_cast<uint8_t>(TIFFGetR(raster[i]));
    out->pixels[i * 3 + 1] = static_cast<uint8_t>(TIFFGetG(raster[i]));
    out->pixels[i * 3 + 2] = static_cast<uint8_t>(TIFFGetB(raster[i]));
  }
  return true;
}

}  // namespace

bool DecodeImage(const std::string& bytes, const std::string& type, Decoded* out,
                 std::string* err) {
  if (type == "jpg") return DecodeJpeg(bytes, out, err);
  if (type == "png") return DecodePng(bytes, out, err);
  if (type == "tif") return DecodeTiff(bytes, out, err);
  *err = "no decoder for " + type;
  return false;
}

bool HeaderSize(const std::string& b, const std::string& type, int* width, int* height,
                std::string* err) {
  auto need = [&](size_t n) {
    if (b.size() < n) *err = type + " file too short";
    return b.size() >= n;
  };
  auto bad = [&](const char* what) {
    *err = type + ": " + what;
    return false;
  };
  if (type == "jpg" || type == "png" || type == "tif") {
    Decoded decoded;
    if (!DecodeImage(b, type, &decoded, err)) return false;
    *width = decoded.width;
    *height = decoded.height;
    return true;
  }
  if (type == "bmp") {
    if (!need(26) || b.compare(0, 2, "BM") != 0) return bad("no BM");
    *width = static_cast<int>(Le32(b, 18));
    *height = std::abs(static_cast<int32_t>(Le32(b, 22)));
    return true;
  }
  if (type == "gif") {
    if (!need(10) || b.compare(0, 6, "GIF89a") != 0) return bad("no GIF89a");
    *width = static_cast<int>(Le16(b, 6));
    *height = static_cast<int>(Le16(b, 8));
    return b.back() == 0x3B ? true : bad("no trailer");
  }
  if (type == "ico") {
    if (!need(22) || Le16(b, 0) != 0 || Le16(b, 2) != 1 || Le16(b, 4) != 1) return bad("no icon");
    uint32_t offset = Le32(b, 18);
    if (!need(offset + 24)) return false;
    if (b.compare(offset, 4, "\x89PNG") == 0) {
      *width = static_cast<int>(Be32(b, offset + 16));
      *height = static_cast<int>(Be32(b, offset + 20));
    } else {
      *width = static_cast<int>(Le32(b, offset + 4));
      *height = static_cast<int>(Le32(b, offset + 8)) / 2;
    }
    return true;
  }
  if (type == "tga") {
    if (!need(18)) return false;
    *width = static_cast<int>(Le16(b, 12));
    *height = static_cast<int>(Le16(b, 14));
    return true;
  }
  if (type == "pcx") {
    if (!need(128) || static_cast<uint8_t>(b[0]) != 10) return bad("no PCX header");
    *width = static_cast<int>(Le16(b, 8) - Le16(b, 4) + 1);
    *height = static_cast<int>(Le16(b, 10) - Le16(b, 6) + 1);
    return true;
  }
  if (type == "wbmp") {
    if (!need(4) || b[0] != 0 || b[1] != 0) return bad("no WBMP header");
    size_t at = 2;
    auto multiByte = [&](int* v) {
      *v = 0;
      while (at < b.size()) {
        uint8_t c = static_cast<uint8_t>(b[at++]);
        *v = (*v << 7) | (c & 0x7F);
        if ((c & 0x80) == 0) return true;
      }
      return false;
    };
    return multiByte(width) && multiByte(height) ? true : bad("bad size");
  }
  if (type == "jp2") {
    if (!need(12) || b.compare(4, 8, "jP  \r\n\x87\n") != 0) return bad("no JP2 signature");
    size_t at = b.find("ihdr");
    if (at == std::string::npos || !need(at + 12)) return bad("no ihdr");
    *height = static_cast<int>(Be32(b, at + 4));
    *width = static_cast<int>(Be32(b, at + 8));
    return true;
  }
  if (type == "jpc") {
    if (!need(24) || b.compare(0, 4, "\xFF\x4F\xFF\x51") != 0) return bad("no SOC/SIZ");
    *width = static_cast<int>(Be32(b, 8) - Be32(b, 16));
    *height = static_cast<int>(Be32(b, 12) - Be32(b, 20));
    return true;
  }
  if (type == "pgx" || type == "pnm") {
    std::istringstream in(b.substr(0, 256));
    std::string magic;
    in >> magic;
    if (type == "pgx") {
      if (magic != "PG") return bad("no PG");
      // "PG ML +8 W H" or with the sign apart from the depth.
      std::string endian, sign;
      in >> endian >> sign;
      if (sign == "+" || sign == "-") in >> sign;
      in >> *width >> *height;
      return static_cast<bool>(in) ? true : bad("bad header");
    }
    if (magic != "P5" && magic != "P6" && magic != "P4") return bad("no P4/P5/P6");
    in >> *width >> *height;
    return static_cast<bool>(in) ? true : bad("bad header");
  }
  if (type == "ras") {
    if (!need(32) || Be32(b, 0) != 0x59A66A95u) return bad("no Sun raster magic");
    *width = static_cast<int>(Be32(b, 4));
    *height = static_cast<int>(Be32(b, 8));
    return true;
  }
  if (type == "mng") {
    if (!need(24) || b.compare(0, 8, "\x8AMNG\r\n\x1A\n") != 0) return bad("no MNG signature");
    if (b.compare(12, 4, "MHDR") != 0) return bad("no MHDR");
    *width = static_cast<int>(Be32(b, 16));
    *height = static_cast<int>(Be32(b, 20));
    return true;
  }
  if (type == "ska") {
    if (!need(9 + 768)) return false;
    *width = static_cast<int>(Le16(b, 0));
    *height = static_cast<int>(Le16(b, 2));
    if (static_cast<uint8_t>(b[4]) != 3) return bad("no type byte 3");
    return b.size() == 9 + 768 + static_cast<size_t>(*width) * *height ? true : bad("bad size");
  }
  *err = "unknown type " + type;
  return false;
}

}  // namespace lumra::test

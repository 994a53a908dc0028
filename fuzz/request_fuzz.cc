// The whole request path: bytes are read as frames, parsed, dispatched and
// answered, with a stand-in scanning engine that writes small page files.
// Every file the path deletes or creates stays inside a private folder, and
// every answer must be one frame of JSON with a "status".
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <utf8.h>

#include "host/client_stdin_stdout.h"
#include "json/json.h"
#include "platform/win32.h"
#include "processing/image_json_processing.h"
#include "processing/split_registry.h"

namespace {

std::string folder;  // private, ends in '/'
int answersFd = -1;

// The private folder is also the working folder, so relative paths are in it.
bool inside(const char* path) {
  return path != nullptr && std::strstr(path, "..") == nullptr &&
         (path[0] != '/' || std::strncmp(path, folder.c_str(), folder.size()) == 0);
}

void writeFile(const std::string& path, size_t bytes, uint32_t seed) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  for (size_t i = 0; i < bytes; ++i) {
    seed = seed * 1103515245u + 12345u;
    std::fputc(static_cast<int>(seed >> 24), file);
  }
  std::fclose(file);
}

// Every frame written since the last call: a 4-byte length, then JSON whose
// root object has a "status".
void checkAnswers() {
  off_t end = lseek(answersFd, 0, SEEK_END);
  std::string bytes(static_cast<size_t>(end), '\0');
  if (end > 0 && pread(answersFd, bytes.data(), bytes.size(), 0) != end) __builtin_trap();
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 4) __builtin_trap();
    uint32_t length = 0;
    std::memcpy(&length, bytes.data() + at, 4);
    at += 4;
    if (length == 0 || bytes.size() - at < length) __builtin_trap();
    std::string body = bytes.substr(at, length);
    at += length;
    if (!utf8::is_valid(body.begin(), body.end())) __builtin_trap();
    std::u16string text = utf8::utf8to16(body);
    std::unique_ptr<lumra::JsonValue> root = lumra::parseJson(text);
    if (!root || !root->isObject() || root->find(u"status") == nullptr) __builtin_trap();
  }
  if (ftruncate(answersFd, 0) != 0) __builtin_trap();
  lseek(answersFd, 0, SEEK_SET);
}

void emptyFolder() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().filename() != "answers") std::filesystem::remove_all(entry.path(), error);
  }
}

}  // namespace

// The stand-in engine: "dpi" % 5 pages of "quality" % 4000 bytes; scanner 0
// fails after its pages; a folder outside the private one cannot be written.
bool lumra::ImageScanning::scanning(bool, const ScanSettings& settings,
                                    const std::string& workFolder, uint32_t* statusCode,
                                    std::vector<std::string>* pageFiles,
                                    std::u16string* errorText) {
  auto value = [&](const char16_t* key, uint32_t fallback) {
    auto it = settings.find(key);
    return it == settings.end() ? fallback : it->second;
  };
  if (!inside(workFolder.c_str())) {
    *statusCode = TWCC_FILEWRITEERROR;
    *errorText = u"Error save image to file.";
    return false;
  }
  const uint32_t pages = value(u"dpi", 1) % 5;
  const char* extension = value(u"imageType", 0) % 2 ? ".png" : ".jpg";
  for (uint32_t i = 0; i < pages; ++i) {
    std::string path = workFolder + "page_" + std::to_string(i) + extension;
    writeFile(path, value(u"quality", 100) % 4000, i);
    pageFiles->push_back(path);
  }
  if (value(u"scannerId", 1) == 0) {
    *statusCode = TWCC_PAPERJAM;
    *errorText = u"Error transfer image";
    return false;
  }
  return true;
}

bool lumra::ImageScanning::getListScanners(bool isDsm2, ScannerList* scanners) {
  (*scanners)[1] = u"Fuzz Scanner";
  if (isDsm2) (*scanners)[2] = u"Fuzz Scanner \u00e9";
  return true;
}

// Capabilities: a list or a range by "dpi", nothing at all for scanner 0.
bool lumra::ImageScanning::getCapabilities(bool, const ScanSettings& settings,
                                           SourceCapabilities* caps, uint32_t* statusCode,
                                           std::u16string* errorText) {
  auto it = settings.find(u"scannerId");
  if (it != settings.end() && it->second == 0) {
    *statusCode = TWCC_NODS;
    *errorText = u"Error open source.";
    return false;
  }
  auto dpi = settings.find(u"dpi");
  CapabilityValues values;
  if (dpi != settings.end() && dpi->second % 2 == 0) {
    values.isRange = true;
    values.min = 50;
    values.max = dpi->second;
    values.step = 1;
  } else {
    values.items = {75, 150.5, dpi != settings.end() ? static_cast<double>(dpi->second) : 300};
  }
  caps->resolutions = values;
  caps->colors = {u"gray", u"color"};
  caps->feeder = true;
  caps->width = 8.5;
  caps->height = 11.69;
  return true;
}

// The platform's deletion and folder creation, kept inside the private folder.
BOOL DeleteFileA(LPCSTR path) {
  struct stat info;
  if (!inside(path) || lstat(path, &info) != 0 || S_ISDIR(info.st_mode)) return FALSE;
  return unlink(path) == 0;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
  return inside(path) && mkdir(path, 0700) == 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/tmp/lumra-request-fuzz-XXXXXX";
  if (mkdtemp(name) == nullptr) __builtin_trap();
  folder = std::string(name) + "/";
  setenv("TMPDIR", name, 1);
  if (chdir(name) != 0) __builtin_trap();
  answersFd = open((folder + "answers").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (answersFd < 0 || dup2(answersFd, 1) < 0) __builtin_trap();
  InitializeCriticalSection(&lumra::workFolderLock);
  lumra::savedStdoutHandle = GetStdHandle(STD_OUTPUT_HANDLE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::FILE* input = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (input == nullptr) return 0;
  lumra::ImageClientStdinStdout::loopClientStdinStdout(input);
  std::fclose(input);
  checkAnswers();
  lumra::SplitRegistry::instance().clear();
  emptyFolder();
  return 0;
}

#include "processing/image_json_processing.h"

#include "log/log.h"
#include "imaging/page_files.h"
#include "platform/file_length.h"
#include "platform/open_file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "processing/answers.h"
#include "processing/page_payloads.h"
#include "processing/request_fields.h"
#include "processing/split_registry.h"

namespace lumra {

CRITICAL_SECTION workFolderLock;

namespace {

// Reads the scan settings, in this order, each only when the request has it.
ScanSettings readScanSettings(const JsonValue& request) {
  ScanSettings settings;
  uint32_t number = 0;
  bool flag = false;
  std::u16string text;
  if (getScannerId(&request, &number)) settings[u"scannerId"] = number;
  if (getDpi(&request, &number)) settings[u"dpi"] = number;
  if (getTimeout(&request, &number)) settings[u"timeout"] = number;
  if (getColor(&request, &text)) {
    settings[u"color"] = text == u"bw" ? TWPT_BW : text == u"gray" ? TWPT_GRAY : TWPT_RGB;
  }
  if (getFeeder(&request, &flag)) settings[u"feeder"] = flag ? 1 : 0;
  if (getDuplex(&request, &flag)) settings[u"duplex"] = flag ? 1 : 0;
  if (getShowUI(&request, &flag)) settings[u"showUI"] = flag ? 1 : 0;
  if (getType(&request, &text)) {
    uint32_t type = getImageType(text);
    if (type == getImageType(u"tif") && getMultipage(&request, &flag) && flag) type = kMultiPageTiff;
    settings[u"imageType"] = type;
  }
  if (getQuality(&request, &number)) settings[u"quality"] = number;
  return settings;
}

// For the length of one job, tells the caller of every page saved:
// {"command","messageId","progress":{"bytes","page","state":"saved"}}.
class ProgressReports {
 public:
  ProgressReports(bool wanted, const std::u16string& command, const std::u16string& messageId,
                  const ImageJsonProcessing::FrameSink& sink) {
    if (!wanted) return;
    active_ = true;
    ImageScanning::pageSaved = [command, messageId, sink](uint32_t page, uint64_t bytes) {
      std::string frame = "{\"command\":";
      appendJsonString(command, &frame);
      frame += ",\"messageId\":";
      appendJsonString(messageId, &frame);
      frame += ",\"progress\":{\"bytes\":" + std::to_string(bytes) +
               ",\"page\":" + std::to_string(page) + ",\"state\":\"saved\"}}";
      sink(frame);
    };
  }
  ~ProgressReports() {
    if (active_) ImageScanning::pageSaved = nullptr;
  }
  ProgressReports(const ProgressReports&) = delete;
  ProgressReports& operator=(const ProgressReports&) = delete;

 private:
  bool active_ = false;
};

}  // namespace

void ImageJsonProcessing::processingMessage(std::u16string_view text, uint32_t length,
                                            std::string* answer, const FrameSink& progress) {
  std::u16string status, description;
  uint32_t statusCode = 0;
  std::vector<std::string> pageFiles;
  ScannerList scanners;
  std::optional<SourceCapabilities> capabilities;

  std::unique_ptr<JsonValue> root = parseJson(text);
  if (!root) {
    status = u"error";
    description = u"JSON failed to parse";
    LOG_ERROR << description;
  } else if (!root->isObject()) {
    status = u"error";
    description = u"The root element is not an object";
    LOG_ERROR << description;
  } else {
    processingMessage(*root, &status, &description, &statusCode, &pageFiles, &scanners,
                      &capabilities, progress);
  }
  try {
    createAnswer(root.get(), length, statusCode, status, description, pageFiles, scanners, true,
                 answer, capabilities ? &*capabilities : nullptr);
  } catch (const std::bad_alloc&) {
    // Every page file goes, as it would with the answer: none is left behind.
    for (const std::string& file : pageFiles) removeFile(file);
    throw;
  }
}

void ImageJsonProcessing::processingMessage(const JsonValue& request, std::u16string* status,
                                            std::u16string* description, uint32_t* statusCode,
                                            std::vector<std::string>* pageFiles,
                                            ScannerList* scanners,
                                            std::optional<SourceCapabilities>* capabilities,
                                            const FrameSink& progress) {
  std::u16string messageId, command;
  if (!getMessageId(&request, &messageId)) {
    *status = u"error";
    *description = u"Request messageId not found";
    LOG_ERROR << *description;
    return;
  }
  if (!getCommand(&request, &command)) {
    *status = u"error";
    *description = u"Request command not found";
    LOG_ERROR << *description;
    return;
  }
  LOG_DEBUG << "Command " << command << "...";
  bool isDsm2 = true;
  if (!getIsDsm2(&request, &isDsm2)) isDsm2 = true;

  const bool scanCommand = command == u"scannerProcessing" ||
                           command == u"scannerProcessingFiles" ||
                           command == u"scannerSplitProcessing" ||
                           command == u"scannerProcessingSocketPartSend";
  if (scanCommand) {
    std::u16string wideFolder;
    std::string folder;
    if (getWorkingDirectory(&request, &wideFolder)) {
      folder = wideToAnsi(wideFolder);
      if (!folder.empty() && folder.back() != kPathSeparator) folder += kPathSeparator;
      if (!folder.empty()) CreateDirectoryA(folder.c_str(), nullptr);
    }
    ScanSettings settings = readScanSettings(request);
    if (command == u"scannerSplitProcessing") {
      if (SplitRegistry::instance().contains(messageId)) {
        *status = u"success";
        return;
      }
      LOG_DEBUG << "Scanning for splitting messageId = " << messageId;
    }
    if (folder.empty()) folder = getDefaultWorkFolder();
    if (folder.empty()) {
      // No private temp folder: the pages could not be written anywhere safe.
      *status = u"error";
      *description = u"Error save image to file.";
      LOG_ERROR << *description;
      return;
    }
    bool wantsProgress = false;
    ProgressReports reports(progress && getProgress(&request, &wantsProgress) && wantsProgress,
                            command, messageId, progress);
    bool ok = ImageScanning::scanning(isDsm2, settings, folder, statusCode, pageFiles, description);
    *status = ok ? u"success" : u"error";
    return;
  }
  if (command == u"scannerCapabilities") {
    SourceCapabilities caps;
    bool ok = ImageScanning::getCapabilities(isDsm2, readScanSettings(request), &caps, statusCode,
                                             description);
    *status = ok ? u"success" : u"error";
    if (ok) *capabilities = std::move(caps);
    return;
  }
  if (command == u"scannersList") {
    *status = ImageScanning::getListScanners(isDsm2, scanners) ? u"success" : u"error";
    return;
  }
  if (command == u"filesSplitProcessing") {
    if (SplitRegistry::instance().contains(messageId)) {
      *status = u"success";  // the series goes on with its next slice
      return;
    }
    if (getListFiles(&request, pageFiles)) {
      *status = u"success";
    } else {
      *status = u"error";
      *description = u"Error parsing list files";
    }
    return;
  }
  if (command == u"removeFiles") {
    std::vector<std::string> files;
    if (!getListFiles(&request, &files)) {
      *status = u"error";
      *description = u"Error parsing list files";
      return;
    }
    for (const std::string& file : files) {
      if (removeFile(file) != 0) {
        LOG_ERROR << "Error delete file " << file;
      }
    }
    *status = u"success";
    return;
  }
  *status = u"error";
  *description = u"Unknow request command " + command;
  LOG_ERROR << *description;
}

bool ImageJsonProcessing::getListFiles(const JsonValue* request,
                                       std::vector<std::string>* pageFiles) {
  const JsonArray* files = nullptr;
  if (!getFiles(request, &files)) return false;
  for (const auto& element : *files) {
    const JsonValue* name = element->find(u"fileName");
    if (name == nullptr || !name->isString()) continue;
    pageFiles->push_back(wideToAnsi(name->asString()));
  }
  return true;
}

std::string ImageJsonProcessing::getDefaultWorkFolder() {
  EnterCriticalSection(&workFolderLock);
  char buffer[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, buffer);
  std::string path;
  if (length > 0 && length < MAX_PATH) {
    path.assign(buffer, length);
    if (path.back() != kPathSeparator) path += kPathSeparator;
    path += "lumra_image_scan";
    path += kPathSeparator;
    CreateDirectoryA(path.c_str(), nullptr);
  }
  LeaveCriticalSection(&workFolderLock);
  return path;
}

}  // namespace lumra

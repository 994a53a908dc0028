// One scan job: connection, source, capabilities, transfer, and back.
#include "imaging/page_files.h"
#include "log/log.h"
#include "scanning/image_scanning.h"

namespace lumra {

namespace {

constexpr uint32_t kDefaultImageType = 3;  // JPEG
constexpr uint32_t kDefaultPixelType = TWPT_RGB;
constexpr uint32_t kDefaultTimeoutMs = 180000;
constexpr uint32_t kDefaultQuality = 70;

uint32_t settingOr(const ScanSettings& settings, const char16_t* key, uint32_t fallback) {
  auto it = settings.find(key);
  return it == settings.end() ? fallback : it->second;
}

}  // namespace

bool ImageScanning::scanning(bool isDsm2, const ScanSettings& settings,
                             const std::string& workFolder, uint32_t* statusCode,
                             std::vector<std::string>* pageFiles, std::u16string* errorText) {
  LOG_DEBUG << "Start scanning...";
  HINSTANCE instance = GetModuleHandleA(nullptr);
  if (!initScanning(isDsm2, instance)) return false;

  bool result = false;
  try {
    result = runJob(isDsm2, settings, workFolder, statusCode, pageFiles, errorText);
  } catch (...) {
    // Out of memory mid-job: the request's edge answers it, but the source
    // and the manager must not stay open under the next command.
    abandonConnection(instance);
    throw;
  }
  if (result) {
    LOG_DEBUG << "scanning success...";
  } else {
    LOG_DEBUG << "scanning error...";
  }
  releaseScanning(instance);
  return result;
}

void ImageScanning::abandonConnection(HINSTANCE instance) noexcept {
  try {
    if (sourceState != 0) closeSource();
  } catch (...) {
  }
  try {
    releaseScanning(instance);
  } catch (...) {
  }
}

bool ImageScanning::runJob(bool isDsm2, const ScanSettings& settings,
                           const std::string& workFolder, uint32_t* statusCode,
                           std::vector<std::string>* pageFiles, std::u16string* errorText) {
  bool result = false;
  auto scannerId = settings.find(u"scannerId");
  bool opened = scannerId != settings.end() ? openSource(scannerId->second) : openDefaultSource();
  if (!opened) {
    *statusCode = lastStatus.ConditionCode;
    *errorText = u"Error open source.";
    LOG_ERROR << *errorText;
  } else {
    uint32_t imageType = settingOr(settings, u"imageType", kDefaultImageType);
    LOG_DEBUG << "Image format " << imageType;

    auto dpi = settings.find(u"dpi");
    if (dpi != settings.end() && !setResolution(dpi->second, dpi->second)) {
      LOG_ERROR << "Error set resolution.";
    }
    uint32_t pixelType = settingOr(settings, u"color", kDefaultPixelType);
    // A JPEG file cannot hold a 1-bit page.
    if (imageType == getImageType(u"jpg") && pixelType == TWPT_BW) pixelType = TWPT_GRAY;
    if (!setColor(pixelType)) {
      LOG_ERROR << "Error set color.";
    }

    auto duplex = settings.find(u"duplex");
    if (duplex != settings.end() && !setDuplex(duplex->second)) {
      LOG_ERROR << "Error set duplex.";
    }
    uint32_t showUI = settingOr(settings, u"showUI", 0);
    auto feeder = settings.find(u"feeder");
    if (feeder != settings.end() && !setFeeder(feeder->second)) {
      LOG_ERROR << "Error set feeder.";
    }
    uint32_t timeout = settingOr(settings, u"timeout", kDefaultTimeoutMs);
    LOG_DEBUG << "Timeout waiting scanning " << timeout;
    auto quality = static_cast<uint8_t>(settingOr(settings, u"quality", kDefaultQuality) & 0xFF);
    LOG_DEBUG << "Quality jpeg " << static_cast<uint32_t>(quality);

    if (isDsm2 && (sourceIdentity.SupportedGroups & DF_DS2) != 0) {
      LOG_DEBUG << "Scanning using callback...";
      if (registerCallback()) {
        result = transferImageCallBack(showUI, workFolder, imageType, quality, timeout,
                                       statusCode, pageFiles, errorText);
      } else {
        *statusCode = lastStatus.ConditionCode;
        *errorText = u"Error register callback.";
        LOG_ERROR << *errorText;
      }
    } else {
      LOG_DEBUG << "Scanning using event loop...";
      result = transferImageLoop(showUI, workFolder, imageType, quality, statusCode, pageFiles,
                                 errorText);
    }
    if (!closeSource()) {
      // The source may still call into the manager: it must stay loaded.
      LOG_ERROR << "Cannot close source: the Data Source Manager stays loaded.";
    }
  }
  return result;
}

}  // namespace lumra

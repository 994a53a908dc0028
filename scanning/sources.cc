// Listing, opening, closing and resetting data sources.
#include <cstring>

#include "log/log.h"
#include "platform/text.h"
#include "scanning/image_scanning.h"

namespace lumra {

namespace {

// A source may fill all 34 bytes without a terminating zero.
std::u16string productName(const TW_IDENTITY& id) {
  return AnsiToWide(std::string_view(id.ProductName, strnlen(id.ProductName, sizeof(id.ProductName))));
}

}  // namespace

SourceMap ImageScanning::getSources() {
  SourceMap sources;
  TW_IDENTITY id;
  std::memset(&id, 0, sizeof(id));
  bool found = sendTwainCommand(&appIdentity, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST,
                                static_cast<TW_MEMREF>(&id));
  while (found) {
    LOG_DEBUG << "Found scanner Id = " << id.Id << ", name = " << productName(id);
    sources.emplace(TW_UINT32{id.Id}, id);  // packed member, taken by value
    found = sendTwainCommand(&appIdentity, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT,
                             static_cast<TW_MEMREF>(&id));
  }
  LOG_DEBUG << "Found " << sources.size() << " sources.";
  return sources;
}

bool ImageScanning::getListScanners(bool isDsm2, ScannerList* scanners) {
  LOG_DEBUG << "Start getListScanners...";
  HINSTANCE instance = GetModuleHandleA(nullptr);
  if (!initScanning(isDsm2, instance)) return false;
  SourceMap sources = getSources();
  uint32_t number = 1;
  for (const auto& [id, identity] : sources) {
    (*scanners)[number++] = productName(identity);
  }
  LOG_DEBUG << "getListScanners success...";
  releaseScanning(instance);
  return true;
}

namespace {

void logOpening(const char* prefix, const TW_IDENTITY& id, std::string_view function) {
  LUMRA_LOG_AS(debug, function) << prefix << id.Id << ", name = " << productName(id)
                                << ", protocolMajor = " << id.ProtocolMajor
                                << ", protocolMinor = " << id.ProtocolMinor
                                << ", supportedGroups = " << id.SupportedGroups;
}

}  // namespace

bool ImageScanning::openSource(uint32_t number) {
  SourceMap sources = getSources();
  const TW_IDENTITY* match = nullptr;
  uint32_t counter = 1;
  for (const auto& [id, identity] : sources) {
    if (counter == number) {
      match = &identity;
      break;
    }
    ++counter;
  }
  LOG_DEBUG << "Open source " << number << ".";
  if (match == nullptr) {
    LOG_DEBUG << "Source " << number << " not found.";
    return false;
  }
  LOG_DEBUG << "Source " << number << " found.";
  logOpening("Open source: scanner Id = ", *match, "lumra::ImageScanning::openSource");
  sourceIdentity = *match;
  if (!sendTwainCommand(&appIdentity, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS,
                        static_cast<TW_MEMREF>(&sourceIdentity))) {
    std::memset(&sourceIdentity, 0, sizeof(sourceIdentity));
    return false;
  }
  return true;
}

bool ImageScanning::openDefaultSource() {
  std::memset(&sourceIdentity, 0, sizeof(sourceIdentity));
  LOG_DEBUG << "Open default source.";
  if (!sendTwainCommand(&appIdentity, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT,
                        static_cast<TW_MEMREF>(&sourceIdentity))) {
    return false;
  }
  logOpening("Open default source: scanner Id = ", sourceIdentity,
             "lumra::ImageScanning::openDefaultSource");
  if (!sendTwainCommand(&appIdentity, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS,
                        static_cast<TW_MEMREF>(&sourceIdentity))) {
    std::memset(&sourceIdentity, 0, sizeof(sourceIdentity));
    return false;
  }
  return true;
}

bool ImageScanning::closeSource() {
  return sendTwainCommand(&appIdentity, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS,
                          static_cast<TW_MEMREF>(&sourceIdentity));
}

void ImageScanning::resetScanner(const std::u16string& message, std::u16string* errorText,
                                 uint32_t* statusCode) {
  // Before MSG_RESET, which clears lastStatus.
  *statusCode = lastStatus.ConditionCode;
  TW_PENDINGXFERS pending;
  std::memset(&pending, 0, sizeof(pending));
  sendTwainCommand(&appIdentity, &sourceIdentity, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET,
                   static_cast<TW_MEMREF>(&pending));
  *errorText = message;
  LOG_ERROR << message;
}

}  // namespace lumra

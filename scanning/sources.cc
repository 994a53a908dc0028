// Listing, opening, closing and resetting data sources.
#include <cstring>

#include "log/log.h"
#include "platform/text.h"
#include "scanning/image_scanning.h"

namespace lumra {

namespace {

// A source may fill all 34 bytes without a terminating zero.
std::u16string productName(const TW_IDENTITY& id) {
  return ansiToWide(std::string_view(id.ProductName, strnlen(id.ProductName, sizeof(id.ProductName))));
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
  return openIdentified();
}

bool ImageScanning::openIdentified() {
  if (!sendTwainCommand(&appIdentity, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS,
                        static_cast<TW_MEMREF>(&sourceIdentity))) {
    std::memset(&sourceIdentity, 0, sizeof(sourceIdentity));
    return false;
  }
  sourceState = 4;
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
  return openIdentified();
}

bool ImageScanning::closeSource() { return windDown(3); }

bool ImageScanning::windDown(int target) {
  // A source that keeps answering "out of sequence" to MSG_DISABLEDS has
  // moved on to state 6 on its own, once: after that it is left as it is.
  bool retried = false;
  while (sourceState > target) {
    TW_PENDINGXFERS pending;
    std::memset(&pending, 0, sizeof(pending));
    TW_USERINTERFACE ui;
    std::memset(&ui, 0, sizeof(ui));
    ui.hParent = static_cast<TW_HANDLE>(twainWindow);
    switch (sourceState) {
      case 7:
        LOG_DEBUG << "End the transfer under way.";
        if (!sendTwainCommand(&appIdentity, &sourceIdentity, DG_CONTROL, DAT_PENDINGXFERS,
                              MSG_ENDXFER, static_cast<TW_MEMREF>(&pending))) {
          break;
        }
        sourceState = pending.Count != 0 ? 6 : 5;
        continue;
      case 6:
        if (!sendTwainCommand(&appIdentity, &sourceIdentity, DG_CONTROL, DAT_PENDINGXFERS,
                              MSG_RESET, static_cast<TW_MEMREF>(&pending))) {
          break;
        }
        sourceState = 5;
        continue;
      case 5:
        if (!sendTwainCommand(&appIdentity, &sourceIdentity, DG_CONTROL, DAT_USERINTERFACE,
                              MSG_DISABLEDS, static_cast<TW_MEMREF>(&ui))) {
          if (!retried && lastResult == TWRC_FAILURE &&
              lastStatus.ConditionCode == TWCC_SEQERROR) {
            LOG_DEBUG << "The source has transfers ready after all: reset them first.";
            retried = true;
            sourceState = 6;
            continue;
          }
          break;
        }
        sourceState = 4;
        continue;
      case 4:
        if (!sendTwainCommand(&appIdentity, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS,
                              static_cast<TW_MEMREF>(&sourceIdentity))) {
          break;
        }
        sourceState = 0;
        continue;
      default:
        break;
    }
    LOG_ERROR << "The source stays in state " << sourceState << ".";
    return false;
  }
  return true;
}

void ImageScanning::resetScanner(const std::u16string& message, std::u16string* errorText,
                                 uint32_t* statusCode) {
  // Before the wind-down, which clears lastStatus.
  *statusCode = lastStatus.ConditionCode;
  windDown(5);
  *errorText = message;
  LOG_ERROR << message;
}

}  // namespace lumra

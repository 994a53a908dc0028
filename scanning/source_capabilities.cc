// Reading a source's capabilities: MSG_GET of each one, its container read
// within the block the source handed over, then freed with the manager's
// memory functions.
#include "scanning/source_capabilities.h"

#include <cmath>
#include <cstring>

#include "log/log.h"
#include "platform/memory.h"
#include "scanning/image_scanning.h"

namespace lumra {

namespace {

size_t itemSize(TW_UINT16 type) {
  switch (type) {
    case TWTY_INT8:
    case TWTY_UINT8:
      return 1;
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL:
      return 2;
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32:
      return 4;
    default:
      return 0;
  }
}

// One item of `type` in the low bytes of `raw` (little-endian, as TWAIN
// stores them on the platforms we run on).
double itemValue(TW_UINT16 type, uint32_t raw) {
  switch (type) {
    case TWTY_INT8:
      return static_cast<int8_t>(raw);
    case TWTY_UINT8:
      return static_cast<uint8_t>(raw);
    case TWTY_INT16:
      return static_cast<int16_t>(raw);
    case TWTY_UINT16:
    case TWTY_BOOL:
      return static_cast<uint16_t>(raw);
    case TWTY_INT32:
      return static_cast<int32_t>(raw);
    case TWTY_FIX32:
      return static_cast<int16_t>(raw & 0xFFFF) + (raw >> 16) / 65536.0;
    default:
      return raw;
  }
}

uint32_t readRaw(const uint8_t* p, size_t bytes) {
  uint32_t raw = 0;
  std::memcpy(&raw, p, bytes);
  return raw;
}

}  // namespace

bool parseCapabilityContainer(TW_UINT16 conType, const uint8_t* data, size_t size,
                              CapabilityValues* out) {
  if (data == nullptr || size < sizeof(TW_UINT16)) return false;
  TW_UINT16 type = 0;
  std::memcpy(&type, data, sizeof type);
  const size_t bytes = itemSize(type);
  if (bytes == 0) return false;
  *out = CapabilityValues{};
  out->itemType = type;
  switch (conType) {
    case TWON_ONEVALUE: {
      if (size < sizeof(TW_ONEVALUE)) return false;
      out->items.push_back(itemValue(type, readRaw(data + offsetof(TW_ONEVALUE, Item), bytes)));
      return true;
    }
    case TWON_RANGE: {
      if (size < sizeof(TW_RANGE)) return false;
      TW_RANGE range;
      std::memcpy(&range, data, sizeof range);
      out->isRange = true;
      out->min = itemValue(type, range.MinValue);
      out->max = itemValue(type, range.MaxValue);
      out->step = itemValue(type, range.StepSize);
      return out->min <= out->max;
    }
    case TWON_ENUMERATION:
    case TWON_ARRAY: {
      const size_t head = conType == TWON_ENUMERATION ? offsetof(TW_ENUMERATION, ItemList)
                                                      : offsetof(TW_ARRAY, ItemList);
      if (size < head) return false;
      TW_UINT32 count = 0;
      std::memcpy(&count, data + sizeof(TW_UINT16), sizeof count);
      if (count > (size - head) / bytes) return false;
      for (TW_UINT32 i = 0; i < count; ++i) {
        out->items.push_back(itemValue(type, readRaw(data + head + i * bytes, bytes)));
      }
      return true;
    }
    default:
      return false;
  }
}

namespace {

// MSG_GET of one capability; false when the source refuses it or hands over
// something we cannot read. The container goes back to the manager's memory.
bool readCapability(TW_UINT16 cap, CapabilityValues* out) {
  TW_CAPABILITY capability;
  std::memset(&capability, 0, sizeof(capability));
  capability.Cap = cap;
  capability.ConType = TWON_DONTCARE16;
  if (!ImageScanning::sendTwainCommand(&ImageScanning::appIdentity,
                                       &ImageScanning::sourceIdentity, DG_CONTROL,
                                       DAT_CAPABILITY, MSG_GET,
                                       static_cast<TW_MEMREF>(&capability))) {
    return false;
  }
  const TW_HANDLE handle = capability.hContainer;  // packed member, read by value
  if (handle == nullptr) return false;
  const TW_ENTRYPOINT& memory = ImageScanning::entryPoints;
  void* locked = memory.DSM_MemLock != nullptr ? memory.DSM_MemLock(handle) : GlobalLock(handle);
  bool ok = locked != nullptr &&
            parseCapabilityContainer(capability.ConType, static_cast<const uint8_t*>(locked),
                                     transferredBlockSize(handle, locked), out);
  if (locked != nullptr) {
    if (memory.DSM_MemUnlock != nullptr) memory.DSM_MemUnlock(handle);
    else GlobalUnlock(handle);
  }
  if (memory.DSM_MemFree != nullptr) memory.DSM_MemFree(handle);
  else GlobalFree(handle);
  if (!ok) LOG_ERROR << "Unreadable container for capability " << cap;
  return ok;
}

std::optional<bool> readFlag(TW_UINT16 cap) {
  CapabilityValues values;
  if (!readCapability(cap, &values) || values.isRange || values.items.empty()) return {};
  return values.items.front() != 0;
}

// FIX32 carries 1/65536: round to what a person reads (300, 8.27 inches).
double rounded(double value, double perUnit) { return std::round(value * perUnit) / perUnit; }

void readAll(SourceCapabilities* caps) {
  CapabilityValues values;
  if (readCapability(ICAP_XRESOLUTION, &values)) {
    for (double& item : values.items) item = rounded(item, 1000);
    values.min = rounded(values.min, 1000);
    values.max = rounded(values.max, 1000);
    values.step = rounded(values.step, 1000);
    caps->resolutions = values;
  }
  if (readCapability(ICAP_PIXELTYPE, &values) && !values.isRange) {
    for (const char16_t* name : {u"bw", u"gray", u"color"}) {
      const double type = name[0] == u'b' ? TWPT_BW : name[0] == u'g' ? TWPT_GRAY : TWPT_RGB;
      for (double item : values.items) {
        if (item == type) {
          caps->colors.push_back(name);
          break;
        }
      }
    }
  }
  // A feeder that can be enabled, or one that can tell whether paper is in it.
  if (readCapability(CAP_FEEDERENABLED, &values) && !values.isRange) {
    bool canEnable = values.items.size() == 1;
    for (double item : values.items) canEnable = canEnable || item != 0;
    caps->feeder = canEnable;
  } else if (readCapability(CAP_FEEDERLOADED, &values)) {
    caps->feeder = true;
  }
  if (std::optional<bool> duplex = readFlag(CAP_DUPLEX)) caps->duplex = *duplex;  // TWDX_NONE is 0
  caps->showUI = readFlag(CAP_UICONTROLLABLE);
  if (readCapability(ICAP_PHYSICALWIDTH, &values) && !values.isRange && !values.items.empty()) {
    caps->width = rounded(values.items.front(), 100);
  }
  if (readCapability(ICAP_PHYSICALHEIGHT, &values) && !values.isRange && !values.items.empty()) {
    caps->height = rounded(values.items.front(), 100);
  }
}

}  // namespace

bool ImageScanning::getCapabilities(bool isDsm2, const ScanSettings& settings,
                                    SourceCapabilities* caps, uint32_t* statusCode,
                                    std::u16string* errorText) {
  LOG_DEBUG << "Start getCapabilities...";
  HINSTANCE instance = GetModuleHandleA(nullptr);
  if (!initScanning(isDsm2, instance)) return false;
  auto scannerId = settings.find(u"scannerId");
  bool opened = scannerId != settings.end() ? openSource(scannerId->second) : openDefaultSource();
  if (!opened) {
    *statusCode = lastStatus.ConditionCode;
    *errorText = u"Error open source.";
    LOG_ERROR << *errorText;
  } else {
    try {
      readAll(caps);
    } catch (...) {
      abandonConnection(instance);
      throw;
    }
    if (!closeSource()) LOG_ERROR << "Cannot close source: the Data Source Manager stays loaded.";
  }
  releaseScanning(instance);
  return opened;
}

}  // namespace lumra

// The four capabilities a scan job sets, each as a one-value container.
#include <cstring>

#include "log/log.h"
#include "scanning/image_scanning.h"

namespace lumra {

namespace {

// Each memory operation takes the manager's function when it gave that one,
// else the Windows function.
TW_HANDLE allocContainer(TW_UINT32 size) {
  if (ImageScanning::entryPoints.DSM_MemAllocate != nullptr) {
    return ImageScanning::entryPoints.DSM_MemAllocate(size);
  }
  return GlobalAlloc(GHND, size);
}

void freeContainer(TW_HANDLE handle) {
  if (ImageScanning::entryPoints.DSM_MemFree != nullptr) {
    ImageScanning::entryPoints.DSM_MemFree(handle);
  } else {
    GlobalFree(handle);
  }
}

TW_MEMREF lockContainer(TW_HANDLE handle) {
  if (ImageScanning::entryPoints.DSM_MemLock != nullptr) {
    return ImageScanning::entryPoints.DSM_MemLock(handle);
  }
  return GlobalLock(handle);
}

void unlockContainer(TW_HANDLE handle) {
  if (ImageScanning::entryPoints.DSM_MemUnlock != nullptr) {
    ImageScanning::entryPoints.DSM_MemUnlock(handle);
  } else {
    GlobalUnlock(handle);
  }
}

}  // namespace

bool ImageScanning::setCapability(TW_UINT16 cap, TW_UINT32 value, TW_UINT16 itemType) {
  TW_CAPABILITY capability;
  std::memset(&capability, 0, sizeof(capability));
  capability.Cap = cap;
  capability.ConType = TWON_ONEVALUE;
  capability.hContainer = allocContainer(sizeof(TW_ONEVALUE));
  if (capability.hContainer == nullptr) return false;

  auto* oneValue = static_cast<TW_ONEVALUE*>(lockContainer(capability.hContainer));
  if (oneValue == nullptr) {
    // Sending an unfilled container would set whatever it happens to hold.
    freeContainer(capability.hContainer);
    return false;
  }
  oneValue->ItemType = itemType;
  oneValue->Item = value;
  unlockContainer(capability.hContainer);

  bool accepted = sendTwainCommand(&appIdentity, &sourceIdentity, DG_CONTROL, DAT_CAPABILITY,
                                   MSG_SET, static_cast<TW_MEMREF>(&capability));
  freeContainer(capability.hContainer);
  return accepted;
}

bool ImageScanning::setResolution(uint32_t x, uint32_t y) {
  LOG_DEBUG << "Set resolution to " << x << "x" << y;
  // TW_FIX32 keeps Whole in the low half: a whole resolution is its own Item.
  if (!setCapability(ICAP_XRESOLUTION, x, TWTY_FIX32)) return false;
  return setCapability(ICAP_YRESOLUTION, y, TWTY_FIX32);
}

bool ImageScanning::setColor(uint32_t pixelType) {
  LOG_DEBUG << "Set color to " << pixelType;
  return setCapability(ICAP_PIXELTYPE, pixelType, TWTY_UINT16);
}

bool ImageScanning::setDuplex(uint32_t enabled) {
  LOG_DEBUG << "Set duplex to " << enabled;
  return setCapability(CAP_DUPLEXENABLED, enabled, TWTY_BOOL);
}

bool ImageScanning::setFeeder(uint32_t enabled) {
  LOG_DEBUG << "Set feeder to " << enabled;
  return setCapability(CAP_FEEDERENABLED, enabled, TWTY_BOOL);
}

}  // namespace lumra

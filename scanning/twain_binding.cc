// Loading and opening the Data Source Manager, the command channel, and the
// two functions Windows and TWAIN call into.
#include <cstring>

#include "log/log.h"
#include "scanning/image_scanning.h"

namespace lumra {

TW_IDENTITY ImageScanning::appIdentity{};
TW_IDENTITY ImageScanning::sourceIdentity{};
TW_UINT16 ImageScanning::lastResult = TWRC_FAILURE;
TW_STATUS ImageScanning::lastStatus{};
HWND ImageScanning::twainWindow = nullptr;
TW_ENTRYPOINT ImageScanning::entryPoints{};
HMODULE ImageScanning::dsmLibrary = nullptr;
DSMENTRYPROC ImageScanning::dsmEntryProc = nullptr;
HANDLE ImageScanning::transferSemaphore = nullptr;
std::mutex ImageScanning::transferSemaphoreLock;
std::atomic<bool> ImageScanning::transferReady{false};
int ImageScanning::sourceState = 0;
std::function<void(uint32_t, uint64_t)> ImageScanning::pageSaved;

namespace {

constexpr char kWindowClass[] = "lumraImageScanning";

// TW_STR32 holds 34 bytes; the copy always leaves a terminating zero.
void copyStr32(TW_STR32& field, const char* text) {
  std::memset(field, 0, sizeof(field));
  std::strncpy(field, text, sizeof(field) - 1);
}

void fillAppIdentity(TW_IDENTITY* id) {
  std::memset(id, 0, sizeof(*id));
  id->Id = 0;
  id->Version.MajorNum = 2;
  id->Version.MinorNum = 3;
  id->Version.Language = TWLG_USA;
  id->Version.Country = TWCY_USA;
  copyStr32(id->Version.Info, "2016-12-29");
  id->ProtocolMajor = 2;
  id->ProtocolMinor = 3;
  id->SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
  copyStr32(id->Manufacturer, "LUMRA");
  copyStr32(id->ProductFamily, "image_scanning");
  copyStr32(id->ProductName, "image_scanning");
}

// Status of the manager after a failed operation addressed to it.
bool fetchDsmStatus(TW_STATUS* status) {
  std::memset(status, 0, sizeof(*status));
  return DSM_Entry(&ImageScanning::appIdentity, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET,
                   status) == TWRC_SUCCESS;
}

}  // namespace

TW_UINT16 PASCAL DSM_Entry(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 dg,
                           TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  if (ImageScanning::entryPoints.DSM_Entry != nullptr) {
    return ImageScanning::entryPoints.DSM_Entry(origin, destination, dg, dat, msg, data);
  }
  if (ImageScanning::dsmEntryProc != nullptr) {
    return ImageScanning::dsmEntryProc(origin, destination, dg, dat, msg, data);
  }
  LOG_ERROR << "Call DSM_Entry: entry points not init...";
  return TWRC_FAILURE;
}

TW_UINT16 PASCAL TWAIN_Callback(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32 dg, TW_UINT16 dat,
                                TW_UINT16 msg, TW_MEMREF) {
  LOG_DEBUG << "Call TWAIN_Callback: DG = " << dg << ", DAT = " << dat << ", MSG = " << msg;
  auto wake = [](bool ready) {
    ImageScanning::transferReady = ready;
    // A notification that comes when no transfer waits finds no handle.
    std::lock_guard<std::mutex> lock(ImageScanning::transferSemaphoreLock);
    if (ImageScanning::transferSemaphore != nullptr) {
      ReleaseSemaphore(ImageScanning::transferSemaphore, 1, nullptr);
    }
  };
  switch (msg) {
    case MSG_NULL:
    case MSG_DEVICEEVENT:
      return TWRC_SUCCESS;
    case MSG_XFERREADY:
      wake(true);
      return TWRC_SUCCESS;
    case MSG_CLOSEDSREQ:
    case MSG_CLOSEDSOK:
      LOG_ERROR << "MSG_CLOSEDSOK, MSG_CLOSEDSREQ in callback routine.";
      wake(false);
      return TWRC_SUCCESS;
    default:
      LOG_ERROR << "Unknown message in Twain 2.0 callback routine.";
      return TWRC_FAILURE;
  }
}

LRESULT CALLBACK WndProcScanning(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LOG_DEBUG << "Call WndProcScanning: message = " << message << ", wParam = " << wParam
            << ", lParam = " << static_cast<int64_t>(lParam);
  switch (message) {
    case WM_DESTROY:
    case WM_CLOSE:
    case WM_ENDSESSION:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

bool ImageScanning::twainLoadLib(bool isDsm2) {
  if (dsmLibrary != nullptr) return true;
  const char* name;
  if (isDsm2) {
    LOG_DEBUG << "Using DSM2. Load lbrary TWAINDSM.DLL";
    name = "TWAINDSM.DLL";
  } else {
    LOG_DEBUG << "Not using DSM2. Load lbrary TWAIN_32.DLL";
    name = "TWAIN_32.DLL";
  }
  dsmLibrary = LoadLibraryA(name);
  if (dsmLibrary == nullptr) {
    LOG_ERROR << "Cannot load library TWAINDSM.DLL or TWAIN_32.DLL.";
    return false;
  }
  // Through void* so the compiler accepts the change of function type.
  dsmEntryProc = reinterpret_cast<DSMENTRYPROC>(
      reinterpret_cast<void*>(GetProcAddress(dsmLibrary, "DSM_Entry")));
  if (dsmEntryProc == nullptr) {
    LOG_ERROR << "Cannot get address DSM_Entry.";
    FreeLibrary(dsmLibrary);
    dsmLibrary = nullptr;
    return false;
  }
  return true;
}

bool ImageScanning::openDSM(HINSTANCE instance) {
  WNDCLASSA windowClass{};
  windowClass.style = 0;
  windowClass.lpfnWndProc = WndProcScanning;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  if (RegisterClassA(&windowClass) == 0) {
    LOG_ERROR << "Cannot register class.";
    return false;
  }
  twainWindow = CreateWindowExA(0, kWindowClass, "", WS_POPUPWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  if (twainWindow == nullptr) {
    LOG_ERROR << "Cannot create windows.";
    UnregisterClassA(kWindowClass, instance);
    return false;
  }

  fillAppIdentity(&appIdentity);
  TW_UINT16 rc = DSM_Entry(&appIdentity, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM,
                           static_cast<TW_MEMREF>(&twainWindow));
  if (rc == TWRC_FAILURE) {
    TW_STATUS status;
    if (fetchDsmStatus(&status)) {
      LOG_ERROR << "Cannot open Data Source Manager: status = " << status.ConditionCode;
      clearConnection(instance);
    } else {
      clearConnection(instance);
      LOG_ERROR << "Cannot open Data Source Manager.";
    }
    return false;
  }
  if (rc != TWRC_SUCCESS) {
    clearConnection(instance);
    LOG_ERROR << "Cannot open Data Source Manager.";
    return false;
  }

  if ((appIdentity.SupportedGroups & DF_DSM2) == 0) return true;

  entryPoints.Size = sizeof(TW_ENTRYPOINT);
  rc = DSM_Entry(&appIdentity, nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET,
                 static_cast<TW_MEMREF>(&entryPoints));
  if (rc != TWRC_FAILURE) return true;

  TW_STATUS status;
  if (fetchDsmStatus(&status)) {
    LOG_ERROR << "Cannot retrieve Twain 2.0 Entry Points: status = " << status.ConditionCode;
  } else {
    LOG_ERROR << "Cannot retrieve Twain 2.0 Entry Points and cannot retrieve status.";
  }
  closeDSM();
  clearConnection(instance);
  return false;
}

void ImageScanning::closeDSM() {
  TW_UINT16 rc = DSM_Entry(&appIdentity, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM,
                           static_cast<TW_MEMREF>(&twainWindow));
  if (rc == TWRC_FAILURE) {
    LOG_DEBUG << "Cannot close Data Source Manager.";
  }
}

void ImageScanning::clearConnection(HINSTANCE instance) {
  if (twainWindow != nullptr) {
    DestroyWindow(twainWindow);
    twainWindow = nullptr;
    // Destroying the window posted a quit message; left in the queue it would
    // end the event loop of every later scan in this process at once.
    MSG stale;
    while (PeekMessageA(&stale, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
  }
  UnregisterClassA(kWindowClass, instance);
  dsmEntryProc = nullptr;
  std::memset(&entryPoints, 0, sizeof(entryPoints));
  std::memset(&appIdentity, 0, sizeof(appIdentity));
  std::memset(&lastStatus, 0, sizeof(lastStatus));
  std::memset(&sourceIdentity, 0, sizeof(sourceIdentity));
}

bool ImageScanning::sendTwainCommand(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 dg,
                                     TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  std::memset(&lastStatus, 0, sizeof(lastStatus));
  LOG_DEBUG << "DSM_Entry: ID = " << (destination != nullptr ? destination->Id : 0u)
            << ", DG = " << dg << ", DAT = " << dat << ", MSG = " << msg;
  lastResult = DSM_Entry(origin, destination, dg, dat, msg, data);
  LOG_DEBUG << "DSM_Entry result = " << lastResult;
  if (lastResult == TWRC_SUCCESS) return true;
  if (lastResult == TWRC_FAILURE) {
    TW_UINT16 rc = DSM_Entry(origin, destination, DG_CONTROL, DAT_STATUS, MSG_GET,
                             static_cast<TW_MEMREF>(&lastStatus));
    LOG_ERROR << "DSM_Entry get status result = " << rc;
    if (rc == TWRC_SUCCESS) {
      LOG_ERROR << "DSM_Entry status = " << lastStatus.ConditionCode;
    }
  }
  return false;
}

bool ImageScanning::registerCallback() {
  TW_CALLBACK callback{};
  callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&TWAIN_Callback);
  callback.RefCon = 0;
  callback.Message = 0;
  return sendTwainCommand(&appIdentity, &sourceIdentity, DG_CONTROL, DAT_CALLBACK,
                          MSG_REGISTER_CALLBACK, static_cast<TW_MEMREF>(&callback));
}

bool ImageScanning::initScanning(bool isDsm2, HINSTANCE instance) {
  LOG_DEBUG << "Start initScanning...";
  if (!twainLoadLib(isDsm2)) return false;
  if (openDSM(instance)) {
    LOG_DEBUG << "initScanning success...";
    return true;
  }
  FreeLibrary(dsmLibrary);
  dsmLibrary = nullptr;
  // openDSM may fail before it clears the connection; no address into the
  // unloaded library may stay behind.
  dsmEntryProc = nullptr;
  return false;
}

bool ImageScanning::releaseScanning(HINSTANCE instance) {
  LOG_DEBUG << "Start releaseScanning...";
  if (sourceState != 0) {
    // A manager holding an open source is in state 4 and takes no
    // MSG_CLOSEDSM; unloading it would leave the source calling into
    // unmapped code. Our reference is kept for the life of the process.
    LOG_DEBUG << "A source is still open: the Data Source Manager is not closed or unloaded.";
    clearConnection(instance);
    dsmLibrary = nullptr;
    sourceState = 0;
    LOG_DEBUG << "releaseScanning success...";
    return true;
  }
  closeDSM();
  clearConnection(instance);
  if (dsmLibrary != nullptr) FreeLibrary(dsmLibrary);
  dsmLibrary = nullptr;
  LOG_DEBUG << "releaseScanning success...";
  return true;
}

}  // namespace lumra

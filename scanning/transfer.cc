// Enabling the source, waiting for its images and taking them over as
// native bitmaps, one page file each.
#include <cstring>

#include "log/log.h"
#include "imaging/page_files.h"
#include "scanning/image_scanning.h"

namespace lumra {

namespace {

TW_USERINTERFACE userInterface(uint32_t showUI) {
  TW_USERINTERFACE ui;
  std::memset(&ui, 0, sizeof(ui));
  ui.ShowUI = showUI != 0 ? 1 : 0;
  // The host keeps taking messages while the dialog shows; it need not be modal.
  ui.ModalUI = 0;
  ui.hParent = static_cast<TW_HANDLE>(ImageScanning::twainWindow);
  return ui;
}

bool sendToSource(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  return ImageScanning::sendTwainCommand(&ImageScanning::appIdentity,
                                         &ImageScanning::sourceIdentity, dg, dat, msg, data);
}

void disableSource(TW_USERINTERFACE* ui) {
  sendToSource(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, static_cast<TW_MEMREF>(ui));
}

// Sets the job's failure: the condition code of the last operation, the text,
// and its error record under the transfer operation's name.
void fail(const char16_t* message, std::string_view function, uint32_t* statusCode,
          std::u16string* errorText) {
  *statusCode = ImageScanning::lastStatus.ConditionCode;
  *errorText = message;
  LUMRA_LOG_AS(error, function) << *errorText;
}

// The semaphore is created before the source is enabled and cleared under
// the lock before it is closed, so a late callback never touches a closed one.
bool createTransferSemaphore() {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 1, nullptr);
  if (semaphore == nullptr) return false;
  std::lock_guard<std::mutex> lock(ImageScanning::transferSemaphoreLock);
  ImageScanning::transferSemaphore = semaphore;
  return true;
}

void closeTransferSemaphore() {
  HANDLE semaphore;
  {
    std::lock_guard<std::mutex> lock(ImageScanning::transferSemaphoreLock);
    semaphore = ImageScanning::transferSemaphore;
    ImageScanning::transferSemaphore = nullptr;
  }
  if (semaphore != nullptr) CloseHandle(semaphore);
}

}  // namespace

bool ImageScanning::transferImageCallBack(uint32_t showUI, const std::string& workFolder,
                                          uint32_t imageType, uint8_t quality, uint32_t timeoutMs,
                                          uint32_t* statusCode,
                                          std::vector<std::string>* pageFiles,
                                          std::u16string* errorText) {
  constexpr std::string_view kName = "lumra::ImageScanning::transferImageCallBack";
  transferReady = false;
  if (!createTransferSemaphore()) {
    fail(u"Error create semaphore.", kName, statusCode, errorText);
    return false;
  }

  bool result = false;
  TW_USERINTERFACE ui = userInterface(showUI);
  if (!sendToSource(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, static_cast<TW_MEMREF>(&ui))) {
    fail(u"Error enable source.", kName, statusCode, errorText);
  } else {
    // Reading the handle without the lock is fine: only this thread writes it.
    DWORD wait = WaitForSingleObject(transferSemaphore, timeoutMs);
    if (wait != WAIT_OBJECT_0) {
      fail(u"Scanning timeout.", kName, statusCode, errorText);
    } else if (transferReady) {
      result = transferImages(workFolder, imageType, quality, statusCode, pageFiles, errorText);
    } else {
      fail(u"Scanning not image.", kName, statusCode, errorText);
    }
    disableSource(&ui);
  }
  closeTransferSemaphore();
  return result;
}

bool ImageScanning::transferImageLoop(uint32_t showUI, const std::string& workFolder,
                                      uint32_t imageType, uint8_t quality, uint32_t* statusCode,
                                      std::vector<std::string>* pageFiles,
                                      std::u16string* errorText) {
  constexpr std::string_view kName = "lumra::ImageScanning::transferImageLoop";
  TW_USERINTERFACE ui = userInterface(showUI);
  if (!sendToSource(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, static_cast<TW_MEMREF>(&ui))) {
    fail(u"Error enable source.", kName, statusCode, errorText);
    return false;
  }

  bool result = false;
  for (;;) {
    MSG message;
    std::memset(&message, 0, sizeof(message));
    BOOL got = GetMessageA(&message, nullptr, 0, 0);
    LOG_DEBUG << "Received: message = " << message.message << ", wParam = " << message.wParam
              << ", lParam = " << static_cast<int64_t>(message.lParam);
    if (got == 0) {
      fail(u"Quit event loop from GetMessage.", kName, statusCode, errorText);
      break;
    }
    if (got == -1) {
      fail(u"Error breaking event loop from GetMessage.", kName, statusCode, errorText);
      break;
    }

    TW_EVENT event;
    std::memset(&event, 0, sizeof(event));
    event.pEvent = static_cast<TW_MEMREF>(&message);
    event.TWMessage = MSG_NULL;
    sendToSource(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, static_cast<TW_MEMREF>(&event));
    if (lastResult == TWRC_DSEVENT) {
      LOG_DEBUG << "Event loop message = " << event.TWMessage;
      if (event.TWMessage == MSG_XFERREADY) {
        LOG_DEBUG << "Event loop message MSG_XFERREADY...";
        result = transferImages(workFolder, imageType, quality, statusCode, pageFiles, errorText);
        break;
      }
      if (event.TWMessage == MSG_CLOSEDSOK || event.TWMessage == MSG_CLOSEDSREQ) {
        if (event.TWMessage == MSG_CLOSEDSOK) {
          LOG_DEBUG << "Event loop message MSG_CLOSEDSOK...";
        } else {
          LOG_DEBUG << "Event loop message MSG_CLOSEDSREQ...";
        }
        fail(u"Scanning not image.", kName, statusCode, errorText);
        break;
      }
      // Any other message was the source's own.
    } else if (lastResult == TWRC_NOTDSEVENT) {
      LOG_DEBUG << "Event loop message not DS...";
      TranslateMessage(&message);
      DispatchMessageA(&message);
    } else {
      fail(u"Error send event to DS.", kName, statusCode, errorText);
      break;
    }
  }
  disableSource(&ui);
  return result;
}

bool ImageScanning::transferImages(const std::string& workFolder, uint32_t imageType,
                                   uint8_t quality, uint32_t* statusCode,
                                   std::vector<std::string>* pageFiles,
                                   std::u16string* errorText) {
  TW_PENDINGXFERS pending;
  std::memset(&pending, 0, sizeof(pending));
  uint32_t page = 0;
  for (;;) {
    TW_HANDLE bitmap = nullptr;
    sendToSource(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, static_cast<TW_MEMREF>(&bitmap));
    if (lastResult == TWRC_CANCEL) {
      resetScanner(u"Scanning cancelled by user.", errorText, statusCode);
      return false;
    }
    if (lastResult != TWRC_XFERDONE) {
      resetScanner(u"Scanning process error.", errorText, statusCode);
      return false;
    }
    std::string path = getPageFileName(workFolder, imageType, page);
    ++page;
    if (!saveDIB(path, static_cast<HGLOBAL>(bitmap), imageType, quality)) {
      resetScanner(u"Error save image to file.", errorText, statusCode);
      return false;
    }
    pageFiles->push_back(path);
    sendToSource(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, static_cast<TW_MEMREF>(&pending));
    if (pending.Count == 0) return true;
  }
}

bool ImageScanning::saveDIB(const std::string& path, HGLOBAL dib, uint32_t imageType,
                            uint8_t quality) {
  BitmapFree freeBitmap = nullptr;
  if (entryPoints.DSM_MemFree != nullptr) freeBitmap = entryPoints.DSM_MemFree;
  return lumra::saveDIB(path, dib, imageType, quality, freeBitmap);
}

}  // namespace lumra

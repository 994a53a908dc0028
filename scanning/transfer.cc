// Enabling the source, waiting for its images and taking them over as
// native bitmaps, one page file each.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "log/log.h"
#include "imaging/page_files.h"
#include "platform/file_length.h"
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

// After the wait has ended without a transfer: a notification that came
// meanwhile left the source in state 6, from where it is reset, not just
// disabled.
void noteLateNotification() {
  if (WaitForSingleObject(ImageScanning::transferSemaphore, 0) != WAIT_OBJECT_0) return;
  if (!ImageScanning::transferReady) return;
  LOG_DEBUG << "A notification came after the wait: the source has transfers ready.";
  ImageScanning::sourceState = 6;
}

// Waits for the semaphore while handing every message of this thread to its
// window: sources that run windows on the caller's thread (a dialog, a
// progress bar) would otherwise freeze until the time-out. A quit message is
// kept for whoever reads the queue next.
DWORD waitDispatching(HANDLE semaphore, DWORD timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool quit = false;
  int quitCode = 0;
  DWORD result = WAIT_TIMEOUT;
  for (;;) {
    DWORD remaining = INFINITE;
    if (timeoutMs != INFINITE) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      remaining = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
    }
    result = MsgWaitForMultipleObjects(1, &semaphore, FALSE, remaining, QS_ALLINPUT);
    if (result != WAIT_OBJECT_0 + 1) break;
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        quit = true;
        quitCode = static_cast<int>(message.wParam);
        continue;
      }
      LOG_DEBUG << "Dispatched while waiting: message = " << message.message
                << ", wParam = " << message.wParam
                << ", lParam = " << static_cast<int64_t>(message.lParam);
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (remaining == 0) {
      // The time is up; the semaphore still counts if it came with the messages.
      result = WaitForSingleObject(semaphore, 0);
      break;
    }
  }
  if (quit) PostQuitMessage(quitCode);
  return result;
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
  try {
    TW_USERINTERFACE ui = userInterface(showUI);
    if (!sendToSource(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, static_cast<TW_MEMREF>(&ui))) {
      fail(u"Error enable source.", kName, statusCode, errorText);
    } else {
      sourceState = 5;
      // Reading the handle without the lock is fine: only this thread writes it.
      DWORD wait = waitDispatching(transferSemaphore, timeoutMs);
      if (wait != WAIT_OBJECT_0) {
        fail(u"Scanning timeout.", kName, statusCode, errorText);
        noteLateNotification();
      } else if (transferReady) {
        sourceState = 6;
        result = transferImages(workFolder, imageType, quality, statusCode, pageFiles, errorText);
      } else {
        fail(u"Scanning not image.", kName, statusCode, errorText);
      }
      windDown(4);
    }
  } catch (...) {
    // The semaphore goes whatever happens: a late callback must find none.
    closeTransferSemaphore();
    throw;
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
  sourceState = 5;

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
        sourceState = 6;
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
  windDown(4);
  return result;
}

bool ImageScanning::transferImages(const std::string& workFolder, uint32_t imageType,
                                   uint8_t quality, uint32_t* statusCode,
                                   std::vector<std::string>* pageFiles,
                                   std::u16string* errorText) {
  const PageFormat* format = findPageFormat(imageType);
  if (format == nullptr || format->openDocument == nullptr) {
    return transferPages(workFolder, imageType, quality, nullptr, statusCode, pageFiles,
                         errorText);
  }
  std::unique_ptr<PageDocument> document;
  bool ok = transferPages(workFolder, imageType, quality, &document, statusCode, pageFiles,
                          errorText);
  // The document holds the pages that came, also when a later one failed;
  // one that cannot be completed is gone and never listed.
  if (document) {
    std::string path = document->path();
    if (document->finish()) {
      pageFiles->push_back(path);
    } else if (ok) {
      resetScanner(u"Error save image to file.", errorText, statusCode);
      ok = false;
    }
  }
  return ok;
}

bool ImageScanning::transferPages(const std::string& workFolder, uint32_t imageType,
                                  uint8_t quality, std::unique_ptr<PageDocument>* document,
                                  uint32_t* statusCode, std::vector<std::string>* pageFiles,
                                  std::u16string* errorText) {
  TW_PENDINGXFERS pending;
  std::memset(&pending, 0, sizeof(pending));
  uint32_t page = 0;
  for (;;) {
    TW_HANDLE bitmap = nullptr;
    sendToSource(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, static_cast<TW_MEMREF>(&bitmap));
    // A cancelled transfer leaves the source in state 7, like a finished
    // one; a failed one leaves it in state 6.
    if (lastResult == TWRC_CANCEL) {
      sourceState = 7;
      resetScanner(u"Scanning cancelled by user.", errorText, statusCode);
      return false;
    }
    if (lastResult != TWRC_XFERDONE) {
      resetScanner(u"Scanning process error.", errorText, statusCode);
      return false;
    }
    sourceState = 7;
    if (document != nullptr) {
      // Every page goes into the one file named like a first page.
      if (!addDIB(document, getPageFileName(workFolder, imageType, 0),
                  static_cast<HGLOBAL>(bitmap), imageType, quality, handleMemory())) {
        resetScanner(u"Error save image to file.", errorText, statusCode);
        return false;
      }
      ++page;
      if (pageSaved) pageSaved(page, (*document)->bytes());
    } else {
      std::string path = getPageFileName(workFolder, imageType, page);
      ++page;
      if (!saveDIB(path, static_cast<HGLOBAL>(bitmap), imageType, quality)) {
        resetScanner(u"Error save image to file.", errorText, statusCode);
        return false;
      }
      pageFiles->push_back(path);
      if (pageSaved) pageSaved(page, static_cast<uint64_t>(std::max<int64_t>(fileLengthAt(path), 0)));
    }
    // A refused MSG_ENDXFER leaves the count unknown (and the source in
    // state 7): the job cannot tell that every page came, so it failed.
    if (!sendToSource(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER,
                      static_cast<TW_MEMREF>(&pending))) {
      resetScanner(u"Scanning process error.", errorText, statusCode);
      return false;
    }
    sourceState = pending.Count != 0 ? 6 : 5;
    if (pending.Count == 0) return true;
  }
}

HandleMemory ImageScanning::handleMemory() {
  // The bitmap is the source's block: with a TWAIN 2 manager only its memory
  // functions may touch it.
  HandleMemory memory;
  memory.lock = entryPoints.DSM_MemLock;
  memory.unlock = entryPoints.DSM_MemUnlock;
  memory.free = entryPoints.DSM_MemFree;
  return memory;
}

bool ImageScanning::saveDIB(const std::string& path, HGLOBAL dib, uint32_t imageType,
                            uint8_t quality) {
  return lumra::saveDIB(path, dib, imageType, quality, handleMemory());
}

}  // namespace lumra

// lumra::ImageScanning: the TWAIN engine. Lists the sources of the Data
// Source Manager and runs scan jobs whose pages become page files.
//
// The connection to the manager is process-wide and lives in static members;
// every command that needs TWAIN opens it with initScanning and closes it
// with releaseScanning, so nothing of it outlives the command except
// lastResult and transferReady.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "imaging/page_documents.h"
#include "platform/win32.h"
#include "twain/twain.h"

namespace lumra {

struct SourceCapabilities;

/// Setting name ("scannerId", "dpi", "timeout", "color", "feeder", "duplex",
/// "showUI", "imageType", "quality") to value; a key is present only when the
/// request gave it.
using ScanSettings = std::map<std::u16string, uint32_t>;

/// Scanner number (1-based, ascending TWAIN Id order) to product name.
using ScannerList = std::map<uint32_t, std::u16string>;

/// TWAIN Id of a source to its identity as the manager reported it.
using SourceMap = std::map<TW_UINT32, TW_IDENTITY>;

/// Forwards to the manager: the DSM_Entry entry point when the manager gave
/// one, else the library's export; TWRC_FAILURE (and an error record) when
/// no manager is loaded.
TW_UINT16 PASCAL DSM_Entry(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 dg,
                           TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

/// The TWAIN 2 callback handed to sources. May run on any thread; touches only
/// transferReady and transferSemaphore. Harmless when no transfer waits.
TW_UINT16 PASCAL TWAIN_Callback(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 dg,
                                TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

/// Window procedure of the hidden window: posts a quit message when the
/// window is closed or destroyed, or the session ends.
LRESULT CALLBACK WndProcScanning(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

class ImageScanning {
 public:
  ImageScanning() = delete;

  // ---- Commands (called by the dispatcher) ----

  /// Fills `scanners` with the manager's sources. False, `scanners`
  /// untouched, when the manager cannot be loaded or opened.
  static bool getListScanners(bool isDsm2, ScannerList* scanners);

  /// Runs one scan job into `workFolder` (ending in the separator). Appends
  /// every saved page's path to `pageFiles`, in delivery order, also when the
  /// job fails later. On failure sets `errorText` and, where TWAIN gave one,
  /// `statusCode` (a condition code); a manager that cannot be loaded leaves
  /// both untouched.
  static bool scanning(bool isDsm2, const ScanSettings& settings, const std::string& workFolder,
                       uint32_t* statusCode, std::vector<std::string>* pageFiles,
                       std::u16string* errorText);

  /// Opens the source of "scannerId" (or the default one), reads what it
  /// can do into `caps` and closes it again. Failures as for scanning.
  static bool getCapabilities(bool isDsm2, const ScanSettings& settings,
                              SourceCapabilities* caps, uint32_t* statusCode,
                              std::u16string* errorText);

  /// The job between opening the manager and releasing it: source,
  /// capabilities, transfer, closing the source.
  static bool runJob(bool isDsm2, const ScanSettings& settings, const std::string& workFolder,
                     uint32_t* statusCode, std::vector<std::string>* pageFiles,
                     std::u16string* errorText);

  /// After an exception mid-command: winds the source down and releases the
  /// connection as far as it can. Never throws.
  static void abandonConnection(HINSTANCE instance) noexcept;

  // ---- Binding and command channel ----

  /// Loads the manager library and opens the manager. On false nothing stays
  /// loaded or open.
  static bool initScanning(bool isDsm2, HINSTANCE instance);

  /// Closes the manager, clears the connection and unloads the library;
  /// with sourceLeftOpen, only clears the connection and keeps the library
  /// loaded for good. Always true. Does not close the source.
  static bool releaseScanning(HINSTANCE instance);

  /// Loads TWAINDSM.DLL (isDsm2) or TWAIN_32.DLL, no fallback; true at once
  /// when a library is loaded already.
  static bool twainLoadLib(bool isDsm2);

  /// Registers the window class, creates the hidden window and opens the
  /// manager, fetching the TWAIN 2 entry points when it offers them. On false
  /// the connection state is cleared (the library stays loaded).
  static bool openDSM(HINSTANCE instance);

  /// Sends MSG_CLOSEDSM; a failure is only logged.
  static void closeDSM();

  /// Destroys the window, unregisters the class, zeroes the identities,
  /// status and entry points, and drops the quit message that destroying the
  /// window posted.
  static void clearConnection(HINSTANCE instance);

  /// Sends one operation; true only for TWRC_SUCCESS. Keeps the code in
  /// lastResult; after TWRC_FAILURE fetches the status into lastStatus from
  /// the same destination.
  static bool sendTwainCommand(pTW_IDENTITY origin, pTW_IDENTITY destination, TW_UINT32 dg,
                               TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

  /// Registers TWAIN_Callback with the open source.
  static bool registerCallback();

  // ---- Sources ----

  /// Enumerates the manager's sources afresh; an Id seen twice keeps its
  /// first identity. Needs an open manager.
  static SourceMap getSources();

  /// Opens the source at 1-based `number` in ascending Id order. On a refused
  /// open sourceIdentity is zeroed; an unknown number leaves it untouched.
  static bool openSource(uint32_t number);

  /// Opens the manager's default source; sourceIdentity zeroed on failure.
  static bool openDefaultSource();

  /// MSG_OPENDS for sourceIdentity: state 4 on success, sourceIdentity
  /// zeroed on failure.
  static bool openIdentified();

  /// Winds the source down to closed (sourceIdentity left as it is); false
  /// when a step was refused and the source stays open.
  static bool closeSource();

  /// Takes the open source from sourceState down to `target` (5: enabled,
  /// 4: open, 3: closed) one step at a time, each in the state where TWAIN
  /// allows it: MSG_ENDXFER from 7, MSG_RESET from 6, MSG_DISABLEDS from 5,
  /// MSG_CLOSEDS from 4. Stops at a refused step (logged) and returns false.
  static bool windDown(int target);

  /// After a failed transfer: copies lastStatus's condition code to
  /// `statusCode`, winds the source down to state 5, sets `errorText` to
  /// `message` and logs it as an error.
  static void resetScanner(const std::u16string& message, std::u16string* errorText,
                           uint32_t* statusCode);

  // ---- Capabilities ----

  /// Sets one capability as a one-value container, allocated and freed with
  /// the manager's memory functions when it gave them, else Global*.
  static bool setCapability(TW_UINT16 cap, TW_UINT32 value, TW_UINT16 itemType);

  /// X then Y resolution as TW_FIX32; Y is not sent when X is refused.
  static bool setResolution(uint32_t x, uint32_t y);
  /// ICAP_PIXELTYPE (TWPT_BW, TWPT_GRAY or TWPT_RGB).
  static bool setColor(uint32_t pixelType);
  /// CAP_DUPLEXENABLED.
  static bool setDuplex(uint32_t enabled);
  /// CAP_FEEDERENABLED.
  static bool setFeeder(uint32_t enabled);

  // ---- Image transfer ----

  /// Enables the source and waits up to `timeoutMs` for the callback, then
  /// transfers. Disables the source after a successful enable.
  static bool transferImageCallBack(uint32_t showUI, const std::string& workFolder,
                                    uint32_t imageType, uint8_t quality, uint32_t timeoutMs,
                                    uint32_t* statusCode, std::vector<std::string>* pageFiles,
                                    std::u16string* errorText);

  /// Enables the source and runs the thread's message loop, passing every
  /// message to the source, until it is ready or asks to be closed.
  static bool transferImageLoop(uint32_t showUI, const std::string& workFolder,
                                uint32_t imageType, uint8_t quality, uint32_t* statusCode,
                                std::vector<std::string>* pageFiles, std::u16string* errorText);

  /// Native transfer of every pending image into page_0, page_1, ...; each
  /// saved path is appended before the next transfer. A format of one file
  /// per job gets every page into page_0, listed once it is complete.
  static bool transferImages(const std::string& workFolder, uint32_t imageType, uint8_t quality,
                             uint32_t* statusCode, std::vector<std::string>* pageFiles,
                             std::u16string* errorText);

  /// The transfer loop of transferImages; with `document`, pages go into
  /// it (opened at the first page) instead of files of their own.
  static bool transferPages(const std::string& workFolder, uint32_t imageType, uint8_t quality,
                            std::unique_ptr<PageDocument>* document, uint32_t* statusCode,
                            std::vector<std::string>* pageFiles, std::u16string* errorText);

  /// The manager's memory functions for transferred bitmaps (Global* where
  /// it gave none).
  static HandleMemory handleMemory();

  /// Writes the bitmap as a page file and frees the handle with the memory
  /// function that matches the manager (DSM_MemFree, else GlobalFree).
  static bool saveDIB(const std::string& path, HGLOBAL dib, uint32_t imageType, uint8_t quality);

  // ---- Connection state ----

  static TW_IDENTITY appIdentity;
  static TW_IDENTITY sourceIdentity;
  /// Code of the last sendTwainCommand; TWRC_FAILURE at process start.
  static TW_UINT16 lastResult;
  static TW_STATUS lastStatus;
  static HWND twainWindow;
  static TW_ENTRYPOINT entryPoints;
  static HMODULE dsmLibrary;
  static DSMENTRYPROC dsmEntryProc;
  /// Exists only while a callback transfer waits; guarded by
  /// transferSemaphoreLock so a late callback never releases a closed handle.
  static HANDLE transferSemaphore;
  static std::mutex transferSemaphoreLock;
  /// Written by the callback (any thread) before it releases the semaphore.
  static std::atomic<bool> transferReady;
  /// Called after each page of a job is saved, with its 1-based number and
  /// the bytes of its file (of the document so far, for a format of one
  /// file per job); empty unless the caller asked for progress.
  static std::function<void(uint32_t page, uint64_t bytes)> pageSaved;
  /// TWAIN state of the open source (4 open, 5 enabled, 6 transfers ready,
  /// 7 transferring); 0 when none is open. A source still open when the
  /// connection is released keeps the manager loaded for good.
  static int sourceState;
};

}  // namespace lumra

// The virtual scanner's side of DS_Entry: one module presenting the sources
// of its scenario, one session per application that opened one of them.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sources/virtual/scenario.h"
#include "twain/twain.h"

namespace lumra::virtual_scanner {

/// One application's connection to one source (TWAIN states 4 to 7).
struct Session {
  TW_IDENTITY app{};
  TW_IDENTITY source{};
  SourceScript script;
  DSMENTRYPROC dsmEntry = nullptr;  ///< from DAT_ENTRYPOINT, else looked up
  TW_ENTRYPOINT memory{};           ///< the manager's memory functions, if given
  int state = 4;
  HWND window = nullptr;  ///< with `window = thread`, while enabled
  unsigned resolution = 150;  ///< horizontal dpi
  unsigned resolutionY = 150;
  TW_UINT16 pixelType = TWPT_RGB;
  bool feeder = false;
  bool duplex = false;
  int pagesTotal = 0;
  int page = 0;  ///< next page to transfer in this enabling
  TW_UINT16 conditionCode = TWCC_SUCCESS;
  std::thread worker;  ///< reports ready after the scripted delay
  std::mutex workerMutex;  ///< guards stopWorker; never held with the module's lock
  bool stopWorker = false;
  std::condition_variable wake;

  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
};

/// The module. Thread-safe; no lock is held while the manager is called.
class VirtualModule {
 public:
  VirtualModule() = default;
  VirtualModule(const VirtualModule&) = delete;
  VirtualModule& operator=(const VirtualModule&) = delete;

  /// DS_Entry. Identities are told to any origin, null included; everything
  /// else needs the origin's session, in the TWAIN state the operation
  /// belongs to.
  TW_UINT16 entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

  /// The session's window received its wake-up: the source reports ready.
  void windowReady(TW_UINT32 appId);

 private:
  TW_UINT16 identities(TW_UINT16 msg, pTW_IDENTITY out);
  TW_UINT16 open(pTW_IDENTITY origin, pTW_IDENTITY source);
  TW_UINT16 close(pTW_IDENTITY origin);
  TW_UINT16 capability(Session& s, TW_UINT16 msg, pTW_CAPABILITY cap);
  /// MSG_GET of a capability whose answer is everything the device offers
  /// (resolutions, pixel types); false for the others. Caller holds mutex_.
  bool offeredValues(Session& s, pTW_CAPABILITY cap, TW_UINT16* rc);
  TW_UINT16 enable(pTW_IDENTITY origin, pTW_USERINTERFACE ui);
  TW_UINT16 disable(pTW_IDENTITY origin, bool closing);
  TW_UINT16 transfer(Session& s, TW_HANDLE* out);
  TW_UINT16 pending(Session& s, TW_UINT16 msg, pTW_PENDINGXFERS data);
  /// Sends a notification through the manager; call without mutex_.
  void notify(const TW_IDENTITY& source, const TW_IDENTITY& app, DSMENTRYPROC dsm,
              TW_UINT16 msg, const char* from);
  void print(const Session& s);
  TW_UINT16 failWith(Session* s, TW_UINT16 conditionCode);  ///< caller holds mutex_
  /// Refuses (and journals as a VIOLATION) an operation sent outside the
  /// TWAIN states that allow it; true when refused, with the code in *rc.
  bool outOfState(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                  TW_UINT16* rc);
  /// Opens the wake-up window of `window = thread`; call without mutex_.
  void openWindow(const TW_IDENTITY& app);
  /// Closes the session's window if it has one; call without mutex_.
  void closeWindow(HWND window);
  void runWorker(Session* s);
  /// The application's session, if still enabled (state 5), becomes ready
  /// (state 6 for MSG_XFERREADY) and notifies; call without mutex_.
  void reportReady(TW_UINT32 appId, const char* from);
  Session* find(const TW_IDENTITY* origin);  ///< caller holds mutex_

  std::mutex mutex_;
  Scenario scenario_;
  bool scenarioLoaded_ = false;
  size_t cursor_ = 0;
  TW_ENTRYPOINT offered_{};  ///< entry points handed before the next MSG_OPENDS
  TW_UINT16 moduleCode_ = TWCC_SUCCESS;
  std::map<TW_UINT32, std::unique_ptr<Session>> sessions_;
};

}  // namespace lumra::virtual_scanner

// Our TWAIN Data Source Manager: the manager's side of DSM_Entry for machines
// that have none. Built twice: as a TWAIN 2 manager (DF_DSM2, entry points,
// callbacks) and as a TWAIN 1 manager that wakes applications only through
// their window and MSG_PROCESSEVENT.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "twain/twain.h"

namespace lumra::dsm {

/// One loaded data source module (a file exporting DS_Entry).
struct SourceModule {
  std::string path;
  HMODULE module = nullptr;
  DSENTRYPROC entry = nullptr;
};

/// One source as applications see it.
struct Source {
  TW_IDENTITY identity{};
  SourceModule* module = nullptr;
  TW_UINT32 openedBy = 0;  ///< application Id, 0 while closed
  TWAINCALLBACKPROC callback = nullptr;
  std::deque<TW_UINT16> pending;  ///< notifications waiting for MSG_PROCESSEVENT
};

/// One application that opened the manager.
struct Application {
  TW_IDENTITY identity{};
  HWND window = nullptr;
  TW_UINT16 conditionCode = TWCC_SUCCESS;
  size_t cursor = 0;  ///< next source for MSG_GETNEXT
  bool listing = false;
};

/// The manager. All entry points may be called from any thread; no lock is
/// held while a source or an application callback runs.
class Manager {
 public:
  /// twain2 selects the TWAIN 2 behaviour (DF_DSM2, DAT_ENTRYPOINT,
  /// DAT_CALLBACK); *.ds modules are looked for in sourceFolders, in order.
  Manager(bool twain2, std::vector<std::string> sourceFolders);
  ~Manager();
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

  /// DSM_Entry: dest null addresses the manager, otherwise a source.
  TW_UINT16 entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                  TW_UINT16 msg, TW_MEMREF data);

  /// The folders sources are taken from: LUMRA_TWAIN_SOURCES alone when set,
  /// otherwise "twain" beside the module named moduleName, then the system's
  /// folder of TWAIN drivers.
  static std::vector<std::string> defaultSourceFolders(const char* moduleName);

 private:
  TW_UINT16 toManager(pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 toSource(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                     TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 openManager(pTW_IDENTITY origin, TW_MEMREF data);
  TW_UINT16 closeManager(pTW_IDENTITY origin);
  TW_UINT16 identity(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 openSource(pTW_IDENTITY origin, pTW_IDENTITY wanted);
  TW_UINT16 closeSource(pTW_IDENTITY origin, pTW_IDENTITY which);
  TW_UINT16 notification(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT16 msg);

  /// Fails the operation for origin with a condition code.
  TW_UINT16 fail(pTW_IDENTITY origin, TW_UINT16 conditionCode);
  Application* findApp(const TW_IDENTITY* origin);  ///< caller holds mutex_
  Source* findSource(TW_UINT32 id);                 ///< caller holds mutex_
  /// The source `id` that `origin` holds open (caller holds mutex_); null
  /// after recording the failure's condition code, `missing` when no such
  /// source exists. `app` receives the application when it is known.
  Source* heldSource(const TW_IDENTITY* origin, TW_UINT32 id, TW_UINT16 missing,
                     Application** app);
  /// Loads every module and asks it for its identities in `app`'s name;
  /// caller holds mutex_.
  void loadSources(const TW_IDENTITY& app);
  void unloadSources();                             ///< caller holds mutex_

  const bool twain2_;
  const std::vector<std::string> sourceFolders_;
  std::mutex mutex_;
  std::map<TW_UINT32, Application> apps_;
  std::vector<std::unique_ptr<SourceModule>> modules_;
  std::vector<Source> sources_;  ///< in the order found
  TW_UINT32 nextAppId_ = 1;
  TW_UINT16 globalCode_ = TWCC_SUCCESS;  ///< for callers the manager does not know
};

}  // namespace lumra::dsm

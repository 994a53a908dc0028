#include "dsm/manager.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "platform/memory.h"
#include "platform/paths.h"

namespace lumra::dsm {

namespace {

// A module presenting more sources than this is taken to be looping.
constexpr int kMaxSourcesPerModule = 64;

bool endsWithDs(const std::string& name) {
  if (name.size() < 3) return false;
  std::string tail = name.substr(name.size() - 3);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".ds";
}

std::vector<std::string> findModuleFiles(const std::string& folder) {
  std::vector<std::string> files = filesBelow(folder);
  std::erase_if(files, [](const std::string& path) { return !endsWithDs(path); });
  // A folder's own modules before its subfolders', each level in path
  // order: the virtual scanner's sources stay first, before bin/twain/sane/.
  auto depth = [](const std::string& path) {
    return std::count_if(path.begin(), path.end(), [](char c) { return c == '/' || c == '\\'; });
  };
  std::stable_sort(files.begin(), files.end(), [&](const std::string& a, const std::string& b) {
    return depth(a) < depth(b);
  });
  return files;
}

// The published manager's memory: on POSIX calloc blocks whose handle is the
// address and whose size nobody can ask.
TW_HANDLE TW_CALLINGSTYLE memAllocate(TW_UINT32 size) { return twainMemAllocate(size); }
void TW_CALLINGSTYLE memFree(TW_HANDLE handle) { twainMemFree(handle); }
TW_MEMREF TW_CALLINGSTYLE memLock(TW_HANDLE handle) { return twainMemLock(handle); }
void TW_CALLINGSTYLE memUnlock(TW_HANDLE handle) { twainMemUnlock(handle); }

bool sameName(const TW_STR32 a, const TW_STR32 b) {
  return strncmp(a, b, sizeof(TW_STR32)) == 0;
}

}  // namespace

extern "C" TW_UINT16 TW_CALLINGSTYLE DSM_Entry(pTW_IDENTITY origin, pTW_IDENTITY dest,
                                              TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                              TW_MEMREF data);

Manager::Manager(bool twain2, std::vector<std::string> sourceFolders)
    : twain2_(twain2), sourceFolders_(std::move(sourceFolders)) {}

Manager::~Manager() {
  // Unloaded while applications still hold it open: their modules are
  // released without further calls, since at process exit a module's own
  // state may already be gone.
  std::lock_guard<std::mutex> lock(mutex_);
  unloadSources();
}

std::vector<std::string> Manager::defaultSourceFolders(const char* moduleName) {
  const char* override = std::getenv("LUMRA_TWAIN_SOURCES");
  if (override != nullptr && *override != '\0') return {override};
  std::vector<std::string> folders;
  char path[4096];
  HMODULE self = GetModuleHandleA(moduleName);
  DWORD length = self != nullptr ? GetModuleFileNameA(self, path, sizeof path) : 0;
  if (length == 0 || length >= sizeof path) {
    folders.push_back("twain");
  } else {
    std::string folder(path, length);
    size_t cut = folder.find_last_of("/\\");
    folder = cut == std::string::npos ? std::string() : folder.substr(0, cut + 1);
    folders.push_back(folder + "twain");
  }
  if (*kSystemTwainSources != '\0') folders.push_back(kSystemTwainSources);
  return folders;
}

TW_UINT16 Manager::fail(pTW_IDENTITY origin, TW_UINT16 conditionCode) {
  std::lock_guard<std::mutex> lock(mutex_);
  Application* app = findApp(origin);
  if (app != nullptr) {
    app->conditionCode = conditionCode;
  } else {
    globalCode_ = conditionCode;
  }
  return TWRC_FAILURE;
}

Source* Manager::heldSource(const TW_IDENTITY* origin, TW_UINT32 id, TW_UINT16 missing,
                            Application** app) {
  Application* found = findApp(origin);
  if (app != nullptr) *app = found;
  if (found == nullptr) {
    globalCode_ = TWCC_SEQERROR;
    return nullptr;
  }
  Source* source = findSource(id);
  if (source == nullptr) {
    found->conditionCode = missing;
    return nullptr;
  }
  if (source->openedBy != found->identity.Id) {
    found->conditionCode = TWCC_SEQERROR;
    return nullptr;
  }
  return source;
}

Application* Manager::findApp(const TW_IDENTITY* origin) {
  if (origin == nullptr || origin->Id == 0) return nullptr;
  auto it = apps_.find(origin->Id);
  return it == apps_.end() ? nullptr : &it->second;
}

Source* Manager::findSource(TW_UINT32 id) {
  for (Source& source : sources_) {
    if (source.identity.Id == id) return &source;
  }
  return nullptr;
}

TW_UINT16 Manager::entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                         TW_UINT16 msg, TW_MEMREF data) {
  if (origin == nullptr) return fail(nullptr, TWCC_BADVALUE);
  if (dg == DG_CONTROL && dat == DAT_NULL) return notification(origin, dest, msg);
  if (dest == nullptr) {
    if (dg != DG_CONTROL) return fail(origin, TWCC_BADPROTOCOL);
    return toManager(origin, dat, msg, data);
  }
  return toSource(origin, dest, dg, dat, msg, data);
}

TW_UINT16 Manager::toManager(pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  switch (dat) {
    case DAT_PARENT:
      if (msg == MSG_OPENDSM) return openManager(origin, data);
      if (msg == MSG_CLOSEDSM) return closeManager(origin);
      return fail(origin, TWCC_BADPROTOCOL);
    case DAT_IDENTITY:
      return identity(origin, msg, data);
    case DAT_STATUS: {
      if (msg != MSG_GET) return fail(origin, TWCC_BADPROTOCOL);
      if (data == nullptr) return fail(origin, TWCC_BADVALUE);
      std::lock_guard<std::mutex> lock(mutex_);
      Application* app = findApp(origin);
      TW_UINT16& code = app != nullptr ? app->conditionCode : globalCode_;
      auto* status = static_cast<pTW_STATUS>(data);
      status->ConditionCode = code;
      status->Data = 0;
      code = TWCC_SUCCESS;
      return TWRC_SUCCESS;
    }
    case DAT_ENTRYPOINT: {
      if (!twain2_) return fail(origin, TWCC_BADPROTOCOL);
      if (msg != MSG_GET) return fail(origin, TWCC_BADPROTOCOL);
      if (data == nullptr) return fail(origin, TWCC_BADVALUE);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (findApp(origin) == nullptr) {
          globalCode_ = TWCC_SEQERROR;
          return TWRC_FAILURE;
        }
      }
      auto* points = static_cast<pTW_ENTRYPOINT>(data);
      if (points->Size < sizeof(TW_ENTRYPOINT)) return fail(origin, TWCC_BADVALUE);
      points->DSM_Entry = DSM_Entry;
      points->DSM_MemAllocate = memAllocate;
      points->DSM_MemFree = memFree;
      points->DSM_MemLock = memLock;
      points->DSM_MemUnlock = memUnlock;
      return TWRC_SUCCESS;
    }
    default:
      return fail(origin, TWCC_BADPROTOCOL);
  }
}

TW_UINT16 Manager::openManager(pTW_IDENTITY origin, TW_MEMREF data) {
  if (data == nullptr) return fail(origin, TWCC_BADVALUE);
  std::lock_guard<std::mutex> lock(mutex_);
  if (findApp(origin) != nullptr) {
    apps_[origin->Id].conditionCode = TWCC_SEQERROR;
    return TWRC_FAILURE;
  }
  while (nextAppId_ == 0 || apps_.count(nextAppId_) != 0) ++nextAppId_;
  origin->Id = nextAppId_++;
  if (modules_.empty()) loadSources(*origin);
  if (twain2_) origin->SupportedGroups |= DF_DSM2;
  Application app;
  app.identity = *origin;
  app.window = *static_cast<HWND*>(data);
  apps_[origin->Id] = app;
  return TWRC_SUCCESS;
}

TW_UINT16 Manager::closeManager(pTW_IDENTITY origin) {
  std::lock_guard<std::mutex> lock(mutex_);
  Application* found = findApp(origin);
  if (found == nullptr) {
    globalCode_ = TWCC_SEQERROR;
    return TWRC_FAILURE;
  }
  // An application with a source open is in state 4: closing the manager is
  // out of sequence, and the source is the application's to close.
  for (const Source& source : sources_) {
    if (source.openedBy == found->identity.Id) {
      found->conditionCode = TWCC_SEQERROR;
      return TWRC_FAILURE;
    }
  }
  apps_.erase(found->identity.Id);
  if (apps_.empty()) unloadSources();
  return TWRC_SUCCESS;
}

void Manager::loadSources(const TW_IDENTITY& app) {
  std::vector<Source> found;
  for (const std::string& folder : sourceFolders_) {
    for (const std::string& path : findModuleFiles(folder)) {
      HMODULE module = LoadLibraryA(path.c_str());
      if (module == nullptr) continue;
      auto entry = reinterpret_cast<DSENTRYPROC>(
          reinterpret_cast<void (*)()>(GetProcAddress(module, "DS_Entry")));
      if (entry == nullptr) {
        FreeLibrary(module);
        continue;
      }
      // Every module must tell its identity to MSG_GET, asked in the
      // application's name. A module may present more sources through
      // MSG_GETFIRST/GETNEXT, our own extension, asked afterwards.
      std::vector<TW_IDENTITY> identities;
      TW_IDENTITY origin = app;
      TW_IDENTITY id{};
      if (entry(&origin, DG_CONTROL, DAT_IDENTITY, MSG_GET, &id) != TWRC_SUCCESS) {
        FreeLibrary(module);
        continue;
      }
      identities.push_back(id);
      id = TW_IDENTITY{};
      if (entry(&origin, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id) == TWRC_SUCCESS) {
        identities.clear();
        do {
          identities.push_back(id);
          id = TW_IDENTITY{};
        } while (static_cast<int>(identities.size()) < kMaxSourcesPerModule &&
                 entry(&origin, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &id) == TWRC_SUCCESS);
      }
      auto loaded = std::make_unique<SourceModule>();
      loaded->path = path;
      loaded->module = module;
      loaded->entry = entry;
      for (const TW_IDENTITY& identity : identities) {
        Source source;
        source.identity = identity;
        source.identity.ProductName[sizeof(TW_STR32) - 1] = '\0';
        source.identity.Manufacturer[sizeof(TW_STR32) - 1] = '\0';
        source.identity.ProductFamily[sizeof(TW_STR32) - 1] = '\0';
        // Ids are the manager's to give, in load order.
        source.identity.Id = static_cast<TW_UINT32>(found.size() + 1);
        source.module = loaded.get();
        found.push_back(source);
      }
      modules_.push_back(std::move(loaded));
    }
  }
  sources_ = std::move(found);
}

void Manager::unloadSources() {
  sources_.clear();
  for (auto& module : modules_) FreeLibrary(module->module);
  modules_.clear();
}

TW_UINT16 Manager::identity(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data) {
  if (data == nullptr) return fail(origin, TWCC_BADVALUE);
  auto* out = static_cast<pTW_IDENTITY>(data);
  if (msg == MSG_OPENDS) return openSource(origin, out);
  if (msg == MSG_CLOSEDS) return closeSource(origin, out);
  std::lock_guard<std::mutex> lock(mutex_);
  Application* app = findApp(origin);
  if (app == nullptr) {
    globalCode_ = TWCC_SEQERROR;
    return TWRC_FAILURE;
  }
  switch (msg) {
    case MSG_GETFIRST:
      app->cursor = 0;
      app->listing = true;
      [[fallthrough]];
    case MSG_GETNEXT:
      if (!app->listing || app->cursor >= sources_.size()) {
        app->listing = false;
        return TWRC_ENDOFLIST;
      }
      *out = sources_[app->cursor++].identity;
      return TWRC_SUCCESS;
    case MSG_GETDEFAULT:
    case MSG_USERSELECT:
      if (sources_.empty()) {
        app->conditionCode = TWCC_NODS;
        return TWRC_FAILURE;
      }
      *out = sources_.front().identity;
      return TWRC_SUCCESS;
    default:
      app->conditionCode = TWCC_BADPROTOCOL;
      return TWRC_FAILURE;
  }
}

TW_UINT16 Manager::openSource(pTW_IDENTITY origin, pTW_IDENTITY wanted) {
  DSENTRYPROC entry = nullptr;
  TW_IDENTITY chosen{};
  bool giveEntryPoints = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Application* app = findApp(origin);
    if (app == nullptr) {
      globalCode_ = TWCC_SEQERROR;
      return TWRC_FAILURE;
    }
    Source* source = nullptr;
    if (wanted->Id != 0) {
      source = findSource(wanted->Id);
    } else if (wanted->ProductName[0] != '\0') {
      for (Source& s : sources_) {
        if (sameName(s.identity.ProductName, wanted->ProductName)) {
          source = &s;
          break;
        }
      }
    } else if (!sources_.empty()) {
      source = &sources_.front();
    }
    if (source == nullptr) {
      app->conditionCode = TWCC_NODS;
      return TWRC_FAILURE;
    }
    if (source->openedBy == app->identity.Id) {
      app->conditionCode = TWCC_SEQERROR;
      return TWRC_FAILURE;
    }
    // A module learns which of its sources a call is for from the
    // application alone, so one application holds one source per module.
    bool busy = source->openedBy != 0;
    for (const Source& s : sources_) {
      if (s.module == source->module && s.openedBy == app->identity.Id) busy = true;
    }
    if (busy) {
      app->conditionCode = TWCC_MAXCONNECTIONS;
      return TWRC_FAILURE;
    }
    source->openedBy = app->identity.Id;
    source->callback = nullptr;
    source->pending.clear();
    entry = source->module->entry;
    chosen = source->identity;
    giveEntryPoints = twain2_ && (chosen.SupportedGroups & DF_DS2) != 0;
  }
  if (giveEntryPoints) {
    TW_ENTRYPOINT points{};
    points.Size = sizeof points;
    points.DSM_Entry = DSM_Entry;
    points.DSM_MemAllocate = memAllocate;
    points.DSM_MemFree = memFree;
    points.DSM_MemLock = memLock;
    points.DSM_MemUnlock = memUnlock;
    entry(origin, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points);
  }
  TW_IDENTITY handed = chosen;
  TW_UINT16 rc = entry(origin, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &handed);
  if (rc == TWRC_SUCCESS) {
    *wanted = chosen;
    return TWRC_SUCCESS;
  }
  // The source's own reason becomes the manager's, so the application's
  // status request after the failed MSG_OPENDS finds it.
  TW_STATUS status{};
  TW_UINT16 code = TWCC_OPERATIONERROR;
  if (entry(origin, DG_CONTROL, DAT_STATUS, MSG_GET, &status) == TWRC_SUCCESS &&
      status.ConditionCode != TWCC_SUCCESS) {
    code = status.ConditionCode;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Source* source = findSource(chosen.Id);
  if (source != nullptr) source->openedBy = 0;
  Application* app = findApp(origin);
  if (app != nullptr) app->conditionCode = code;
  return rc == TWRC_FAILURE ? TWRC_FAILURE : rc;
}

TW_UINT16 Manager::closeSource(pTW_IDENTITY origin, pTW_IDENTITY which) {
  DSENTRYPROC entry = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Source* source = heldSource(origin, which->Id, TWCC_NODS, nullptr);
    if (source == nullptr) return TWRC_FAILURE;
    entry = source->module->entry;
  }
  TW_IDENTITY handed = *which;
  TW_UINT16 rc = entry(origin, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &handed);
  TW_STATUS status{};
  if (rc == TWRC_FAILURE) entry(origin, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
  std::lock_guard<std::mutex> lock(mutex_);
  Source* source = findSource(which->Id);
  Application* app = findApp(origin);
  if (rc != TWRC_SUCCESS) {
    if (app != nullptr) {
      app->conditionCode =
          status.ConditionCode != TWCC_SUCCESS ? status.ConditionCode : TWCC_OPERATIONERROR;
    }
    return rc;
  }
  if (source != nullptr) {
    source->openedBy = 0;
    source->callback = nullptr;
    source->pending.clear();
  }
  return TWRC_SUCCESS;
}

TW_UINT16 Manager::toSource(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                            TW_UINT16 msg, TW_MEMREF data) {
  DSENTRYPROC entry = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Application* app = nullptr;
    Source* source = heldSource(origin, dest->Id, TWCC_BADDEST, &app);
    if (source == nullptr) return TWRC_FAILURE;
    if (dg == DG_CONTROL && (dat == DAT_CALLBACK || dat == DAT_CALLBACK2)) {
      if (!twain2_) {
        app->conditionCode = TWCC_BADPROTOCOL;
        return TWRC_FAILURE;
      }
      if (msg != MSG_REGISTER_CALLBACK || data == nullptr) {
        app->conditionCode = msg != MSG_REGISTER_CALLBACK ? TWCC_BADPROTOCOL : TWCC_BADVALUE;
        return TWRC_FAILURE;
      }
      TW_MEMREF proc = dat == DAT_CALLBACK ? static_cast<pTW_CALLBACK>(data)->CallBackProc
                                           : static_cast<pTW_CALLBACK2>(data)->CallBackProc;
      source->callback = reinterpret_cast<TWAINCALLBACKPROC>(proc);
      return TWRC_SUCCESS;
    }
    // Notifications left over from an earlier enabling must not be taken for
    // this one's.
    if (dg == DG_CONTROL && dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS) {
      source->pending.clear();
    }
    entry = source->module->entry;
  }
  TW_UINT16 rc = entry(origin, dg, dat, msg, data);
  if (dg != DG_CONTROL) return rc;
  if (dat == DAT_USERINTERFACE && msg == MSG_DISABLEDS) {
    std::lock_guard<std::mutex> lock(mutex_);
    Source* source = findSource(dest->Id);
    if (source != nullptr) source->pending.clear();
  }
  if (dat == DAT_EVENT && msg == MSG_PROCESSEVENT && rc != TWRC_DSEVENT && data != nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    Source* source = findSource(dest->Id);
    if (source != nullptr && !source->pending.empty()) {
      static_cast<pTW_EVENT>(data)->TWMessage = source->pending.front();
      source->pending.pop_front();
      return TWRC_DSEVENT;
    }
  }
  return rc;
}

TW_UINT16 Manager::notification(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT16 msg) {
  if (msg != MSG_XFERREADY && msg != MSG_CLOSEDSREQ && msg != MSG_CLOSEDSOK &&
      msg != MSG_DEVICEEVENT) {
    return fail(nullptr, TWCC_BADPROTOCOL);
  }
  TWAINCALLBACKPROC callback = nullptr;
  TW_IDENTITY from{};
  TW_IDENTITY to{};
  HWND window = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Source* source = findSource(origin->Id);
    Application* app = dest != nullptr ? findApp(dest) : nullptr;
    if (source == nullptr || app == nullptr || source->openedBy != app->identity.Id) {
      globalCode_ = TWCC_BADDEST;
      return TWRC_FAILURE;
    }
    from = source->identity;
    to = app->identity;
    callback = source->callback;
    if (callback == nullptr) {
      source->pending.push_back(msg);
      window = app->window;
    }
  }
  if (callback != nullptr) {
    return callback(&from, &to, DG_CONTROL, DAT_NULL, msg, nullptr);
  }
  // Wakes the application's event loop; MSG_PROCESSEVENT then hands it over.
  if (window != nullptr) PostMessageA(window, WM_NULL, 0, 0);
  return TWRC_SUCCESS;
}

}  // namespace lumra::dsm

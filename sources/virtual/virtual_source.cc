#include "sources/virtual/virtual_source.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "sources/virtual/journal.h"
#include "sources/virtual/page_maker.h"

namespace lumra::virtual_scanner {

namespace {

void copyName(TW_STR32 out, const std::string& text) {
  memset(out, 0, sizeof(TW_STR32));
  memcpy(out, text.data(), std::min(text.size(), sizeof(TW_STR32) - 1));
}

void fillIdentity(const SourceScript& script, pTW_IDENTITY out) {
  memset(out, 0, sizeof *out);
  out->Id = script.id;
  out->Version.MajorNum = 1;
  out->Version.MinorNum = 0;
  out->Version.Language = TWLG_USA;
  out->Version.Country = TWCY_USA;
  copyName(out->Version.Info, "virtual scanner");
  out->ProtocolMajor = script.twain2 ? 2 : 1;
  out->ProtocolMinor = script.twain2 ? 4 : 9;
  out->SupportedGroups = DG_CONTROL | DG_IMAGE | (script.twain2 ? DF_DS2 : 0);
  copyName(out->Manufacturer, script.manufacturer);
  copyName(out->ProductFamily, script.family);
  copyName(out->ProductName, script.name);
}

std::string sourceField(const Session& s) { return " source=" + std::to_string(s.source.Id); }

// Page geometry from the session's settings: A4 unless the scenario fixes
// the pixel size.
PageDescription describePage(const Session& s) {
  PageDescription desc;
  desc.width = s.script.width > 0 ? s.script.width
                                  : static_cast<int>(std::lround(s.resolution * 210.0 / 25.4));
  desc.height = s.script.height > 0 ? s.script.height
                                    : static_cast<int>(std::lround(s.resolutionY * 297.0 / 25.4));
  desc.pixelType = s.pixelType;
  desc.depth = s.script.depth != 0 ? s.script.depth
               : s.pixelType == TWPT_BW ? 1
               : s.pixelType == TWPT_GRAY ? 8
                                         : 24;
  desc.compression = s.script.compression;
  desc.topDown = s.script.topDown;
  desc.pixelsPerMetre = s.script.ppm >= 0
                            ? s.script.ppm
                            : static_cast<int32_t>(std::lround(s.resolution / 0.0254));
  desc.pageNumber = s.page;
  return desc;
}

bool isResolution(TW_UINT16 cap) { return cap == ICAP_XRESOLUTION || cap == ICAP_YRESOLUTION; }

// Containers and bitmaps the source hands over: the manager's memory when
// it gave its functions, else Global blocks.
TW_HANDLE allocateBlock(const Session& s, size_t bytes) {
  if (s.memory.DSM_MemAllocate == nullptr) return GlobalAlloc(GHND, bytes);
  return bytes > UINT32_MAX ? nullptr : s.memory.DSM_MemAllocate(static_cast<TW_UINT32>(bytes));
}
void* lockBlock(const Session& s, TW_HANDLE h) {
  return s.memory.DSM_MemLock != nullptr ? s.memory.DSM_MemLock(h) : GlobalLock(h);
}
void unlockBlock(const Session& s, TW_HANDLE h) {
  if (s.memory.DSM_MemUnlock != nullptr) s.memory.DSM_MemUnlock(h);
  else GlobalUnlock(h);
}

// The TWAIN states in which the standard lets an application send an
// operation to a source; name empty for operations allowed in any state.
struct Allowed {
  int low = 0;
  int high = 0;
  const char* name = "";
};

Allowed allowedStates(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg) {
  if (dg == DG_IMAGE) {
    if (dat == DAT_IMAGENATIVEXFER) return {6, 6, "XFER"};
    if (dat == DAT_IMAGEINFO) return {6, 6, "IMAGEINFO"};
    return {4, 7, "IMAGE"};
  }
  if (dg != DG_CONTROL) return {};
  switch (dat) {
    case DAT_IDENTITY:
      return msg == MSG_CLOSEDS ? Allowed{4, 4, "CLOSEDS"} : Allowed{};
    case DAT_CAPABILITY:
      if (msg == MSG_SET || msg == MSG_RESET) return {4, 4, "CAPSET"};
      return {4, 7, "CAPGET"};
    case DAT_USERINTERFACE:
      if (msg == MSG_ENABLEDS) return {4, 4, "ENABLEDS"};
      if (msg == MSG_DISABLEDS) return {5, 5, "DISABLEDS"};
      return {};
    case DAT_EVENT:
      return {5, 7, "PROCESSEVENT"};
    case DAT_PENDINGXFERS:
      if (msg == MSG_ENDXFER) return {7, 7, "ENDXFER"};
      if (msg == MSG_RESET) return {6, 6, "RESET"};
      return {4, 7, "PENDINGXFERS"};
    default:
      return {};
  }
}

// A source handed no entry points finds the manager that loaded it, as
// TWAIN 1 sources do.
DSMENTRYPROC findManager(bool twain2First) {
  const char* order[2] = {twain2First ? "TWAINDSM.DLL" : "TWAIN_32.DLL",
                          twain2First ? "TWAIN_32.DLL" : "TWAINDSM.DLL"};
  for (const char* name : order) {
    if (HMODULE manager = GetModuleHandleA(name)) {
      auto dsm = reinterpret_cast<DSMENTRYPROC>(
          reinterpret_cast<void (*)()>(GetProcAddress(manager, "DSM_Entry")));
      if (dsm != nullptr) return dsm;
    }
  }
  return nullptr;
}

// The windows of `window = thread`: which module and application each wakes.
constexpr char kWindowClass[] = "lumraVirtualScannerWindow";
constexpr UINT kWakeMessage = WM_APP + 0x51;

struct WindowOwner {
  VirtualModule* module;
  TW_UINT32 appId;
};

std::mutex& windowsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<HWND, WindowOwner>& windows() {
  static std::map<HWND, WindowOwner> live;
  return live;
}

LRESULT CALLBACK sourceWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kWakeMessage) return DefWindowProcA(window, message, wParam, lParam);
  WindowOwner owner{};
  {
    std::lock_guard<std::mutex> lock(windowsMutex());
    auto it = windows().find(window);
    if (it == windows().end()) return 0;
    owner = it->second;
  }
  owner.module->windowReady(owner.appId);
  return 0;
}

// The current value of a capability we support, as (item type, item).
bool currentValue(const Session& s, TW_UINT16 cap, TW_UINT16* type, TW_UINT32* item) {
  switch (cap) {
    case ICAP_XRESOLUTION:
      *type = TWTY_FIX32;
      *item = s.resolution;
      return true;
    case ICAP_YRESOLUTION:
      *type = TWTY_FIX32;
      *item = s.resolutionY;
      return true;
    case ICAP_PIXELTYPE:
      *type = TWTY_UINT16;
      *item = s.pixelType;
      return true;
    case CAP_FEEDERENABLED:
      *type = TWTY_BOOL;
      *item = s.feeder;
      return s.script.hasFeeder;
    case CAP_DUPLEXENABLED:
      *type = TWTY_BOOL;
      *item = s.duplex;
      return true;
    case ICAP_XFERMECH:
      *type = TWTY_UINT16;
      *item = TWSX_NATIVE;
      return true;
    case ICAP_UNITS:
      *type = TWTY_UINT16;
      *item = TWUN_INCHES;
      return true;
    case CAP_XFERCOUNT:
      *type = TWTY_INT16;
      *item = 0xFFFF;
      return true;
    case CAP_FEEDERLOADED:
      *type = TWTY_BOOL;
      *item = s.script.hasFeeder;
      return s.script.hasFeeder;
    case CAP_DUPLEX:
      *type = TWTY_UINT16;
      *item = s.script.duplexKind;
      return true;
    case CAP_UICONTROLLABLE:
      *type = TWTY_BOOL;
      *item = s.script.uiControllable;
      return true;
    case ICAP_PHYSICALWIDTH:
    case ICAP_PHYSICALHEIGHT: {
      double inches = cap == ICAP_PHYSICALWIDTH ? s.script.pageWidth : s.script.pageHeight;
      TW_FIX32 fix;
      fix.Whole = static_cast<TW_INT16>(inches);
      fix.Frac = static_cast<TW_UINT16>((inches - fix.Whole) * 65536.0);
      *type = TWTY_FIX32;
      std::memcpy(item, &fix, sizeof fix);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

Session::~Session() {
  {
    std::lock_guard<std::mutex> lock(workerMutex);
    stopWorker = true;
  }
  wake.notify_all();
  if (worker.joinable()) worker.join();
}

Session* VirtualModule::find(const TW_IDENTITY* origin) {
  if (origin == nullptr) return nullptr;
  auto it = sessions_.find(origin->Id);
  return it == sessions_.end() ? nullptr : it->second.get();
}

TW_UINT16 VirtualModule::failWith(Session* s, TW_UINT16 conditionCode) {
  (s != nullptr ? s->conditionCode : moduleCode_) = conditionCode;
  return TWRC_FAILURE;
}

TW_UINT16 VirtualModule::entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                               TW_MEMREF data) {
  // State 3: a manager asks for the module's identity (MSG_GET), in an
  // application's name or in none; MSG_GETFIRST/GETNEXT list every source.
  if (dg == DG_CONTROL && dat == DAT_IDENTITY && data != nullptr &&
      (msg == MSG_GET || msg == MSG_GETFIRST || msg == MSG_GETNEXT)) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Session* s = find(origin);
      if (s != nullptr && msg == MSG_GET) {
        *static_cast<pTW_IDENTITY>(data) = s->source;
        return TWRC_SUCCESS;
      }
    }
    return identities(msg, static_cast<pTW_IDENTITY>(data));
  }
  if (origin == nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    return failWith(nullptr, TWCC_BADPROTOCOL);
  }
  TW_UINT16 refused = TWRC_FAILURE;
  if (outOfState(origin, dg, dat, msg, &refused)) return refused;
  if (dg == DG_CONTROL) {
    switch (dat) {
      case DAT_ENTRYPOINT:
        if (msg == MSG_SET && data != nullptr) {
          std::lock_guard<std::mutex> lock(mutex_);
          offered_ = *static_cast<pTW_ENTRYPOINT>(data);
          journalLine("ENTRYPOINT");
          return TWRC_SUCCESS;
        }
        break;
      case DAT_IDENTITY:
        if (data == nullptr) break;
        if (msg == MSG_OPENDS) return open(origin, static_cast<pTW_IDENTITY>(data));
        if (msg == MSG_CLOSEDS) return close(origin);
        break;
      case DAT_STATUS:
        if (msg == MSG_GET && data != nullptr) {
          std::lock_guard<std::mutex> lock(mutex_);
          Session* s = find(origin);
          TW_UINT16& code = s != nullptr ? s->conditionCode : moduleCode_;
          auto* status = static_cast<pTW_STATUS>(data);
          status->ConditionCode = code;
          status->Data = 0;
          journalLine("STATUS" + (s != nullptr ? sourceField(*s) : std::string()) +
                      " cc=" + std::to_string(code));
          code = TWCC_SUCCESS;
          return TWRC_SUCCESS;
        }
        break;
      case DAT_CAPABILITY: {
        std::lock_guard<std::mutex> lock(mutex_);
        Session* s = find(origin);
        if (s == nullptr) return failWith(nullptr, TWCC_SEQERROR);
        return capability(*s, msg, static_cast<pTW_CAPABILITY>(data));
      }
      case DAT_USERINTERFACE:
        if (msg == MSG_ENABLEDS) return enable(origin, static_cast<pTW_USERINTERFACE>(data));
        if (msg == MSG_DISABLEDS) return disable(origin, false);
        break;
      case DAT_EVENT:
        if (msg == MSG_PROCESSEVENT && data != nullptr) {
          std::lock_guard<std::mutex> lock(mutex_);
          Session* s = find(origin);
          if (s == nullptr) return failWith(nullptr, TWCC_SEQERROR);
          static_cast<pTW_EVENT>(data)->TWMessage = MSG_NULL;
          // No windows of its own: every event belongs to the application.
          if (auto scripted = s->script.answer("processevent")) {
            s->conditionCode = scripted->cc;
            journalLine("PROCESSEVENT" + sourceField(*s) + " rc=" + std::to_string(scripted->rc));
            return scripted->rc;
          }
          return TWRC_NOTDSEVENT;
        }
        break;
      case DAT_PENDINGXFERS: {
        std::lock_guard<std::mutex> lock(mutex_);
        Session* s = find(origin);
        if (s == nullptr) return failWith(nullptr, TWCC_SEQERROR);
        return pending(*s, msg, static_cast<pTW_PENDINGXFERS>(data));
      }
      default:
        break;
    }
  } else if (dg == DG_IMAGE) {
    std::lock_guard<std::mutex> lock(mutex_);
    Session* s = find(origin);
    if (dat == DAT_IMAGENATIVEXFER && msg == MSG_GET) {
      if (s == nullptr) return failWith(nullptr, TWCC_SEQERROR);
      return transfer(*s, static_cast<TW_HANDLE*>(data));
    }
    if (dat == DAT_IMAGEINFO && msg == MSG_GET && data != nullptr) {
      if (s == nullptr) return failWith(nullptr, TWCC_SEQERROR);
      if (s->state != 6) return failWith(s, TWCC_SEQERROR);
      PageDescription desc = describePage(*s);
      auto* info = static_cast<pTW_IMAGEINFO>(data);
      memset(info, 0, sizeof *info);
      info->XResolution.Whole = static_cast<TW_INT16>(s->resolution);
      info->YResolution.Whole = static_cast<TW_INT16>(s->resolutionY);
      info->ImageWidth = desc.width;
      info->ImageLength = desc.height;
      info->SamplesPerPixel = s->pixelType == TWPT_RGB ? 3 : 1;
      for (int i = 0; i < info->SamplesPerPixel; ++i) {
        info->BitsPerSample[i] = static_cast<TW_INT16>(desc.depth >= 16 ? 8 : desc.depth);
      }
      info->BitsPerPixel = static_cast<TW_INT16>(desc.depth);
      info->PixelType = static_cast<TW_INT16>(s->pixelType);
      info->Compression = TWCP_NONE;
      return TWRC_SUCCESS;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Session* s = find(origin);
  journalLine("UNSUPPORTED" + (s != nullptr ? sourceField(*s) : std::string()) +
              " dg=" + std::to_string(dg) + " dat=" + std::to_string(dat) +
              " msg=" + std::to_string(msg));
  return failWith(s, TWCC_BADPROTOCOL);
}

bool VirtualModule::outOfState(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                               TW_UINT16* rc) {
  const Allowed allowed = allowedStates(dg, dat, msg);
  if (allowed.low == 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  Session* s = find(origin);
  const int state = s != nullptr ? s->state : 3;
  if (s != nullptr && s->script.lenient) return false;
  if (state >= allowed.low && state <= allowed.high) return false;
  journalLine("VIOLATION" + (s != nullptr ? sourceField(*s) : std::string()) +
              " app=" + std::to_string(origin->Id) + " state=" + std::to_string(state) +
              " op=" + allowed.name + " dg=" + std::to_string(dg) + " dat=" + std::to_string(dat) +
              " msg=" + std::to_string(msg));
  *rc = failWith(s, TWCC_SEQERROR);
  return true;
}

void VirtualModule::openWindow(const TW_IDENTITY& app) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  {
    std::lock_guard<std::mutex> lock(windowsMutex());
    if (windows().empty()) {
      WNDCLASSA windowClass{};
      windowClass.lpfnWndProc = sourceWindowProc;
      windowClass.hInstance = instance;
      windowClass.lpszClassName = kWindowClass;
      RegisterClassA(&windowClass);
    }
  }
  HWND window = CreateWindowExA(0, kWindowClass, "", WS_POPUPWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  bool posted = false;
  if (window != nullptr) {
    {
      std::lock_guard<std::mutex> lock(windowsMutex());
      windows()[window] = WindowOwner{this, app.Id};
    }
    posted = PostMessageA(window, kWakeMessage, 0, 0) != FALSE;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Session* s = find(&app);
  if (s != nullptr) s->window = window;
  journalLine("WINDOW" + (s != nullptr ? sourceField(*s) : std::string()) +
              " created=" + std::to_string(window != nullptr) + " posted=" + std::to_string(posted));
}

void VirtualModule::closeWindow(HWND window) {
  if (window == nullptr) return;
  DestroyWindow(window);
  std::lock_guard<std::mutex> lock(windowsMutex());
  windows().erase(window);
  if (windows().empty()) UnregisterClassA(kWindowClass, GetModuleHandleA(nullptr));
}

void VirtualModule::windowReady(TW_UINT32 appId) { reportReady(appId, "window"); }

void VirtualModule::reportReady(TW_UINT32 appId, const char* from) {
  TW_IDENTITY source{};
  TW_IDENTITY app{};
  DSMENTRYPROC dsm = nullptr;
  TW_UINT16 message = MSG_XFERREADY;
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(appId);
    if (it == sessions_.end()) return;
    Session* s = it->second.get();
    if (s->state != 5) return;
    if (s->script.notifyMessage == MSG_XFERREADY) s->state = 6;
    source = s->source;
    app = s->app;
    dsm = s->dsmEntry;
    message = s->script.notifyMessage;
    count = s->script.notifyCount;
  }
  for (int i = 0; i < count; ++i) notify(source, app, dsm, message, from);
}

TW_UINT16 VirtualModule::identities(TW_UINT16 msg, pTW_IDENTITY out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (msg == MSG_GETFIRST || msg == MSG_GET || !scenarioLoaded_) {
    // Read afresh whenever the manager starts over, so each run of the
    // manager sees the scenario as it is now.
    scenario_ = loadScenario();
    scenarioLoaded_ = true;
    for (const std::string& error : scenario_.errors) journalLine("SCENARIO " + error);
    journalLine("IDENTITIES count=" + std::to_string(scenario_.sources.size()));
    cursor_ = 0;
  }
  if (msg == MSG_GET) {
    if (scenario_.sources.empty()) return failWith(nullptr, TWCC_NODS);
    fillIdentity(scenario_.sources.front(), out);
    return TWRC_SUCCESS;
  }
  if (msg != MSG_GETFIRST && msg != MSG_GETNEXT) return failWith(nullptr, TWCC_BADPROTOCOL);
  if (cursor_ >= scenario_.sources.size()) return TWRC_ENDOFLIST;
  fillIdentity(scenario_.sources[cursor_++], out);
  return TWRC_SUCCESS;
}

TW_UINT16 VirtualModule::open(pTW_IDENTITY origin, pTW_IDENTITY source) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!scenarioLoaded_) {
    scenario_ = loadScenario();
    scenarioLoaded_ = true;
  }
  // The manager gives the Ids; the name tells which source is meant.
  const SourceScript* script = nullptr;
  for (const SourceScript& candidate : scenario_.sources) {
    if (strncmp(candidate.name.c_str(), source->ProductName, sizeof(TW_STR32) - 1) == 0) {
      script = &candidate;
      break;
    }
  }
  TW_ENTRYPOINT offered = offered_;
  offered_ = TW_ENTRYPOINT{};
  if (script == nullptr) return failWith(nullptr, TWCC_NODS);
  if (find(origin) != nullptr) return failWith(nullptr, TWCC_MAXCONNECTIONS);
  std::string name(source->ProductName, strnlen(source->ProductName, sizeof(TW_STR32)));
  std::string fields = " source=" + std::to_string(source->Id) +
                       " app=" + std::to_string(origin->Id) + " name=" + quoted(name);
  if (auto scripted = script->answer("opends")) {
    moduleCode_ = scripted->cc;
    journalLine("OPENDS" + fields + " rc=" + std::to_string(scripted->rc));
    return scripted->rc;
  }
  auto s = std::make_unique<Session>();
  s->app = *origin;
  s->source = *source;
  s->script = *script;
  s->resolution = s->resolutionY = script->resolution;
  s->pixelType = script->pixelType;
  if (offered.DSM_Entry != nullptr) {
    s->dsmEntry = offered.DSM_Entry;
    s->memory = offered;
  } else if (DSMENTRYPROC dsm = findManager(true)) {
    // Not handed the entry points (not a TWAIN 2 source): a TWAIN 2 manager
    // still owns the memory the application frees, so ask it for them.
    TW_ENTRYPOINT points{};
    points.Size = sizeof points;
    TW_IDENTITY app = *origin;
    if (dsm(&app, nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &points) == TWRC_SUCCESS) {
      s->memory = points;
    }
  }
  sessions_[origin->Id] = std::move(s);
  journalLine("OPENDS" + fields + " rc=0");
  return TWRC_SUCCESS;
}

TW_UINT16 VirtualModule::close(pTW_IDENTITY origin) {
  bool enabled = false;
  LateNotify late = LateNotify::kNone;
  TW_IDENTITY source{};
  TW_IDENTITY app{};
  DSMENTRYPROC dsm = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Session* s = find(origin);
    if (s == nullptr) return failWith(nullptr, TWCC_SEQERROR);
    if (auto scripted = s->script.answer("closeds")) {
      s->conditionCode = scripted->cc;
      journalLine("CLOSEDS" + sourceField(*s) + " rc=" + std::to_string(scripted->rc));
      return scripted->rc;
    }
    enabled = s->state >= 5;
    late = s->script.lateNotify;
    source = s->source;
    app = s->app;
    dsm = s->dsmEntry;
  }
  if (enabled) disable(origin, true);
  if (late == LateNotify::kClose) notify(source, app, dsm, MSG_XFERREADY, "close");
  std::unique_ptr<Session> gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(origin->Id);
    if (it != sessions_.end()) {
      gone = std::move(it->second);
      sessions_.erase(it);
    }
    journalLine("CLOSEDS source=" + std::to_string(source.Id) + " rc=0");
  }
  return TWRC_SUCCESS;  // the session (and its stopped worker) goes here, unlocked
}

TW_UINT16 VirtualModule::capability(Session& s, TW_UINT16 msg, pTW_CAPABILITY cap) {
  if (cap == nullptr) return failWith(&s, TWCC_BADVALUE);
  auto lockMemory = [&](TW_HANDLE h) { return lockBlock(s, h); };
  auto unlockMemory = [&](TW_HANDLE h) { unlockBlock(s, h); };
  const std::string name = capabilityName(cap->Cap);
  if (msg == MSG_GET || msg == MSG_GETCURRENT || msg == MSG_GETDEFAULT || msg == MSG_RESET) {
    for (TW_UINT16 unsupported : s.script.unsupported) {
      if (unsupported == cap->Cap) return failWith(&s, TWCC_CAPUNSUPPORTED);
    }
    if (msg == MSG_GET) {
      if (auto scripted = s.script.answer("capget")) {
        s.conditionCode = scripted->cc;
        journalLine("CAPGET" + sourceField(s) + " cap=" + name + " msg=1 rc=" +
                    std::to_string(scripted->rc));
        return scripted->rc;
      }
      // What the device offers, not just what it is set to.
      if (TW_UINT16 rc = TWRC_FAILURE; offeredValues(s, cap, &rc)) {
        journalLine("CAPGET" + sourceField(s) + " cap=" + name + " msg=1 rc=" + std::to_string(rc));
        return rc;
      }
    }
    TW_UINT16 type = 0;
    TW_UINT32 item = 0;
    if (msg == MSG_RESET && s.state != 4) return failWith(&s, TWCC_CAPSEQERROR);
    if (msg == MSG_RESET || msg == MSG_GETDEFAULT) {
      Session defaults;
      defaults.resolution = defaults.resolutionY = s.script.resolution;
      defaults.pixelType = s.script.pixelType;
      if (!currentValue(defaults, cap->Cap, &type, &item)) return failWith(&s, TWCC_CAPUNSUPPORTED);
      if (msg == MSG_RESET) {
        s.resolution = defaults.resolution;
        s.resolutionY = defaults.resolutionY;
        s.pixelType = defaults.pixelType;
        s.feeder = s.duplex = false;
      }
    } else if (!currentValue(s, cap->Cap, &type, &item)) {
      return failWith(&s, TWCC_CAPUNSUPPORTED);
    }
    TW_HANDLE h = allocateBlock(s, sizeof(TW_ONEVALUE));
    if (h == nullptr) return failWith(&s, TWCC_LOWMEMORY);
    auto* one = static_cast<pTW_ONEVALUE>(lockMemory(h));
    if (one != nullptr) {
      one->ItemType = type;
      one->Item = item;
      unlockMemory(h);
    }
    cap->ConType = TWON_ONEVALUE;
    cap->hContainer = h;
    journalLine("CAPGET" + sourceField(s) + " cap=" + name + " msg=" + std::to_string(msg) + " rc=0");
    return TWRC_SUCCESS;
  }
  if (msg != MSG_SET) return failWith(&s, TWCC_CAPBADOPERATION);

  TW_UINT16 itemType = 0;
  TW_UINT32 item = 0;
  bool readable = false;
  if (cap->ConType == TWON_ONEVALUE && cap->hContainer != nullptr) {
    if (const void* p = lockMemory(cap->hContainer)) {
      TW_ONEVALUE one;
      memcpy(&one, p, sizeof one);
      itemType = one.ItemType;
      item = one.Item;
      readable = true;
      unlockMemory(cap->hContainer);
    }
  }
  TW_UINT16 rc = TWRC_SUCCESS;
  TW_UINT16 cc = TWCC_SUCCESS;
  auto refuse = s.script.refused.find(cap->Cap);
  if (refuse != s.script.refused.end()) {
    rc = TWRC_FAILURE;
    cc = refuse->second;
  } else if (auto scripted = s.script.answer("capability")) {
    rc = scripted->rc;
    cc = scripted->cc;
  } else if (s.state != 4) {
    rc = TWRC_FAILURE;
    cc = TWCC_CAPSEQERROR;
  } else if (!readable) {
    rc = TWRC_FAILURE;
    cc = TWCC_BADVALUE;
  } else {
    auto bad = [&] {
      rc = TWRC_FAILURE;
      cc = TWCC_BADVALUE;
    };
    if (isResolution(cap->Cap)) {
      TW_FIX32 fix;
      memcpy(&fix, &item, sizeof fix);
      if (itemType != TWTY_FIX32 || fix.Whole < 25 || fix.Whole > 1200) {
        bad();
      } else {
        (cap->Cap == ICAP_XRESOLUTION ? s.resolution : s.resolutionY) =
            static_cast<unsigned>(fix.Whole);
      }
    } else if (cap->Cap == ICAP_PIXELTYPE) {
      if (itemType != TWTY_UINT16 || item > TWPT_RGB) {
        bad();
      } else {
        s.pixelType = static_cast<TW_UINT16>(item);
      }
    } else if (cap->Cap == CAP_FEEDERENABLED || cap->Cap == CAP_DUPLEXENABLED) {
      if (itemType != TWTY_BOOL) {
        bad();
      } else {
        (cap->Cap == CAP_FEEDERENABLED ? s.feeder : s.duplex) = (item & 0xFFFF) != 0;
      }
    } else if (cap->Cap == ICAP_XFERMECH || cap->Cap == ICAP_UNITS) {
      if ((item & 0xFFFF) != 0) bad();
    } else if (cap->Cap != CAP_XFERCOUNT) {
      rc = TWRC_FAILURE;
      cc = TWCC_CAPUNSUPPORTED;
    }
  }
  uint32_t shown = item;
  if (itemType == TWTY_FIX32) {
    TW_FIX32 fix;
    memcpy(&fix, &item, sizeof fix);
    shown = static_cast<uint32_t>(fix.Whole);
  }
  journalLine("CAPSET" + sourceField(s) + " cap=" + name + " contype=" +
              std::to_string(cap->ConType) + " itemtype=" + std::to_string(itemType) +
              " value=" + std::to_string(shown) + " rc=" + std::to_string(rc) +
              " cc=" + std::to_string(cc));
  if (rc != TWRC_SUCCESS) s.conditionCode = cc;
  return rc;
}

bool VirtualModule::offeredValues(Session& s, pTW_CAPABILITY cap, TW_UINT16* rc) {
  const SourceScript& script = s.script;
  const bool resolution = isResolution(cap->Cap);
  if (!resolution && cap->Cap != ICAP_PIXELTYPE) return false;
  std::vector<uint8_t> bytes;
  TW_UINT16 conType = TWON_ENUMERATION;
  if (resolution && script.resolutions.empty()) {
    TW_RANGE range{};
    range.ItemType = TWTY_FIX32;
    range.MinValue = script.resolutionMin;
    range.MaxValue = script.resolutionMax;
    range.StepSize = script.resolutionStep;
    range.DefaultValue = script.resolution;
    range.CurrentValue = cap->Cap == ICAP_XRESOLUTION ? s.resolution : s.resolutionY;
    bytes.resize(sizeof range);
    std::memcpy(bytes.data(), &range, sizeof range);
    conType = TWON_RANGE;
  } else {
    std::vector<uint32_t> items;
    if (resolution) items.assign(script.resolutions.begin(), script.resolutions.end());
    else items.assign(script.pixelTypes.begin(), script.pixelTypes.end());
    const size_t itemBytes = resolution ? 4 : 2;
    const size_t head = offsetof(TW_ENUMERATION, ItemList);
    TW_ENUMERATION header{};
    header.ItemType = resolution ? TWTY_FIX32 : TWTY_UINT16;
    header.NumItems = static_cast<TW_UINT32>(items.size());
    bytes.resize(head + items.size() * itemBytes);
    std::memcpy(bytes.data(), &header, head);
    for (size_t i = 0; i < items.size(); ++i) {
      std::memcpy(bytes.data() + head + i * itemBytes, &items[i], itemBytes);
    }
  }
  TW_HANDLE h = allocateBlock(s, bytes.size());
  void* p = h != nullptr ? lockBlock(s, h) : nullptr;
  if (p == nullptr) {
    if (h != nullptr) {
      if (s.memory.DSM_MemFree != nullptr) s.memory.DSM_MemFree(h);
      else GlobalFree(h);
    }
    *rc = failWith(&s, TWCC_LOWMEMORY);
    return true;
  }
  std::memcpy(p, bytes.data(), bytes.size());
  unlockBlock(s, h);
  cap->ConType = conType;
  cap->hContainer = h;
  *rc = TWRC_SUCCESS;
  return true;
}

void VirtualModule::print(const Session& s) {
  if (s.script.stdoutText.empty()) return;
  std::fputs(s.script.stdoutText.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  journalLine("PRINT" + sourceField(s) + " text=" + quoted(s.script.stdoutText));
}

TW_UINT16 VirtualModule::enable(pTW_IDENTITY origin, pTW_USERINTERFACE ui) {
  TW_IDENTITY app{};
  bool window = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Session* s = find(origin);
    if (s == nullptr) return failWith(nullptr, TWCC_SEQERROR);
    if (ui == nullptr) return failWith(s, TWCC_BADVALUE);
    std::string fields = sourceField(*s) + " showui=" + std::to_string(ui->ShowUI) +
                         " modalui=" + std::to_string(ui->ModalUI) +
                         " parent=" + (ui->hParent != nullptr ? "set" : "null");
    if (s->state != 4) {
      journalLine("ENABLEDS" + fields + " rc=1");
      return failWith(s, TWCC_SEQERROR);
    }
    if (auto scripted = s->script.answer("enableds")) {
      s->conditionCode = scripted->cc;
      journalLine("ENABLEDS" + fields + " rc=" + std::to_string(scripted->rc));
      return scripted->rc;
    }
    const SourceScript& script = s->script;
    s->pagesTotal = script.pages >= 0 ? script.pages : (s->feeder ? 3 : 1) * (s->duplex ? 2 : 1);
    s->page = 0;
    s->state = 5;
    journalLine("ENABLEDS" + fields + " rc=0");
    print(*s);
    window = script.window;
    if (!window && script.ready == Ready::kThread) {
      s->stopWorker = false;
      s->worker = std::thread(&VirtualModule::runWorker, this, s);
      return TWRC_SUCCESS;
    }
    if (!window && script.ready == Ready::kNever) return TWRC_SUCCESS;
    app = s->app;
  }
  if (window) {
    // Like a driver whose dialog lives on the caller's thread: nothing
    // happens until the application lets that window have its messages.
    openWindow(app);
  } else {
    // Ready before MSG_ENABLEDS has even returned.
    reportReady(app.Id, "enable");
  }
  return TWRC_SUCCESS;
}

void VirtualModule::runWorker(Session* s) {
  {
    std::unique_lock<std::mutex> lock(s->workerMutex);
    s->wake.wait_for(lock, std::chrono::milliseconds(s->script.readyDelayMs),
                     [s] { return s->stopWorker; });
    if (s->stopWorker) return;
  }
  // The session outlives this thread: its destructor and MSG_DISABLEDS join it.
  reportReady(s->app.Id, "thread");
}

TW_UINT16 VirtualModule::disable(pTW_IDENTITY origin, bool closing) {
  std::thread worker;
  HWND window = nullptr;
  TW_IDENTITY source{};
  TW_IDENTITY app{};
  DSMENTRYPROC dsm = nullptr;
  LateNotify late = LateNotify::kNone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Session* s = find(origin);
    if (s == nullptr) return failWith(nullptr, TWCC_SEQERROR);
    if (!closing) {
      if (auto scripted = s->script.answer("disableds")) {
        s->conditionCode = scripted->cc;
        journalLine("DISABLEDS" + sourceField(*s) + " rc=" + std::to_string(scripted->rc));
        return scripted->rc;
      }
      if (s->state < 5) {
        journalLine("DISABLEDS" + sourceField(*s) + " rc=1");
        return failWith(s, TWCC_SEQERROR);
      }
    }
    worker = std::move(s->worker);
    window = std::exchange(s->window, nullptr);
    source = s->source;
    app = s->app;
    dsm = s->dsmEntry;
    late = s->script.lateNotify;
  }
  closeWindow(window);
  // The thread is let finish, not stopped: a scan in flight reports ready
  // even when the application has stopped waiting (a late notification).
  if (worker.joinable()) worker.join();
  if (late == LateNotify::kDisable && !closing) notify(source, app, dsm, MSG_XFERREADY, "disable");
  std::lock_guard<std::mutex> lock(mutex_);
  Session* s = find(origin);
  if (s != nullptr) s->state = 4;
  if (!closing) journalLine("DISABLEDS source=" + std::to_string(source.Id) + " rc=0");
  return TWRC_SUCCESS;
}

TW_UINT16 VirtualModule::transfer(Session& s, TW_HANDLE* out) {
  const int page = s.page;
  std::string fields = sourceField(s) + " page=" + std::to_string(page);
  if (out == nullptr) return failWith(&s, TWCC_BADVALUE);
  if (s.state != 6) {
    journalLine("XFER" + fields + " handle=none rc=1");
    return failWith(&s, TWCC_SEQERROR);
  }
  if (auto scripted = s.script.answer("xfer", page)) {
    s.conditionCode = scripted->cc;
    if (scripted->rc == TWRC_CANCEL) s.state = 7;
    journalLine("XFER" + fields + " handle=none rc=" + std::to_string(scripted->rc));
    return scripted->rc;
  }
  print(s);
  PageDescription desc = describePage(s);
  HandleFault fault = s.script.handleFault(page);
  size_t bytes = 0;
  HGLOBAL handle = nullptr;
  if (fault != HandleFault::kNull) {
    handle = makePage(desc, fault == HandleFault::kTruncated, &bytes,
                      s.memory.DSM_MemAllocate != nullptr ? &s.memory : nullptr);
    if (handle == nullptr) {
      journalLine("XFER" + fields + " handle=none rc=1");
      return failWith(&s, TWCC_LOWMEMORY);
    }
  }
  *out = handle;
  s.state = 7;
  const char* kind = fault == HandleFault::kNull        ? "null"
                     : fault == HandleFault::kTruncated ? "truncated"
                                                        : "full";
  int compression = desc.compression == Compression::kRle && (desc.depth == 4 || desc.depth == 8)
                        ? (desc.depth == 8 ? 1 : 2)
                    : desc.compression == Compression::kBitfields &&
                            (desc.depth == 16 || desc.depth == 32)
                        ? 3
                        : 0;
  journalLine("XFER" + fields + " width=" + std::to_string(desc.width) +
              " height=" + std::to_string(desc.height) + " depth=" + std::to_string(desc.depth) +
              " compression=" + std::to_string(compression) +
              " topdown=" + std::to_string(desc.topDown && compression != 1 && compression != 2) +
              " bytes=" + std::to_string(bytes) + " handle=" + kind + " rc=6");
  return TWRC_XFERDONE;
}

TW_UINT16 VirtualModule::pending(Session& s, TW_UINT16 msg, pTW_PENDINGXFERS data) {
  if (data == nullptr) return failWith(&s, TWCC_BADVALUE);
  if (msg == MSG_GET) {
    data->Count = static_cast<TW_UINT16>(s.state >= 6 ? s.pagesTotal - s.page : 0);
    return TWRC_SUCCESS;
  }
  if (msg == MSG_ENDXFER) {
    std::string fields = sourceField(s) + " page=" + std::to_string(s.page);
    if (s.state != 6 && s.state != 7) {
      journalLine("ENDXFER" + fields + " count=0 rc=1");
      return failWith(&s, TWCC_SEQERROR);
    }
    if (auto scripted = s.script.answer("endxfer", s.page)) {
      s.conditionCode = scripted->cc;
      journalLine("ENDXFER" + fields + " count=" + std::to_string(data->Count) +
                  " rc=" + std::to_string(scripted->rc));
      return scripted->rc;
    }
    ++s.page;
    int remaining = s.pagesTotal - s.page;
    if (remaining > 0) {
      data->Count = s.script.pendingUnknown ? 0xFFFF : static_cast<TW_UINT16>(std::min(remaining, 0xFFFE));
      s.state = 6;
    } else {
      data->Count = 0;
      s.state = 5;
    }
    journalLine("ENDXFER" + fields + " count=" + std::to_string(data->Count) + " rc=0");
    return TWRC_SUCCESS;
  }
  if (msg == MSG_RESET) {
    if (auto scripted = s.script.answer("reset")) {
      s.conditionCode = scripted->cc;
      journalLine("RESET" + sourceField(s) + " rc=" + std::to_string(scripted->rc));
      return scripted->rc;
    }
    if (s.state < 5) {
      journalLine("RESET" + sourceField(s) + " rc=1");
      return failWith(&s, TWCC_SEQERROR);
    }
    data->Count = 0;
    s.state = 5;
    journalLine("RESET" + sourceField(s) + " rc=0");
    return TWRC_SUCCESS;
  }
  return failWith(&s, TWCC_BADPROTOCOL);
}

void VirtualModule::notify(const TW_IDENTITY& source, const TW_IDENTITY& app, DSMENTRYPROC dsm,
                           TW_UINT16 msg, const char* from) {
  if (dsm == nullptr) dsm = findManager((source.SupportedGroups & DF_DS2) != 0);
  TW_IDENTITY origin = source;
  TW_IDENTITY dest = app;
  TW_UINT16 rc = dsm != nullptr ? dsm(&origin, &dest, DG_CONTROL, DAT_NULL, msg, nullptr)
                                : static_cast<TW_UINT16>(TWRC_FAILURE);
  journalLine("NOTIFY source=" + std::to_string(source.Id) + " msg=" + messageName(msg) +
              " from=" + from + " rc=" + std::to_string(rc));
}

}  // namespace lumra::virtual_scanner

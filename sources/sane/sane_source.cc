#include "sources/sane/sane_source.h"

#include <sane/saneopts.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <sstream>
#include <utility>

#include "platform/win32.h"

namespace lumra::sane_source {

namespace {

// One line to the file named by LUMRA_SANE_JOURNAL (tests read it).
void journal(const std::string& line) {
  static std::mutex mutex;
  const char* path = std::getenv("LUMRA_SANE_JOURNAL");
  if (path == nullptr || *path == '\0') return;
  std::lock_guard<std::mutex> lock(mutex);
  FILE* file = std::fopen(path, "ab");
  if (file == nullptr) return;
  std::fprintf(file, "%s\n", line.c_str());
  std::fclose(file);
}

void copyName(TW_STR32 out, const std::string& text) {
  memset(out, 0, sizeof(TW_STR32));
  memcpy(out, text.data(), std::min(text.size(), sizeof(TW_STR32) - 1));
}

std::string nameOf(const TW_STR32 text) { return std::string(text, strnlen(text, sizeof(TW_STR32))); }

// `value` as a TW_FIX32, in the 32 bits a container item holds.
TW_UINT32 fix32(double value) {
  const double rounded = std::round(value * 65536.0) / 65536.0;
  TW_FIX32 fix;
  fix.Whole = static_cast<TW_INT16>(std::floor(rounded));
  fix.Frac = static_cast<TW_UINT16>((rounded - std::floor(rounded)) * 65536.0);
  TW_UINT32 item = 0;
  memcpy(&item, &fix, sizeof fix);
  return item;
}

// The states in which the standard lets an application send an operation
// to a source; {0, 0} for operations allowed in any.
struct Allowed {
  int low = 0;
  int high = 0;
};

Allowed allowedStates(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg) {
  if (dg == DG_IMAGE) return dat == DAT_IMAGENATIVEXFER || dat == DAT_IMAGEINFO ? Allowed{6, 6}
                                                                               : Allowed{4, 7};
  if (dg != DG_CONTROL) return {};
  switch (dat) {
    case DAT_IDENTITY:
      return msg == MSG_CLOSEDS ? Allowed{4, 4} : Allowed{};
    case DAT_CAPABILITY:
      return msg == MSG_SET || msg == MSG_RESET ? Allowed{4, 4} : Allowed{4, 7};
    case DAT_USERINTERFACE:
      return msg == MSG_ENABLEDS ? Allowed{4, 4} : msg == MSG_DISABLEDS ? Allowed{5, 5} : Allowed{};
    case DAT_EVENT:
      return {5, 7};
    case DAT_PENDINGXFERS:
      return msg == MSG_ENDXFER ? Allowed{7, 7} : msg == MSG_RESET ? Allowed{6, 6} : Allowed{4, 7};
    default:
      return {};
  }
}

TW_UINT16 conditionFor(SANE_Status status) {
  switch (status) {
    case SANE_STATUS_JAMMED:
      return TWCC_PAPERJAM;
    case SANE_STATUS_NO_MEM:
      return TWCC_LOWMEMORY;
    case SANE_STATUS_COVER_OPEN:
    case SANE_STATUS_DEVICE_BUSY:
      return TWCC_CHECKDEVICEONLINE;
    default:
      return TWCC_OPERATIONERROR;
  }
}

// A source handed no entry points finds the manager that loaded it.
DSMENTRYPROC findManager() {
  for (const char* name : {"TWAINDSM.DLL", "TWAIN_32.DLL"}) {
    if (HMODULE manager = GetModuleHandleA(name)) {
      auto dsm = reinterpret_cast<DSMENTRYPROC>(
          reinterpret_cast<void (*)()>(GetProcAddress(manager, "DSM_Entry")));
      if (dsm != nullptr) return dsm;
    }
  }
  return nullptr;
}

class DeviceFrames : public FrameSource {
 public:
  explicit DeviceFrames(SANE_Handle h) : h_(h) {}
  SANE_Status start() override { return sane_start(h_); }
  SANE_Status parameters(SANE_Parameters* p) override { return sane_get_parameters(h_, p); }
  SANE_Status read(SANE_Byte* data, SANE_Int max, SANE_Int* length) override {
    return sane_read(h_, data, max, length);
  }

 private:
  SANE_Handle h_;
};

std::vector<OptionInfo> describeAll(SANE_Handle h) {
  std::vector<OptionInfo> out;
  SANE_Int count = 0;
  if (sane_control_option(h, 0, SANE_ACTION_GET_VALUE, &count, nullptr) != SANE_STATUS_GOOD) {
    return out;
  }
  for (SANE_Int i = 1; i < count && i < 1000; ++i) {
    if (auto info = describe(i, sane_get_option_descriptor(h, i))) out.push_back(*info);
  }
  return out;
}

// Sets one option, read afresh: an earlier one may have changed the table.
void apply(SANE_Handle h, const Assignment& a) {
  OptionTable table(describeAll(h));
  const OptionInfo* option = table.find(a.name);
  SANE_Status status = SANE_STATUS_INVAL;
  if (option != nullptr) {
    if (a.isString) {
      std::vector<char> buffer(static_cast<size_t>(std::max<SANE_Int>(option->size, 1)) , '\0');
      if (a.text.size() < buffer.size()) {
        memcpy(buffer.data(), a.text.data(), a.text.size());
        status = sane_control_option(h, option->index, SANE_ACTION_SET_VALUE, buffer.data(), nullptr);
      }
    } else if (option->size == static_cast<SANE_Int>(sizeof(SANE_Word))) {
      SANE_Word value = a.word;
      status = sane_control_option(h, option->index, SANE_ACTION_SET_VALUE, &value, nullptr);
    }
  }
  if (status != SANE_STATUS_GOOD) {
    journal("OPTION name=" + a.name + " refused=" + sane_strstatus(status));
  }
}

// LUMRA_SANE_OPTIONS: "name=value[@page];..." set after the job's own
// settings (page 0) or before the page-th sane_start; lets tests drive the
// test backend's faults.
std::vector<std::pair<int, std::pair<std::string, std::string>>> extraOptions() {
  std::vector<std::pair<int, std::pair<std::string, std::string>>> out;
  const char* text = std::getenv("LUMRA_SANE_OPTIONS");
  if (text == nullptr) return out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ';');) {
    size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    std::string value = item.substr(eq + 1);
    int page = 0;
    size_t at = value.rfind('@');
    if (at != std::string::npos) {
      page = std::atoi(value.c_str() + at + 1);
      value.resize(at);
    }
    out.push_back({page, {item.substr(0, eq), value}});
  }
  return out;
}

void applyExtras(SANE_Handle h, int page) {
  static const auto extras = extraOptions();
  for (const auto& [when, option] : extras) {
    if (when != page) continue;
    OptionTable table(describeAll(h));
    const OptionInfo* info = table.find(option.first);
    std::optional<Assignment> a = info != nullptr ? parseValue(*info, option.second) : std::nullopt;
    if (a) {
      apply(h, *a);
    } else {
      journal("OPTION name=" + option.first + " refused=unknown");
    }
  }
}

}  // namespace

SaneThread::~SaneThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SaneThread::post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_.push_back(std::move(task));
  if (!thread_.joinable()) thread_ = std::thread(&SaneThread::loop, this);
  wake_.notify_all();
}

void SaneThread::run(const std::function<void()>& task) {
  std::promise<void> done;
  post([&] {
    task();
    done.set_value();
  });
  done.get_future().wait();
}

void SaneThread::loop() {
  SANE_Int version = 0;
  sane_init(&version, nullptr);
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
  // No sane_exit: this ends only with the process (the module is never
  // unloaded), where it would only unload the backends, and a backend
  // unloaded can no longer be told apart in a leak report of what it kept.
}

SaneModule::~SaneModule() {
  // Unloaded with sessions still open: their devices close on the SANE thread.
  for (auto& [id, s] : sessions_) {
    s->stop = true;
    s->changed.notify_all();
    SANE_Handle h = s->handle;
    if (h != nullptr) sane_.post([h] { sane_close(h); });
  }
}

Session* SaneModule::find(const TW_IDENTITY* origin) {
  if (origin == nullptr) return nullptr;
  auto it = sessions_.find(origin->Id);
  return it == sessions_.end() ? nullptr : it->second.get();
}

TW_UINT16 SaneModule::failWith(Session* s, TW_UINT16 code) {
  (s != nullptr ? s->conditionCode : moduleCode_) = code;
  return TWRC_FAILURE;
}

bool SaneModule::outOfState(Session* s, const TW_IDENTITY& origin, TW_UINT32 dg, TW_UINT16 dat,
                            TW_UINT16 msg) {
  const Allowed allowed = allowedStates(dg, dat, msg);
  if (allowed.low == 0) return false;
  int state = 3;
  if (s != nullptr) {
    std::lock_guard<std::mutex> lock(s->mutex);
    state = s->state;
  }
  if (state >= allowed.low && state <= allowed.high) return false;
  journal("VIOLATION app=" + std::to_string(origin.Id) + " state=" + std::to_string(state) +
          " dg=" + std::to_string(dg) + " dat=" + std::to_string(dat) + " msg=" + std::to_string(msg));
  return true;
}

TW_UINT16 SaneModule::entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                            TW_MEMREF data) {
  if (dg == DG_CONTROL && dat == DAT_IDENTITY && data != nullptr &&
      (msg == MSG_GET || msg == MSG_GETFIRST || msg == MSG_GETNEXT)) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (Session* s = find(origin); s != nullptr && msg == MSG_GET) {
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
  Session* s = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    s = find(origin);  // lives until this application's MSG_CLOSEDS
  }
  if (outOfState(s, *origin, dg, dat, msg)) {
    std::lock_guard<std::mutex> lock(mutex_);
    return failWith(s, TWCC_SEQERROR);
  }
  if (dg == DG_CONTROL && dat == DAT_ENTRYPOINT && msg == MSG_SET && data != nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    offered_ = *static_cast<pTW_ENTRYPOINT>(data);
    return TWRC_SUCCESS;
  }
  if (dg == DG_CONTROL && dat == DAT_IDENTITY && msg == MSG_OPENDS && data != nullptr) {
    return open(origin, static_cast<pTW_IDENTITY>(data));
  }
  if (dg == DG_CONTROL && dat == DAT_STATUS && msg == MSG_GET && data != nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    TW_UINT16& code = s != nullptr ? s->conditionCode : moduleCode_;
    *static_cast<pTW_STATUS>(data) = TW_STATUS{code, 0};
    code = TWCC_SUCCESS;
    return TWRC_SUCCESS;
  }
  if (s == nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    return failWith(nullptr, TWCC_SEQERROR);
  }
  if (dg == DG_CONTROL) {
    switch (dat) {
      case DAT_IDENTITY:
        if (msg == MSG_CLOSEDS) return close(s);
        break;
      case DAT_CAPABILITY:
        return capability(*s, msg, static_cast<pTW_CAPABILITY>(data));
      case DAT_USERINTERFACE:
        if (msg == MSG_ENABLEDS) return enable(*s);
        if (msg == MSG_DISABLEDS) return disable(*s);
        break;
      case DAT_EVENT:
        if (msg == MSG_PROCESSEVENT && data != nullptr) {
          static_cast<pTW_EVENT>(data)->TWMessage = MSG_NULL;
          return TWRC_NOTDSEVENT;  // no windows of our own
        }
        break;
      case DAT_PENDINGXFERS:
        return pending(*s, msg, static_cast<pTW_PENDINGXFERS>(data));
      default:
        break;
    }
  } else if (dg == DG_IMAGE && dat == DAT_IMAGENATIVEXFER && msg == MSG_GET) {
    return transfer(*s, static_cast<TW_HANDLE*>(data));
  }
  return failWith(s, TWCC_BADPROTOCOL);
}

void SaneModule::refreshDevices() {
  std::vector<Device> found;
  sane_.run([&] {
    const SANE_Device** list = nullptr;
    if (sane_get_devices(&list, SANE_FALSE) != SANE_STATUS_GOOD || list == nullptr) return;
    for (int i = 0; list[i] != nullptr; ++i) {
      const SANE_Device* d = list[i];
      Device device;
      device.name = d->name != nullptr ? d->name : "";
      std::string vendor = d->vendor != nullptr ? d->vendor : "";
      std::string model = d->model != nullptr ? d->model : device.name;
      std::string name = vendor.empty() ? model : vendor + " " + model;
      name.resize(std::min(name.size(), sizeof(TW_STR32) - 5));
      // Two devices of one model stay apart by name, which is how an open finds its device.
      std::string unique = name;
      for (int n = 2;; ++n) {
        bool taken = false;
        for (const Device& other : found) taken = taken || nameOf(other.identity.ProductName) == unique;
        if (!taken) break;
        unique = name + " #" + std::to_string(n);
      }
      TW_IDENTITY& id = device.identity;
      id.Version.MajorNum = 1;
      id.Version.Language = TWLG_USA;
      id.Version.Country = TWCY_USA;
      copyName(id.Version.Info, device.name);
      id.ProtocolMajor = 2;
      id.ProtocolMinor = 4;
      id.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
      copyName(id.Manufacturer, vendor);
      copyName(id.ProductFamily, d->type != nullptr ? d->type : "scanner");
      copyName(id.ProductName, unique);
      found.push_back(device);
    }
  });
  devices_ = std::move(found);
  listed_ = true;
}

TW_UINT16 SaneModule::identities(TW_UINT16 msg, pTW_IDENTITY out) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Probing takes seconds where network backends are configured, and a
  // manager asks at every MSG_OPENDSM: a recent listing is reused.
  auto now = std::chrono::steady_clock::now();
  if ((msg == MSG_GET || msg == MSG_GETFIRST) &&
      (!listed_ || now - listedAt_ > std::chrono::seconds(10))) {
    refreshDevices();
    listedAt_ = now;
  }
  if (msg == MSG_GETFIRST) cursor_ = 0;
  if (msg == MSG_GET) {
    if (devices_.empty()) return failWith(nullptr, TWCC_NODS);
    *out = devices_.front().identity;
    return TWRC_SUCCESS;
  }
  if (cursor_ >= devices_.size()) return TWRC_ENDOFLIST;
  *out = devices_[cursor_++].identity;
  return TWRC_SUCCESS;
}

TW_UINT16 SaneModule::open(pTW_IDENTITY origin, pTW_IDENTITY source) {
  std::string device;
  TW_ENTRYPOINT offered{};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    offered = offered_;
    offered_ = TW_ENTRYPOINT{};
    if (find(origin) != nullptr) return failWith(nullptr, TWCC_MAXCONNECTIONS);
    if (!listed_) refreshDevices();
    for (const Device& d : devices_) {
      if (nameOf(d.identity.ProductName) == nameOf(source->ProductName)) device = d.name;
    }
    if (device.empty()) return failWith(nullptr, TWCC_NODS);
  }
  auto s = std::make_unique<Session>();
  s->app = *origin;
  s->source = *source;
  s->device = device;
  SANE_Status status = SANE_STATUS_GOOD;
  sane_.run([&] {
    status = sane_open(device.c_str(), &s->handle);
    if (status == SANE_STATUS_GOOD) s->options = OptionTable(describeAll(s->handle));
  });
  if (status != SANE_STATUS_GOOD) {
    journal("OPENDS device=" + device + " status=" + sane_strstatus(status));
    std::lock_guard<std::mutex> lock(mutex_);
    return failWith(nullptr, TWCC_CHECKDEVICEONLINE);
  }
  if (offered.DSM_Entry != nullptr) {
    s->dsmEntry = offered.DSM_Entry;
    s->memory.points = offered;
  } else {
    s->dsmEntry = findManager();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_[origin->Id] = std::move(s);
  return TWRC_SUCCESS;
}

TW_UINT16 SaneModule::close(Session* s) {
  SANE_Handle h = s->handle;
  sane_.run([h] { sane_close(h); });
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(s->app.Id);
  return TWRC_SUCCESS;
}

TW_UINT16 SaneModule::capability(Session& s, TW_UINT16 msg, pTW_CAPABILITY cap) {
  if (cap == nullptr) return failWith(&s, TWCC_BADVALUE);
  if (msg == MSG_GET) return offered(s, cap);
  if (msg != MSG_SET) return failWith(&s, TWCC_CAPUNSUPPORTED);
  if (cap->ConType != TWON_ONEVALUE || cap->hContainer == nullptr) return failWith(&s, TWCC_BADVALUE);
  TW_ONEVALUE one{};
  const void* p = s.memory.lock(cap->hContainer);
  if (p == nullptr) return failWith(&s, TWCC_BADVALUE);
  memcpy(&one, p, sizeof one);
  s.memory.unlock(cap->hContainer);
  const TW_UINT16 value16 = static_cast<TW_UINT16>(one.Item & 0xFFFF);
  switch (cap->Cap) {
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: {
      TW_FIX32 fix;
      memcpy(&fix, &one.Item, sizeof fix);
      double dpi = fix.Whole + fix.Frac / 65536.0;
      if (one.ItemType != TWTY_FIX32 || dpi <= 0) return failWith(&s, TWCC_BADVALUE);
      if (cap->Cap == ICAP_XRESOLUTION || s.settings.dpi == 0) s.settings.dpi = dpi;
      return TWRC_SUCCESS;
    }
    case ICAP_PIXELTYPE:
      if (one.ItemType != TWTY_UINT16 || value16 > TWPT_RGB ||
          s.options.pixel(static_cast<PixelKind>(value16)).empty()) {
        return failWith(&s, TWCC_BADVALUE);
      }
      s.settings.pixel = static_cast<PixelKind>(value16);
      s.settings.pixelSet = true;
      return TWRC_SUCCESS;
    case CAP_FEEDERENABLED:
    case CAP_DUPLEXENABLED: {
      bool on = value16 != 0;
      bool feeder = cap->Cap == CAP_FEEDERENABLED ? on : s.settings.feeder;
      bool duplex = cap->Cap == CAP_DUPLEXENABLED ? on : s.settings.duplex;
      if (one.ItemType != TWTY_BOOL || !s.options.source(feeder, duplex)) {
        return failWith(&s, TWCC_BADVALUE);
      }
      s.settings.feeder = feeder;
      s.settings.duplex = duplex;
      return TWRC_SUCCESS;
    }
    case ICAP_XFERMECH:
      return value16 == TWSX_NATIVE ? TWRC_SUCCESS : failWith(&s, TWCC_BADVALUE);
    default:
      return failWith(&s, TWCC_CAPUNSUPPORTED);
  }
}

TW_UINT16 SaneModule::offered(Session& s, pTW_CAPABILITY cap) {
  const Offers offers = s.options.offers();
  std::vector<uint8_t> bytes;
  TW_UINT16 conType = TWON_ONEVALUE;
  auto oneValue = [&](TW_UINT16 type, TW_UINT32 item) {
    TW_ONEVALUE one{};
    one.ItemType = type;
    one.Item = item;
    bytes.resize(sizeof one);
    memcpy(bytes.data(), &one, sizeof one);
  };
  auto enumeration = [&](TW_UINT16 type, const std::vector<TW_UINT32>& items, size_t itemSize) {
    TW_ENUMERATION head{};
    head.ItemType = type;
    head.NumItems = static_cast<TW_UINT32>(items.size());
    const size_t at = offsetof(TW_ENUMERATION, ItemList);
    bytes.resize(at + items.size() * itemSize);
    memcpy(bytes.data(), &head, at);
    for (size_t i = 0; i < items.size(); ++i) memcpy(&bytes[at + i * itemSize], &items[i], itemSize);
    conType = TWON_ENUMERATION;
  };
  switch (cap->Cap) {
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION:
      if (!offers.hasResolution) return failWith(&s, TWCC_CAPUNSUPPORTED);
      if (offers.resolutionRange) {
        TW_RANGE range{};
        range.ItemType = TWTY_FIX32;
        range.MinValue = fix32(offers.min);
        range.MaxValue = fix32(offers.max);
        range.StepSize = fix32(offers.step);
        range.DefaultValue = range.CurrentValue = fix32(s.settings.dpi > 0 ? s.settings.dpi : offers.min);
        bytes.resize(sizeof range);
        memcpy(bytes.data(), &range, sizeof range);
        conType = TWON_RANGE;
      } else {
        std::vector<TW_UINT32> items;
        for (double dpi : offers.resolutions) items.push_back(fix32(dpi));
        enumeration(TWTY_FIX32, items, sizeof(TW_FIX32));
      }
      break;
    case ICAP_PIXELTYPE: {
      if (offers.pixels.empty()) return failWith(&s, TWCC_CAPUNSUPPORTED);
      std::vector<TW_UINT32> items;
      for (PixelKind kind : offers.pixels) items.push_back(static_cast<TW_UINT32>(kind));
      enumeration(TWTY_UINT16, items, sizeof(TW_UINT16));
      break;
    }
    case CAP_FEEDERENABLED:
      if (!offers.feeder) return failWith(&s, TWCC_CAPUNSUPPORTED);
      enumeration(TWTY_BOOL, {FALSE, TRUE}, sizeof(TW_BOOL));
      break;
    case CAP_DUPLEX:
      oneValue(TWTY_UINT16, offers.duplex ? TWDX_1PASSDUPLEX : TWDX_NONE);
      break;
    case CAP_UICONTROLLABLE:
      oneValue(TWTY_BOOL, TRUE);  // there is no dialog to show
      break;
    case ICAP_PHYSICALWIDTH:
    case ICAP_PHYSICALHEIGHT: {
      const double inches = cap->Cap == ICAP_PHYSICALWIDTH ? offers.width : offers.height;
      if (inches <= 0) return failWith(&s, TWCC_CAPUNSUPPORTED);
      oneValue(TWTY_FIX32, fix32(inches));
      break;
    }
    default:
      return failWith(&s, TWCC_CAPUNSUPPORTED);
  }
  TW_HANDLE h = s.memory.allocate(static_cast<TW_UINT32>(bytes.size()));
  void* p = h != nullptr ? s.memory.lock(h) : nullptr;
  if (p == nullptr) {
    if (h != nullptr) s.memory.free(h);
    return failWith(&s, TWCC_LOWMEMORY);
  }
  memcpy(p, bytes.data(), bytes.size());
  s.memory.unlock(h);
  cap->ConType = conType;
  cap->hContainer = h;
  return TWRC_SUCCESS;
}

TW_UINT16 SaneModule::enable(Session& s) {
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.state = 5;
    s.stop = false;
    s.running = true;
    s.finished = false;
    s.started = s.handed = 0;
    s.end = SANE_STATUS_GOOD;
  }
  sane_.post([this, session = &s] { runJob(session); });
  return TWRC_SUCCESS;
}

void SaneModule::runJob(Session* s) {
  SANE_Handle h = s->handle;
  for (const Assignment& a : s->options.plan(s->settings)) apply(h, a);
  applyExtras(h, 0);
  DeviceFrames device(h);
  PageFrames frames;
  SANE_Status status = SANE_STATUS_GOOD;
  int page = 0;
  for (;;) {
    if (s->stop) {
      status = SANE_STATUS_CANCELLED;
      break;
    }
    applyExtras(h, page + 1);
    status = sane_start(h);
    if (status != SANE_STATUS_GOOD) break;
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      ++s->started;
    }
    s->changed.notify_all();
    status = readPage(device, s->stop, &frames);
    if (status != SANE_STATUS_GOOD) break;
    SANE_Word dpiWord = 0;
    double dpi = s->settings.dpi;
    if (const OptionInfo* res = s->options.find(SANE_NAME_SCAN_RESOLUTION);
        res != nullptr && sane_control_option(h, res->index, SANE_ACTION_GET_VALUE, &dpiWord,
                                              nullptr) == SANE_STATUS_GOOD) {
      dpi = res->type == SANE_TYPE_FIXED ? SANE_UNFIX(dpiWord) : dpiWord;
    }
    TW_HANDLE dib = buildDib(frames, dpi, s->memory);
    if (dib == nullptr) {
      status = SANE_STATUS_NO_MEM;
      break;
    }
    bool first = false;
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      s->changed.wait(lock, [s] { return s->ready == nullptr || s->stop; });
      if (s->stop) {
        s->memory.free(dib);
        status = SANE_STATUS_CANCELLED;
        break;
      }
      s->ready = dib;
      first = page == 0;
      if (first) s->state = 6;
    }
    s->changed.notify_all();
    if (first) notify(*s, MSG_XFERREADY);
    ++page;
    if (!s->feederJob()) {
      status = SANE_STATUS_EOF;
      break;
    }
  }
  sane_cancel(h);
  if (status != SANE_STATUS_EOF && status != SANE_STATUS_NO_DOCS) {
    journal(std::string("JOB end=") + sane_strstatus(status) + " pages=" + std::to_string(page));
  }
  bool tell = false;
  TW_UINT16 message = MSG_XFERREADY;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->finished = true;
    s->end = status;
    // Nothing delivered: an empty feeder or a cancel closes the job; a
    // fault shows as the first transfer's failure.
    if (page == 0 && !s->stop) {
      tell = true;
      if (status == SANE_STATUS_NO_DOCS || status == SANE_STATUS_CANCELLED) {
        message = MSG_CLOSEDSREQ;
      } else {
        s->state = 6;
      }
    }
  }
  s->changed.notify_all();
  if (tell) notify(*s, message);
  std::lock_guard<std::mutex> lock(s->mutex);
  s->running = false;
  s->changed.notify_all();
}

TW_UINT16 SaneModule::transfer(Session& s, TW_HANDLE* out) {
  if (out == nullptr) return failWith(&s, TWCC_BADVALUE);
  std::unique_lock<std::mutex> lock(s.mutex);
  s.changed.wait(lock, [&] { return s.ready != nullptr || s.finished; });
  if (s.ready != nullptr) {
    *out = std::exchange(s.ready, nullptr);
    ++s.handed;
    s.state = 7;
    lock.unlock();
    s.changed.notify_all();
    return TWRC_XFERDONE;
  }
  if (s.end == SANE_STATUS_CANCELLED) {
    s.state = 7;
    return TWRC_CANCEL;
  }
  s.conditionCode = conditionFor(s.end);
  return TWRC_FAILURE;
}

TW_UINT16 SaneModule::pending(Session& s, TW_UINT16 msg, pTW_PENDINGXFERS data) {
  if (data == nullptr) return failWith(&s, TWCC_BADVALUE);
  std::unique_lock<std::mutex> lock(s.mutex);
  if (msg == MSG_GET) {
    data->Count = s.state < 6 ? 0 : s.feederJob() ? 0xFFFF : 1;
    return TWRC_SUCCESS;
  }
  if (msg == MSG_ENDXFER) {
    bool more = false;
    if (s.feederJob()) {
      // Whether another sheet is there is known once its sane_start answers.
      s.changed.wait(lock, [&] { return s.started > s.handed || s.finished; });
      more = s.started > s.handed || s.ready != nullptr ||
             (s.end != SANE_STATUS_NO_DOCS && s.end != SANE_STATUS_EOF);
    }
    data->Count = more ? 0xFFFF : 0;
    s.state = more ? 6 : 5;
    return TWRC_SUCCESS;
  }
  if (msg == MSG_RESET) {
    s.stop = true;
    data->Count = 0;
    s.state = 5;
    lock.unlock();
    s.changed.notify_all();
    return TWRC_SUCCESS;
  }
  lock.unlock();
  return failWith(&s, TWCC_BADPROTOCOL);
}

TW_UINT16 SaneModule::disable(Session& s) {
  std::unique_lock<std::mutex> lock(s.mutex);
  s.stop = true;
  s.changed.notify_all();
  // The job's loop stops between two reads and calls sane_cancel itself.
  s.changed.wait(lock, [&] { return !s.running; });
  s.memory.free(std::exchange(s.ready, nullptr));
  s.state = 4;
  return TWRC_SUCCESS;
}

void SaneModule::notify(const Session& s, TW_UINT16 msg) {
  if (s.dsmEntry == nullptr) return;
  TW_IDENTITY origin = s.source;
  TW_IDENTITY dest = s.app;
  s.dsmEntry(&origin, &dest, DG_CONTROL, DAT_NULL, msg, nullptr);
}

}  // namespace lumra::sane_source

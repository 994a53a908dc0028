// The SANE data source's side of DS_Entry: every SANE device as a TWAIN
// source, one session per application that opened one.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sources/sane/option_map.h"
#include "sources/sane/page_reader.h"
#include "twain/twain.h"

namespace lumra::sane_source {

/// The one thread that makes every SANE call, from sane_init on:
/// backends (the test backend among them) hang when reads move between
/// threads.
class SaneThread {
 public:
  SaneThread() = default;
  ~SaneThread();  ///< ends and joins the thread
  SaneThread(const SaneThread&) = delete;
  SaneThread& operator=(const SaneThread&) = delete;

  /// Runs `task` on the thread and waits for it.
  void run(const std::function<void()>& task);
  /// Queues `task` to run on the thread.
  void post(std::function<void()> task);

 private:
  void loop();
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;
};

/// One application's connection to one device (TWAIN states 4 to 7). The
/// job fields below `mutex` are shared with the SANE thread.
struct Session {
  TW_IDENTITY app{};
  TW_IDENTITY source{};
  std::string device;
  SANE_Handle handle = nullptr;  ///< touched on the SANE thread only
  OptionTable options{{}};
  Memory memory;
  DSMENTRYPROC dsmEntry = nullptr;
  ScanSettings settings;
  TW_UINT16 conditionCode = TWCC_SUCCESS;

  std::mutex mutex;
  std::condition_variable changed;
  int state = 4;
  std::atomic<bool> stop{false};
  bool running = false;        ///< the job's loop is on the SANE thread
  int started = 0;             ///< pages whose sane_start succeeded
  int handed = 0;              ///< pages transferred
  TW_HANDLE ready = nullptr;   ///< the next page, not yet transferred
  bool finished = false;
  SANE_Status end = SANE_STATUS_GOOD;  ///< why the loop ended (EOF: job done)

  bool feederJob() const { return settings.feeder || settings.duplex; }
};

class SaneModule {
 public:
  SaneModule() = default;
  ~SaneModule();
  SaneModule(const SaneModule&) = delete;
  SaneModule& operator=(const SaneModule&) = delete;

  /// DS_Entry.
  TW_UINT16 entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

 private:
  struct Device {
    std::string name;
    TW_IDENTITY identity{};
  };
  TW_UINT16 identities(TW_UINT16 msg, pTW_IDENTITY out);
  void refreshDevices();  ///< caller holds mutex_
  TW_UINT16 open(pTW_IDENTITY origin, pTW_IDENTITY source);
  TW_UINT16 close(Session* s);
  TW_UINT16 capability(Session& s, TW_UINT16 msg, pTW_CAPABILITY cap);
  /// MSG_GET: what the device's options offer, in a container of the
  /// manager's memory.
  TW_UINT16 offered(Session& s, pTW_CAPABILITY cap);
  TW_UINT16 enable(Session& s);
  TW_UINT16 disable(Session& s);
  TW_UINT16 transfer(Session& s, TW_HANDLE* out);
  TW_UINT16 pending(Session& s, TW_UINT16 msg, pTW_PENDINGXFERS data);
  void runJob(Session* s);  ///< on the SANE thread
  void notify(const Session& s, TW_UINT16 msg);
  bool outOfState(Session* s, const TW_IDENTITY& origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg);
  Session* find(const TW_IDENTITY* origin);
  TW_UINT16 failWith(Session* s, TW_UINT16 code);

  std::mutex mutex_;  ///< devices, sessions; never held while waiting on a job
  std::vector<Device> devices_;
  bool listed_ = false;
  std::chrono::steady_clock::time_point listedAt_;
  size_t cursor_ = 0;
  TW_ENTRYPOINT offered_{};
  TW_UINT16 moduleCode_ = TWCC_SUCCESS;
  std::map<TW_UINT32, std::unique_ptr<Session>> sessions_;
  SaneThread sane_;  ///< last member: stopped first
};

}  // namespace lumra::sane_source

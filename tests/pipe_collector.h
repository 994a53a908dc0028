// What a child writes to one pipe, gathered by a background thread so the
// child never blocks on a full pipe. Platform-neutral: the platform's
// host_process file supplies the read.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace lumra::test {

class PipeCollector {
 public:
  /// Reads up to `size` bytes into `buffer`; returns the count, 0 when the
  /// pipe has ended or failed.
  using Read = std::function<size_t(char* buffer, size_t size)>;

  PipeCollector() = default;
  ~PipeCollector() { join(); }
  PipeCollector(const PipeCollector&) = delete;
  PipeCollector& operator=(const PipeCollector&) = delete;

  /// Starts the reader thread.
  void start(Read read);
  /// Waits for the reader thread to see the end of the pipe.
  void join();

  /// Waits up to `timeoutMs` for one whole frame and removes it. False on
  /// time-out or when the pipe ended first (`err` tells which).
  bool takeFrame(std::string* body, int timeoutMs, std::string* err);
  /// Waits up to `timeoutMs` for the pipe to end; `rest` gets the bytes not
  /// taken yet. False on time-out.
  bool waitEnd(std::string* rest, int timeoutMs);
  /// The bytes gathered and not taken yet.
  std::string pending() const;

 private:
  /// Length of the frame at the front, when its header and body are all here.
  bool wholeFrame(uint32_t* length) const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string bytes_;  // guarded by mutex_
  bool ended_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace lumra::test

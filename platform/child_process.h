// A child program with pipes on its standard input, output and error, speaking
// frames (4-byte little-endian length, then the body) as our programs do.
// Used by lumra-scan to run the host and by the end-to-end tests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace lumra {

/// `body` as one frame: 4-byte little-endian length, then the body.
std::string frame(std::string_view body);

/// How a child ended.
struct ExitStatus {
  bool exited = false;  ///< Ended by exit(); `code` is valid.
  int code = -1;
  bool signaled = false;  ///< Ended by a signal; `signal` is valid (POSIX only).
  int signal = 0;
};

/// How to start a child.
struct ChildOptions {
  std::vector<std::string> args;  ///< Arguments after the program name.
  /// Changes over the current environment: a value sets the variable,
  /// std::nullopt removes it (names compare without case on Windows).
  std::map<std::string, std::optional<std::string>> env;
  std::string workingFolder;  ///< "" keeps the current folder.
  bool shareStderr = false;   ///< The child writes to our standard error.
};

/// What a child writes to one pipe, gathered by a background thread so the
/// child never blocks on a full pipe.
class PipeCollector {
 public:
  /// Reads up to `size` bytes; returns the count, 0 at the end of the pipe.
  using Read = std::function<size_t(char* buffer, size_t size)>;

  PipeCollector() = default;
  ~PipeCollector() { join(); }
  PipeCollector(const PipeCollector&) = delete;
  PipeCollector& operator=(const PipeCollector&) = delete;

  void start(Read read);
  /// Waits for the reader to see the end of the pipe.
  void join();
  /// Waits up to `timeoutMs` (< 0: no limit) for one whole frame and removes
  /// it. False on time-out, when the pipe ended first, or when the length is
  /// past any frame of ours (`err` tells which).
  bool takeFrame(std::string* body, int timeoutMs, std::string* err);
  /// Waits up to `timeoutMs` for the pipe to end; `rest` gets the bytes not
  /// taken yet. False on time-out.
  bool waitEnd(std::string* rest, int timeoutMs);
  /// The bytes gathered and not taken yet.
  std::string pending() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string bytes_;   // guarded by mutex_
  bool ended_ = false;  // guarded by mutex_
  std::thread thread_;
};

/// One running child with its pipes. The destructor kills a child that is
/// still running and reaps it; copying is not allowed.
class ChildProcess {
 public:
  ChildProcess();
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Starts `program`; false with `err` set when it cannot be started.
  bool start(const std::string& program, const ChildOptions& options, std::string* err);
  /// Writes all of `bytes` to the child's standard input (blocks until
  /// written). False when the pipe is closed or the child is gone.
  bool write(std::string_view bytes, std::string* err = nullptr);
  bool writeFrame(std::string_view body, std::string* err = nullptr) {
    return write(frame(body), err);
  }
  /// Ends the child's standard input.
  void closeStdin();

  /// One whole frame from standard output; see PipeCollector::takeFrame.
  bool readFrame(std::string* body, int timeoutMs, std::string* err = nullptr) {
    return out_.takeFrame(body, timeoutMs, err);
  }
  /// Waits up to `timeoutMs` for standard output to end; `rest` gets the
  /// bytes not taken by readFrame. False on time-out.
  bool readToEnd(std::string* rest, int timeoutMs) { return out_.waitEnd(rest, timeoutMs); }
  /// Standard output collected and not taken yet.
  std::string pendingStdout() const { return out_.pending(); }
  /// Everything the child wrote to standard error so far; once it has
  /// ended, waits up to a second for the pipe's last bytes.
  std::string stderrText() {
    std::string text;
    if (running() || !errs_.waitEnd(&text, 1000)) text = errs_.pending();
    return text;
  }

  /// Waits up to `timeoutMs` (< 0: no limit) for the child to end. False on
  /// time-out (the child keeps running).
  bool waitExit(int timeoutMs, ExitStatus* status);
  /// Kills the child at once and reaps it.
  void kill();
  /// True while the child has not been reaped.
  bool running() const;
  long pid() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  PipeCollector out_;
  PipeCollector errs_;
};

}  // namespace lumra

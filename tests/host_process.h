// Starts a binary under test with pipes on its standard input, output and
// error, and speaks native-messaging frames (4-byte little-endian length, then
// the body) with it. Platform-neutral; host_process-posix.cc implements it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumra::test {

/// Path of a binary built next to the host (LUMRA_BIN_DIR), e.g.
/// "lumra-scan-host" (the platform's executable suffix is added).
std::string BinaryPath(const std::string& name);

/// Path of the host binary.
std::string HostPath();

/// Creates a fresh empty folder under the system temp folder whose name starts
/// with `prefix`; returns it without a trailing separator ("" on failure).
std::string MakeTempFolder(const std::string& prefix);

/// Removes a folder and everything below it; missing folders are fine.
void RemoveTree(const std::string& path);

/// Encodes `body` as one frame: 4-byte little-endian length, then the body.
std::string Frame(std::string_view body);

/// How a child ended.
struct ExitStatus {
  bool exited = false;  ///< Ended by exit(); `code` is valid.
  int code = -1;
  bool signaled = false;  ///< Ended by a signal; `signal` is valid (POSIX only).
  int signal = 0;
};

/// Options for starting a child.
struct StartOptions {
  std::vector<std::string> args;  ///< Arguments after the program name.
  /// Environment changes over the current environment: a value sets the
  /// variable, std::nullopt removes it.
  std::map<std::string, std::optional<std::string>> env;
  std::string workingFolder;  ///< "" keeps the current folder.
};

/// One running child with its three pipes. The destructor kills a child that
/// is still running and reaps it; copying is not allowed.
class HostProcess {
 public:
  HostProcess();
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  /// Starts `program`. Standard output and error are collected by background
  /// readers, so the child never blocks on a full pipe. False with `err` set
  /// when the child cannot be started.
  bool start(const std::string& program, const StartOptions& options, std::string* err);

  /// Writes raw bytes to the child's standard input (blocks until written).
  /// False when the pipe is closed or the child is gone.
  bool write(std::string_view bytes, std::string* err = nullptr);

  /// Writes one frame holding `body`.
  bool writeFrame(std::string_view body, std::string* err = nullptr);

  /// Closes the child's standard input (end of input).
  void closeStdin();

  /// Waits up to `timeoutMs` for one whole frame on standard output and
  /// removes it from the collected bytes. False on time-out or when standard
  /// output ended before a whole frame arrived (`err` tells which).
  bool readFrame(std::string* body, int timeoutMs, std::string* err = nullptr);

  /// Waits up to `timeoutMs` for standard output to end; the bytes not yet
  /// taken by readFrame are returned in `rest`. False on time-out.
  bool readToEnd(std::string* rest, int timeoutMs);

  /// Bytes of standard output collected and not yet taken by readFrame.
  std::string pendingStdout() const;

  /// Everything the child wrote to standard error so far.
  std::string stderrText() const;

  /// Waits up to `timeoutMs` for the child to end. False on time-out (the
  /// child keeps running).
  bool waitExit(int timeoutMs, ExitStatus* status);

  /// Kills the child at once (SIGKILL on POSIX) and reaps it.
  void kill();

  /// True while the child has not been reaped.
  bool running() const;

  /// The child's process id (0 when not started).
  long pid() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Starts the host with TMPDIR pointing at `tmpFolder`, so its log, working
/// folder and instance lock stay private to the test.
bool StartHost(HostProcess* host, const std::string& tmpFolder, std::string* err);

}  // namespace lumra::test

// A child process whose standard input and output are pipes held by us; its
// standard error is ours. Used by lumra-scan to run the host.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace lumra {

/// One running child. The destructor closes the pipes and waits for the
/// child to end; copying is not allowed.
class ChildProcess {
 public:
  ChildProcess();
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Starts `program` with `args` (not counting the program itself).
  /// False with `err` set when it cannot be started.
  bool start(const std::string& program, const std::vector<std::string>& args, std::string* err);

  /// Writes all of `bytes` to the child's standard input. False when the
  /// child has closed it or ended.
  bool writeAll(const std::string& bytes);

  /// Reads exactly `size` bytes from the child's standard output into `out`.
  /// False when the output ends first.
  bool readExact(size_t size, std::string* out);

  /// Closes the child's standard input (end of input for the host).
  void closeInput();

  /// Waits for the child to end and returns its exit code (-1 when it did
  /// not exit normally).
  int wait();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Folder of the running executable, ending in the path separator.
std::string ExecutableFolder();

/// File name of a program called `base` on this platform ("x" or "x.exe").
std::string ProgramFileName(const std::string& base);

}  // namespace lumra

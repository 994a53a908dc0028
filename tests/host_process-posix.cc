#include "tests/host_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "tests/pipe_collector.h"

extern char** environ;

namespace lumra::test {

namespace {

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

}  // namespace

std::string BinaryPath(const std::string& name) { return std::string(LUMRA_BIN_DIR) + "/" + name; }

struct HostProcess::Impl {
  pid_t pid = 0;
  bool reaped = true;
  int stdinFd = -1;
  int outFd = -1;
  int errFd = -1;
  PipeCollector out;
  PipeCollector errs;
};

namespace {
// Reads of one pipe for a collector; 0 at its end.
PipeCollector::Read ReadFd(int fd) {
  return [fd](char* buffer, size_t size) -> size_t {
    for (;;) {
      ssize_t n = ::read(fd, buffer, size);
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? static_cast<size_t>(n) : 0;
    }
  };
}
}  // namespace

HostProcess::HostProcess() : impl_(std::make_unique<Impl>()) {}

HostProcess::~HostProcess() {
  if (running()) kill();
  CloseFd(&impl_->stdinFd);
  impl_->out.join();
  impl_->errs.join();
  CloseFd(&impl_->outFd);
  CloseFd(&impl_->errFd);
}

bool HostProcess::start(const std::string& program, const StartOptions& options,
                        std::string* err) {
  if (impl_->pid != 0) {
    if (err) *err = "already started";
    return false;
  }
  // A child that dies while we write must give EPIPE, not end the test.
  ::signal(SIGPIPE, SIG_IGN);

  int in[2], out[2], errp[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    if (err) *err = std::string("pipe: ") + strerror(errno);
    return false;
  }
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]);
    if (err) *err = std::string("pipe: ") + strerror(errno);
    return false;
  }
  if (::pipe2(errp, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
    if (err) *err = std::string("pipe: ") + strerror(errno);
    return false;
  }

  std::vector<std::string> argStore{program};
  argStore.insert(argStore.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (options.env.count(name) == 0) envStore.push_back(entry);
  }
  for (const auto& [name, value] : options.env) {
    if (value) envStore.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errp[1], 2);
  if (!options.workingFolder.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingFolder.c_str());
  }
  // The child gets default signal handling, whatever the test process set.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(errp[1]);
  if (rc != 0) {
    ::close(in[1]), ::close(out[0]), ::close(errp[0]);
    if (err) *err = "cannot start " + program + ": " + strerror(rc);
    return false;
  }
  impl_->pid = pid;
  impl_->reaped = false;
  impl_->stdinFd = in[1];
  impl_->outFd = out[0];
  impl_->errFd = errp[0];
  impl_->out.start(ReadFd(out[0]));
  impl_->errs.start(ReadFd(errp[0]));
  return true;
}

bool HostProcess::write(std::string_view bytes, std::string* err) {
  if (impl_->stdinFd < 0) {
    if (err) *err = "standard input is closed";
    return false;
  }
  while (!bytes.empty()) {
    ssize_t n = ::write(impl_->stdinFd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (err) *err = std::string("write: ") + strerror(errno);
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void HostProcess::closeStdin() { CloseFd(&impl_->stdinFd); }

bool HostProcess::readFrame(std::string* body, int timeoutMs, std::string* err) {
  return impl_->out.takeFrame(body, timeoutMs, err);
}

bool HostProcess::readToEnd(std::string* rest, int timeoutMs) {
  return impl_->out.waitEnd(rest, timeoutMs);
}

std::string HostProcess::pendingStdout() const { return impl_->out.pending(); }

std::string HostProcess::stderrText() const { return impl_->errs.pending(); }

namespace {
void Decode(int raw, ExitStatus* status) {
  if (!status) return;
  *status = ExitStatus{};
  if (WIFEXITED(raw)) {
    status->exited = true;
    status->code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    status->signaled = true;
    status->signal = WTERMSIG(raw);
  }
}
}  // namespace

bool HostProcess::waitExit(int timeoutMs, ExitStatus* status) {
  if (impl_->reaped) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int raw = 0;
    pid_t r = ::waitpid(impl_->pid, &raw, WNOHANG);
    if (r == impl_->pid) {
      impl_->reaped = true;
      Decode(raw, status);
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void HostProcess::kill() {
  if (impl_->reaped) return;
  ::kill(impl_->pid, SIGKILL);
  int raw = 0;
  while (::waitpid(impl_->pid, &raw, 0) < 0 && errno == EINTR) {
  }
  impl_->reaped = true;
}

bool HostProcess::running() const { return impl_->pid != 0 && !impl_->reaped; }

long HostProcess::pid() const { return static_cast<long>(impl_->pid); }

}  // namespace lumra::test

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
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

namespace lumra::test {

namespace {

// Collects one pipe's bytes on a background thread until the pipe ends.
class PipeCollector {
 public:
  void start(int fd) {
    fd_ = fd;
    thread_ = std::thread([this] { run(); });
  }
  ~PipeCollector() { stop(); }
  void stop() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::string bytes;  // guarded by mutex
  bool ended = false;  // guarded by mutex

 private:
  void run() {
    char buffer[1 << 16];
    for (;;) {
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard<std::mutex> lock(mutex);
      if (n <= 0) {
        ended = true;
        changed.notify_all();
        return;
      }
      bytes.append(buffer, static_cast<size_t>(n));
      changed.notify_all();
    }
  }

  int fd_ = -1;
  std::thread thread_;
};

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
  PipeCollector out;
  PipeCollector errs;
};

HostProcess::HostProcess() : impl_(std::make_unique<Impl>()) {}

HostProcess::~HostProcess() {
  if (running()) kill();
  CloseFd(&impl_->stdinFd);
  impl_->out.stop();
  impl_->errs.stop();
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
  impl_->out.start(out[0]);
  impl_->errs.start(errp[0]);
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
  auto& out = impl_->out;
  std::unique_lock<std::mutex> lock(out.mutex);
  auto whole = [&] {
    if (out.bytes.size() < 4) return false;
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(out.bytes[i])) << (8 * i);
    return out.bytes.size() - 4 >= n;
  };
  bool ok = out.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return whole() || out.ended; });
  if (!whole()) {
    if (err) {
      *err = !ok ? "timed out waiting for a frame"
                 : "standard output ended (" + std::to_string(out.bytes.size()) +
                       " stray bytes)";
    }
    return false;
  }
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(out.bytes[i])) << (8 * i);
  body->assign(out.bytes, 4, n);
  out.bytes.erase(0, 4 + static_cast<size_t>(n));
  return true;
}

bool HostProcess::readToEnd(std::string* rest, int timeoutMs) {
  auto& out = impl_->out;
  std::unique_lock<std::mutex> lock(out.mutex);
  bool ok = out.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return out.ended; });
  if (rest) *rest = out.bytes;
  return ok;
}

std::string HostProcess::pendingStdout() const {
  std::lock_guard<std::mutex> lock(impl_->out.mutex);
  return impl_->out.bytes;
}

std::string HostProcess::stderrText() const {
  std::lock_guard<std::mutex> lock(impl_->errs.mutex);
  return impl_->errs.bytes;
}

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

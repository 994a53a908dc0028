#include "platform/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace lumra {

namespace {

void closeFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// Reads of one pipe for a collector; 0 at its end.
PipeCollector::Read readFd(int fd) {
  return [fd](char* buffer, size_t size) -> size_t {
    for (;;) {
      ssize_t n = ::read(fd, buffer, size);
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? static_cast<size_t>(n) : 0;
    }
  };
}

}  // namespace

struct ChildProcess::Impl {
  pid_t pid = 0;
  bool reaped = true;
  int stdinFd = -1;
  int outFd = -1;
  int errFd = -1;
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
  if (running()) kill();
  closeFd(&impl_->stdinFd);
  out_.join();
  errs_.join();
  closeFd(&impl_->outFd);
  closeFd(&impl_->errFd);
}

bool ChildProcess::start(const std::string& program, const ChildOptions& options,
                         std::string* err) {
  if (impl_->pid != 0) {
    if (err) *err = "already started";
    return false;
  }
  // A child that dies while we write must give EPIPE, not end us.
  ::signal(SIGPIPE, SIG_IGN);

  int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  int count = options.shareStderr ? 2 : 3;
  for (int i = 0; i < count; ++i) {
    if (::pipe2(pipes[i], O_CLOEXEC) != 0) {
      if (err) *err = std::string("pipe: ") + strerror(errno);
      for (auto& p : pipes) closeFd(&p[0]), closeFd(&p[1]);
      return false;
    }
  }
  // Child ends: read end of stdin, write ends of stdout and stderr.
  int childEnd[3] = {pipes[0][0], pipes[1][1], pipes[2][1]};
  int ourEnd[3] = {pipes[0][1], pipes[1][0], pipes[2][0]};

  std::vector<std::string> argStore{program};
  argStore.insert(argStore.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    if (options.env.count(entry.substr(0, entry.find('='))) == 0) envStore.push_back(entry);
  }
  for (const auto& [name, value] : options.env) {
    if (value) envStore.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int i = 0; i < count; ++i) posix_spawn_file_actions_adddup2(&actions, childEnd[i], i);
  if (!options.workingFolder.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingFolder.c_str());
  }
  // The child gets default signal handling, whatever we set.
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
  for (int& fd : childEnd) closeFd(&fd);
  if (rc != 0) {
    for (int& fd : ourEnd) closeFd(&fd);
    if (err) *err = "cannot start " + program + ": " + strerror(rc);
    return false;
  }
  impl_->pid = pid;
  impl_->reaped = false;
  impl_->stdinFd = ourEnd[0];
  impl_->outFd = ourEnd[1];
  impl_->errFd = ourEnd[2];
  out_.start(readFd(impl_->outFd));
  if (impl_->errFd >= 0) errs_.start(readFd(impl_->errFd));
  return true;
}

bool ChildProcess::write(std::string_view bytes, std::string* err) {
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

void ChildProcess::closeStdin() { closeFd(&impl_->stdinFd); }

bool ChildProcess::waitExit(int timeoutMs, ExitStatus* status) {
  if (impl_->reaped) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int raw = 0;
    pid_t r = ::waitpid(impl_->pid, &raw, timeoutMs < 0 ? 0 : WNOHANG);
    if (r == impl_->pid) {
      impl_->reaped = true;
      if (status) {
        *status = ExitStatus{};
        status->exited = WIFEXITED(raw);
        status->code = status->exited ? WEXITSTATUS(raw) : -1;
        status->signaled = WIFSIGNALED(raw);
        status->signal = status->signaled ? WTERMSIG(raw) : 0;
      }
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
    if (timeoutMs >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ChildProcess::kill() {
  if (impl_->reaped) return;
  ::kill(impl_->pid, SIGKILL);
  int raw = 0;
  while (::waitpid(impl_->pid, &raw, 0) < 0 && errno == EINTR) {
  }
  impl_->reaped = true;
}

bool ChildProcess::running() const { return impl_->pid != 0 && !impl_->reaped; }

long ChildProcess::pid() const { return static_cast<long>(impl_->pid); }

}  // namespace lumra

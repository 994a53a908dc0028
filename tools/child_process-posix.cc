#include "tools/child_process.h"

#include <errno.h>
#include <string.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/win32.h"

extern char** environ;

namespace lumra {

struct ChildProcess::Impl {
  pid_t pid = 0;
  int input = -1;   // our end of the child's standard input
  int output = -1;  // our end of the child's standard output
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
  closeInput();
  wait();
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         std::string* err) {
  // A host that dies must give us a write error, not end us.
  signal(SIGPIPE, SIG_IGN);
  int toChild[2];
  int fromChild[2];
  if (pipe(toChild) != 0) {
    *err = "cannot create a pipe";
    return false;
  }
  if (pipe(fromChild) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    *err = "cannot create a pipe";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  if (rc != 0) {
    close(toChild[1]);
    close(fromChild[0]);
    *err = "cannot start " + program + ": " + strerror(rc);
    return false;
  }
  impl_->pid = pid;
  impl_->input = toChild[1];
  impl_->output = fromChild[0];
  return true;
}

bool ChildProcess::writeAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    if (impl_->input < 0) return false;
    ssize_t n = write(impl_->input, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ChildProcess::readExact(size_t size, std::string* out) {
  out->resize(size);
  size_t done = 0;
  while (done < size) {
    if (impl_->output < 0) return false;
    ssize_t n = read(impl_->output, out->data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::closeInput() {
  if (impl_->input >= 0) close(impl_->input);
  impl_->input = -1;
}

int ChildProcess::wait() {
  if (impl_->output >= 0) close(impl_->output);
  impl_->output = -1;
  if (impl_->pid <= 0) return -1;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(impl_->pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  impl_->pid = 0;
  if (r > 0 && WIFEXITED(status)) return WEXITSTATUS(status);
  return -1;
}

std::string ExecutableFolder() {
  char path[4096];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string full(path, n);
  size_t slash = full.find_last_of('/');
  return slash == std::string::npos ? std::string("./") : full.substr(0, slash + 1);
}

std::string ProgramFileName(const std::string& base) { return base; }

}  // namespace lumra

#include "platform/child_process.h"

#include <cctype>
#include <cstring>

#include "platform/win32.h"

namespace lumra {

namespace {

std::string lastErrorText(const char* what) {
  return std::string(what) + " failed with error " + std::to_string(GetLastError());
}

void closeOwned(HANDLE* handle) {
  if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
  *handle = nullptr;
}

// Quotes one argument the way the C runtime's command-line parser splits it.
std::string quoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, '\\');
  quoted.push_back('"');
  return quoted;
}

bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The current environment with `changes` applied, as a block of NUL-ended
// entries.
std::string environmentBlock(const std::map<std::string, std::optional<std::string>>& changes) {
  std::string block;
  char* strings = GetEnvironmentStringsA();
  for (const char* entry = strings; entry != nullptr && *entry != '\0';
       entry += std::strlen(entry) + 1) {
    std::string text(entry);
    // Entries like "=C:=C:\dir" carry the per-drive folders; keep them.
    std::string name = text.substr(0, text.find('=', 1));
    bool changed = false;
    for (const auto& change : changes) changed = changed || sameName(change.first, name);
    if (!changed) block.append(text).push_back('\0');
  }
  if (strings != nullptr) FreeEnvironmentStringsA(strings);
  for (const auto& [name, value] : changes) {
    if (value) block.append(name + "=" + *value).push_back('\0');
  }
  block.push_back('\0');
  return block;
}

// Reads of one pipe for a collector; 0 at its end.
PipeCollector::Read readPipe(HANDLE pipe) {
  return [pipe](char* buffer, size_t size) -> size_t {
    DWORD n = 0;
    if (!ReadFile(pipe, buffer, static_cast<DWORD>(size), &n, nullptr)) return 0;
    return n;
  };
}

}  // namespace

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  DWORD id = 0;
  bool reaped = true;
  HANDLE stdinPipe = nullptr;
  HANDLE outPipe = nullptr;
  HANDLE errPipe = nullptr;
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
  if (running()) kill();
  closeOwned(&impl_->stdinPipe);
  out_.join();
  errs_.join();
  closeOwned(&impl_->outPipe);
  closeOwned(&impl_->errPipe);
  closeOwned(&impl_->process);
}

bool ChildProcess::start(const std::string& program, const ChildOptions& options,
                         std::string* err) {
  if (impl_->process != nullptr) {
    if (err) *err = "already started";
    return false;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr,
         errRead = nullptr, errWrite = nullptr;
  auto closeAll = [&] {
    for (HANDLE* h : {&inRead, &inWrite, &outRead, &outWrite, &errRead, &errWrite}) closeOwned(h);
  };
  if (!CreatePipe(&inRead, &inWrite, &inherit, 0) || !CreatePipe(&outRead, &outWrite, &inherit, 0) ||
      (!options.shareStderr && !CreatePipe(&errRead, &errWrite, &inherit, 0))) {
    if (err) *err = lastErrorText("CreatePipe");
    closeAll();
    return false;
  }
  // Our ends stay in this process only.
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  if (errRead != nullptr) SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

  std::string commandLine = quoteArgument(program);
  for (const std::string& arg : options.args) commandLine += " " + quoteArgument(arg);
  std::string environment = environmentBlock(options.env);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = options.shareStderr ? GetStdHandle(STD_ERROR_HANDLE) : errWrite;
  PROCESS_INFORMATION info{};
  BOOL started = CreateProcessA(
      program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
      environment.data(), options.workingFolder.empty() ? nullptr : options.workingFolder.c_str(),
      &startup, &info);
  if (!started) {
    if (err) *err = "cannot start " + program + ": " + lastErrorText("CreateProcessA");
    closeAll();
    return false;
  }
  // The child holds its own copies; ours would keep the pipes from ending.
  closeOwned(&inRead);
  closeOwned(&outWrite);
  closeOwned(&errWrite);
  CloseHandle(info.hThread);
  impl_->process = info.hProcess;
  impl_->id = info.dwProcessId;
  impl_->reaped = false;
  impl_->stdinPipe = inWrite;
  impl_->outPipe = outRead;
  impl_->errPipe = errRead;
  out_.start(readPipe(outRead));
  if (errRead != nullptr) errs_.start(readPipe(errRead));
  return true;
}

bool ChildProcess::write(std::string_view bytes, std::string* err) {
  if (impl_->stdinPipe == nullptr) {
    if (err) *err = "standard input is closed";
    return false;
  }
  while (!bytes.empty()) {
    DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(impl_->stdinPipe, bytes.data(), chunk, &written, nullptr) || written == 0) {
      if (err) *err = lastErrorText("WriteFile");
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

void ChildProcess::closeStdin() { closeOwned(&impl_->stdinPipe); }

bool ChildProcess::waitExit(int timeoutMs, ExitStatus* status) {
  if (impl_->reaped) return false;
  DWORD waited = WaitForSingleObject(impl_->process, timeoutMs < 0 ? INFINITE
                                                                   : static_cast<DWORD>(timeoutMs));
  if (waited != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(impl_->process, &code);
  impl_->reaped = true;
  if (status) {
    *status = ExitStatus{};
    status->exited = true;
    status->code = static_cast<int>(code);
  }
  return true;
}

void ChildProcess::kill() {
  if (impl_->reaped) return;
  TerminateProcess(impl_->process, 137);
  WaitForSingleObject(impl_->process, INFINITE);
  impl_->reaped = true;
}

bool ChildProcess::running() const { return impl_->process != nullptr && !impl_->reaped; }

long ChildProcess::pid() const { return static_cast<long>(impl_->id); }

}  // namespace lumra

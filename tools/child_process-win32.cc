#include "tools/child_process.h"

#include <algorithm>

#include "platform/win32.h"

namespace lumra {

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  HANDLE input = nullptr;   // our end of the child's standard input
  HANDLE output = nullptr;  // our end of the child's standard output
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
  closeInput();
  wait();
}

namespace {

// Quotes one argument the way the C runtime splits a command line.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

}  // namespace

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         std::string* err) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE childIn = nullptr, ourIn = nullptr, ourOut = nullptr, childOut = nullptr;
  if (!CreatePipe(&childIn, &ourIn, &inherit, 0)) {
    *err = "cannot create a pipe";
    return false;
  }
  if (!CreatePipe(&ourOut, &childOut, &inherit, 0)) {
    CloseHandle(childIn);
    CloseHandle(ourIn);
    *err = "cannot create a pipe";
    return false;
  }
  SetHandleInformation(ourIn, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(ourOut, HANDLE_FLAG_INHERIT, 0);

  std::string commandLine = Quote(program);
  for (const auto& a : args) commandLine += " " + Quote(a);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn;
  startup.hStdOutput = childOut;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  BOOL ok = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           nullptr, &startup, &info);
  CloseHandle(childIn);
  CloseHandle(childOut);
  if (!ok) {
    CloseHandle(ourIn);
    CloseHandle(ourOut);
    *err = "cannot start " + program;
    return false;
  }
  CloseHandle(info.hThread);
  impl_->process = info.hProcess;
  impl_->input = ourIn;
  impl_->output = ourOut;
  return true;
}

bool ChildProcess::writeAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    if (impl_->input == nullptr) return false;
    DWORD n = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    if (!WriteFile(impl_->input, bytes.data() + done, chunk, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

bool ChildProcess::readExact(size_t size, std::string* out) {
  out->resize(size);
  size_t done = 0;
  while (done < size) {
    if (impl_->output == nullptr) return false;
    DWORD n = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1 << 20));
    if (!ReadFile(impl_->output, out->data() + done, chunk, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

void ChildProcess::closeInput() {
  if (impl_->input != nullptr) CloseHandle(impl_->input);
  impl_->input = nullptr;
}

int ChildProcess::wait() {
  if (impl_->output != nullptr) CloseHandle(impl_->output);
  impl_->output = nullptr;
  if (impl_->process == nullptr) return -1;
  WaitForSingleObject(impl_->process, INFINITE);
  DWORD code = 0;
  int result = GetExitCodeProcess(impl_->process, &code) ? static_cast<int>(code) : -1;
  CloseHandle(impl_->process);
  impl_->process = nullptr;
  return result;
}

std::string ExecutableFolder() {
  char path[MAX_PATH * 4];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string full(path, n);
  size_t slash = full.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".\\") : full.substr(0, slash + 1);
}

std::string ProgramFileName(const std::string& base) { return base + ".exe"; }

}  // namespace lumra

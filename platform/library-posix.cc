// Dynamic loading. The executable's own folder is searched before the
// system's search path, like Windows' application folder, so the manager we
// ship next to the host is the one it finds.

#include "platform/library-posix.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "platform/paths.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Copies text with Windows' truncation rule: at most size-1 characters and
// a terminator; the result is size when the text did not fit.
DWORD copyOut(const std::string& text, LPSTR out, DWORD size) {
  if (out == nullptr || size == 0) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  if (text.size() >= size) {
    memcpy(out, text.data(), size - 1);
    out[size - 1] = '\0';
    SetLastError(kErrorInsufficientBuffer);
    return size;
  }
  memcpy(out, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

}  // namespace

namespace lumra::platform {

std::string mapModuleName(std::string_view name) {
  std::string key = upper(name);
  if (key == "TWAINDSM.DLL" || key == "TWAINDSM") return "libtwaindsm.so";
  if (key == "TWAIN_32.DLL" || key == "TWAIN_32") return "libtwain_32.so";
  return std::string(name);
}

}  // namespace lumra::platform

HMODULE LoadLibraryA(LPCSTR fileName) {
  if (fileName == nullptr || *fileName == '\0') {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  std::string name = lumra::platform::mapModuleName(fileName);
  void* module = nullptr;
  if (name.find('/') == std::string::npos) {
    std::string folder = lumra::executableFolder();
    std::string local = folder + name;
    if (!folder.empty() && fileExists(local)) module = dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (module == nullptr) module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  return static_cast<HMODULE>(module);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  if (module == nullptr || procName == nullptr) {
    SetLastError(kErrorProcNotFound);
    return nullptr;
  }
  void* symbol = dlsym(module, procName);
  if (symbol == nullptr) {
    SetLastError(kErrorProcNotFound);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
  if (module == nullptr || dlclose(module) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
  if (moduleName == nullptr) {
    // The main program's handle stays valid for the life of the process.
    static void* self = dlopen(nullptr, RTLD_NOW);
    return static_cast<HMODULE>(self);
  }
  // Only modules already loaded; like Windows, no reference is kept.
  std::string name = lumra::platform::mapModuleName(moduleName);
  void* module = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (module == nullptr && name.find('/') == std::string::npos) {
    std::string local = lumra::executableFolder() + name;
    module = dlopen(local.c_str(), RTLD_NOW | RTLD_NOLOAD);
  }
  if (module == nullptr) {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  dlclose(module);
  return static_cast<HMODULE>(module);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  std::string path;
  if (module == nullptr || module == GetModuleHandleA(nullptr)) {
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    path.assign(buffer, static_cast<size_t>(length));
  } else {
    struct link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    path = map->l_name;
  }
  return copyOut(path, fileName, size);
}

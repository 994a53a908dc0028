// Temp folder, folders, file deletion.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32.h"

namespace {

DWORD ErrorOf(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    default: return ERROR_ACCESS_DENIED;
  }
}

}  // namespace

DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer) {
  const char* value = std::getenv("TMPDIR");
  std::string path = value && *value ? value : "/tmp";
  if (path.back() != '/') path += '/';
  // Like Windows: the size needed (with the terminator) when it does not fit.
  if (buffer == nullptr || path.size() + 1 > bufferLength) return static_cast<DWORD>(path.size() + 1);
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
  if (path == nullptr || *path == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  // Private like a Windows user's temp folder: page files are scans of documents.
  if (::mkdir(path, 0700) != 0) {
    SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorOf(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
  if (path == nullptr || *path == '\0') {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  struct stat info;
  if (::lstat(path, &info) != 0) {
    SetLastError(ErrorOf(errno));
    return FALSE;
  }
  // Windows refuses folders and read-only files; a file nobody may write is
  // our read-only file.
  if (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && (info.st_mode & 0222) == 0)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::unlink(path) != 0) {
    SetLastError(ErrorOf(errno));
    return FALSE;
  }
  return TRUE;
}

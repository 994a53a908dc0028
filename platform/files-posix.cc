// Temp folder, folders, file deletion.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/paths.h"
#include "platform/win32.h"

namespace {

DWORD errorOf(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    default: return ERROR_ACCESS_DENIED;
  }
}

// <TMPDIR or /tmp>/lumra-<uid>/: a shared temp folder would let other users
// plant links at our page and log names or read what we scan. A folder of
// that name that is not a private folder of ours is refused, never repaired.
bool privateTempFolder(std::string* path, std::string* reason) {
  const char* value = std::getenv("TMPDIR");
  std::string folder = value && *value ? value : "/tmp";
  if (folder.back() != '/') folder += '/';
  uid_t uid = ::geteuid();
  struct stat info;
  // Whoever may rename entries of the parent could swap our folder after the
  // check below.
  if (::stat(folder.c_str(), &info) != 0) {
    *reason = folder + ": " + std::strerror(errno);
    return false;
  }
  if (info.st_uid != uid && info.st_uid != 0) {
    *reason = folder + " belongs to user " + std::to_string(info.st_uid);
    return false;
  }
  if ((info.st_mode & 022) && !(info.st_mode & S_ISVTX)) {
    *reason = folder + " is writable by other users and not sticky";
    return false;
  }
  folder += lumra::privateTempFolderName();
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *reason = folder + ": " + std::strerror(errno);
    return false;
  }
  if (::lstat(folder.c_str(), &info) != 0) {
    *reason = folder + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *reason = folder + " is not a folder";
  } else if (info.st_uid != uid) {
    *reason = folder + " belongs to user " + std::to_string(info.st_uid);
  } else if ((info.st_mode & 077) != 0) {
    *reason = folder + " is open to other users";
  } else {
    *path = folder + '/';
    return true;
  }
  return false;
}

}  // namespace

std::string lumra::privateTempFolderName() { return "lumra-" + std::to_string(::geteuid()); }

DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer) {
  std::string path, reason;
  if (!privateTempFolder(&path, &reason)) {
    // No log can be kept there either: the only place left to say why.
    std::fprintf(stderr, "lumra: temp folder refused: %s\n", reason.c_str());
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
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
    SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : errorOf(errno));
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
    SetLastError(errorOf(errno));
    return FALSE;
  }
  // Windows refuses folders and read-only files; a file nobody may write is
  // our read-only file.
  if (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && (info.st_mode & 0222) == 0)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::unlink(path) != 0) {
    SetLastError(errorOf(errno));
    return FALSE;
  }
  return TRUE;
}

// The few POSIX calls our unit tests make (temporary folders, environment),
// for the Windows build of the tests only: the build force-includes this
// header into test programs. Product code goes through win32.h instead.
#pragma once

#include <direct.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>

#include "platform/win32.h"

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  // The C runtime's copy serves getenv; the process's serves child processes.
  SetEnvironmentVariableA(name, value);
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) {
  SetEnvironmentVariableA(name, nullptr);
  return _putenv_s(name, "") == 0 ? 0 : -1;
}

inline char* mkdtemp(char* pattern) {
  size_t length = strlen(pattern);
  if (length < 6 || strcmp(pattern + length - 6, "XXXXXX") != 0) return nullptr;
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned value = static_cast<unsigned>(GetTickCount()) * 2654435761u ^
                     static_cast<unsigned>(GetCurrentProcessId()) ^ (attempt * 7919u);
    for (size_t i = length - 6; i < length; ++i) {
      pattern[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[value % 36];
      value = value / 36 + 1234567u * (static_cast<unsigned>(i) + 1);
    }
    if (_mkdir(pattern) == 0) return pattern;
  }
  return nullptr;
}

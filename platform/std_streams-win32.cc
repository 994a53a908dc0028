#include "platform/std_streams.h"

#include <io.h>

#include <cstdio>

namespace lumra {

bool keepRuntimeStdoutOffThePipe(HANDLE* savedStdout) {
  if (savedStdout == nullptr || *savedStdout == nullptr || *savedStdout == INVALID_HANDLE_VALUE) {
    return false;
  }
  // Moving descriptor 1 closes the handle it held, which is usually the
  // very handle saved for the frames: keep a copy of our own.
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), *savedStdout, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  std::fflush(stdout);
  if (_dup2(_fileno(stderr), 1) != 0) {
    CloseHandle(copy);
    return false;
  }
  *savedStdout = copy;
  return true;
}

// The browser creates the pipe and chooses its size.
void growStdoutPipe() {}

bool stderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

}  // namespace lumra

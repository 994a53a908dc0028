#include "platform/std_streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumra {

// SetStdHandle already moved descriptor 1 here, and the saved handle holds
// its own duplicate.
bool keepRuntimeStdoutOffThePipe(HANDLE* savedStdout) { return savedStdout != nullptr; }

void growStdoutPipe() {
  struct stat info;
  if (fstat(1, &info) == 0 && S_ISFIFO(info.st_mode)) {
    (void)fcntl(1, F_SETPIPE_SZ, 1 << 20);
  }
}

bool stderrIsTerminal() { return isatty(2) == 1; }

}  // namespace lumra

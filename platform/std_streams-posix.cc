#include "platform/std_streams.h"

#include <unistd.h>

namespace lumra {

// SetStdHandle already moved descriptor 1 here, and the saved handle holds
// its own duplicate.
bool keepRuntimeStdoutOffThePipe(HANDLE* savedStdout) { return savedStdout != nullptr; }

bool stderrIsTerminal() { return isatty(2) == 1; }

}  // namespace lumra

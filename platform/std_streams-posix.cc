#include "platform/std_streams.h"

namespace lumra {

// SetStdHandle already moved descriptor 1 here, and the saved handle holds
// its own duplicate.
bool KeepRuntimeStdoutOffThePipe(HANDLE* savedStdout) { return savedStdout != nullptr; }

}  // namespace lumra

// The C runtime's standard output, next to the process's standard handles.
#pragma once

#include "platform/win32.h"

namespace lumra {

/// Points the C runtime's standard output (descriptor 1 and `stdout`) at
/// standard error, after SetStdHandle did so for the process's handle: on
/// Windows, modules sharing the runtime (drivers among them) print through
/// a descriptor that SetStdHandle does not touch. `*savedStdout`, the
/// handle frames are written to, is replaced by an equal handle that stays
/// open. On failure returns false and leaves everything as it was.
bool keepRuntimeStdoutOffThePipe(HANDLE* savedStdout);

/// Asks for a standard output pipe of 1 MiB, so that a whole answer slice
/// fits in it and the host need not wait for each piece to be read. Where
/// the system cannot (not a pipe, over the user's limit) nothing changes.
void growStdoutPipe();

/// True when standard error is a terminal (a person reads it as it comes).
bool stderrIsTerminal();

}  // namespace lumra

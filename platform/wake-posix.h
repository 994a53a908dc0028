// Internal to platform/: one process-wide signal for waits that span several
// kinds of object (semaphores and a thread's message queue), as
// MsgWaitForMultipleObjects does.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace lumra::platform {

/// Wakes every wait in progress; called after anything a waiter may be
/// waiting for has changed (a release, a posted or sent message, a quit).
void wakeWaiters();

/// Takes one count of a semaphore without blocking: 1 when taken, 0 when its
/// count is 0, -1 when the handle is not a live semaphore.
int tryTakeSemaphore(HANDLE semaphore);

/// True when the calling thread's queue holds a posted or sent message or a
/// quit request.
bool currentQueueHasInput();

}  // namespace lumra::platform

// The Win32 subset the host, our manager and our data sources use. On
// Windows this is <windows.h> itself; elsewhere it is our POSIX imitation of
// exactly these names, types and results (win32-posix.h). Nothing outside
// platform/ may test _WIN32.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include "platform/win32-posix.h"
#endif

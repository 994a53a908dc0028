// Path conventions that differ between the platforms.
#pragma once

namespace lumra {

#ifdef _WIN32
/// Separator appended to folders ("\" on Windows).
inline constexpr char kPathSeparator = '\\';
#else
/// Separator appended to folders ("/" on POSIX).
inline constexpr char kPathSeparator = '/';
#endif

}  // namespace lumra

// Conversions between the ANSI code page (narrow paths, source names) and
// UTF-16 wide text. UTF-8 is the ANSI code page on POSIX.
#pragma once

#include <string>
#include <string_view>

namespace lumra {

/// ANSI code page to UTF-16 (MultiByteToWideChar with CP_ACP). Bytes that do
/// not decode become U+FFFD; never fails.
std::u16string ansiToWide(std::string_view text);

/// UTF-16 to the ANSI code page (WideCharToMultiByte with CP_ACP).
/// Characters that do not map become the system's default character.
std::string wideToAnsi(std::u16string_view text);

}  // namespace lumra

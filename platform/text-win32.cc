#include "platform/text.h"

#include <climits>

#include "platform/win32.h"

namespace lumra {

// char16_t and WCHAR are both UTF-16 code units on Windows.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::u16string ansiToWide(std::string_view text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::u16string();
  int bytes = static_cast<int>(text.size());
  int chars = MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, nullptr, 0);
  if (chars <= 0) return std::u16string();
  std::u16string wide(static_cast<size_t>(chars), u'\0');
  chars = MultiByteToWideChar(CP_ACP, 0, text.data(), bytes,
                              reinterpret_cast<wchar_t*>(wide.data()), chars);
  wide.resize(chars > 0 ? static_cast<size_t>(chars) : 0);
  return wide;
}

std::string wideToAnsi(std::u16string_view text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::string();
  auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  int chars = static_cast<int>(text.size());
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide, chars, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string narrow(static_cast<size_t>(bytes), '\0');
  bytes = WideCharToMultiByte(CP_ACP, 0, wide, chars, narrow.data(), bytes, nullptr, nullptr);
  narrow.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
  return narrow;
}

}  // namespace lumra

// MultiByteToWideChar and WideCharToMultiByte; the ANSI code page is UTF-8.
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include <utf8.h>

#include "platform/win32.h"

namespace {

bool knownCodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_UTF8; }

// Copies `text` into the caller's buffer with the Win32 size protocol:
// a zero-sized buffer asks for the size; a short buffer fails.
template <typename Char>
int deliver(const std::basic_string<Char>& text, Char* out, int capacity) {
  if (capacity == 0) return static_cast<int>(text.size());
  if (out == nullptr || text.size() > static_cast<size_t>(capacity)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, text.data(), text.size() * sizeof(Char));
  return static_cast<int>(text.size());
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, char16_t* wide,
                        int wideChars) {
  if (!knownCodePage(codePage) || text == nullptr || bytes == 0 || bytes < -1 || wideChars < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // -1: zero-terminated, and the terminator is converted too.
  size_t length = bytes == -1 ? std::strlen(text) + 1 : static_cast<size_t>(bytes);
  std::string_view input(text, length);
  std::string valid;
  if (utf8::find_invalid(input.begin(), input.end()) != input.end()) {
    if (flags & MB_ERR_INVALID_CHARS) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    utf8::replace_invalid(input.begin(), input.end(), std::back_inserter(valid), 0xFFFD);
    input = valid;
  }
  std::u16string result;
  result.reserve(input.size());
  utf8::unchecked::utf8to16(input.begin(), input.end(), std::back_inserter(result));
  return deliver(result, wide, wideChars);
}

int WideCharToMultiByte(UINT codePage, DWORD, const char16_t* wide, int wideChars, LPSTR text,
                        int bytes, LPCSTR defaultChar, BOOL* usedDefault) {
  if (!knownCodePage(codePage) || wide == nullptr || wideChars == 0 || wideChars < -1 ||
      bytes < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = 0;
  if (wideChars == -1) {
    while (wide[length] != 0) ++length;
    ++length;
  } else {
    length = static_cast<size_t>(wideChars);
  }
  // CP_UTF8 writes U+FFFD for a lone surrogate; the ANSI page its default character.
  std::string fallback = codePage == CP_UTF8 ? "\xEF\xBF\xBD" : (defaultChar ? std::string(1, *defaultChar) : "?");
  bool defaulted = false;
  std::string result;
  result.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      result += fallback;
      defaulted = true;
      continue;
    }
    utf8::unchecked::append(c, std::back_inserter(result));
  }
  if (usedDefault) *usedDefault = defaulted ? TRUE : FALSE;
  return deliver(result, text, bytes);
}

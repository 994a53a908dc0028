#include "platform/text.h"

#include <iterator>

#include <utf8.h>

namespace lumra {

std::u16string ansiToWide(std::string_view text) {
  std::string valid;
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid), 0xFFFD);
  std::u16string wide;
  wide.reserve(valid.size());
  utf8::unchecked::utf8to16(valid.begin(), valid.end(), std::back_inserter(wide));
  return wide;
}

std::string wideToAnsi(std::u16string_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';  // The default character, as the code-page conversion gives.
    }
    utf8::unchecked::append(c, std::back_inserter(narrow));
  }
  return narrow;
}

}  // namespace lumra

// Any request text: parsing and writing never crash, leak or read out of
// bounds, whatever the nesting, escapes or numbers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "json/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text;
  text.reserve(size / 2);
  for (size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  std::unique_ptr<lumra::JsonValue> value = lumra::parseJson(text);
  if (!value) return 0;
  std::u16string written = lumra::stringify(*value);
  std::u16string pretty = lumra::stringify(*value, true, true);
  std::string utf8;
  lumra::stringifyUtf8(*value, &utf8);
  // The compact writers agree on length for pure ASCII output.
  bool ascii = true;
  for (char16_t c : written) ascii = ascii && c < 0x80;
  if (ascii && utf8.size() != written.size()) __builtin_trap();
  return 0;
}

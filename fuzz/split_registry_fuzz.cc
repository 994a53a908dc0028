// The split registry across a sequence of operations, against a plain model:
// the slices of a series join to exactly what was stored, never cut inside a
// UTF-8 sequence of valid text, and never pass their limit (but for one
// whole character when the limit is smaller). Compaction past 16 MB sent is
// left to the unit tests: series that long make runs too slow here.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <utf8.h>

#include "processing/split_registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lumra::SplitRegistry registry;
  // Each series' text and how much of it was sent.
  std::map<std::u16string, std::pair<std::string, size_t>> model;
  size_t at = 0;
  auto byte = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  while (at < size) {
    const uint8_t op = byte();
    const std::u16string id(1, static_cast<char16_t>(u'a' + (op >> 4) % 4));
    switch (op % 5) {
      case 0: {  // store the next n bytes
        size_t n = byte();
        n = n * 4 + byte() % 4;
        if (n > size - at) n = size - at;
        std::string text(reinterpret_cast<const char*>(data + at), n);
        at += n;
        registry.store(id, text);
        model[id] = {std::move(text), 0};
        break;
      }
      case 1:
      case 2: {  // cut or peek + advance
        if (!model.count(id)) {
          if (registry.contains(id)) __builtin_trap();
          break;
        }
        size_t limit = byte();
        if (op & 0x08) limit <<= 12;
        auto& [text, sent] = model[id];
        std::string_view rest = std::string_view(text).substr(sent);
        const bool valid = rest.size() < (1u << 16) && utf8::is_valid(rest.begin(), rest.end());
        bool empty = false;
        std::string part;  // a copy: advance may move the text
        if (op % 5 == 1) {
          part = std::string(registry.cut(id, limit, &empty));
        } else {
          part = std::string(registry.peek(id, limit));
          registry.advance(id, part.size(), &empty);
        }
        if (rest.substr(0, part.size()) != part) __builtin_trap();
        if (part.size() > limit && part.size() > 4) __builtin_trap();
        if (limit > 0 && part.empty() && !rest.empty()) __builtin_trap();
        sent += part.size();
        if (empty != (sent == text.size())) __builtin_trap();
        if (registry.remaining(id) != text.size() - sent) __builtin_trap();
        // Valid text stays valid in every slice.
        if (valid && !utf8::is_valid(part.begin(), part.end())) __builtin_trap();
        break;
      }
      case 3:
        registry.erase(id);
        model.erase(id);
        break;
      case 4:
        if (registry.contains(id) != (model.count(id) != 0)) __builtin_trap();
        if (registry.size() != model.size()) __builtin_trap();
        break;
    }
  }
  return 0;
}

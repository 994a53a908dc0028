#include "processing/split_registry.h"

#include <algorithm>

namespace lumra {

uint32_t splitSliceBytes(uint32_t requestLength) { return (kSplitBudget - requestLength) / 2; }

size_t utf8Cut(std::string_view text, size_t limit) {
  if (limit >= text.size()) return text.size();
  auto continuation = [&](size_t i) { return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80; };
  size_t cut = limit;
  // At most three continuation bytes follow a lead byte.
  for (int step = 0; step < 3 && cut > 0 && continuation(cut); ++step) --cut;
  if (cut == 0 && limit > 0) {
    // No character is longer than 4 bytes, whatever stray bytes follow.
    cut = 1;
    while (cut < text.size() && cut < 4 && continuation(cut)) ++cut;
  }
  return cut;
}

SplitRegistry& SplitRegistry::instance() {
  static SplitRegistry registry;
  return registry;
}

bool SplitRegistry::contains(std::u16string_view messageId) const {
  return entries_.find(messageId) != entries_.end();
}

void SplitRegistry::store(const std::u16string& messageId, std::string fullAnswer) {
  Entry& entry = entries_[messageId];
  entry.text = std::move(fullAnswer);
  entry.offset = 0;
}

std::string_view SplitRegistry::cut(std::u16string_view messageId, size_t limit, bool* empty) {
  Entry& entry = entries_.find(messageId)->second;
  compact(&entry);
  std::string_view part = peek(messageId, limit);
  entry.offset += part.size();
  *empty = entry.offset == entry.text.size();
  return part;
}

std::string_view SplitRegistry::peek(std::u16string_view messageId, size_t limit) const {
  const Entry& entry = entries_.find(messageId)->second;
  std::string_view rest(entry.text);
  rest.remove_prefix(entry.offset);
  return rest.substr(0, utf8Cut(rest, limit));
}

void SplitRegistry::advance(std::u16string_view messageId, size_t bytes, bool* empty) {
  Entry& entry = entries_.find(messageId)->second;
  entry.offset += std::min(bytes, entry.text.size() - entry.offset);
  *empty = entry.offset == entry.text.size();
  compact(&entry);
}

void SplitRegistry::compact(Entry* entry) {
  // Give back memory already sent once it is most of the text: amortised linear.
  if (entry->offset > (16u << 20) && entry->offset > entry->text.size() / 2) {
    entry->text.erase(0, entry->offset);
    entry->offset = 0;
  }
}

void SplitRegistry::erase(std::u16string_view messageId) {
  auto it = entries_.find(messageId);
  if (it != entries_.end()) entries_.erase(it);
}

size_t SplitRegistry::remaining(std::u16string_view messageId) const {
  auto it = entries_.find(messageId);
  return it == entries_.end() ? 0 : it->second.text.size() - it->second.offset;
}

}  // namespace lumra

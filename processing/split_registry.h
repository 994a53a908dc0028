// Full answers of split series waiting to be sent slice by slice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace lumra {

/// Slice budget: 1 MiB less 1,024 bytes, shared by the request and twice the slice.
inline constexpr uint32_t kSplitBudget = 1047552;

/// Bytes of the next slice for a request of `requestLength` bytes:
/// (1047552 - requestLength) / 2 in unsigned 32-bit arithmetic (it wraps for
/// requests above the budget).
uint32_t splitSliceBytes(uint32_t requestLength);

/// Largest cut at most `limit` bytes into `text` that does not split a UTF-8
/// sequence: moved back to the start of a sequence; when that would leave an
/// empty slice although limit > 0, the first whole character (at most 4 bytes)
/// is taken.
size_t utf8Cut(std::string_view text, size_t limit);

/// Process-wide map from a messageId to the unsent rest of its full answer
/// (UTF-8). Used from the host's one thread only; no lock.
class SplitRegistry {
 public:
  SplitRegistry() = default;
  SplitRegistry(const SplitRegistry&) = delete;
  SplitRegistry& operator=(const SplitRegistry&) = delete;

  /// The one registry of the process.
  static SplitRegistry& instance();

  bool contains(std::u16string_view messageId) const;

  /// Stores `fullAnswer` under `messageId`, replacing any entry.
  void store(const std::u16string& messageId, std::string fullAnswer);

  /// Removes the next slice of at most `limit` bytes (cut on a character
  /// start) from the entry and returns it; sets `empty` when nothing of the
  /// entry remains. The view is valid until the registry is next changed.
  /// The entry must exist.
  std::string_view cut(std::u16string_view messageId, size_t limit, bool* empty);

  /// The slice cut would remove, left in place: an answer that cannot be
  /// built loses nothing. The entry must exist.
  std::string_view peek(std::u16string_view messageId, size_t limit) const;

  /// Removes the first `bytes` (at most what remains) of the entry; sets
  /// `empty` when nothing remains. The entry must exist.
  void advance(std::u16string_view messageId, size_t bytes, bool* empty);

  /// Drops every entry.
  void clear() { entries_.clear(); }

  /// Drops the entry (no-op when absent).
  void erase(std::u16string_view messageId);

  size_t size() const { return entries_.size(); }

  /// Bytes not yet sent for `messageId` (0 when absent).
  size_t remaining(std::u16string_view messageId) const;

 private:
  // The sent front is skipped by an offset, not erased, so a series costs
  // time linear in its size.
  struct Entry {
    std::string text;
    size_t offset = 0;
  };
  static void compact(Entry* entry);
  std::map<std::u16string, Entry, std::less<>> entries_;
};

}  // namespace lumra

#include "processing/page_payloads.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "log/log.h"
#include "platform/file_length.h"
#include "platform/open_file.h"
#include "platform/resources.h"
#include "platform/win32.h"

namespace lumra {
namespace {

// Two Base64 characters for every 12-bit value: one lookup per half group.
struct PairTable {
  std::array<uint16_t, 4096> pairs;
  constexpr PairTable() : pairs() {
    for (int v = 0; v < 4096; ++v) {
      uint8_t hi = static_cast<uint8_t>(base64Alphabet[v >> 6]);
      uint8_t lo = static_cast<uint8_t>(base64Alphabet[v & 63]);
      // Memory order: first character first.
      pairs[v] = static_cast<uint16_t>(hi | (lo << 8));
    }
  }
};
constexpr PairTable kPairs;

// For every 12-bit value: its two characters in the low bytes and, in bit
// 16, whether one of them is '/'.
struct FlaggedPairTable {
  std::array<uint32_t, 4096> pairs;
  constexpr FlaggedPairTable() : pairs() {
    for (int v = 0; v < 4096; ++v) {
      uint32_t hi = static_cast<uint8_t>(base64Alphabet[v >> 6]);
      uint32_t lo = static_cast<uint8_t>(base64Alphabet[v & 63]);
      uint32_t slash = (hi == '/' || lo == '/') ? 1u << 16 : 0u;
      pairs[v] = hi | (lo << 8) | slash;
    }
  }
};
constexpr FlaggedPairTable kFlaggedPairs;

// Encodes whole groups (length a multiple of 3) into `dest`; returns the end.
char* encodeGroups(const uint8_t* in, size_t length, char* dest) {
  size_t i = 0;
  for (; i + 12 <= length; i += 12) {
    for (int g = 0; g < 4; ++g) {
      const uint8_t* p = in + i + 3 * g;
      uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
      std::memcpy(dest, &kPairs.pairs[v >> 12], 2);
      std::memcpy(dest + 2, &kPairs.pairs[v & 0xFFF], 2);
      dest += 4;
    }
  }
  for (; i + 3 <= length; i += 3) {
    uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    std::memcpy(dest, &kPairs.pairs[v >> 12], 2);
    std::memcpy(dest + 2, &kPairs.pairs[v & 0xFFF], 2);
    dest += 4;
  }
  return dest;
}

// The last one or two bytes, zero-filled and '=' padded.
char* encodeTail(const uint8_t* in, size_t count, char* dest) {
  uint32_t v = uint32_t{in[0]} << 16;
  if (count == 2) v |= uint32_t{in[1]} << 8;
  dest[0] = base64Alphabet[(v >> 18) & 63];
  dest[1] = base64Alphabet[(v >> 12) & 63];
  dest[2] = count == 2 ? base64Alphabet[(v >> 6) & 63] : '=';
  dest[3] = '=';
  return dest + 4;
}

// Base64 of whole groups with every '/' written as "\/", straight into
// `dest` (room for 8 characters per group): each character is stored as two
// bytes and the pointer moves by one, or by two for the escaped '/', so the
// loop has no branch on the data.
struct EscapedChars {
  char pair[64][2];
  uint8_t width[64];
  constexpr EscapedChars() : pair(), width() {
    for (int v = 0; v < 64; ++v) {
      bool slash = base64Alphabet[v] == '/';
      pair[v][0] = slash ? '\\' : base64Alphabet[v];
      pair[v][1] = '/';
      width[v] = slash ? 2 : 1;
    }
  }
};
constexpr EscapedChars kEscaped;

char* encodeGroupsEscaped(const uint8_t* in, size_t length, char* dest) {
  for (size_t i = 0; i + 3 <= length; i += 3) {
    uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    // Most groups (15 in 16) hold no '/': four characters in one go.
    uint32_t first = kFlaggedPairs.pairs[v >> 12];
    uint32_t second = kFlaggedPairs.pairs[v & 0xFFF];
    if (((first | second) >> 16) == 0) {
      uint32_t four = (first & 0xFFFF) | (second << 16);
      std::memcpy(dest, &four, 4);
      dest += 4;
      continue;
    }
    for (int shift = 18; shift >= 0; shift -= 6) {
      uint32_t c = (v >> shift) & 63;
      std::memcpy(dest, kEscaped.pair[c], 2);
      dest += kEscaped.width[c];
    }
  }
  return dest;
}

// Appends Base64 text with every '/' written as "\/".
void appendEscaped(const char* text, size_t length, std::string* out) {
  size_t old = out->size();
  out->resize(old + 2 * length);
  char* dest = out->data() + old;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '/') *dest++ = '\\';
    *dest++ = text[i];
  }
  out->resize(static_cast<size_t>(dest - out->data()));
}

// About one character in 64 is a '/', which takes two.
size_t escapedReserve(size_t bytes) {
  size_t chars = (bytes + 2) / 3 * 4;
  return chars + chars / 32 + 16;
}

class File {
 public:
  explicit File(const std::string& path) : file_(openOwnFile(path, OpenFor::kRead)) {}
  ~File() {
    if (file_) std::fclose(file_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  std::FILE* get() const { return file_; }

 private:
  std::FILE* file_;
};

// Opens the file and finds its length; logs and gives false when it cannot be used.
bool openPage(const std::string& path, File* file, uint64_t* length) {
  if (file->get() == nullptr) {
    LUMRA_LOG_AS(error, "imageToStrFromFile") << "Error open file " << path;
    return false;
  }
  // 64-bit: Windows' ftell wraps past 2 GiB and would give a wrong length.
  int64_t position = fileLength(file->get());
  if (position < 0) {
    LUMRA_LOG_AS(error, "imageToStrFromFile") << "Error open file " << path;
    return false;
  }
  // The length is a 32-bit count: 2 GiB and more has no usable length.
  if (static_cast<uint64_t>(position) > kMaxPageFileBytes) {
    LUMRA_LOG_AS(error, "imageToStrFromFile") << "Error alocate memory file " << path;
    return false;
  }
  *length = static_cast<uint64_t>(position);
  return true;
}

// Chunks are a multiple of 3 bytes so that only the last one has a tail.
constexpr size_t kChunkBytes = 3 * 256 * 1024;

}  // namespace

void base64Append(const uint8_t* data, size_t length, std::string* out) {
  if (length == 0) return;
  size_t old = out->size();
  out->resize(old + (length + 2) / 3 * 4);
  char* dest = encodeGroups(data, length - length % 3, out->data() + old);
  if (length % 3 != 0) encodeTail(data + length - length % 3, length % 3, dest);
}

std::string base64Encode(const uint8_t* data, uint32_t length) {
  std::string text;
  base64Append(data, length, &text);
  return text;
}

void base64JsonAppend(const uint8_t* data, size_t length, Base64Carry* carry, std::string* out) {
  // Complete a group left over from the last call.
  while (carry->count > 0 && carry->count < 3 && length > 0) {
    if (carry->count == 2) {
      uint8_t group[3] = {carry->bytes[0], carry->bytes[1], *data};
      char text[4];
      encodeGroups(group, 3, text);
      appendEscaped(text, 4, out);
      carry->count = 0;
      ++data, --length;
      break;
    }
    carry->bytes[carry->count++] = *data++;
    --length;
  }
  size_t whole = length - length % 3;
  constexpr size_t kBlockBytes = 3 * 4096;
  for (size_t i = 0; i < whole; i += kBlockBytes) {
    size_t n = std::min(kBlockBytes, whole - i);
    size_t old = out->size();
    out->resize(old + n / 3 * 8 + 1);  // worst case, trimmed below
    char* end = encodeGroupsEscaped(data + i, n, out->data() + old);
    out->resize(static_cast<size_t>(end - out->data()));
  }
  for (size_t i = whole; i < length; ++i) carry->bytes[carry->count++] = data[i];
}

void base64JsonFinish(Base64Carry* carry, std::string* out) {
  if (carry->count == 0) return;
  char text[4];
  encodeTail(carry->bytes, static_cast<size_t>(carry->count), text);
  appendEscaped(text, 4, out);
  carry->count = 0;
}

uint64_t answerBudgetBytes() {
  static const uint64_t budget = [] {
    const uint64_t usable = usableMemoryBytes();
    return usable == 0 ? uint64_t{64} << 20 : std::min(usable / 4, uint64_t{2} << 30);
  }();
  return budget;
}

bool appendFileBase64Json(const std::string& path, std::string* out, uint64_t limit) {
  File file(path);
  uint64_t length = 0;
  if (!openPage(path, &file, &length)) return false;
  const size_t start = out->size();
  auto overBudget = [&] {
    LUMRA_LOG_AS(error, "imageToStrFromFile")
        << "Error create page " << path << ": the answer would pass its memory budget of "
        << limit << " bytes";
    out->resize(start);
    return false;
  };
  // Base64 alone is a lower bound of the text: a page that cannot fit is
  // refused before it is read.
  if ((length + 2) / 3 * 4 > limit - std::min<uint64_t>(limit, start)) return overBudget();
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kChunkBytes]);
  if (!buffer) {
    LUMRA_LOG_AS(error, "imageToStrFromFile") << "Error alocate memory file " << path;
    return false;
  }
  // Grow geometrically: an exact reserve per page would move the text each
  // time. Never past the limit: the text cannot go there.
  const uint64_t needed = std::min(static_cast<uint64_t>(start) + escapedReserve(length), limit);
  if (out->capacity() < needed) {
    out->reserve(static_cast<size_t>(
        std::max(needed, std::min<uint64_t>(out->capacity() + out->capacity() / 2, limit))));
  }
  Base64Carry carry;
  uint64_t done = 0;
  while (done < length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, length - done));
    size_t got = std::fread(buffer.get(), 1, want, file.get());
    if (got != want) {
      // A file that shrank while we read it: what was never read must not
      // reach the answer.
      LUMRA_LOG_AS(error, "imageToStrFromFile") << "Error read file " << path;
      out->resize(start);
      return false;
    }
    base64JsonAppend(buffer.get(), got, &carry, out);
    done += got;
    if (out->size() > limit) return overBudget();
  }
  base64JsonFinish(&carry, out);
  if (out->size() > limit) return overBudget();
  return true;
}

int removeFile(const std::string& path) { return DeleteFileA(path.c_str()) ? 0 : -1; }

}  // namespace lumra

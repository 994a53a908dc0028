// Page payloads: a page file as Base64 text, and file deletion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumra {

/// The 64 characters of standard Base64; value v is the character at index v.
inline constexpr char base64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/// Standard Base64 of `length` bytes, '=' padded, no line breaks.
std::string base64Encode(const uint8_t* data, uint32_t length);

/// Appends the Base64 text of `length` bytes to `out`.
void base64Append(const uint8_t* data, size_t length, std::string* out);

/// Appends the Base64 text of `length` bytes to `out` as the content of a
/// JSON string written by the host's writer, that is with every '/' as "\/".
/// `state` carries up to two bytes between calls; call base64JsonFinish at
/// the end. Lets a file be encoded chunk by chunk into its final place.
struct Base64Carry {
  uint8_t bytes[2];
  int count = 0;
};
void base64JsonAppend(const uint8_t* data, size_t length, Base64Carry* carry, std::string* out);
void base64JsonFinish(Base64Carry* carry, std::string* out);

/// Largest page file that is read (the length is a signed 32-bit count).
inline constexpr uint64_t kMaxPageFileBytes = 0x7FFFFFFF;

/// Most bytes one answer holds: a quarter of the memory the process may use,
/// at most 2 GiB (64 MiB when the memory is unknown).
uint64_t answerBudgetBytes();

/// Appends the JSON-escaped Base64 text (see base64JsonAppend) of the file at
/// `path` (ANSI) to `out`, reading in chunks so the file is never held whole.
/// False, with an error record, when the file cannot be opened, is 2 GiB or
/// larger, reads short, or its text would make `out` longer than `limit`
/// bytes. On false `out` holds what it held.
bool appendFileBase64Json(const std::string& path, std::string* out,
                          uint64_t limit = UINT64_MAX);

/// Deletes the file at `path` (ANSI): 0 when deleted, -1 when not (no such
/// file, a folder, a read-only file, no access). Never retries.
int removeFile(const std::string& path);

}  // namespace lumra

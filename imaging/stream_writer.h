// Buffered little- and big-endian writing over a ByteStream, for the
// encoders that produce their bytes one at a time.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/byte_stream.h"

namespace lumra {

/// Collects bytes and passes them on in blocks; remembers the first failed
/// write. Call flush() (or check ok() after it) before trusting the result.
class StreamWriter {
 public:
  explicit StreamWriter(ByteStream& stream, size_t capacity = 1 << 16)
      : stream_(stream), capacity_(capacity) {
    buffer_.reserve(capacity_);
  }
  ~StreamWriter() { flush(); }
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  void u8(uint8_t value) {
    if (buffer_.size() == capacity_) flush();
    buffer_.push_back(value);
  }
  void le16(uint32_t value) {
    u8(static_cast<uint8_t>(value));
    u8(static_cast<uint8_t>(value >> 8));
  }
  void le32(uint32_t value) {
    le16(value & 0xFFFF);
    le16(value >> 16);
  }
  void be32(uint32_t value) {
    u8(static_cast<uint8_t>(value >> 24));
    u8(static_cast<uint8_t>(value >> 16));
    u8(static_cast<uint8_t>(value >> 8));
    u8(static_cast<uint8_t>(value));
  }
  void bytes(const void* data, size_t size) {
    if (size >= capacity_) {
      flush();
      if (ok_ && !stream_.write(data, size)) ok_ = false;
      return;
    }
    if (buffer_.size() + size > capacity_) flush();
    const auto* p = static_cast<const uint8_t*>(data);
    buffer_.insert(buffer_.end(), p, p + size);
  }
  void zeros(size_t count) {
    for (size_t i = 0; i < count; ++i) u8(0);
  }

  /// Passes the buffered bytes to the stream; false once any write failed.
  bool flush() {
    if (!buffer_.empty()) {
      if (ok_ && !stream_.write(buffer_.data(), buffer_.size())) ok_ = false;
      buffer_.clear();
    }
    return ok_;
  }
  bool ok() const { return ok_; }

 private:
  ByteStream& stream_;
  size_t capacity_;
  std::vector<uint8_t> buffer_;
  bool ok_ = true;
};

}  // namespace lumra

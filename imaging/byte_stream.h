// Byte streams the encoders write to: an open file, or a growing memory
// buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace lumra {

/// A seekable sink of bytes. Positions are absolute within the stream.
class ByteStream {
 public:
  virtual ~ByteStream() = default;

  /// Writes `size` bytes at the current position; false when not all were
  /// written (what was written stays).
  virtual bool write(const void* data, size_t size) = 0;

  /// Reads up to `size` bytes at the current position; returns the count read.
  virtual size_t read(void* data, size_t size) = 0;

  /// Moves the position; `whence` is SEEK_SET, SEEK_CUR or SEEK_END.
  virtual bool seek(int64_t offset, int whence) = 0;

  /// Current position, -1 when unknown.
  virtual int64_t tell() = 0;

  /// Size of the stream's content, -1 when unknown.
  virtual int64_t size() = 0;

  /// Drops the content past `length` bytes; the position stays.
  virtual bool truncate(int64_t length) = 0;

  /// Writes one byte.
  bool putByte(uint8_t value) { return write(&value, 1); }
};

/// A stream over a stdio file opened for binary writing (and reading).
class FileStream final : public ByteStream {
 public:
  /// Writes to `file`; closes it on destruction only when `owned`.
  FileStream(FILE* file, bool owned);
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  bool write(const void* data, size_t size) override;
  size_t read(void* data, size_t size) override;
  bool seek(int64_t offset, int whence) override;
  int64_t tell() override;
  int64_t size() override;
  bool truncate(int64_t length) override;

 private:
  FILE* file_;
  bool owned_;
};

/// A stream over a memory buffer that grows as it is written; seeking past
/// the end and writing fills the gap with zeros.
class MemoryStream final : public ByteStream {
 public:
  MemoryStream() = default;
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;

  bool write(const void* data, size_t size) override;
  size_t read(void* data, size_t size) override;
  bool seek(int64_t offset, int whence) override;
  int64_t tell() override { return static_cast<int64_t>(position_); }
  int64_t size() override { return static_cast<int64_t>(buffer_.size()); }
  bool truncate(int64_t length) override;

  /// Everything written so far.
  const std::vector<uint8_t>& buffer() const { return buffer_; }

 private:
  std::vector<uint8_t> buffer_;
  size_t position_ = 0;
};

}  // namespace lumra

#include "imaging/byte_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "platform/file_length.h"

namespace lumra {

FileStream::FileStream(FILE* file, bool owned) : file_(file), owned_(owned) {}

FileStream::~FileStream() {
  if (owned_ && file_ != nullptr) std::fclose(file_);
}

bool FileStream::write(const void* data, size_t size) {
  if (size == 0) return true;
  return file_ != nullptr && std::fwrite(data, 1, size, file_) == size;
}

size_t FileStream::read(void* data, size_t size) {
  if (file_ == nullptr || size == 0) return 0;
  return std::fread(data, 1, size, file_);
}

bool FileStream::seek(int64_t offset, int whence) {
  // Pages stay far below 2 GiB (256 MiB of pixels at most), so the standard
  // long offsets do on every platform.
  return file_ != nullptr && std::fseek(file_, static_cast<long>(offset), whence) == 0;
}

int64_t FileStream::tell() {
  if (file_ == nullptr) return -1;
  return static_cast<int64_t>(std::ftell(file_));
}

int64_t FileStream::size() {
  if (file_ == nullptr) return -1;
  const long here = std::ftell(file_);
  if (here < 0 || std::fseek(file_, 0, SEEK_END) != 0) return -1;
  const long end = std::ftell(file_);
  if (std::fseek(file_, here, SEEK_SET) != 0) return -1;
  return static_cast<int64_t>(end);
}

bool FileStream::truncate(int64_t length) { return truncateFile(file_, length); }

bool MemoryStream::write(const void* data, size_t size) {
  if (size == 0) return true;
  if (position_ > std::numeric_limits<size_t>::max() - size) return false;
  size_t end = position_ + size;
  try {
    if (end > buffer_.size()) {
      if (end > buffer_.capacity()) buffer_.reserve(std::max(end, buffer_.capacity() * 2));
      buffer_.resize(end);
    }
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  std::memcpy(buffer_.data() + position_, data, size);
  position_ = end;
  return true;
}

size_t MemoryStream::read(void* data, size_t size) {
  if (position_ >= buffer_.size()) return 0;
  size_t count = std::min(size, buffer_.size() - position_);
  std::memcpy(data, buffer_.data() + position_, count);
  position_ += count;
  return count;
}

bool MemoryStream::truncate(int64_t length) {
  if (length < 0) return false;
  if (static_cast<uint64_t>(length) < buffer_.size()) buffer_.resize(static_cast<size_t>(length));
  return true;
}

bool MemoryStream::seek(int64_t offset, int whence) {
  int64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<int64_t>(position_);
  else if (whence == SEEK_END) base = static_cast<int64_t>(buffer_.size());
  else if (whence != SEEK_SET) return false;
  if ((offset < 0 && -offset > base) ||
      (offset > 0 && base > std::numeric_limits<int64_t>::max() - offset)) {
    return false;
  }
  position_ = static_cast<size_t>(base + offset);
  return true;
}

}  // namespace lumra

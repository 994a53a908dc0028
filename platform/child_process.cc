#include "platform/child_process.h"

#include <chrono>

namespace lumra {

namespace {
// No answer of ours comes near this; a larger length is a broken stream.
constexpr uint32_t kLargestFrame = 1u << 30;
}  // namespace

std::string frame(std::string_view body) {
  std::string frame;
  frame.reserve(body.size() + 4);
  uint32_t n = static_cast<uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) frame.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  frame.append(body);
  return frame;
}

void PipeCollector::start(Read read) {
  thread_ = std::thread([this, read = std::move(read)] {
    std::string buffer(1 << 16, '\0');
    for (;;) {
      size_t n = read(buffer.data(), buffer.size());
      std::lock_guard<std::mutex> lock(mutex_);
      if (n == 0) ended_ = true;
      bytes_.append(buffer, 0, n);
      changed_.notify_all();
      if (n == 0) return;
    }
  });
}

void PipeCollector::join() {
  if (thread_.joinable()) thread_.join();
}

bool PipeCollector::takeFrame(std::string* body, int timeoutMs, std::string* err) {
  std::unique_lock<std::mutex> lock(mutex_);
  uint32_t n = 0;
  auto ready = [&] {
    if (bytes_.size() < 4) return ended_;
    n = 0;
    for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<uint8_t>(bytes_[i])) << (8 * i);
    return n > kLargestFrame || bytes_.size() - 4 >= n || ended_;
  };
  bool ok = timeoutMs < 0 ? (changed_.wait(lock, ready), true)
                          : changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
  if (bytes_.size() >= 4 && n > kLargestFrame) {
    if (err) *err = "a frame claims " + std::to_string(n) + " bytes";
    return false;
  }
  if (bytes_.size() < 4 || bytes_.size() - 4 < n) {
    if (err) {
      *err = !ok ? "timed out waiting for a frame"
                 : "standard output ended (" + std::to_string(bytes_.size()) + " stray bytes)";
    }
    return false;
  }
  body->assign(bytes_, 4, n);
  bytes_.erase(0, 4 + static_cast<size_t>(n));
  return true;
}

bool PipeCollector::waitEnd(std::string* rest, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool ok = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return ended_ || !thread_.joinable(); });
  if (rest) *rest = bytes_;
  return ok;
}

std::string PipeCollector::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

}  // namespace lumra

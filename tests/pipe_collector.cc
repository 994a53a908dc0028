#include "tests/pipe_collector.h"

#include <chrono>
#include <cstdint>

namespace lumra::test {

void PipeCollector::start(Read read) {
  thread_ = std::thread([this, read = std::move(read)] {
    char buffer[1 << 16];
    for (;;) {
      size_t n = read(buffer, sizeof buffer);
      std::lock_guard<std::mutex> lock(mutex_);
      if (n == 0) {
        ended_ = true;
        changed_.notify_all();
        return;
      }
      bytes_.append(buffer, n);
      changed_.notify_all();
    }
  });
}

void PipeCollector::join() {
  if (thread_.joinable()) thread_.join();
}

bool PipeCollector::wholeFrame(uint32_t* length) const {
  if (bytes_.size() < 4) return false;
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(bytes_[i])) << (8 * i);
  *length = n;
  return bytes_.size() - 4 >= n;
}

bool PipeCollector::takeFrame(std::string* body, int timeoutMs, std::string* err) {
  std::unique_lock<std::mutex> lock(mutex_);
  uint32_t n = 0;
  bool ok = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return wholeFrame(&n) || ended_; });
  if (!wholeFrame(&n)) {
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
  bool ok = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return ended_; });
  if (rest) *rest = bytes_;
  return ok;
}

std::string PipeCollector::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

}  // namespace lumra::test

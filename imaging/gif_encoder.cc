#include <array>

#include "imaging/encoders.h"
#include "imaging/stream_writer.h"

namespace lumra {

namespace {

constexpr int kMaxBits = 12;
constexpr int kMaxMaxCode = 1 << kMaxBits;
constexpr int kHashSize = 5003;  // 80% occupancy
constexpr int kTileWidth = 17;
constexpr int kTileHeight = 15;

// Variable-length-code LZW of GIF89a with an open-addressing string table,
// written as data sub-blocks of up to 255 bytes.
class LzwEncoder {
 public:
  explicit LzwEncoder(StreamWriter& out) : out_(out) {
    table_.fill(Slot{});
    touched_.reserve(kMaxMaxCode);
  }

  void begin(int minCodeSize) {
    minCodeSize_ = minCodeSize;
    initBits_ = minCodeSize + 1;
    clearCode_ = 1 << minCodeSize;
    endCode_ = clearCode_ + 1;
    bits_ = initBits_;
    maxCode_ = (1 << bits_) - 1;
    freeCode_ = clearCode_ + 2;
    clearFlag_ = false;
    accumulator_ = 0;
    accumulatedBits_ = 0;
    blockSize_ = 0;
    havePrefix_ = false;
    direct_ = minCodeSize <= 4;
    if (direct_) {
      children_.assign(static_cast<size_t>(kMaxMaxCode) << minCodeSize, 0u);
    } else {
      clearHash();
    }
    output(clearCode_);
  }

  /// Adds `count` pixel indices, in order.
  void add(const uint8_t* pixels, size_t count) {
    size_t i = 0;
    if (!havePrefix_) {
      if (count == 0) return;
      prefix_ = pixels[0];
      havePrefix_ = true;
      i = 1;
    }
    if (direct_) {
      addDirect(pixels + i, count - i);
      return;
    }
    int prefix = prefix_;
    for (; i < count; ++i) {
      const int pixel = pixels[i];
      const int32_t key = (pixel << kMaxBits) + prefix;
      int slot = (pixel << kHashShift) ^ prefix;
      if (table_[slot].key == key) {
        prefix = table_[slot].code;
        continue;
      }
      if (table_[slot].key >= 0) {
        const int step = slot == 0 ? 1 : kHashSize - slot;
        bool found = false;
        do {
          slot -= step;
          if (slot < 0) slot += kHashSize;
          if (table_[slot].key == key) {
            found = true;
            break;
          }
        } while (table_[slot].key >= 0);
        if (found) {
          prefix = table_[slot].code;
          continue;
        }
      }
      output(prefix);
      prefix = pixel;
      if (freeCode_ < kMaxMaxCode) {
        table_[slot] = Slot{key, static_cast<uint16_t>(freeCode_++)};
        touched_.push_back(static_cast<uint16_t>(slot));
      } else {
        clearHash();
        freeCode_ = clearCode_ + 2;
        clearFlag_ = true;
        output(clearCode_);
      }
    }
    prefix_ = prefix;
  }

  // With at most 16 colours every string's children fit a plain table
  // (code × colour), which gives the same codes as the hash with fewer steps.
  // Entries hold the child's row offset (code << shift), so the next lookup
  // needs no arithmetic beyond one add: the loop is bound by load latency.
  void addDirect(const uint8_t* pixels, size_t count) {
    const int shift = minCodeSize_;
    uint32_t row = static_cast<uint32_t>(prefix_) << shift;
    uint32_t* children = children_.data();
    for (size_t i = 0; i < count; ++i) {
      const uint32_t pixel = pixels[i];
      uint32_t& child = children[row + pixel];
      if (child != 0) {
        row = child;
        continue;
      }
      output(static_cast<int>(row >> shift));
      row = pixel << shift;
      if (freeCode_ < kMaxMaxCode) {
        child = static_cast<uint32_t>(freeCode_++) << shift;
      } else {
        std::fill(children_.begin(), children_.end(), 0u);
        freeCode_ = clearCode_ + 2;
        clearFlag_ = true;
        output(clearCode_);
      }
    }
    prefix_ = static_cast<int>(row >> shift);
  }

  void end() {
    if (havePrefix_) output(prefix_);
    output(endCode_);
    if (accumulatedBits_ > 0) putByte(static_cast<uint8_t>(accumulator_));
    accumulator_ = 0;
    accumulatedBits_ = 0;
    flushBlock();
    out_.u8(0);  // block terminator
  }

 private:
  static constexpr int kHashShift = 4;  // 8 - log2(65536 / 5003 rounded up)

  // Only the slots a tile used are cleared: the 24-bit mosaic restarts the
  // coder for every 255 pixels.
  void clearHash() {
    if (touched_.size() > kHashSize / 4) {
      table_.fill(Slot{});
    } else {
      for (uint16_t slot : touched_) table_[slot].key = -1;
    }
    touched_.clear();
  }

  inline void output(int code) {
    accumulator_ |= static_cast<uint32_t>(code) << accumulatedBits_;
    accumulatedBits_ += bits_;
    while (accumulatedBits_ >= 8) {
      putByte(static_cast<uint8_t>(accumulator_));
      accumulator_ >>= 8;
      accumulatedBits_ -= 8;
    }
    // Grow the code width once the table has passed the current one.
    if (freeCode_ > maxCode_ || clearFlag_) {
      if (clearFlag_) {
        bits_ = initBits_;
        maxCode_ = (1 << bits_) - 1;
        clearFlag_ = false;
      } else {
        ++bits_;
        maxCode_ = bits_ == kMaxBits ? kMaxMaxCode : (1 << bits_) - 1;
      }
    }
  }

  void putByte(uint8_t value) {
    block_[blockSize_++] = value;
    if (blockSize_ == 255) flushBlock();
  }

  void flushBlock() {
    if (blockSize_ == 0) return;
    out_.u8(static_cast<uint8_t>(blockSize_));
    out_.bytes(block_.data(), blockSize_);
    blockSize_ = 0;
  }

  StreamWriter& out_;
  // Key and code side by side: one cache line per probe.
  struct Slot {
    int32_t key = -1;
    uint16_t code = 0;
  };
  std::array<Slot, kHashSize> table_;
  std::vector<uint16_t> touched_;
  std::vector<uint32_t> children_;
  int minCodeSize_ = 0;
  bool direct_ = false;
  std::array<uint8_t, 255> block_{};
  int blockSize_ = 0;
  int initBits_ = 0, clearCode_ = 0, endCode_ = 0, bits_ = 0, maxCode_ = 0, freeCode_ = 0;
  bool clearFlag_ = false;
  uint32_t accumulator_ = 0;
  int accumulatedBits_ = 0;
  int prefix_ = 0;
  bool havePrefix_ = false;
};

void putGraphicControl(StreamWriter& out) {
  const uint8_t block[] = {0x21, 0xF9, 4, 0, 0, 0, 0xFF, 0};
  out.bytes(block, sizeof block);
}

void putImageDescriptor(StreamWriter& out, uint32_t left, uint32_t top, uint32_t width,
                        uint32_t height, uint8_t packed) {
  out.u8(0x2C);
  out.le16(left);
  out.le16(top);
  out.le16(width);
  out.le16(height);
  out.u8(packed);
}

}  // namespace

bool GifEncoder::encode(ByteStream& stream) {
  if (!valid() || width() > 0xFFFF || height() > 0xFFFF) return false;  // 16-bit screen
  StreamWriter out(stream);
  auto lzw = std::make_unique<LzwEncoder>(out);
  out.bytes("GIF89a", 6);
  out.le16(width());
  out.le16(height());

  if (depth() != 24) {
    const uint8_t packed = depth() == 1 ? 0x80 : depth() == 4 ? 0xE3 : 0xE7;
    out.u8(packed);
    out.u8(0);
    out.u8(0);
    for (uint32_t i = 0; i < paletteSize(); ++i) {
      out.u8(palette()[i].red);
      out.u8(palette()[i].green);
      out.u8(palette()[i].blue);
    }
    putGraphicControl(out);
    putImageDescriptor(out, 0, 0, width(), height(), 0);
    const int minCodeSize = depth() < 2 ? 2 : static_cast<int>(depth());
    out.u8(static_cast<uint8_t>(minCodeSize));
    lzw->begin(minCodeSize);
    std::vector<uint8_t> line(width() + 8);
    for (uint32_t y = 0; y < height(); ++y) {
      const uint8_t* src = topRow(y);
      if (depth() == 8) {
        lzw->add(src, width());
        continue;
      }
      uint8_t* dst = line.data();
      const uint32_t bytes = (width() * depth() + 7) / 8;
      for (uint32_t i = 0; i < bytes; ++i, ++src) {
        const uint8_t b = *src;
        if (depth() == 4) {
          *dst++ = b >> 4;
          *dst++ = b & 0x0F;
        } else {
          for (int bit = 7; bit >= 0; --bit) *dst++ = (b >> bit) & 1;
        }
      }
      lzw->add(line.data(), width());
    }
    lzw->end();
    out.u8(0x3B);
    return out.flush();
  }

  // 24 bits: each 17 × 15 tile carries its own 256-colour table, one entry
  // per pixel, so every colour is kept exactly.
  out.u8(0x11);
  out.u8(0);
  out.u8(0);
  uint8_t table[256 * 3];
  for (uint32_t top = 0; top < height(); top += kTileHeight) {
    const uint32_t tileHeight = std::min<uint32_t>(kTileHeight, height() - top);
    for (uint32_t left = 0; left < width(); left += kTileWidth) {
      const uint32_t tileWidth = std::min<uint32_t>(kTileWidth, width() - left);
      std::memset(table, 0, sizeof table);
      for (uint32_t r = 0; r < tileHeight; ++r) {
        const uint8_t* src = topRow(top + r) + 3 * left;
        for (uint32_t c = 0; c < tileWidth; ++c, src += 3) {
          uint8_t* entry = table + 3 * (1 + kTileWidth * r + c);
          entry[0] = src[2];
          entry[1] = src[1];
          entry[2] = src[0];
        }
      }
      putGraphicControl(out);
      putImageDescriptor(out, left, top, tileWidth, tileHeight, 0x87);
      out.bytes(table, sizeof table);
      out.u8(8);
      lzw->begin(8);
      uint8_t indices[kTileWidth];
      for (uint32_t r = 0; r < tileHeight; ++r) {
        for (uint32_t c = 0; c < tileWidth; ++c) indices[c] = static_cast<uint8_t>(1 + kTileWidth * r + c);
        lzw->add(indices, tileWidth);
      }
      lzw->end();
    }
  }
  out.u8(0x3B);
  return out.flush();
}

}  // namespace lumra

// Little-endian loads and stores and the least-significant-bit-first bit
// reader and writer shared by the TRVC codecs (internal to kv5).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "the TRVC code assumes a little-endian machine");

namespace trvc_detail {

inline uint32_t load32(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t load64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void store32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void store64(uint8_t *p, uint64_t v) { std::memcpy(p, &v, 8); }

// Reads bits least significant first from [data, data + length).
class BitReader {
 public:
  BitReader(const uint8_t *data, size_t length, size_t startBit)
      : data_(data), length_(length), total_(length * 8), pos_(startBit < length * 8 ? startBit : length * 8) {}

  size_t left() const { return total_ - pos_; }
  size_t bytePosition() const { return (pos_ + 7) >> 3; }

  // At least 57 valid bits from the current position; bits past the end
  // of the data read as 0.
  uint64_t peek() const {
    size_t byte = pos_ >> 3;
    uint64_t v;
    if (byte + 8 <= length_) {
      v = load64(data_ + byte);
    } else {
      v = 0;
      for (size_t i = byte; i < length_; ++i) v |= static_cast<uint64_t>(data_[i]) << (8 * (i - byte));
    }
    return v >> (pos_ & 7);
  }
  void skip(size_t bits) { pos_ += bits; }
  // True while at least 64 bits are left: peek() then needs no end check.
  bool roomy() const { return left() >= 64; }

 private:
  const uint8_t *data_;
  size_t length_;
  size_t total_;
  size_t pos_;
};

// Writes bits least significant first. Without an output it only counts.
class BitWriter {
 public:
  explicit BitWriter(uint8_t *out) : out_(out) {}

  // Appends the low `bits` bits of `value` (bits <= 32).
  void put(uint32_t value, unsigned bits) {
    acc_ |= static_cast<uint64_t>(value) << fill_;
    fill_ += bits;
    if (fill_ >= 32) {
      if (out_ != nullptr) store32(out_ + bytes_, static_cast<uint32_t>(acc_));
      bytes_ += 4;
      acc_ >>= 32;
      fill_ -= 32;
    }
  }
  // Pads with zero bits to a whole byte and returns the bytes written.
  size_t finish() {
    while (fill_ > 0) {
      if (out_ != nullptr) out_[bytes_] = static_cast<uint8_t>(acc_);
      ++bytes_;
      acc_ >>= 8;
      fill_ = fill_ > 8 ? fill_ - 8 : 0;
    }
    return bytes_;
  }
  size_t bitCount() const { return bytes_ * 8 + fill_; }

 private:
  uint8_t *out_;
  uint64_t acc_ = 0;
  unsigned fill_ = 0;
  size_t bytes_ = 0;
};

}  // namespace trvc_detail

#pragma once
// Bit reading of H.264 NAL unit payloads (slice headers, parameter sets): plain bits and
// Exp-Golomb codes, with the emulation prevention bytes skipped. Every read answers -1 (or false)
// once the data ends, so no header field read from a file can run past its buffer.

#include <cstddef>
#include <cstdint>

namespace tavelo::ffreader {

// Bits of a NAL unit's payload, with the emulation prevention bytes (00 00 03) skipped.
class Bits {
 public:
  Bits(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  int Bit() {
    if (byte_ >= n_) return -1;
    const int b = (p_[byte_] >> (7 - bit_)) & 1;
    if (++bit_ == 8) {
      bit_ = 0;
      ++byte_;
      if (byte_ >= 2 && byte_ < n_ && p_[byte_] == 3 && p_[byte_ - 1] == 0 && p_[byte_ - 2] == 0) ++byte_;
    }
    return b;
  }
  int64_t U(int count) {
    int64_t v = 0;
    for (int i = 0; i < count; ++i) {
      const int b = Bit();
      if (b < 0) return -1;
      v = (v << 1) | b;
    }
    return v;
  }
  int64_t Ue() {
    int zeros = 0;
    for (;;) {
      const int b = Bit();
      if (b < 0 || zeros > 31) return -1;
      if (b == 1) break;
      ++zeros;
    }
    const int64_t rest = U(zeros);
    return rest < 0 ? -1 : (int64_t{1} << zeros) - 1 + rest;
  }
  // A signed value; false when the data ends.
  bool Se(int64_t& v) {
    const int64_t k = Ue();
    if (k < 0) return false;
    v = (k & 1) != 0 ? (k + 1) / 2 : -(k / 2);
    return true;
  }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t byte_ = 0;
  int bit_ = 0;
};

}  // namespace tavelo::ffreader

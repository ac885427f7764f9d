#include "formats/units/zmv_bit_decode.h"

#include <cstddef>

namespace tavelo {

namespace {

constexpr int kRingSize = 1024;
constexpr int kDisplacements = 24;
// Geometry limits: a strip row longer than this, or more rows, is refused outright (the unit
// never asks for more; it keeps the products far from overflowing 64 bits).
constexpr int64_t kMaxStride = int64_t{1} << 30;
constexpr int32_t kMaxBytesPerPixel = 4;

// The bit stream. A 64-bit window holds the next bits top-aligned and is refilled one byte at a
// time; bytes past the data read as 0, so the token look-up can always peek 12 bits, but taking a
// bit that lies past the data is a failure.
class BitReader {
 public:
  BitReader(const uint8_t* data, int64_t len) : data_(data), len_(len), left_(len * 8) { Refill(); }

  uint32_t Peek(int n) const { return static_cast<uint32_t>(window_ >> (64 - n)); }

  bool Skip(int n) {
    if (n > left_) return false;
    left_ -= n;
    window_ <<= n;
    filled_ -= n;
    Refill();
    return true;
  }

  bool Read(int n, uint32_t& value) {
    value = Peek(n);
    return Skip(n);
  }

  // The length code: a count of at least 2. Up to 255 it is the binary form of the count,
  // behind as many 0 bits as that form has bits minus 2; seven 0 bits announce 256 + 9 bits.
  bool ReadLength(int64_t& n) {
    int zeros = 0;
    while (zeros < 7 && Peek(1) == 0) {
      if (!Skip(1)) return false;
      ++zeros;
    }
    uint32_t v = 0;
    if (zeros == 7) {
      if (!Read(9, v)) return false;
      n = 256 + static_cast<int64_t>(v);
      return true;
    }
    // The leading 1 and the zeros + 1 bits after it are the count itself.
    if (!Read(zeros + 2, v)) return false;
    n = v;
    return true;
  }

 private:
  void Refill() {
    while (filled_ <= 56) {
      const uint64_t byte = next_ < len_ ? data_[next_] : 0;
      ++next_;
      window_ |= byte << (56 - filled_);
      filled_ += 8;
    }
  }

  const uint8_t* data_;
  int64_t len_;
  int64_t next_ = 0;  // next byte to load into the window
  int64_t left_;      // bits of real data not yet taken
  uint64_t window_ = 0;
  int filled_ = 0;  // bits loaded into the window
};

struct RingEntry {
  int64_t pos;
  int64_t count;
};

class StripDecoder {
 public:
  StripDecoder(const uint8_t* data, int64_t dataLen, uint8_t* frame, int64_t stripOffset, int64_t stride,
               int64_t rows, int32_t bytesPerPixel)
      : bits_(data, dataLen),
        target_(frame + stripOffset),
        before_(stripOffset),
        end_(rows * stride),
        stride_(stride),
        bpp_(bytesPerPixel) {}

  int32_t RunBest();
  int32_t RunFast();

 private:
  // Copies n bytes from target offset src to the output position, one byte at a time from the
  // lowest address up, so a source that overlaps the bytes being written repeats them.
  int32_t Copy(int64_t src, int64_t n) {
    if (src < -before_) return zmvDecodeReadBefore;
    if (src + n > end_) return zmvDecodeReadPast;
    if (pos_ + n > end_) return zmvDecodeWritePast;
    uint8_t* d = target_ + pos_;
    const uint8_t* s = target_ + src;
    for (int64_t i = 0; i < n; ++i) d[i] = s[i];
    pos_ += n;
    return zmvDecodeOk;
  }

  int32_t Literal(uint32_t byte) {
    if (pos_ + 1 > end_) return zmvDecodeWritePast;
    target_[pos_++] = static_cast<uint8_t>(byte);
    return zmvDecodeOk;
  }

  // A run whose first value byte is l; what follows depends on the pixel size.
  int32_t Run(uint32_t l) {
    uint8_t pixel[3] = {static_cast<uint8_t>(l), 0, 0};
    int width = 1;
    if (bpp_ == 2) {
      uint32_t x = 0;
      if (!bits_.Read(8, x)) return zmvDecodeDataEnd;
      // The 16-bit pixel l * 256 + x, low byte first.
      pixel[0] = static_cast<uint8_t>(x);
      pixel[1] = static_cast<uint8_t>(l);
      width = 2;
    } else if (bpp_ == 3) {
      uint32_t p = 0, q = 0;
      if (!bits_.Read(8, p) || !bits_.Read(8, q)) return zmvDecodeDataEnd;
      // Stored as L, Q, P in memory.
      pixel[1] = static_cast<uint8_t>(q);
      pixel[2] = static_cast<uint8_t>(p);
      width = 3;
    }
    int64_t n = 0;
    if (!bits_.ReadLength(n)) return zmvDecodeDataEnd;
    if (pos_ + n * width > end_) return zmvDecodeWritePast;
    uint8_t* d = target_ + pos_;
    for (int64_t i = 0; i < n; ++i)
      for (int b = 0; b < width; ++b) *d++ = pixel[b];
    pos_ += n * width;
    return zmvDecodeOk;
  }

  // The long skip or the end token (v: the 6 bits after the prefix). Sets done at the end.
  int32_t LongSkip(uint32_t v, bool& done) {
    if (pos_ >= end_) {
      done = true;
      return zmvDecodeOk;
    }
    int64_t n = 0;
    if (!bits_.ReadLength(n)) return zmvDecodeDataEnd;
    pos_ += 64 * n + static_cast<int64_t>(v) - 62;
    return zmvDecodeOk;
  }

  BitReader bits_;
  uint8_t* target_;  // the strip's first byte
  int64_t before_;   // bytes of the frame buffer before the strip (readable by copies)
  int64_t end_;      // the strip's size
  int64_t stride_;
  int32_t bpp_;
  int64_t pos_ = 0;  // the output position
};

int32_t StripDecoder::RunBest() {
  // The copy window: 64 .. 1 bytes to the left on the same row or up to 11 rows up, or 0 .. 63
  // bytes to the right from 1 to 12 rows up.
  int64_t disp[kDisplacements];
  for (int k = 0; k < 12; ++k) disp[k] = 64 + k * stride_;
  for (int k = 12; k < kDisplacements; ++k) disp[k] = (k - 11) * stride_;
  RingEntry ring[kRingSize];
  int ringIndex = 0;
  int64_t ringStored = 0;

  for (;;) {
    const uint32_t w = bits_.Peek(12);
    const uint32_t h = w >> 8;
    int32_t result = zmvDecodeOk;
    if ((w >> 10) == 3) {
      // 11 + 8 bits: a literal byte.
      if (!bits_.Skip(10)) return zmvDecodeDataEnd;
      result = Literal((w >> 2) & 0xFF);
    } else if (h >= 6) {
      // 0110 .. 1011: a window copy.
      if (!bits_.Skip(12)) return zmvDecodeDataEnd;
      const uint32_t v = w - 1536;
      int64_t n = 0;
      if (!bits_.ReadLength(n)) return zmvDecodeDataEnd;
      const int64_t src = pos_ - disp[v / 64] + static_cast<int64_t>(v % 64);
      ring[ringIndex] = {pos_, n};
      ringIndex = (ringIndex + 1) % kRingSize;
      ++ringStored;
      result = Copy(src, n);
    } else if (h >= 2) {
      // 0010 .. 0101: repeat the copy kept in a ring entry.
      if (!bits_.Skip(12)) return zmvDecodeDataEnd;
      const int64_t e = static_cast<int64_t>(w) - 512;
      if (e >= ringStored) return zmvDecodeRingUnset;
      result = Copy(ring[e].pos, ring[e].count);
    } else if ((w >> 7) == 2) {
      // 00010 + 7 bits: copy 2 .. 129 bytes from the row above.
      if (!bits_.Skip(12)) return zmvDecodeDataEnd;
      result = Copy(pos_ - stride_, static_cast<int64_t>(w & 0x7F) + 2);
    } else if ((w >> 6) == 6) {
      // 000110 + 6 bits: a short skip of 2 .. 65 bytes.
      if (!bits_.Skip(12)) return zmvDecodeDataEnd;
      pos_ += static_cast<int64_t>(w & 63) + 2;
    } else if ((w >> 6) == 7) {
      // 000111 + 6 bits: a long skip, or the end once the strip is full.
      if (!bits_.Skip(12)) return zmvDecodeDataEnd;
      bool done = false;
      result = LongSkip(w & 63, done);
      if (done) return zmvDecodeOk;
    } else {
      // 0000 + 8 bits: a run.
      if (!bits_.Skip(12)) return zmvDecodeDataEnd;
      result = Run(w & 0xFF);
    }
    if (result != zmvDecodeOk) return result;
  }
}

int32_t StripDecoder::RunFast() {
  for (;;) {
    const uint32_t w = bits_.Peek(10);
    int32_t result = zmvDecodeOk;
    if ((w >> 9) == 1) {
      // 1 + 8 bits: a literal byte.
      if (!bits_.Skip(9)) return zmvDecodeDataEnd;
      result = Literal((w >> 1) & 0xFF);
    } else if ((w >> 8) == 0) {
      // 00 + 8 bits: a run.
      if (!bits_.Skip(10)) return zmvDecodeDataEnd;
      result = Run(w & 0xFF);
    } else if ((w >> 7) == 2) {
      // 010 + 6 bits: copy 2 .. 65 bytes from the row above.
      if (!bits_.Skip(9)) return zmvDecodeDataEnd;
      result = Copy(pos_ - stride_, static_cast<int64_t>((w >> 1) & 63) + 2);
    } else if ((w >> 6) == 6) {
      // 0110 + 6 bits: a short skip.
      if (!bits_.Skip(10)) return zmvDecodeDataEnd;
      pos_ += static_cast<int64_t>(w & 63) + 2;
    } else {
      // 0111 + 6 bits: a long skip or the end.
      if (!bits_.Skip(10)) return zmvDecodeDataEnd;
      bool done = false;
      result = LongSkip(w & 63, done);
      if (done) return zmvDecodeOk;
    }
    if (result != zmvDecodeOk) return result;
  }
}

}  // namespace

int32_t ZMVBitDecode(int32_t tokens, const uint8_t* data, int64_t dataLen, uint8_t* frame, int64_t stripOffset,
                     int32_t width, int32_t rows, int32_t bytesPerPixel) {
  if (frame == nullptr || stripOffset < 0 || dataLen < 0 || (data == nullptr && dataLen > 0)) return zmvDecodeBadArgs;
  if (width < 1 || rows < 0 || bytesPerPixel < 1 || bytesPerPixel > kMaxBytesPerPixel) return zmvDecodeBadArgs;
  const int64_t stride = static_cast<int64_t>(width) * bytesPerPixel;
  if (stride > kMaxStride) return zmvDecodeBadArgs;
  // Streams longer than any strip could need are cut: the bit counter stays well inside 64 bits.
  if (dataLen > (int64_t{1} << 40)) dataLen = int64_t{1} << 40;
  StripDecoder decoder(data, dataLen, frame, stripOffset, stride, rows, bytesPerPixel);
  return tokens == zmvTokensFast ? decoder.RunFast() : decoder.RunBest();
}

void ZMVRunningSum(uint8_t* picture, const uint8_t* diff, int64_t pixels) {
  uint8_t a0 = 0, a1 = 0, a2 = 0;
  for (int64_t i = 0; i < pixels; ++i) {
    a0 = static_cast<uint8_t>(a0 + diff[0]);
    a1 = static_cast<uint8_t>(a1 + diff[1]);
    a2 = static_cast<uint8_t>(a2 + diff[2]);
    picture[0] = a0;
    picture[1] = a1;
    picture[2] = a2;
    picture += 3;
    diff += 3;
  }
}

void ZMVDifferences(const uint8_t* picture, uint8_t* diff, int64_t pixels) {
  uint8_t p0 = 0, p1 = 0, p2 = 0;
  for (int64_t i = 0; i < pixels; ++i) {
    diff[0] = static_cast<uint8_t>(picture[0] - p0);
    diff[1] = static_cast<uint8_t>(picture[1] - p1);
    diff[2] = static_cast<uint8_t>(picture[2] - p2);
    p0 = picture[0];
    p1 = picture[1];
    p2 = picture[2];
    picture += 3;
    diff += 3;
  }
}

}  // namespace tavelo

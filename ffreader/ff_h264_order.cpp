#include "ffreader/ff_h264_order.h"

#include "ffreader/ff_h264_bits.h"

namespace tavelo::ffreader {

namespace {

bool SkipScalingList(Bits& b, int size) {
  int64_t last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      int64_t delta = 0;
      if (!b.Se(delta)) return false;
      next = (last + delta + 256) % 256;
    }
    if (next != 0) last = next;
  }
  return true;
}

}  // namespace

bool H264Order::Readable() const {
  const auto it = sps_.find(lastSps_);
  return it != sps_.end() && (it->second.PocType == 0 || it->second.PocType == 2) && it->second.FrameMbsOnly;
}

bool H264Order::ReadSps(const uint8_t* p, size_t n) {
  Bits b(p, n);
  const int64_t profile = b.U(8);
  if (profile < 0 || b.U(16) < 0) return false;  // constraint flags, level
  const int64_t id = b.Ue();
  if (id < 0 || id > 31) return false;
  Sps s;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
      profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
      profile == 135) {
    const int64_t chroma = b.Ue();
    if (chroma < 0) return false;
    if (chroma == 3) s.SeparatePlanes = b.U(1) == 1;
    if (b.Ue() < 0 || b.Ue() < 0 || b.U(1) < 0) return false;  // bit depths, transform bypass
    const int64_t matrices = b.U(1);
    if (matrices < 0) return false;
    for (int i = 0; matrices == 1 && i < (chroma == 3 ? 12 : 8); ++i) {
      const int64_t present = b.U(1);
      if (present < 0 || (present == 1 && !SkipScalingList(b, i < 6 ? 16 : 64))) return false;
    }
  }
  const int64_t frameNum = b.Ue();
  s.PocType = static_cast<int>(b.Ue());
  if (frameNum < 0 || frameNum > 12 || s.PocType < 0) return false;
  s.FrameNumBits = static_cast<int>(frameNum) + 4;
  if (s.PocType == 0) {
    const int64_t lsb = b.Ue();
    if (lsb < 0 || lsb > 12) return false;
    s.PocLsbBits = static_cast<int>(lsb) + 4;
  } else if (s.PocType != 2) {
    sps_[id] = s;  // (type 1: not read)
    lastSps_ = id;
    return true;
  }
  if (b.Ue() < 0 || b.U(1) < 0 || b.Ue() < 0 || b.Ue() < 0) return false;  // refs, gaps, size
  const int64_t frameMbsOnly = b.U(1);
  if (frameMbsOnly < 0) return false;
  s.FrameMbsOnly = frameMbsOnly == 1;
  sps_[id] = s;
  lastSps_ = id;
  return true;
}

bool H264Order::ReadPps(const uint8_t* p, size_t n) {
  Bits b(p, n);
  const int64_t id = b.Ue(), sps = b.Ue();
  if (id < 0 || id > 255 || sps < 0) return false;
  pps_[id] = sps;
  return true;
}

bool H264Order::ReadSlice(const uint8_t* p, size_t n, int nalType, int refIdc, Picture& picture) {
  Bits b(p, n);
  if (b.Ue() < 0 || b.Ue() < 0) return false;  // first macroblock, slice type
  const auto pps = pps_.find(b.Ue());
  if (pps == pps_.end()) return false;
  const auto found = sps_.find(pps->second);
  if (found == sps_.end()) return false;
  const Sps& s = found->second;
  if (!s.FrameMbsOnly || (s.PocType != 0 && s.PocType != 2)) return false;
  if (s.SeparatePlanes && b.U(2) < 0) return false;
  if (b.U(s.FrameNumBits) < 0) return false;
  picture.Idr = nalType == 5;
  if (picture.Idr) {
    if (b.Ue() < 0) return false;  // idr_pic_id
    prevMsb_ = prevLsb_ = 0;
    decoded_ = 0;
  }
  if (s.PocType == 2) {
    picture.Poc = 2 * decoded_++;
    return true;
  }
  const int64_t lsb = b.U(s.PocLsbBits);
  if (lsb < 0) return false;
  const int64_t max = int64_t{1} << s.PocLsbBits;
  int64_t msb = prevMsb_;
  if (lsb < prevLsb_ && prevLsb_ - lsb >= max / 2) msb = prevMsb_ + max;
  else if (lsb > prevLsb_ && lsb - prevLsb_ > max / 2) msb = prevMsb_ - max;
  picture.Poc = msb + lsb;
  if (refIdc != 0) {
    prevMsb_ = msb;
    prevLsb_ = lsb;
  }
  ++decoded_;
  return true;
}

bool H264Order::Scan(const uint8_t* data, size_t size, Picture* picture) {
  if (data == nullptr) return false;
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t head = data[i + 3];
    const int type = head & 0x1F;
    const uint8_t* p = data + i + 4;
    const size_t n = size - i - 4;
    if (type == 7) ReadSps(p, n);
    else if (type == 8) ReadPps(p, n);
    else if ((type == 1 || type == 5) && picture != nullptr) return ReadSlice(p, n, type, (head >> 5) & 3, *picture);
    i += 3;
  }
  return false;
}

}  // namespace tavelo::ffreader

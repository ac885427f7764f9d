#include "platform/acm/acm_pcm.h"

#include <algorithm>

namespace tavelo::platform::acm {

bool PcmShapeOf(const WAVEFORMATEX& fmt, PcmShape& shape) {
  if (fmt.wFormatTag != WAVE_FORMAT_PCM) return false;
  const uint32_t bits = fmt.wBitsPerSample;
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  if (fmt.nChannels < 1 || fmt.nChannels > kMaxChannels) return false;
  if (fmt.nSamplesPerSec < 1 || fmt.nSamplesPerSec > kMaxRate) return false;
  // The block alignment says where the next frame starts: one that disagrees with the sample
  // width would make us read every frame from the wrong place.
  if (fmt.nBlockAlign != bits / 8 * fmt.nChannels) return false;
  shape.rate = fmt.nSamplesPerSec;
  shape.channels = fmt.nChannels;
  shape.bytes = bits / 8;
  return true;
}

int32_t ReadSample(const uint8_t* p, uint32_t bytes) {
  switch (bytes) {
    case 1:
      return static_cast<int32_t>(static_cast<uint32_t>(p[0] ^ 0x80u) << 24);
    case 2:
      return static_cast<int32_t>((static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8) << 16);
    case 3:
      return static_cast<int32_t>((static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                   static_cast<uint32_t>(p[2]) << 16)
                                  << 8);
    default:
      return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                  static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
  }
}

void WriteSample(uint8_t* p, uint32_t bytes, int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v);
  switch (bytes) {
    case 1:
      p[0] = static_cast<uint8_t>((u >> 24) ^ 0x80u);
      break;
    case 2:
      p[0] = static_cast<uint8_t>(u >> 16);
      p[1] = static_cast<uint8_t>(u >> 24);
      break;
    case 3:
      p[0] = static_cast<uint8_t>(u >> 8);
      p[1] = static_cast<uint8_t>(u >> 16);
      p[2] = static_cast<uint8_t>(u >> 24);
      break;
    default:
      p[0] = static_cast<uint8_t>(u);
      p[1] = static_cast<uint8_t>(u >> 8);
      p[2] = static_cast<uint8_t>(u >> 16);
      p[3] = static_cast<uint8_t>(u >> 24);
      break;
  }
}

bool PcmConverter::Supported(const PcmShape& src, const PcmShape& dst) {
  return src.channels == dst.channels || src.channels == 1 || dst.channels == 1;
}

void PcmConverter::Setup(const PcmShape& src, const PcmShape& dst) {
  src_ = src;
  dst_ = dst;
  sameRate_ = src.rate == dst.rate;
  Reset();
}

void PcmConverter::Reset() {
  inCount_ = 0;
  outCount_ = 0;
  last_.assign(dst_.channels, 0);
}

void PcmConverter::MixFrame(const uint8_t* p, int32_t* out) const {
  const uint32_t sc = src_.channels, dc = dst_.channels, b = src_.bytes;
  if (sc == dc) {
    for (uint32_t c = 0; c < dc; ++c) out[c] = ReadSample(p + c * b, b);
  } else if (sc == 1) {
    const int32_t v = ReadSample(p, b);
    for (uint32_t c = 0; c < dc; ++c) out[c] = v;
  } else {  // many to one
    int64_t sum = 0;
    for (uint32_t c = 0; c < sc; ++c) sum += ReadSample(p + c * b, b);
    out[0] = static_cast<int32_t>(sum / static_cast<int64_t>(sc));
  }
}

void PcmConverter::EmitFrame(const int32_t* v, std::vector<uint8_t>& out) const {
  const size_t at = out.size();
  out.resize(at + dst_.Block());
  uint8_t* p = out.data() + at;
  for (uint32_t c = 0; c < dst_.channels; ++c) WriteSample(p + c * dst_.bytes, dst_.bytes, v[c]);
}

void PcmConverter::Convert(const uint8_t* src, uint64_t frames, std::vector<uint8_t>& out) {
  if (frames == 0) return;
  const uint32_t sb = src_.Block(), dc = dst_.channels;
  if (sameRate_) {
    if (src_.channels == dst_.channels && src_.bytes == dst_.bytes) {
      out.insert(out.end(), src, src + frames * sb);
    } else {
      out.reserve(out.size() + frames * dst_.Block());
      std::vector<int32_t> v(dc);
      for (uint64_t f = 0; f < frames; ++f) {
        MixFrame(src + f * sb, v.data());
        EmitFrame(v.data(), out);
      }
    }
    inCount_ += frames;
    outCount_ += frames;
    return;
  }
  // Rate conversion: the last frame of the previous call is the left neighbour of the first
  // output position of this one, so it leads the mixed frames.
  const bool hasLast = inCount_ > 0;
  const uint64_t lead = hasLast ? 1 : 0;
  std::vector<int32_t> mixed((frames + lead) * dc);
  if (hasLast) std::copy(last_.begin(), last_.end(), mixed.begin());
  for (uint64_t f = 0; f < frames; ++f) MixFrame(src + f * sb, mixed.data() + (f + lead) * dc);
  const uint64_t base = inCount_ - lead;
  inCount_ += frames;
  std::copy(mixed.end() - dc, mixed.end(), last_.begin());
  Resample(mixed, base, frames + lead, false, out);
}

void PcmConverter::Finish(std::vector<uint8_t>& out) {
  if (sameRate_ || inCount_ == 0) return;
  Resample(last_, inCount_ - 1, 1, true, out);
}

void PcmConverter::Resample(const std::vector<int32_t>& frames, uint64_t base, uint64_t count, bool final,
                            std::vector<uint8_t>& out) {
  const uint32_t dc = dst_.channels;
  const uint64_t s = src_.rate, d = dst_.rate;
  const uint64_t lastIndex = base + count - 1;
  std::vector<int32_t> v(dc);
  for (;;) {
    const unsigned __int128 pos = static_cast<unsigned __int128>(outCount_) * s;
    const uint64_t i = static_cast<uint64_t>(pos / d);
    const int64_t rem = static_cast<int64_t>(pos % d);
    // Without the right neighbour the frame waits for the next call; at the end the last
    // source frame stands for it.
    if (final ? i > lastIndex : i + 1 > lastIndex) break;
    const int32_t* a = frames.data() + (i - base) * dc;
    if (final || rem == 0) {
      std::copy(a, a + dc, v.begin());
    } else {
      const int32_t* b = a + dc;
      for (uint32_t c = 0; c < dc; ++c) {
        const int64_t diff = static_cast<int64_t>(b[c]) - a[c];
        v[c] = static_cast<int32_t>(a[c] + diff * rem / static_cast<int64_t>(d));
      }
    }
    EmitFrame(v.data(), out);
    ++outCount_;
  }
}

uint64_t PcmConverter::OutFrames(uint64_t n) const {
  if (sameRate_) return n;
  const unsigned __int128 num = static_cast<unsigned __int128>(n + 1) * dst_.rate;
  return static_cast<uint64_t>((num + src_.rate - 1) / src_.rate);
}

uint64_t PcmConverter::InFramesFor(uint64_t outFrames) const {
  if (sameRate_) return std::max<uint64_t>(outFrames, 1);
  const unsigned __int128 num = static_cast<unsigned __int128>(outFrames) * src_.rate;
  return std::max<uint64_t>(static_cast<uint64_t>(num / dst_.rate), 1);
}

}  // namespace tavelo::platform::acm

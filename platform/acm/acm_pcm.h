// PCM to PCM conversion for the conversion streams: sample width (8, 16, 24 and 32 bits), channel
// count (equal, one to many by copying, many to one by averaging) and sample rate (linear
// interpolation between neighbouring frames, carried across calls).
#pragma once
#include <cstdint>
#include <vector>

#include "base/wave_format.h"

namespace tavelo::platform::acm {

// Limits of what the streams accept; anything beyond is refused as not convertible.
constexpr uint32_t kMaxRate = 768000;
constexpr uint32_t kMaxChannels = 32;

struct PcmShape {
  uint32_t rate = 0;
  uint32_t channels = 0;
  uint32_t bytes = 0;  // per sample: 1 (unsigned), 2, 3 or 4 (signed little-endian)
  uint32_t Block() const { return channels * bytes; }
};

// The shape of a PCM record; false when it is not PCM we can convert (width, block alignment,
// rate or channel count out of range).
bool PcmShapeOf(const WAVEFORMATEX& fmt, PcmShape& shape);

// Full-scale 32-bit value of one stored sample, and back (narrowing truncates).
int32_t ReadSample(const uint8_t* p, uint32_t bytes);
void WriteSample(uint8_t* p, uint32_t bytes, int32_t v);

class PcmConverter {
 public:
  static bool Supported(const PcmShape& src, const PcmShape& dst);
  void Setup(const PcmShape& src, const PcmShape& dst);
  // Forgets what the rate conversion carried over (a new stream start).
  void Reset();
  // Converts whole source frames and appends the produced frames to out.
  void Convert(const uint8_t* src, uint64_t frames, std::vector<uint8_t>& out);
  // End of the stream: emits the frames still held back by the rate conversion.
  void Finish(std::vector<uint8_t>& out);
  // Upper bound of the frames that n more source frames produce, Finish included.
  uint64_t OutFrames(uint64_t n) const;
  // Source frames whose output fits in outFrames frames (at least 1).
  uint64_t InFramesFor(uint64_t outFrames) const;
  const PcmShape& Source() const { return src_; }
  const PcmShape& Dest() const { return dst_; }

 private:
  // Mixes one source frame into dst_.channels full-scale values.
  void MixFrame(const uint8_t* p, int32_t* out) const;
  void EmitFrame(const int32_t* v, std::vector<uint8_t>& out) const;
  void Resample(const std::vector<int32_t>& frames, uint64_t base, uint64_t count, bool final,
                std::vector<uint8_t>& out);

  PcmShape src_, dst_;
  bool sameRate_ = true;
  uint64_t inCount_ = 0;    // source frames received since the start
  uint64_t outCount_ = 0;   // frames produced since the start
  std::vector<int32_t> last_;  // the last source frame, mixed (rate conversion only)
};

}  // namespace tavelo::platform::acm

// The display order of H.264 pictures stored in decoding order without display times (AVI), from
// the picture order counts their slice headers carry: B pictures may be references shown between
// other B pictures (x264's B-pyramids), so no rule on picture types alone places them for every
// reorder depth. (Used by the reader and the Video for Windows stand-in.)
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace tavelo::ffreader {

class H264Order {
 public:
  struct Picture {
    bool Idr = false;  // an IDR picture: the order counts start again
    int64_t Poc = 0;   // the picture order count (display order within an IDR period)
  };
  // Reads the parameter sets in extradata (Annex B start codes; an avcC record is not read).
  void Parameters(const uint8_t* data, size_t size) { Scan(data, size, nullptr); }
  // One access unit in decoding order (Annex B). False when it holds no slice this reads: field
  // pictures, order counts of type 1, or parameter sets not seen.
  bool Next(const uint8_t* data, size_t size, Picture& picture) { return Scan(data, size, &picture); }
  // True when the sequence parameter set seen last gives order counts this reads.
  bool Readable() const;

 private:
  struct Sps {
    int FrameNumBits = 0;
    int PocType = 0;
    int PocLsbBits = 0;
    bool FrameMbsOnly = true;
    bool SeparatePlanes = false;
  };
  bool Scan(const uint8_t* data, size_t size, Picture* picture);
  bool ReadSps(const uint8_t* p, size_t n);
  bool ReadPps(const uint8_t* p, size_t n);
  bool ReadSlice(const uint8_t* p, size_t n, int nalType, int refIdc, Picture& picture);

  std::map<int64_t, Sps> sps_;
  std::map<int64_t, int64_t> pps_;  // picture parameter set -> its sequence parameter set
  int64_t lastSps_ = -1;
  int64_t prevMsb_ = 0, prevLsb_ = 0;  // of the last reference picture
  int64_t decoded_ = 0;                // pictures since the last IDR (order counts of type 2)
};

}  // namespace tavelo::ffreader

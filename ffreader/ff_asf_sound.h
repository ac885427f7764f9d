// Counts Windows Media Audio (versions 1 and 2) from its packets, without decoding it: how many
// samples FFmpeg's decoder delivers after each packet, so that a Windows Media file opens without
// decoding an hour of sound once just to learn its length. (Internal to the reader.)
//
// What the decoder does with a stream coded without the bit reservoir (every block one frame of
// a fixed length, which is how FFmpeg's own encoder writes it): each block decodes to one frame,
// the first two frames it makes are held back (the overlap of the transform primes on them) and
// the last frame it holds comes out when it is drained. Streams coded with the reservoir (frames
// spread over blocks), packets that are not one block, and a stream whose first packets decode to
// anything else are not counted (the caller decodes them): the model is checked against the
// decoder itself on the stream's first packets.
#pragma once
#include <cstdint>

#include "ffreader/ff_decode.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace tavelo::ffreader {

// The samples per frame of the WMA decoder for a rate and version (1 or 2); 0 when the stream's
// layout is not one WmaCount follows (another codec, the bit reservoir, no block size).
int WmaFrameLength(const AVCodecParameters* par);

class WmaCount {
 public:
  // False when the stream is not one the count follows.
  bool Start(const AVCodecParameters* par);
  // The samples delivered after the stream's next packet, of size bytes; false when the packet
  // leaves what the decoder makes uncertain (the stream must be decoded to be counted). data (its
  // bytes) is read only while Checking().
  bool Block(int size, const uint8_t* data, int64_t& samples);
  bool Checking() const { return frames_ < kChecked; }
  // A demuxer's packet (one that skips samples or brings new parameters is not counted).
  bool Packet(const AVPacket* pkt, int64_t& samples) {
    return pkt->side_data_elems == 0 && Block(pkt->size, pkt->data, samples);
  }
  // The samples the drain at the end delivers; false when the stream was too short to be sure.
  bool Tail(int64_t& samples) const;

  // Blocks decoded to check the model against the decoder.
  static constexpr int64_t kChecked = 4;
  // Frames the decoder holds back at the start.
  static constexpr int64_t kHeld = 2;

 private:
  int frameLength_ = 0;
  int blockAlign_ = 0;
  int64_t frames_ = 0;
  Decoder check_;
  AVFrame* decoded_ = nullptr;

 public:
  WmaCount() = default;
  ~WmaCount();
  WmaCount(const WmaCount&) = delete;
  WmaCount& operator=(const WmaCount&) = delete;
};

}  // namespace tavelo::ffreader

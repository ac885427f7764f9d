// The table of stored sound formats the conversion streams know, and the decoding of the
// compressed ones through libavcodec into PCM at the stored rate and channel count.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/acm/acm.h"

namespace tavelo::platform::acm {

struct FormatTagInfo {
  uint16_t tag;
  uint32_t formatSize;  // bytes of the format record with its extra data
  const char* name;
};

// The entry of a tag whose decoder is available (PCM always is); nullptr otherwise.
const FormatTagInfo* FindFormatTag(uint16_t tag);
// Index of an entry in the table (for the tag details).
uint32_t FormatTagIndex(const FormatTagInfo* info);
// The largest format record of the table.
uint32_t MaxFormatSize();

// True when the stored (non-PCM) format can be decoded: a known tag, a decoder, and a rate,
// channel count and block alignment the codec accepts. pwfx must be followed by cbSize bytes.
bool CanDecode(const WAVEFORMATEX& fmt);

// The unit in which the stored data may be cut: its block alignment, or 1 for MPEG audio.
uint32_t SourceBlock(const WAVEFORMATEX& fmt);

// Sample frames that srcBytes of the stored format decode to: exact for whole blocks of the
// block codecs, an estimate from the byte rate for MPEG audio.
uint64_t DecodedFrames(const WAVEFORMATEX& fmt, uint64_t srcBytes);

// Counts the sample frames of stored MPEG audio from the frames its parser finds: the byte rate
// of a file may be missing (0 for variable rates) or not describe the data.
class MpegSampleCounter {
 public:
  explicit MpegSampleCounter(const WAVEFORMATEX& fmt);
  ~MpegSampleCounter();
  MpegSampleCounter(const MpegSampleCounter&) = delete;
  MpegSampleCounter& operator=(const MpegSampleCounter&) = delete;
  // False when the format is no MPEG audio or the parser cannot be had.
  bool Ok() const;
  void Add(const uint8_t* data, size_t size);
  // The sample frames of every whole frame added.
  uint64_t Finish();
  // After Finish: where each frame starts, in bytes from the first byte added, and the sample
  // frames of each; a seek starts decoding at a frame's start.
  const std::vector<uint64_t>& FrameOffsets() const;
  const std::vector<uint32_t>& FrameSamples() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

class Decoder {
 public:
  Decoder();
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Opens the decoder for fmt (followed by its cbSize extra bytes); the output is PCM of
  // outBytes bytes per sample at fmt's rate and channel count. False when it cannot decode fmt.
  bool Open(const WAVEFORMATEX& fmt, uint32_t outBytes);
  // Forgets everything buffered (a new stream start).
  void Reset();
  // The source bytes to hand in one Feed: whole blocks, no more than avail, sized so that the
  // output stays near wantFrames; 0 when avail holds no whole block.
  uint32_t PieceBytes(uint32_t avail, uint64_t wantFrames) const;
  // Decodes size bytes and appends the PCM to out. Damaged data is skipped, as a player would;
  // only a lack of memory fails (MMSYSERR_NOMEM).
  MMRESULT Feed(const uint8_t* data, uint32_t size, std::vector<uint8_t>& out);
  // End of the stream: drains what the parser and the decoder hold, then starts afresh.
  MMRESULT Flush(std::vector<uint8_t>& out);

 private:
  struct State;
  MMRESULT SendPacket(const uint8_t* data, int size, std::vector<uint8_t>& out);
  MMRESULT Receive(std::vector<uint8_t>& out);
  std::unique_ptr<State> s_;
};

}  // namespace tavelo::platform::acm

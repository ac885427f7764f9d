// The shared FFmpeg reader: one movie or sound file opened through libavformat, with an index of
// every picture and every sound packet built when it opens. The index gives exact frame access
// (frame n is always the same picture, however it is reached), key frames in both directions and
// exact sound positions. Pictures come out as packed B, G, R rows, top-down; sound as interleaved
// signed 16-bit samples at the stream's own rate and channel count.
//
// The codec libraries that read movies (dshowcodec, mpegcodec, oggcodec, wmcodec) are built over
// this reader. It depends on FFmpeg and the standard library only, throws nothing, and is used by
// one thread at a time per reader.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavelo::ffreader {

struct VideoInfo {
  int32_t Width = 0;
  int32_t Height = 0;
  int64_t FrameCount = 0;
  double FrameRate = 0;       // frames per second; 0 when the file gives none
  uint32_t CodecTag = 0;      // the container's four-character code, 0 when it has none
  int32_t StoredBits = 0;     // bits per pixel as stored (0 when the container does not say)
  std::string CodecName;      // FFmpeg's short name of the codec
};

struct AudioInfo {
  int32_t SampleRate = 0;
  int32_t Channels = 0;
  int64_t SampleCount = 0;    // sample frames, as delivered
  uint32_t CodecTag = 0;      // the container's format tag (a WAVE tag in AVI files), 0 when none
  uint16_t WaveFormatTag = 0; // the WAVE format tag of the codec (the file's own where it has one)
  int32_t StoredBits = 0;     // bits per stored sample; 0 for formats without a fixed width
  int32_t BlockAlign = 0;     // bytes per stored block, 0 when the container does not say
  int64_t BitRate = 0;        // bits per second of the stored sound, 0 when unknown
  std::string CodecName;
};

enum class KeySearch {
  AtOrBefore,  // the last key frame at or before the frame
  AtOrAfter,   // the first key frame at or after the frame
};

struct OpenOptions {
  bool Video = true;  // index and decode the first picture stream
  bool Audio = true;  // index and decode the first sound stream
  // Build the picture index from the packets even where the container holds a complete index of
  // its own, and count sound whose length its packets do not state by decoding it (for tests:
  // both ways must agree).
  bool ScanPackets = false;
};

// Called now and then while packets are scanned (a container without an index of its own), with
// the bytes read so far and the file's size; answering false stops the open, which then fails
// with "cancelled".
using ScanProgress = std::function<bool(int64_t done, int64_t total)>;

class Reader {
 public:
  // nullptr when the file cannot be opened or holds none of the streams asked for; error (when
  // given) then tells why.
  static std::unique_ptr<Reader> Open(const std::string& fileName, const OpenOptions& options,
                                      std::string* error = nullptr, const ScanProgress& progress = {});
  // A second reader of the same file over the same index, with its own decoding state (nothing
  // is read from the file to make it; it opens the file when it first reads). Two readers may be
  // used by two threads at once. nullptr when its decoders cannot be made.
  std::unique_ptr<Reader> Share() const;
  // Lets go of readers on the thread kept for closes, not the caller's (closing demuxers and freeing
  // an index takes tens of microseconds; a reader still held elsewhere is freed by its last holder).
  static void FreeInBackground(std::vector<std::shared_ptr<Reader>> readers);
  // Gives back the memory decoding holds (pictures waiting, decoded sound, decoder buffers) while
  // the reader is kept unused; reads after it work as before.
  void Rest();

  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool HasVideo() const;
  bool HasAudio() const;
  const VideoInfo& Video() const;
  const AudioInfo& Audio() const;

  // Frame numbers count from 0 in presentation order.
  bool IsKeyFrame(int64_t frame) const;
  // The key frame found from frame (clamped to the stream), or -1 when there is none that way.
  int64_t FindKeyFrame(int64_t frame, KeySearch direction) const;

  // Decodes frame into dest: Width x Height pixels of 3 bytes (B, G, R), rows top-down, stride
  // bytes apart (stride >= Width * 3). False when the frame is out of range or cannot be decoded.
  bool ReadFrame(int64_t frame, uint8_t* dest, ptrdiff_t stride);

  // Reads up to maxFrames sample frames starting at sample frame position into dest (Channels
  // interleaved samples each). Returns the frames read: fewer at the end of the sound, 0 past it,
  // -1 on a decoding failure.
  int64_t ReadAudio(int64_t position, int16_t* dest, int64_t maxFrames);

  // True when the counts were taken from what the file stores (the end positions of an Ogg file's
  // streams) and the packets are indexed by a walk that runs beside the reader, which a read
  // waits for when it first needs the index.
  bool CountsFromContainer() const;

  // What the file is, as its demuxer names it ("MPEG-4", "QuickTime", "Matroska / WebM", ...).
  const std::string& ContainerName() const;

  // How many times reading started a run of decoding at a packet its demuxers were moved to
  // (a read that could not go on from the one before), since the reader was made.
  int64_t Seeks() const;

  // Why the last call failed.
  const std::string& LastError() const;

  struct Impl;
  struct Index;

 private:
  explicit Reader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavelo::ffreader

// Frame decompression of the Video for Windows stand-in: turns the chunks of an AVI picture
// stream into packed device-independent bitmaps. Plain rows (8, 16, 24 and 32 bits, stored
// top-down or bottom-up) are copied and converted directly; compressed frames are decoded through
// libavcodec from the nearest key frame before them, and decoding goes on from there while reads
// move forward.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "ffreader/ff_decode.h"
#include "ffreader/ff_h264_order.h"
#include "platform/dib/dib.h"
#include "platform/vfw/avi_riff.h"

namespace tavelo::platform {

// A stream's format as AVIStreamReadFormat hands it out: pictures as stored; sound at least 18
// bytes (a 14- or 16-byte record is completed with zeros), its cbSize cut to the bytes present.
std::vector<uint8_t> StreamFormat(const AviStreamData& stream);

class FrameDecompressor {
 public:
  FrameDecompressor() = default;
  ~FrameDecompressor();
  FrameDecompressor(const FrameDecompressor&) = delete;
  FrameDecompressor& operator=(const FrameDecompressor&) = delete;

  // False when the stream's frames cannot be decoded, or not into the wanted format (which must
  // have the stream's size, no compression and 8, 15, 16, 24 or 32 bits).
  bool Open(const AviStreamData& stream, const std::vector<int64_t>& keyChunks, int fd, const BITMAPINFOHEADER* wanted);
  // The packed DIB of frame position (valid until the next call), nullptr when it cannot be made.
  void* Frame(int32_t position);
  // Frame position converted once, straight into dest: width x height pixels (the stream's size)
  // of bits per pixel (the depth Frame delivers; 15 counts as 16), rows top-down stride bytes
  // apart (negative: bottom-up), no bitmap made. For 8 bits, colours (when given) receives the
  // 256-entry colour table (B, G, R, 0). False when the frame cannot be made so.
  bool FrameInto(int32_t position, int32_t width, int32_t height, int32_t bits, uint8_t* dest, ptrdiff_t stride,
                 uint8_t* colours);
  // Gives back the pictures decoded ahead while the object is kept unused; the last picture made
  // stays, and reads after it work as before (decoding starts again at a key frame).
  void Rest();

 private:
  // The position whose picture is shown at position: itself, or before it where an empty chunk
  // repeats the picture before (past the last chunk, with lead_, the last picture stands); -1
  // when there is none.
  int64_t ChunkShownAt(int32_t position) const;
  // The picture of chunk: decoded, or for plain rows a frame over the chunk's bytes (valid until
  // the next call); nullptr when it cannot be made.
  const AVFrame* Picture(int64_t chunk);
  static bool ColourTable(const AVFrame* frame, uint8_t* table);
  bool DecodeTo(int64_t position);
  // Display order of streams stored in decoding order with B pictures (identity for the rest):
  // the position a chunk's picture is shown at, and the chunk shown at a position.
  char TypeOf(int64_t chunk);
  // Whether the decoder gives a B picture out on chunk: a B chunk, or the placeholder that keeps
  // the slot of a B picture packed behind the reference picture of a chunk before it (MPEG-4).
  bool IsB(int64_t chunk) { return TypeOf(chunk) == 'B' || IsPlaceholder(chunk); }
  bool IsPlaceholder(int64_t chunk);
  int64_t PositionOf(int64_t chunk);
  int64_t ChunkAt(int64_t position);
  int64_t StartKey(int64_t chunk);
  // H.264: the display order of the IDR period holding chunk, from the order counts of its
  // pictures (B pictures may be references: no rule on types alone places them). False when the
  // counts cannot be read; the rule on types then stands.
  bool PlacePeriod(int64_t chunk);
  bool IsIdr(int64_t chunk);
  bool Feed();
  void Collect();
  bool ReadChunk(int64_t chunk);
  void* MakeDib(const AVFrame* frame);
  void ClearQueue();

  const AviStreamData* stream_ = nullptr;
  const std::vector<int64_t>* keys_ = nullptr;
  int fd_ = -1;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t bits_ = 0;
  bool raw_ = false;
  AVPixelFormat rawFormat_ = AV_PIX_FMT_NONE;
  bool bottomUp_ = true;
  int64_t rawStride_ = 0;
  std::vector<uint32_t> palette_;  // 256 entries 0xAARRGGBB, for 8-bit streams
  int32_t outBits_ = 0;            // 0 until the first frame shows the decoder's own depth

  ffreader::Decoder decoder_;
  ffreader::PictureConverter converter_;
  std::vector<uint8_t> chunk_;
  bool reorder_ = false;     // the codec may store B pictures ahead of their display
  AVCodecID codec_ = AV_CODEC_ID_NONE;
  std::vector<char> types_;  // per chunk: its picture type once read, '?' before
  std::vector<bool> packed_;  // per chunk whose type is read: it holds a B picture behind its first
  // Slots the placement by decoding order puts every picture behind its position: the empty
  // slots before the first packed chunk where they are those of B pictures held back (the stream
  // stores each packed chunk at its reference picture's slot), else 0.
  int64_t lead_ = 0;
  // H.264 placed by order counts: per chunk its position, per position its chunk, per chunk the
  // IDR chunk its period starts at (-1 until its period is placed).
  bool byCounts_ = false;
  ffreader::H264Order counts_;  // the parameter sets seen
  std::vector<int64_t> positionOf_, chunkAt_, periodStart_;
  std::vector<uint8_t> scratch_;
  std::vector<uint8_t> dib_;
  int64_t dibChunk_ = -1;  // the position dib_ shows
  bool running_ = false;
  bool paletteDue_ = false;
  bool drained_ = false;
  int64_t nextSend_ = 0;
  AVFrame* held_ = nullptr;
  int64_t heldPts_ = -1;  // the position held_ is shown at
  std::deque<AVFrame*> queue_;
  AVFrame* rawView_ = nullptr;  // borrows chunk_ and palette_
};

}  // namespace tavelo::platform

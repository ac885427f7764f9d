// The decoding half of the shared FFmpeg reader: one video or audio decoder over libavcodec's
// send/receive calls, and the conversions of what it delivers into the layouts the program works
// in (packed B, G, R pictures, 5-5-5 words, palette indices; interleaved signed 16-bit sound).
// The Video for Windows stand-in uses these directly on the chunks its own AVI reader finds; the
// demuxing reader (ff_reader.h) uses them on FFmpeg's packets.
//
// Nothing here throws: failures are results. This code is linked into the codec shared objects
// as well as into the program, so it depends on FFmpeg and the standard library only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

struct SwsContext;
struct SwrContext;

namespace tavelo::ffreader {

// No program that uses this reader takes a picture of more pixels (dshowcodec and the Video for
// Windows stand-in refuse larger ones). Every decoder is opened with this limit, so that a header
// of a few bytes cannot make it allocate a picture of gigabytes first.
constexpr int64_t kMaxDecodedPixels = int64_t{1} << 26;

// The pixels a decoder may make of one frame of a stream described as width x height: sixteen
// times the description (a stream that changes size), at least 2^22, at most kMaxDecodedPixels;
// the whole limit when the description gives no size. A damaged stream can decode frames far
// larger than it describes (an 881-byte GIF described as 3072 x 16 decoded 2832 x 12289), and
// every such frame would be decoded whole only to be scaled down to the description.
int64_t FramePixelLimit(int width, int height);

// FFmpeg's allocator refuses any block larger than this once LimitLibraryAllocations has run. A
// demuxer allocates the packet a chunk header claims before it reads a byte of it (a 2 KB FLIC
// file asked for 1.6 GB), so the claim is bounded here. The largest block a legitimate file needs
// is a picture at the pixel limit, 8 bytes a pixel; the rest is room for padding and side data.
constexpr size_t kMaxLibraryAllocation = static_cast<size_t>(kMaxDecodedPixels) * 8 + (size_t{64} << 20);

// Sets FFmpeg's allocation limit (process-wide; the same value from every caller). Every decoder
// and demuxer of this reader calls it before it opens.
void LimitLibraryAllocations();

// The threads a picture decoder of width x height gets: 0, FFmpeg's own count (one a core and one
// more), unless SetPictureThreads set one. Pictures of 1280 x 720 pixels and more (or of no stated
// size) decode on frame threads where the codec has them, else on slice threads; smaller ones on
// slice threads only (frame threads too once SetPictureThreads set a count).
int VideoDecodeThreads(int width, int height);

// The threads PictureConverter converts a width x height result with: one per half a million
// pixels, at most one a core.
int ConversionThreads(int width, int height);

// SetPictureThreads(n > 0): every picture decoder opened afterwards takes n threads and every
// conversion at most n (1: all the work on the calling thread); 0 goes back to the rules above.
// Process-wide (within each library that links this reader); for benchmarks and tests.
void SetPictureThreads(int count);

// True where a reader starts decoding a stream on one thread while a frame-threaded decoder
// fills in the background (ff_catch_up.h): streams that would decode on frame threads, with
// pictures one core decodes well ahead of playback. A frame-threaded decoder hands out nothing
// before each of its threads has a packet, and its first pictures fault in fresh memory on every
// thread: in a fresh process its first picture takes several times one thread's.
bool StartsOnOneThread(const AVCodecParameters* par);

class FramePool;

// The decoder side of one stream. Open it from a demuxer's parameters or from what an AVI stream
// header gives (codec, four-character code, size, depth, the bytes after the bitmap header).
class Decoder {
 public:
  Decoder();
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // oneThread: all decoding on the calling thread, whatever the rules above give.
  bool Open(const AVCodecParameters* par, bool oneThread = false);
  bool OpenVideo(AVCodecID id, uint32_t codecTag, int width, int height, int bitsPerCodedSample,
                 const uint8_t* extradata, size_t extradataSize);
  void Close();
  bool IsOpen() const { return ctx_ != nullptr; }
  AVCodecContext* Context() const { return ctx_; }

  // Hands one packet to the decoder; palette (256 words 0xAARRGGBB) rides along as side data, the
  // way palettized codecs expect a new palette. Returns 0, AVERROR(EAGAIN) when frames must be
  // received first, or another error. data == nullptr (size 0) starts draining.
  int Send(const uint8_t* data, size_t size, int64_t pts, bool key, const uint32_t* palette = nullptr);
  int Send(AVPacket* packet);
  // 0 with a frame, AVERROR(EAGAIN) when more input is needed, AVERROR_EOF when drained.
  int Receive(AVFrame* frame);
  // Forgets every buffered packet and frame (after a seek, or to decode again after draining).
  void Flush();
  // Exchanges the two decoders with everything they hold.
  void Swap(Decoder& other);

 private:
  // Picture decoders take their frames from here (shared by all their threads).
  void UseFramePool();

  AVCodecContext* ctx_ = nullptr;
  AVPacket* packet_ = nullptr;
  bool draining_ = false;
  std::unique_ptr<FramePool> frames_;
};

// Converts decoded pictures into packed layouts with libswscale, keeping its context between
// calls. Colour conversions follow the frame's own colour matrix and range, with bicubic filtering:
// the same rules FFmpeg's command-line tool applies, so results agree with its decode.
class PictureConverter {
 public:
  PictureConverter() = default;
  ~PictureConverter();
  PictureConverter(const PictureConverter&) = delete;
  PictureConverter& operator=(const PictureConverter&) = delete;

  // Writes frame as width x height pixels of dstFormat into dst, rows top-down stride bytes apart
  // (a negative stride starts at the last row: bottom-up). The frame is scaled when its size
  // differs: bicubic, or point-sampled when the two sizes differ so in shape that bicubic work
  // would be out of all proportion to the pixels involved. For AV_PIX_FMT_PAL8 the frame must
  // itself be palettized (indices are copied; its palette is in frame->data[1]). False when the
  // conversion is impossible.
  // Large results are converted in bands of rows on several threads (ConversionThreads).
  bool Convert(const AVFrame* frame, AVPixelFormat dstFormat, int width, int height, uint8_t* dst, ptrdiff_t stride);

 private:
  struct Setup {
    int SrcWidth = 0, SrcHeight = 0;
    AVPixelFormat Src = AV_PIX_FMT_NONE;
    int Width = 0, Height = 0;
    AVPixelFormat Dst = AV_PIX_FMT_NONE;
    int Filter = 0, Threads = 0;
    bool operator==(const Setup&) const = default;
  };
  // Makes the context for the conversion unless the one kept is for it already.
  bool Prepare(int srcWidth, int srcHeight, AVPixelFormat src, int width, int height, AVPixelFormat dst, int filter,
               int threads);

  SwsContext* sws_ = nullptr;
  Setup setup_;
};

// Converts decoded sound into interleaved signed 16-bit samples at the stream's own rate and
// channel count (libswresample, no rate change, so nothing is held back between calls).
class SoundConverter {
 public:
  SoundConverter() = default;
  ~SoundConverter();
  SoundConverter(const SoundConverter&) = delete;
  SoundConverter& operator=(const SoundConverter&) = delete;

  // Appends frame's samples to out; false when they cannot be converted.
  bool Append(const AVFrame* frame, std::vector<int16_t>& out);

 private:
  SwrContext* swr_ = nullptr;
  AVChannelLayout layout_{};
  int format_ = -1;
  int rate_ = 0;
};

// The packed RGB pixel format a decoder's output maps to without loss in a device-independent
// bitmap of bits depth (8: palette indices, 16: 5-5-5 words, 24: B, G, R, 32: B, G, R, 0);
// AV_PIX_FMT_NONE for other depths.
AVPixelFormat DibPixelFormat(int bits);

// The DIB depth that carries a decoded picture format best: 8 for palettized pictures, 16 for
// 5-5-5 ones, 32 for those with a fourth byte, 24 for everything else.
int NaturalDibDepth(AVPixelFormat decoded);

// A short text for an FFmpeg error code.
std::string ErrorString(int err);

// The coding type of the (first) picture a packet holds, read from its headers: 'I', 'P', 'B' or
// 'S' (a sprite picture, predicted like P), 0 when the codec is not one of those that may reorder
// pictures (MPEG-1/2 video, MPEG-4 part 2, H.264 in start-code form) or the packet does not tell.
// Containers without display times (AVI) store such streams in decoding order: a B picture is
// shown before the reference picture decoded just ahead of it.
char CodedPictureType(AVCodecID codec, const uint8_t* data, size_t size);
// True for the codecs CodedPictureType reads.
bool MayReorderPictures(AVCodecID codec);

}  // namespace tavelo::ffreader

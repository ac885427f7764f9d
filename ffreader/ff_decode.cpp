#include "ffreader/ff_decode.h"

#include "ffreader/ff_h264_bits.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace tavelo::ffreader {

namespace {

constexpr size_t kPaletteBytes = 256 * 4;

std::atomic<int> g_pictureThreads{0};
constexpr int64_t kFrameThreadPixels = int64_t{1280} * 720;
// One core decodes H.264 of 1920 x 1088 at three times 60 pictures a second; larger pictures
// (4K) wait for the frame threads rather than fall behind while they fill.
constexpr int64_t kOneThreadStartPixels = int64_t{1920} * 1088;

int Cores() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u)); }

// Pictures from about 720p up decode with frame threads where the codec has them (each thread
// decodes the next picture while the ones before it finish), else with slice threads; smaller ones
// keep to slice threads, which hold no picture back and cost nothing to hand between threads, and
// one core decodes them many times faster than they play. Sound decoders keep to one thread: a
// sound frame is far too little work to share out.
void SetThreads(AVCodecContext* ctx, int width, int height) {
  if (ctx->codec_type == AVMEDIA_TYPE_VIDEO) {
    ctx->thread_count = VideoDecodeThreads(width, height);
    const bool large = width < 1 || height < 1 || static_cast<int64_t>(width) * height >= kFrameThreadPixels;
    ctx->thread_type = large || g_pictureThreads.load() > 0 ? FF_THREAD_FRAME | FF_THREAD_SLICE : FF_THREAD_SLICE;
  } else {
    ctx->thread_count = 1;
  }
}

// The full-range "J" formats are the plain ones with the range flag set; swscale wants the
// plain format and the range given separately.
AVPixelFormat PlainFormat(AVPixelFormat f, bool& fullRange) {
  switch (f) {
    case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: fullRange = true; return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: fullRange = true; return AV_PIX_FMT_YUV411P;
    default: return f;
  }
}

}  // namespace

int64_t FramePixelLimit(int width, int height) {
  if (width < 1 || height < 1) return kMaxDecodedPixels;
  return std::clamp<int64_t>(int64_t{16} * width * height, int64_t{1} << 22, kMaxDecodedPixels);
}

void SetPictureThreads(int count) { g_pictureThreads.store(std::max(count, 0)); }

int VideoDecodeThreads(int, int) {
  // FFmpeg's own count (cores + 1 for frame threads) unless a count is set.
  return g_pictureThreads.load();
}

void LimitLibraryAllocations() {
  static std::once_flag once;
  std::call_once(once, [] { av_max_alloc(kMaxLibraryAllocation); });
}

// ---- Frame pool ----

// FFmpeg's own frame pools zero every buffer they make: at 3840 x 2160 that is 12 MB written
// for nothing per buffer, and a frame-threaded decoder makes dozens of them in its first
// pictures, all at once (most of the time to its first 4K picture went there). Ours leaves new
// buffers as they come: the decoder writes every pixel it shows, and a buffer the pool hands out
// again holds an older picture anyway. One pool serves all the decoder's threads, so buffers go
// round between them instead of each thread growing its own.
class FramePool {
 public:
  ~FramePool() { Reset(); }

  // A decoder's get_buffer2: formats the pool does not lay out (palettes, hardware frames) go
  // to FFmpeg's own allocator.
  static int Get(AVCodecContext* ctx, AVFrame* frame, int flags) {
    auto* self = static_cast<FramePool*>(ctx->opaque);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (self == nullptr || desc == nullptr || (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL)) ||
        frame->width < 1 || frame->height < 1)
      return avcodec_default_get_buffer2(ctx, frame, flags);
    return self->Fill(ctx, frame) ? 0 : AVERROR(ENOMEM);
  }

 private:
  // What FFmpeg's own pool adds to every plane: room for the decoders' reads past the end of a
  // row (16 bytes) and a start aligned for the widest vector instructions.
  static constexpr int kPlanePadding = 16 + 64 - 1;

  bool Fill(AVCodecContext* ctx, AVFrame* frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frame->format != format_ || frame->width != width_ || frame->height != height_) {
      if (!Layout(ctx, frame)) return false;
    }
    for (int i = 0; i < 4; ++i) {
      frame->data[i] = nullptr;
      frame->linesize[i] = 0;
      if (pools_[i] == nullptr) continue;
      frame->buf[i] = av_buffer_pool_get(pools_[i]);
      if (frame->buf[i] == nullptr) {
        for (int j = 0; j <= i; ++j) av_buffer_unref(&frame->buf[j]);
        return false;
      }
      frame->data[i] = frame->buf[i]->data;
      frame->linesize[i] = linesize_[i];
    }
    frame->extended_data = frame->data;
    return true;
  }

  // The same plane sizes and row strides FFmpeg's own pool gives the frame.
  bool Layout(AVCodecContext* ctx, const AVFrame* frame) {
    Reset();
    const auto format = static_cast<AVPixelFormat>(frame->format);
    int w = frame->width, h = frame->height;
    int align[AV_NUM_DATA_POINTERS] = {};
    avcodec_align_dimensions2(ctx, &w, &h, align);
    int lines[4] = {};
    for (;;) {
      if (av_image_fill_linesizes(lines, format, w) < 0) return false;
      bool unaligned = false;
      for (int i = 0; i < 4; ++i) unaligned |= align[i] > 0 && lines[i] % align[i] != 0;
      if (!unaligned) break;
      w += w & ~(w - 1);  // the next wider width with one more low zero bit
    }
    ptrdiff_t lines64[4];
    for (int i = 0; i < 4; ++i) lines64[i] = lines[i];
    size_t sizes[4] = {};
    if (av_image_fill_plane_sizes(sizes, format, h, lines64) < 0) return false;
    for (int i = 0; i < 4; ++i) {
      if (sizes[i] == 0) continue;
      if (sizes[i] > static_cast<size_t>(INT32_MAX - kPlanePadding)) return false;
      pools_[i] = av_buffer_pool_init(sizes[i] + kPlanePadding, av_buffer_alloc);
      if (pools_[i] == nullptr) {
        Reset();
        return false;
      }
      linesize_[i] = lines[i];
    }
    format_ = frame->format;
    width_ = frame->width;
    height_ = frame->height;
    return true;
  }

  // Buffers still out stay valid: a pool goes only when its last buffer comes back.
  void Reset() {
    for (AVBufferPool*& pool : pools_) av_buffer_pool_uninit(&pool);
    for (int& line : linesize_) line = 0;
    format_ = -1;
    width_ = height_ = 0;
  }

  std::mutex mutex_;
  AVBufferPool* pools_[4] = {};
  int linesize_[4] = {};
  int format_ = -1, width_ = 0, height_ = 0;
};

// ---- Decoder ----

Decoder::Decoder() = default;
Decoder::~Decoder() { Close(); }

void Decoder::UseFramePool() {
  if (ctx_->codec_type != AVMEDIA_TYPE_VIDEO || ctx_->codec == nullptr ||
      !(ctx_->codec->capabilities & AV_CODEC_CAP_DR1))
    return;
  frames_ = std::make_unique<FramePool>();
  ctx_->opaque = frames_.get();
  ctx_->get_buffer2 = &FramePool::Get;
#if FF_API_THREAD_SAFE_CALLBACKS
  // The pool takes its own lock. (FFmpeg 5 calls every get_buffer2 from its threads, and warns
  // about one that does not say it may.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ctx_->thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#endif
}

void Decoder::Close() {
  // The decoder's threads end first: none can ask the pool for a frame after it is gone.
  avcodec_free_context(&ctx_);
  frames_.reset();
  av_packet_free(&packet_);
  draining_ = false;
}

bool Decoder::Open(const AVCodecParameters* par, bool oneThread) {
  Close();
  LimitLibraryAllocations();
  if (par == nullptr) return false;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (codec == nullptr) return false;
  ctx_ = avcodec_alloc_context3(codec);
  packet_ = av_packet_alloc();
  if (ctx_ == nullptr || packet_ == nullptr || avcodec_parameters_to_context(ctx_, par) < 0) {
    Close();
    return false;
  }
  SetThreads(ctx_, par->width, par->height);
  if (oneThread) {
    ctx_->thread_count = 1;
    ctx_->thread_type = 0;
  }
  ctx_->max_pixels = FramePixelLimit(par->width, par->height);
  UseFramePool();
  if (avcodec_open2(ctx_, codec, nullptr) < 0) {
    Close();
    return false;
  }
  return true;
}

bool Decoder::OpenVideo(AVCodecID id, uint32_t codecTag, int width, int height, int bitsPerCodedSample,
                        const uint8_t* extradata, size_t extradataSize) {
  Close();
  LimitLibraryAllocations();
  const AVCodec* codec = avcodec_find_decoder(id);
  if (codec == nullptr || width < 1 || height < 1 || extradataSize > (1u << 28)) return false;
  ctx_ = avcodec_alloc_context3(codec);
  packet_ = av_packet_alloc();
  if (ctx_ == nullptr || packet_ == nullptr) {
    Close();
    return false;
  }
  ctx_->codec_type = AVMEDIA_TYPE_VIDEO;
  ctx_->codec_tag = codecTag;
  ctx_->width = width;
  ctx_->height = height;
  ctx_->coded_width = width;
  ctx_->coded_height = height;
  ctx_->bits_per_coded_sample = bitsPerCodedSample;
  if (extradata != nullptr && extradataSize > 0) {
    ctx_->extradata = static_cast<uint8_t*>(av_mallocz(extradataSize + AV_INPUT_BUFFER_PADDING_SIZE));
    if (ctx_->extradata == nullptr) {
      Close();
      return false;
    }
    std::memcpy(ctx_->extradata, extradata, extradataSize);
    ctx_->extradata_size = static_cast<int>(extradataSize);
  }
  SetThreads(ctx_, width, height);
  ctx_->max_pixels = FramePixelLimit(width, height);
  UseFramePool();
  if (avcodec_open2(ctx_, codec, nullptr) < 0) {
    Close();
    return false;
  }
  return true;
}

int Decoder::Send(const uint8_t* data, size_t size, int64_t pts, bool key, const uint32_t* palette) {
  if (ctx_ == nullptr) return AVERROR(EINVAL);
  if (data == nullptr) {
    if (draining_) return AVERROR_EOF;
    draining_ = true;
    return avcodec_send_packet(ctx_, nullptr);
  }
  if (size > static_cast<size_t>(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE) return AVERROR(EINVAL);
  av_packet_unref(packet_);
  // The decoders read past the end of their input in whole words: the copy carries the padding
  // they expect, zeroed.
  int err = av_new_packet(packet_, static_cast<int>(size));
  if (err < 0) return err;
  if (size > 0) std::memcpy(packet_->data, data, size);
  packet_->pts = pts;
  packet_->dts = pts;
  if (key) packet_->flags |= AV_PKT_FLAG_KEY;
  if (palette != nullptr) {
    uint8_t* side = av_packet_new_side_data(packet_, AV_PKT_DATA_PALETTE, kPaletteBytes);
    if (side == nullptr) return AVERROR(ENOMEM);
    std::memcpy(side, palette, kPaletteBytes);
  }
  err = avcodec_send_packet(ctx_, packet_);
  av_packet_unref(packet_);
  return err;
}

int Decoder::Send(AVPacket* packet) {
  if (ctx_ == nullptr) return AVERROR(EINVAL);
  if (packet == nullptr) {
    if (draining_) return AVERROR_EOF;
    draining_ = true;
  }
  return avcodec_send_packet(ctx_, packet);
}

int Decoder::Receive(AVFrame* frame) {
  if (ctx_ == nullptr) return AVERROR(EINVAL);
  return avcodec_receive_frame(ctx_, frame);
}

void Decoder::Swap(Decoder& other) {
  std::swap(ctx_, other.ctx_);
  std::swap(packet_, other.packet_);
  std::swap(draining_, other.draining_);
  std::swap(frames_, other.frames_);  // the pools stay where their decoders' opaque points
}

bool StartsOnOneThread(const AVCodecParameters* par) {
  if (par == nullptr || par->codec_type != AVMEDIA_TYPE_VIDEO) return false;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (codec == nullptr || !(codec->capabilities & AV_CODEC_CAP_FRAME_THREADS)) return false;
  const int forced = g_pictureThreads.load();
  const int64_t pixels = static_cast<int64_t>(par->width) * par->height;
  const bool frameThreads = forced > 1 || (forced == 0 && pixels >= kFrameThreadPixels);
  return frameThreads && par->width > 0 && par->height > 0 && pixels <= kOneThreadStartPixels;
}

void Decoder::Flush() {
  if (ctx_ != nullptr) avcodec_flush_buffers(ctx_);
  draining_ = false;
}

// ---- PictureConverter ----

namespace {

void KeepBytes(void*, uint8_t*) {}

// A frame over pixels someone else owns: swscale's frame calls want counted buffers, so the
// frame gets one whose release does nothing (or shares owner's, when owner is a counted frame).
AVFrame* MakeFrameView(uint8_t* const data[4], const int lines[4], AVPixelFormat format, int width, int height,
                       const AVFrame* owner) {
  AVFrame* f = av_frame_alloc();
  if (f == nullptr) return nullptr;
  if (owner != nullptr) {
    if (av_frame_ref(f, owner) < 0) av_frame_free(&f);
    else f->format = format;  // the plain twin of a full-range format, range given apart
    return f;
  }
  f->format = format;
  f->width = width;
  f->height = height;
  for (int i = 0; i < 4; ++i) {
    f->data[i] = data[i];
    f->linesize[i] = lines[i];
  }
  f->buf[0] = av_buffer_create(data[0], 1, KeepBytes, nullptr, 0);
  if (f->buf[0] == nullptr) av_frame_free(&f);
  return f;
}

}  // namespace

int ConversionThreads(int width, int height) {
  // About half a million pixels a band: below that the threads' start costs more than they win.
  const int64_t bands = (static_cast<int64_t>(width) * height) >> 19;
  const int forced = g_pictureThreads.load();
  return static_cast<int>(std::clamp<int64_t>(bands, 1, forced > 0 ? forced : Cores()));
}

PictureConverter::~PictureConverter() { sws_freeContext(sws_); }

bool PictureConverter::Convert(const AVFrame* frame, AVPixelFormat dstFormat, int width, int height, uint8_t* dst,
                               ptrdiff_t stride) {
  if (frame == nullptr || dst == nullptr || width < 1 || height < 1 || frame->width < 1 || frame->height < 1)
    return false;
  const auto srcFormat = static_cast<AVPixelFormat>(frame->format);
  const ptrdiff_t absStride = stride < 0 ? -stride : stride;
  uint8_t* top = stride < 0 ? dst + (height - 1) * absStride : dst;

  if (dstFormat == AV_PIX_FMT_PAL8) {
    // Palette indices cannot be scaled or made from colours: only a palettized picture of the
    // same size converts.
    if (srcFormat != AV_PIX_FMT_PAL8 || frame->width != width || frame->height != height || absStride < width)
      return false;
    for (int y = 0; y < height; ++y)
      std::memcpy(top + y * stride, frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0],
                  static_cast<size_t>(width));
    return true;
  }
  const int rowBytes = av_image_get_linesize(dstFormat, width, 0);
  if (rowBytes <= 0 || rowBytes > absStride) return false;
  if (srcFormat == dstFormat && frame->width == width && frame->height == height) {
    // Nothing to convert: the rows are copied as they are.
    for (int y = 0; y < height; ++y)
      std::memcpy(top + y * stride, frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0],
                  static_cast<size_t>(rowBytes));
    return true;
  }

  bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
  const AVPixelFormat src = PlainFormat(srcFormat, fullRange);
  // Bicubic scaling works in proportion to the larger width times the larger height of the two
  // sizes. A frame tall and narrow for a short, wide description (a damaged stream: a GIF of 881
  // bytes decoded 784 x 12289 frames for a 3072 x 16 description) makes that thousands of times
  // the pixels of either, so such a frame is point-sampled, at a cost of the pixels written.
  const int64_t srcPixels = static_cast<int64_t>(frame->width) * frame->height;
  const int64_t dstPixels = static_cast<int64_t>(width) * height;
  const int64_t span = static_cast<int64_t>(std::max(frame->width, width)) * std::max(frame->height, height);
  const int filter = span <= 2 * std::max(srcPixels, dstPixels) ? SWS_BICUBIC : SWS_POINT;
  const int threads = ConversionThreads(width, height);
  if (!Prepare(frame->width, frame->height, src, width, height, dstFormat, filter, threads)) return false;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(src);
  if (desc != nullptr && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && !(desc->flags & AV_PIX_FMT_FLAG_PAL)) {
    // The matrix the frame names (BT.601 when it names none) and its range; a packed RGB
    // result has no range of its own, and brightness, contrast and saturation stay neutral.
    const int* coefficients = sws_getCoefficients(frame->colorspace);
    sws_setColorspaceDetails(sws_, coefficients, fullRange ? 1 : 0, coefficients, 0, 0, 1 << 16, 1 << 16);
  }
  if (threads > 1) {
    // The threaded path takes frames: the destination is wrapped, not copied, and so is a source
    // that only borrows its bytes.
    const AVFrame* owner = frame->buf[0] != nullptr ? frame : nullptr;
    AVFrame* in = MakeFrameView(frame->data, frame->linesize, src, frame->width, frame->height, owner);
    uint8_t* dstData[4] = {top, nullptr, nullptr, nullptr};
    int dstLines[4] = {static_cast<int>(stride), 0, 0, 0};
    AVFrame* out = MakeFrameView(dstData, dstLines, dstFormat, width, height, nullptr);
    const int err = in != nullptr && out != nullptr ? sws_scale_frame(sws_, out, in) : AVERROR(ENOMEM);
    av_frame_free(&in);
    av_frame_free(&out);
    return err >= 0;
  }
  uint8_t* dstData[4] = {top, nullptr, nullptr, nullptr};
  int dstLines[4] = {static_cast<int>(stride), 0, 0, 0};
  const int rows = sws_scale(sws_, frame->data, frame->linesize, 0, frame->height, dstData, dstLines);
  return rows == height;
}

bool PictureConverter::Prepare(int srcWidth, int srcHeight, AVPixelFormat src, int width, int height,
                               AVPixelFormat dst, int filter, int threads) {
  const Setup setup{srcWidth, srcHeight, src, width, height, dst, filter, threads};
  if (sws_ != nullptr && setup == setup_) return true;
  sws_freeContext(sws_);
  sws_ = sws_alloc_context();
  if (sws_ == nullptr) return false;
  // The same settings sws_getContext makes, and the threads: swscale then converts bands of
  // rows side by side.
  if (av_opt_set_int(sws_, "srcw", srcWidth, 0) < 0 || av_opt_set_int(sws_, "srch", srcHeight, 0) < 0 ||
      av_opt_set_int(sws_, "src_format", src, 0) < 0 || av_opt_set_int(sws_, "dstw", width, 0) < 0 ||
      av_opt_set_int(sws_, "dsth", height, 0) < 0 || av_opt_set_int(sws_, "dst_format", dst, 0) < 0 ||
      av_opt_set_int(sws_, "sws_flags", filter, 0) < 0 || av_opt_set_int(sws_, "threads", threads, 0) < 0 ||
      sws_init_context(sws_, nullptr, nullptr) < 0) {
    sws_freeContext(sws_);
    sws_ = nullptr;
    return false;
  }
  setup_ = setup;
  return true;
}

// ---- SoundConverter ----

SoundConverter::~SoundConverter() {
  swr_free(&swr_);
  av_channel_layout_uninit(&layout_);
}

bool SoundConverter::Append(const AVFrame* frame, std::vector<int16_t>& out) {
  if (frame == nullptr || frame->nb_samples <= 0) return true;
  const int channels = frame->ch_layout.nb_channels;
  if (channels < 1 || channels > 64) return false;
  const size_t old = out.size();
  const size_t add = static_cast<size_t>(frame->nb_samples) * static_cast<size_t>(channels);
  try {
    out.resize(old + add);
  } catch (...) {
    return false;
  }
  if (frame->format == AV_SAMPLE_FMT_S16) {
    std::memcpy(out.data() + old, frame->extended_data[0], add * sizeof(int16_t));
    return true;
  }
  // A layout that names no channels (AVI and WAV files often store none) is taken as the usual
  // one for the count: input and output are the same layout, so nothing is remixed.
  AVChannelLayout layout{};
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&layout, channels);
  } else if (av_channel_layout_copy(&layout, &frame->ch_layout) < 0) {
    out.resize(old);
    return false;
  }
  if (swr_ == nullptr || format_ != frame->format || rate_ != frame->sample_rate ||
      av_channel_layout_compare(&layout, &layout_) != 0) {
    swr_free(&swr_);
    av_channel_layout_uninit(&layout_);
    format_ = -1;
    if (swr_alloc_set_opts2(&swr_, &layout, AV_SAMPLE_FMT_S16, frame->sample_rate, &layout,
                            static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr) < 0 ||
        swr_init(swr_) < 0) {
      swr_free(&swr_);
      av_channel_layout_uninit(&layout);
      out.resize(old);
      return false;
    }
    av_channel_layout_copy(&layout_, &layout);
    format_ = frame->format;
    rate_ = frame->sample_rate;
  }
  av_channel_layout_uninit(&layout);
  auto* outPtr = reinterpret_cast<uint8_t*>(out.data() + old);
  const int got = swr_convert(swr_, &outPtr, frame->nb_samples, const_cast<const uint8_t**>(frame->extended_data),
                              frame->nb_samples);
  if (got < 0) {
    out.resize(old);
    return false;
  }
  out.resize(old + static_cast<size_t>(got) * static_cast<size_t>(channels));
  return true;
}

// ---- Helpers ----

AVPixelFormat DibPixelFormat(int bits) {
  switch (bits) {
    case 8: return AV_PIX_FMT_PAL8;
    case 15:
    case 16: return AV_PIX_FMT_RGB555LE;
    case 24: return AV_PIX_FMT_BGR24;
    case 32: return AV_PIX_FMT_BGR0;
    default: return AV_PIX_FMT_NONE;
  }
}

int NaturalDibDepth(AVPixelFormat decoded) {
  switch (decoded) {
    case AV_PIX_FMT_PAL8: return 8;
    case AV_PIX_FMT_RGB555LE:
    case AV_PIX_FMT_RGB555BE:
    case AV_PIX_FMT_BGR555LE:
    case AV_PIX_FMT_BGR555BE: return 16;
    case AV_PIX_FMT_BGRA:
    case AV_PIX_FMT_BGR0:
    case AV_PIX_FMT_RGBA:
    case AV_PIX_FMT_RGB0:
    case AV_PIX_FMT_ARGB:
    case AV_PIX_FMT_0RGB:
    case AV_PIX_FMT_ABGR:
    case AV_PIX_FMT_0BGR: return 32;
    default: return 24;
  }
}

std::string ErrorString(int err) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, text, sizeof text);
  return text;
}

bool MayReorderPictures(AVCodecID codec) {
  return codec == AV_CODEC_ID_MPEG4 || codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_MPEG1VIDEO ||
         codec == AV_CODEC_ID_MPEG2VIDEO;
}

char CodedPictureType(AVCodecID codec, const uint8_t* data, size_t size) {
  if (data == nullptr || !MayReorderPictures(codec)) return 0;
  for (size_t i = 0; i + 4 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t code = data[i + 3];
    const uint8_t* after = data + i + 4;
    const size_t left = size - i - 4;
    if (codec == AV_CODEC_ID_MPEG4) {
      if (code != 0xB6 || left < 1) continue;  // a video object plane
      return "IPBS"[after[0] >> 6];
    }
    if (codec == AV_CODEC_ID_MPEG1VIDEO || codec == AV_CODEC_ID_MPEG2VIDEO) {
      if (code != 0x00 || left < 2) continue;  // a picture header: 10 bits of order, 3 of type
      const int type = (after[1] >> 3) & 7;
      return type == 1 ? 'I' : type == 2 ? 'P' : type == 3 ? 'B' : 0;
    }
    // H.264: the first slice of the picture (coded slice or IDR slice).
    const int nalType = code & 0x1F;
    if (nalType != 1 && nalType != 5) continue;
    Bits bits(after, left);
    if (bits.Ue() < 0) return 0;  // first_mb_in_slice
    const int64_t sliceType = bits.Ue();
    if (sliceType < 0) return 0;
    switch (sliceType % 5) {
      case 0: return 'P';
      case 1: return 'B';
      case 2: return 'I';
      case 3: return 'P';  // SP
      case 4: return 'I';  // SI
    }
    return 0;
  }
  return 0;
}

}  // namespace tavelo::ffreader

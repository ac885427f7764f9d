#include "platform/vfw/vfw_decompress.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "base/wave_format.h"
#include "ffreader/ff_avi_order.h"

namespace tavelo::platform {

namespace {

constexpr uint32_t kAuds = 0x73647561;  // "auds"
// The largest picture decoded (pixels), and the most decoded pictures held back at once.
constexpr int64_t kMaxPixels = int64_t{1} << 26;
constexpr size_t kMaxQueued = 64;
// Chunks looked back over for the packed chunk a placeholder belongs to.
constexpr int64_t kMaxHeldBack = 8;

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

}  // namespace

std::vector<uint8_t> StreamFormat(const AviStreamData& stream) {
  std::vector<uint8_t> f = stream.Format;
  if (stream.Header.Type != kAuds || f.empty()) return f;
  const size_t stored = f.size();
  if (f.size() < sizeof(WAVEFORMATEX)) f.resize(sizeof(WAVEFORMATEX), 0);
  WAVEFORMATEX w;
  std::memcpy(&w, f.data(), sizeof w);
  // A 16-byte record has no cbSize; a cbSize beyond the bytes present is cut to them.
  const size_t extra = stored > sizeof(WAVEFORMATEX) ? stored - sizeof(WAVEFORMATEX) : 0;
  if (stored < sizeof(WAVEFORMATEX)) w.cbSize = 0;
  if (w.cbSize > extra) w.cbSize = static_cast<uint16_t>(extra);
  std::memcpy(f.data(), &w, sizeof w);
  return f;
}

FrameDecompressor::~FrameDecompressor() {
  ClearQueue();
  av_frame_free(&held_);
  if (rawView_ != nullptr) std::memset(rawView_->data, 0, sizeof rawView_->data);
  av_frame_free(&rawView_);
}

void FrameDecompressor::ClearQueue() {
  for (AVFrame*& f : queue_) av_frame_free(&f);
  queue_.clear();
}

bool FrameDecompressor::Open(const AviStreamData& stream, const std::vector<int64_t>& keyChunks, int fd,
                             const BITMAPINFOHEADER* wanted) {
  stream_ = &stream;
  keys_ = &keyChunks;
  fd_ = fd;
  if (stream.Format.size() < sizeof(BITMAPINFOHEADER)) return false;
  BITMAPINFOHEADER bi;
  std::memcpy(&bi, stream.Format.data(), sizeof bi);
  if (bi.biWidth < 1 || bi.biHeight == 0 || bi.biHeight == INT32_MIN) return false;
  width_ = bi.biWidth;
  height_ = bi.biHeight < 0 ? -bi.biHeight : bi.biHeight;
  if (int64_t{width_} * height_ > kMaxPixels) return false;
  bits_ = bi.biBitCount;
  bottomUp_ = bi.biHeight > 0;

  // The colour table of an 8-bit (or less) stream: biClrUsed entries (all when 0), as many as the
  // format holds, the rest black.
  if (bits_ <= 8) {
    palette_.assign(256, 0xFF000000u);
    const int64_t tableAt = std::max<int64_t>(bi.biSize, sizeof(BITMAPINFOHEADER));
    int64_t colours = bi.biClrUsed != 0 ? bi.biClrUsed : 256;
    colours = std::min<int64_t>({colours, 256, (static_cast<int64_t>(stream.Format.size()) - tableAt) / 4});
    for (int64_t i = 0; i < colours; ++i) {
      const uint8_t* q = stream.Format.data() + tableAt + 4 * i;
      palette_[static_cast<size_t>(i)] = 0xFF000000u | (uint32_t{q[2]} << 16) | (uint32_t{q[1]} << 8) | q[0];
    }
  }

  raw_ = bi.biCompression == BI_RGB || bi.biCompression == BI_BITFIELDS;
  if (raw_) {
    if (bits_ == 8 && bi.biCompression == BI_RGB) {
      rawFormat_ = AV_PIX_FMT_PAL8;
    } else if (bits_ == 16) {
      rawFormat_ = AV_PIX_FMT_RGB555LE;
      if (bi.biCompression == BI_BITFIELDS) {
        if (stream.Format.size() < sizeof(BITMAPINFOHEADER) + 12) return false;
        const uint8_t* m = stream.Format.data() + sizeof(BITMAPINFOHEADER);
        if (Le32(m) == 0xF800 && Le32(m + 4) == 0x07E0 && Le32(m + 8) == 0x001F) rawFormat_ = AV_PIX_FMT_RGB565LE;
        else if (!(Le32(m) == 0x7C00 && Le32(m + 4) == 0x03E0 && Le32(m + 8) == 0x001F)) return false;
      }
    } else if (bits_ == 24 && bi.biCompression == BI_RGB) {
      rawFormat_ = AV_PIX_FMT_BGR24;
    } else if (bits_ == 32) {
      rawFormat_ = AV_PIX_FMT_BGR0;
    } else {
      return false;
    }
    rawStride_ = DibRowBytes(bits_, width_);
  } else {
    const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
    AVCodecID id = av_codec_get_id(tables, bi.biCompression);
    if (id == AV_CODEC_ID_NONE) id = av_codec_get_id(tables, stream.Header.Handler);
    if (id == AV_CODEC_ID_NONE) return false;
    codec_ = id;
    reorder_ = ffreader::MayReorderPictures(id);
    lead_ = 0;
    if (reorder_) {
      const size_t n = stream.Chunks.size();
      types_.assign(n, '?');
      packed_.assign(n, false);
      // An encoder that holds the first B pictures back leaves their slots empty and stores the
      // chunk the first one is packed into at the reference picture's slot: the empty slots are
      // the B pictures', not repeats of the first picture.
      size_t first = 0;
      while (first < n && stream.Chunks[first].Size == 0) ++first;
      size_t second = first + 1;
      while (second < n && stream.Chunks[second].Size == 0) ++second;
      if (id == AV_CODEC_ID_MPEG4 && second < n && second > first + 1) {
        TypeOf(static_cast<int64_t>(second));
        if (packed_[second]) lead_ = static_cast<int64_t>(second - first - 1);
      }
    }
    // The codec's own data follows the 40-byte header (and, for palettized codecs, ends with the
    // colour table), as libavcodec's decoders expect it from AVI files.
    const size_t extra = stream.Format.size() - sizeof(BITMAPINFOHEADER);
    if (id == AV_CODEC_ID_H264) {
      const size_t n = stream.Chunks.size();
      if (extra > 0) counts_.Parameters(stream.Format.data() + sizeof(BITMAPINFOHEADER), extra);
      // The first picture's chunk brings the parameter sets where the format does not.
      size_t first = 0;
      while (first < n && stream.Chunks[first].Size == 0) ++first;
      ffreader::H264Order probe = counts_;
      ffreader::H264Order::Picture picture;
      if (first < n && ReadChunk(static_cast<int64_t>(first)) && probe.Next(chunk_.data(), chunk_.size(), picture) &&
          probe.Readable()) {
        counts_.Parameters(chunk_.data(), chunk_.size());
        byCounts_ = true;
        positionOf_.assign(n, -1);
        chunkAt_.assign(n, -1);
        periodStart_.assign(n, -1);
      }
    }
    if (!decoder_.OpenVideo(id, bi.biCompression, width_, height_, bits_,
                            extra > 0 ? stream.Format.data() + sizeof(BITMAPINFOHEADER) : nullptr, extra))
      return false;
  }

  if (wanted != nullptr) {
    const int32_t wantedHeight = wanted->biHeight < 0 ? -wanted->biHeight : wanted->biHeight;
    if (wanted->biWidth != width_ || wantedHeight != height_ || wanted->biCompression != BI_RGB) return false;
    switch (wanted->biBitCount) {
      case 8:
        if (raw_ && rawFormat_ != AV_PIX_FMT_PAL8) return false;
        outBits_ = 8;
        break;
      case 15:
      case 16: outBits_ = 16; break;
      case 24: outBits_ = 24; break;
      case 32: outBits_ = 32; break;
      default: return false;
    }
  } else if (raw_) {
    outBits_ = rawFormat_ == AV_PIX_FMT_RGB565LE ? 24 : ffreader::NaturalDibDepth(rawFormat_);
  }
  return true;
}

void FrameDecompressor::Rest() {
  // The decoder is flushed when decoding starts again.
  ClearQueue();
  running_ = false;
}

bool FrameDecompressor::ReadChunk(int64_t chunk) {
  const AviChunk& c = stream_->Chunks[static_cast<size_t>(chunk)];
  chunk_.resize(c.Size);
  return c.Size == 0 || ReadAt(fd_, c.Offset, chunk_.data(), c.Size);
}

int64_t FrameDecompressor::ChunkShownAt(int32_t position) const {
  const auto& chunks = stream_->Chunks;
  const int64_t n = static_cast<int64_t>(chunks.size());
  if (position < 0 || position >= n) return -1;
  // An empty chunk repeats the picture before it; past the last chunk (pictures placed ahead of
  // their chunks) the last picture stands.
  int64_t eff = std::min(position + lead_, n - 1);
  while (eff >= 0 && chunks[static_cast<size_t>(eff)].Size == 0) --eff;
  return eff < 0 ? -1 : std::max<int64_t>(eff - lead_, 0);
}

const AVFrame* FrameDecompressor::Picture(int64_t chunk) {
  if (!raw_) return DecodeTo(chunk) ? held_ : nullptr;
  if (!ReadChunk(chunk)) return nullptr;
  // A short chunk (a damaged file) is completed with black rows.
  const int64_t need = rawStride_ * height_;
  if (static_cast<int64_t>(chunk_.size()) < need) chunk_.resize(static_cast<size_t>(need), 0);
  if (rawView_ == nullptr) rawView_ = av_frame_alloc();
  if (rawView_ == nullptr) return nullptr;
  // The frame only borrows the chunk's bytes and the palette.
  rawView_->format = rawFormat_;
  rawView_->width = width_;
  rawView_->height = height_;
  rawView_->data[0] = bottomUp_ ? chunk_.data() + (height_ - 1) * rawStride_ : chunk_.data();
  rawView_->linesize[0] = static_cast<int>(bottomUp_ ? -rawStride_ : rawStride_);
  if (rawFormat_ == AV_PIX_FMT_PAL8) {
    rawView_->data[1] = reinterpret_cast<uint8_t*>(palette_.data());
    rawView_->linesize[1] = 4;
  }
  return rawView_;
}

void* FrameDecompressor::Frame(int32_t position) {
  const int64_t eff = ChunkShownAt(position);
  if (eff < 0) return nullptr;
  if (eff == dibChunk_) return dib_.data();
  dibChunk_ = -1;
  const AVFrame* frame = Picture(eff);
  void* dib = frame != nullptr ? MakeDib(frame) : nullptr;
  if (dib != nullptr) dibChunk_ = eff;
  return dib;
}

bool FrameDecompressor::FrameInto(int32_t position, int32_t width, int32_t height, int32_t bits, uint8_t* dest,
                                  ptrdiff_t stride, uint8_t* colours) {
  if (dest == nullptr || width != width_ || height != height_) return false;
  const int64_t eff = ChunkShownAt(position);
  if (eff < 0) return false;
  const AVFrame* frame = Picture(eff);
  if (frame == nullptr) return false;
  if (outBits_ == 0) outBits_ = ffreader::NaturalDibDepth(static_cast<AVPixelFormat>(frame->format));
  if ((bits == 15 ? 16 : bits) != outBits_) return false;
  if (outBits_ == 8 && !ColourTable(frame, colours)) return false;
  return converter_.Convert(frame, ffreader::DibPixelFormat(outBits_), width_, height_, dest, stride);
}

bool FrameDecompressor::ColourTable(const AVFrame* frame, uint8_t* table) {
  if (frame->format != AV_PIX_FMT_PAL8 || frame->data[1] == nullptr) return false;
  if (table == nullptr) return true;
  for (int i = 0; i < 256; ++i) {
    uint32_t argb;
    std::memcpy(&argb, frame->data[1] + 4 * i, 4);
    table[4 * i] = static_cast<uint8_t>(argb);
    table[4 * i + 1] = static_cast<uint8_t>(argb >> 8);
    table[4 * i + 2] = static_cast<uint8_t>(argb >> 16);
    table[4 * i + 3] = 0;
  }
  return true;
}

char FrameDecompressor::TypeOf(int64_t chunk) {
  const auto& chunks = stream_->Chunks;
  if (!reorder_ || chunk < 0 || chunk >= static_cast<int64_t>(chunks.size())) return 0;
  char& t = types_[static_cast<size_t>(chunk)];
  if (t == '?') {
    const AviChunk& c = chunks[static_cast<size_t>(chunk)];
    scratch_.resize(c.Size);
    t = 0;
    if (c.Size > 0 && ReadAt(fd_, c.Offset, scratch_.data(), c.Size)) {
      t = ffreader::CodedPictureType(codec_, scratch_.data(), scratch_.size());
      packed_[static_cast<size_t>(chunk)] =
          codec_ == AV_CODEC_ID_MPEG4 && ffreader::HoldsPackedB(scratch_.data(), scratch_.size());
    }
  }
  return t;
}

// DivX and Xvid may pack a B picture behind the reference picture shown after it, and write a
// bare picture header as the next chunk: the decoder gives the B picture out on that chunk. B
// chunks between the two are held back in turn, each given out on the chunk after it, so the
// placeholder gives out the last one held. It holds nothing to start decoding from, whatever the
// index says of it.
bool FrameDecompressor::IsPlaceholder(int64_t chunk) {
  const auto& chunks = stream_->Chunks;
  if (codec_ != AV_CODEC_ID_MPEG4 || chunk <= 0 || chunk >= static_cast<int64_t>(chunks.size())) return false;
  const uint32_t size = chunks[static_cast<size_t>(chunk)].Size;
  if (size == 0 || !ffreader::MayBePlaceholder(size) || TypeOf(chunk) == 'B') return false;
  // Empty chunks never reach the decoder.
  for (int64_t j = chunk - 1, looked = 0; j >= 0 && looked < kMaxHeldBack; --j) {
    if (chunks[static_cast<size_t>(j)].Size == 0) continue;
    const char type = TypeOf(j);
    if (packed_[static_cast<size_t>(j)]) return true;
    if (type != 'B') return false;
    ++looked;
  }
  return false;
}

bool FrameDecompressor::IsIdr(int64_t chunk) {
  if (!ReadChunk(chunk)) return false;
  ffreader::H264Order order = counts_;
  ffreader::H264Order::Picture picture;
  return order.Next(chunk_.data(), chunk_.size(), picture) && picture.Idr;
}

// The pictures of an IDR period (from an IDR key frame to the next) are shown at the period's
// own positions, in the order of their order counts.
bool FrameDecompressor::PlacePeriod(int64_t chunk) {
  const auto& chunks = stream_->Chunks;
  const int64_t n = static_cast<int64_t>(chunks.size());
  if (chunk < 0 || chunk >= n) return false;
  if (periodStart_[static_cast<size_t>(chunk)] >= 0) return true;
  const auto& keys = *keys_;
  auto it = std::upper_bound(keys.begin(), keys.end(), chunk);
  int64_t start = -1;
  while (it != keys.begin() && start < 0) {
    --it;
    if (IsIdr(*it)) start = *it;
  }
  if (start < 0) return false;
  int64_t end = n;
  for (auto k = std::upper_bound(keys.begin(), keys.end(), chunk); k != keys.end(); ++k) {
    if (IsIdr(*k)) {
      end = *k;
      break;
    }
  }
  ffreader::H264Order order = counts_;
  std::vector<std::pair<int64_t, int64_t>> byCount;  // (order count, chunk)
  std::vector<int64_t> positions;
  for (int64_t c = start; c < end; ++c) {
    if (chunks[static_cast<size_t>(c)].Size == 0) continue;
    ffreader::H264Order::Picture picture;
    if (!ReadChunk(c) || !order.Next(chunk_.data(), chunk_.size(), picture)) return false;
    byCount.emplace_back(picture.Poc, c);
    positions.push_back(c);
  }
  std::stable_sort(byCount.begin(), byCount.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t r = 0; r < byCount.size(); ++r) {
    positionOf_[static_cast<size_t>(byCount[r].second)] = positions[r];
    chunkAt_[static_cast<size_t>(positions[r])] = byCount[r].second;
  }
  for (int64_t c = start; c < end; ++c) periodStart_[static_cast<size_t>(c)] = start;
  return true;
}

// A B picture is shown just before the reference picture decoded ahead of it; a reference picture
// is shown after the B pictures that follow it in the file, just before the next reference one.
// Empty chunks (repeats) are no pictures of either kind. (chunk is one the decoder gives a
// picture out on: a packed B picture is placed by the chunk after the packed one.)
int64_t FrameDecompressor::PositionOf(int64_t chunk) {
  if (!reorder_) return chunk;
  if (byCounts_ && PlacePeriod(chunk) && positionOf_[static_cast<size_t>(chunk)] >= 0)
    return positionOf_[static_cast<size_t>(chunk)];
  if (IsB(chunk)) return chunk - 1 - lead_;
  const auto& chunks = stream_->Chunks;
  const int64_t n = static_cast<int64_t>(chunks.size());
  int64_t next = chunk + 1;
  while (next < n && (chunks[static_cast<size_t>(next)].Size == 0 || IsB(next))) ++next;
  return next - 1 - lead_;
}

int64_t FrameDecompressor::ChunkAt(int64_t position) {
  if (!reorder_) return position;
  if (byCounts_ && PlacePeriod(position) && chunkAt_[static_cast<size_t>(position)] >= 0)
    return chunkAt_[static_cast<size_t>(position)];
  position += lead_;
  if (IsB(position + 1)) return position + 1;
  const auto& chunks = stream_->Chunks;
  int64_t c = position;
  while (c > 0 && (chunks[static_cast<size_t>(c)].Size == 0 || IsB(c))) --c;
  return c;
}

// The key frame to decode chunk from: the last one at or before it, or an earlier one when the
// chunk is a B picture right behind its key frame (shown before it, predicted from the picture
// before the key frame too).
int64_t FrameDecompressor::StartKey(int64_t chunk) {
  // A period placed by order counts decodes from its IDR picture.
  if (byCounts_ && PlacePeriod(chunk)) return periodStart_[static_cast<size_t>(chunk)];
  const auto& keys = *keys_;
  auto it = std::upper_bound(keys.begin(), keys.end(), chunk);
  for (;;) {
    if (it == keys.begin()) return 0;
    const int64_t key = *(it - 1);
    if (IsPlaceholder(key)) {
      --it;
      continue;
    }
    bool leading = key < chunk;
    for (int64_t c = key + 1; leading && c <= chunk; ++c) leading = IsB(c);
    if (!leading) return key;
    --it;
  }
}

// Decodes until the picture shown at position target is held: on from where decoding stands when
// the target lies ahead with no key frame between, else from the key frame before the target.
bool FrameDecompressor::DecodeTo(int64_t target) {
  if (held_ != nullptr && heldPts_ == target) return true;
  const int64_t key = StartKey(ChunkAt(target));
  const bool ahead = held_ == nullptr || heldPts_ < target;
  if (!(running_ && ahead && key <= nextSend_)) {
    decoder_.Flush();
    ClearQueue();
    av_frame_free(&held_);
    heldPts_ = -1;
    nextSend_ = key;
    running_ = true;
    paletteDue_ = true;
    drained_ = false;
  }
  for (;;) {
    while (!queue_.empty()) {
      AVFrame* f = queue_.front();
      int64_t pts = f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp;
      if (pts != AV_NOPTS_VALUE) pts = PositionOf(pts);
      if (pts != AV_NOPTS_VALUE && pts > target) {
        // The target's picture did not come out (a damaged chunk): the one before it stands.
        if (held_ == nullptr) {
          queue_.pop_front();
          held_ = f;
          heldPts_ = pts;
        }
        return held_ != nullptr;
      }
      queue_.pop_front();
      av_frame_free(&held_);
      held_ = f;
      heldPts_ = pts == AV_NOPTS_VALUE ? target : pts;
      if (heldPts_ == target) return true;
    }
    if (drained_) return held_ != nullptr;
    if (!Feed()) return false;
  }
}

// Sends the next non-empty chunk (or, past the last, the end of the stream) and collects what the
// decoder gives back.
bool FrameDecompressor::Feed() {
  const auto& chunks = stream_->Chunks;
  while (nextSend_ < static_cast<int64_t>(chunks.size()) && chunks[static_cast<size_t>(nextSend_)].Size == 0)
    ++nextSend_;
  if (nextSend_ >= static_cast<int64_t>(chunks.size())) {
    decoder_.Send(nullptr, 0, 0, false);
    drained_ = true;
    Collect();
    return true;
  }
  if (!ReadChunk(nextSend_)) return false;
  const AviChunk& c = chunks[static_cast<size_t>(nextSend_)];
  const uint32_t* palette = paletteDue_ && !palette_.empty() ? palette_.data() : nullptr;
  int err = decoder_.Send(chunk_.data(), chunk_.size(), nextSend_, c.Key, palette);
  while (err == AVERROR(EAGAIN)) {
    Collect();
    err = decoder_.Send(chunk_.data(), chunk_.size(), nextSend_, c.Key, palette);
  }
  paletteDue_ = false;
  ++nextSend_;
  Collect();
  return true;
}

void FrameDecompressor::Collect() {
  for (;;) {
    AVFrame* f = av_frame_alloc();
    if (f == nullptr) return;
    if (decoder_.Receive(f) < 0) {
      av_frame_free(&f);
      return;
    }
    if (queue_.size() >= kMaxQueued) {
      av_frame_free(&f);
      continue;
    }
    queue_.push_back(f);
  }
}

void* FrameDecompressor::MakeDib(const AVFrame* frame) {
  if (outBits_ == 0) outBits_ = ffreader::NaturalDibDepth(static_cast<AVPixelFormat>(frame->format));
  const AVPixelFormat dst = ffreader::DibPixelFormat(outBits_);
  const int64_t stride = DibRowBytes(outBits_, width_);
  const int64_t table = outBits_ == 8 ? 256 * 4 : 0;
  const int64_t pixels = stride * height_;
  // Every pixel is written below; the block is zeroed only when it is made (row padding).
  const size_t size = static_cast<size_t>(sizeof(BITMAPINFOHEADER) + table + pixels);
  if (dib_.size() != size) dib_.assign(size, 0);
  BITMAPINFOHEADER h{};
  h.biSize = sizeof(BITMAPINFOHEADER);
  h.biWidth = width_;
  h.biHeight = height_;  // rows bottom-up, as device-independent bitmaps keep them
  h.biPlanes = 1;
  h.biBitCount = static_cast<uint16_t>(outBits_);
  h.biCompression = BI_RGB;
  h.biSizeImage = static_cast<uint32_t>(pixels);
  h.biClrUsed = outBits_ == 8 ? 256 : 0;
  std::memcpy(dib_.data(), &h, sizeof h);
  uint8_t* bits = dib_.data() + sizeof h + table;
  if (outBits_ == 8 && !ColourTable(frame, dib_.data() + sizeof h)) return nullptr;
  if (!converter_.Convert(frame, dst, width_, height_, bits, -stride)) return nullptr;
  return dib_.data();
}

}  // namespace tavelo::platform

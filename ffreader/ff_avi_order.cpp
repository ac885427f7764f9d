#include "ffreader/ff_avi_order.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffreader/ff_decode.h"

namespace tavelo::ffreader {

namespace {

// The picture header lies within the first bytes of a chunk but after the stream headers a key
// frame may repeat (MPEG-4's object layer, H.264's parameter sets and an encoder's message of a
// few hundred bytes): a chunk whose head tells nothing is read whole, up to this bound.
constexpr size_t kHeadBytes = 64;
constexpr int32_t kMaxWholeChunk = 4 << 20;

// Up to n bytes at offset; the bytes read, -1 on an error.
ssize_t ReadAt(int fd, int64_t at, uint8_t* dest, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd, dest + done, n - done, static_cast<off_t>(at + static_cast<int64_t>(done)));
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Chunks of MPEG audio read at open to confirm that each one is a whole frame: the first and
// the last few, and this many spread between them.
constexpr int kSoundEnds = 8;
constexpr int kSoundSpread = 48;
// No MPEG audio frame is longer (layer 2 at 384 kbit/s and 8 kHz: 6912 bytes).
constexpr int32_t kMaxMpegFrame = 8 << 10;
// Bytes read at a time for those chunks (more than the largest frame and its header).
constexpr size_t kSoundWindow = 32 << 10;

// Whether the demuxer's MPEG audio parser, fresh, hands out data (size bytes, followed by
// libavcodec's padding) as one packet of exactly those bytes lasting samples sample frames, and
// nothing more when flushed. ctx is the parser's codec context, used again for every chunk.
bool OneWholeFrame(AVCodecContext* ctx, AVCodecID codec, const uint8_t* data, int size, int64_t samples) {
  AVCodecParserContext* parser = av_parser_init(codec);
  if (parser == nullptr) return false;
  ctx->codec_id = codec;  // as the demuxer's own parser has it
  uint8_t* out = nullptr;
  int outSize = 0;
  const int used = av_parser_parse2(parser, ctx, &out, &outSize, data, size, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
  bool whole = used == size && outSize == size && parser->duration == samples;
  if (whole) {
    outSize = 0;
    av_parser_parse2(parser, ctx, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    whole = outSize <= 0;
  }
  av_parser_close(parser);
  return whole;
}

}  // namespace

ReadOnlyFile::ReadOnlyFile(const std::string& fileName) : fd_(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC)) {}

ReadOnlyFile::~ReadOnlyFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool AviMpegSoundFromIndex(const std::string& fileName, AVStream* st, std::vector<AudioEntry>& entries) {
  return AviMpegSoundFromIndex(ReadOnlyFile(fileName), st, entries);
}

bool AviMpegSoundFromIndex(const ReadOnlyFile& file, AVStream* st, std::vector<AudioEntry>& entries) {
  entries.clear();
  const AVCodecParameters* par = st->codecpar;
  const AVCodecID codec = par->codec_id;
  if ((codec != AV_CODEC_ID_MP3 && codec != AV_CODEC_ID_MP2 && codec != AV_CODEC_ID_MP1) || par->sample_rate <= 0)
    return false;
  const int n = avformat_index_get_entries_count(st);
  if (n <= 0 || (st->nb_frames > 0 && st->nb_frames != n)) return false;
  // A chunk lasts one tick of the stream's time: a whole number of sample frames.
  const AVRational tb = st->time_base;
  if (tb.num <= 0 || tb.den <= 0 || (int64_t{tb.num} * par->sample_rate) % tb.den != 0) return false;
  const int64_t tick = int64_t{tb.num} * par->sample_rate / tb.den;
  if (tick <= 0) return false;

  std::vector<AudioEntry> made;
  ReservePresent(made, static_cast<size_t>(n));
  int64_t raw = 0;
  int lastSize = 0;  // of a chunk whose packet was found to last one tick
  for (int i = 0; i < n; ++i) {
    const AVIndexEntry* e = avformat_index_get_entry(st, i);
    // Timestamps that count chunks (a stream stored by its sample size counts bytes).
    if (e == nullptr || e->timestamp != i || e->pos < 0 || e->size <= 0 || e->size > kMaxMpegFrame) return false;
    // What a packet of this size lasts, as the scan of the packets reckons it (frames of one
    // rate come in one or two sizes).
    if (e->size != lastSize) {
      int64_t samples = av_get_audio_frame_duration2(const_cast<AVCodecParameters*>(par), e->size);
      if (samples <= 0) samples = tick;
      if (samples != tick) return false;
      lastSize = e->size;
    }
    const int64_t samples = tick;
    // The demuxer gives a packet the position of the chunk's data, after its 8-byte header.
    made.push_back(AudioEntry{e->timestamp, e->pos + 8, raw, samples, 0});
    raw += samples;
  }

  const int fd = file.Fd();
  if (fd < 0) return false;
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(avcodec_alloc_context3(nullptr),
                                                                  [](AVCodecContext* c) { avcodec_free_context(&c); });
  if (ctx == nullptr) return false;
  // The chunks checked, in file order: the first few, some spread between, the last few.
  std::vector<int> checked;
  for (int k = 0; k < kSoundEnds + kSoundSpread + kSoundEnds; ++k) {
    int i = k;
    if (k >= kSoundEnds + kSoundSpread) i = n - (kSoundEnds + kSoundSpread + kSoundEnds - k);
    else if (k >= kSoundEnds) i = static_cast<int>(int64_t{n} * (k - kSoundEnds + 1) / (kSoundSpread + 1));
    if (i >= 0 && i < n) checked.push_back(i);
  }
  std::sort(checked.begin(), checked.end());
  checked.erase(std::unique(checked.begin(), checked.end()), checked.end());
  // Each read takes a chunk and the checked chunks right behind it that fit in the window with it
  // (the first and the last few lie close together); a chunk alone is read alone, not a window
  // around it: the spread ones lie far apart, and copying what lies between cost more than the
  // check itself. The padding after the bytes read is zeroed for the parser.
  const std::unique_ptr<uint8_t[]> window(new uint8_t[kSoundWindow + AV_INPUT_BUFFER_PADDING_SIZE]);
  int64_t windowPos = -1;
  ssize_t windowBytes = 0;
  auto end = [&](size_t k) {
    const AVIndexEntry* e = avformat_index_get_entry(st, checked[k]);
    return e->pos + 8 + int64_t{e->size};
  };
  for (size_t k = 0; k < checked.size(); ++k) {
    const AVIndexEntry* e = avformat_index_get_entry(st, checked[k]);
    const int64_t want = 8 + int64_t{e->size};
    if (windowPos < 0 || e->pos < windowPos || e->pos + want > windowPos + windowBytes) {
      int64_t last = e->pos + want;
      for (size_t j = k + 1; j < checked.size() && end(j) - e->pos <= static_cast<int64_t>(kSoundWindow); ++j)
        last = std::max(last, end(j));
      windowPos = e->pos;
      windowBytes = ReadAt(fd, e->pos, window.get(), static_cast<size_t>(last - e->pos));
      if (windowBytes < 0) return false;
      std::fill_n(window.get() + windowBytes, AV_INPUT_BUFFER_PADDING_SIZE, 0);
    }
    const uint8_t* head = window.get() + (e->pos - windowPos);
    if (e->pos + want > windowPos + windowBytes || Le32(head + 4) != static_cast<uint32_t>(e->size)) return false;
    if (!OneWholeFrame(ctx.get(), codec, head + 8, e->size, tick)) return false;
  }
  entries = std::move(made);
  return true;
}

bool HoldsPackedB(const uint8_t* d, size_t size) {
  bool first = true;
  for (size_t k = 0; k + 4 < size; ++k) {
    if (d[k] != 0 || d[k + 1] != 0 || d[k + 2] != 1 || d[k + 3] != 0xB6) continue;
    if (!first && CodedPictureType(AV_CODEC_ID_MPEG4, d + k, size - k) == 'B') return true;
    first = false;
  }
  return false;
}

bool MayBePlaceholder(size_t size) { return size <= kHeadBytes; }

// B chunks looked back over for the packed chunk a placeholder belongs to.
constexpr size_t kMaxHeldBack = 8;

AviPictureTypes::AviPictureTypes(const std::string& fileName, AVCodecID codec)
    : own_(std::make_unique<ReadOnlyFile>(fileName)), fd_(own_->Fd()), codec_(codec) {}

AviPictureTypes::AviPictureTypes(const ReadOnlyFile& file, AVCodecID codec) : fd_(file.Fd()), codec_(codec) {}

AviPictureTypes::~AviPictureTypes() = default;

bool AviPictureTypes::Read(const AviChunkRef& c, char& type) {
  type = 0;
  if (fd_ < 0 || c.HeaderPos < 0 || c.Size <= 0) return false;
  uint8_t head[8 + kHeadBytes];
  const size_t want = 8 + std::min<size_t>(kHeadBytes, static_cast<size_t>(c.Size));
  if (ReadAt(fd_, c.HeaderPos, head, want) != static_cast<ssize_t>(want) || Le32(head + 4) != static_cast<uint32_t>(c.Size))
    return false;
  type = CodedPictureType(codec_, head + 8, want - 8);
  if (type == 0 && static_cast<size_t>(c.Size) > kHeadBytes && c.Size <= kMaxWholeChunk) {
    whole_.resize(static_cast<size_t>(c.Size));
    if (ReadAt(fd_, c.HeaderPos + 8, whole_.data(), whole_.size()) != static_cast<ssize_t>(whole_.size())) return false;
    type = CodedPictureType(codec_, whole_.data(), whole_.size());
  }
  return true;
}

bool AviPictureTypes::ReadShown(const std::vector<AviChunkRef>& chunks, size_t i, char& type, bool* placeholder) {
  if (placeholder != nullptr) *placeholder = false;
  if (!Read(chunks[i], type)) return false;
  if (codec_ != AV_CODEC_ID_MPEG4 || type == 'B' || i == 0 || !MayBePlaceholder(static_cast<size_t>(chunks[i].Size)))
    return true;
  // The decoder holds a packed B picture back until the next chunk, and then holds back that
  // chunk in turn while it is a B picture: the placeholder gives out the last one held.
  for (size_t j = i; j-- > 0 && i - j <= kMaxHeldBack;) {
    const std::vector<uint8_t>* before = Data(chunks[j], 0);
    if (before == nullptr) return false;
    if (HoldsPackedB(before->data(), before->size())) {
      type = 'B';
      if (placeholder != nullptr) *placeholder = true;
      break;
    }
    if (CodedPictureType(codec_, before->data(), before->size()) != 'B') break;
  }
  return true;
}

const std::vector<uint8_t>* AviPictureTypes::Data(const AviChunkRef& c, size_t max) {
  if (fd_ < 0 || c.HeaderPos < 0 || c.Size <= 0 || c.Size > kMaxWholeChunk) return nullptr;
  uint8_t head[8];
  if (ReadAt(fd_, c.HeaderPos, head, 8) != 8 || Le32(head + 4) != static_cast<uint32_t>(c.Size)) return nullptr;
  const size_t n = max == 0 ? static_cast<size_t>(c.Size) : std::min(max, static_cast<size_t>(c.Size));
  whole_.resize(n);
  if (ReadAt(fd_, c.HeaderPos + 8, whole_.data(), n) != static_cast<ssize_t>(n)) return nullptr;
  return &whole_;
}

}  // namespace tavelo::ffreader

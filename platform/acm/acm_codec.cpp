#include "platform/acm/acm_codec.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/acm/acm_pcm.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

namespace tavelo::platform::acm {

namespace {

struct TableEntry {
  FormatTagInfo info;
  AVCodecID codec;
};

// The format sizes are those of the records the formats are stored with (MS ADPCM carries its
// seven coefficient pairs, the MPEG formats their own extended records).
const TableEntry kTable[] = {
    {{WAVE_FORMAT_PCM, 16, "PCM"}, AV_CODEC_ID_NONE},
    {{WAVE_FORMAT_ADPCM, 50, "MS ADPCM"}, AV_CODEC_ID_ADPCM_MS},
    {{WAVE_FORMAT_IEEE_FLOAT, 18, "IEEE Float"}, AV_CODEC_ID_PCM_F32LE},
    {{WAVE_FORMAT_ALAW, 18, "CCITT A-Law"}, AV_CODEC_ID_PCM_ALAW},
    {{WAVE_FORMAT_MULAW, 18, "CCITT u-Law"}, AV_CODEC_ID_PCM_MULAW},
    {{WAVE_FORMAT_IMA_ADPCM, 20, "IMA ADPCM"}, AV_CODEC_ID_ADPCM_IMA_WAV},
    {{WAVE_FORMAT_GSM610, 20, "GSM 6.10"}, AV_CODEC_ID_GSM_MS},
    {{WAVE_FORMAT_MPEG, 40, "MPEG"}, AV_CODEC_ID_MP2},
    {{WAVE_FORMAT_MPEGLAYER3, 30, "MPEG Layer-3"}, AV_CODEC_ID_MP3},
};
constexpr size_t kTableSize = sizeof(kTable) / sizeof(kTable[0]);

const TableEntry* EntryOf(uint16_t tag) {
  for (const TableEntry& e : kTable)
    if (e.info.tag == tag) return &e;
  return nullptr;
}

bool DecoderPresent(AVCodecID id) { return id == AV_CODEC_ID_NONE || avcodec_find_decoder(id) != nullptr; }

// The codec of a stored format; floats choose by their width.
AVCodecID CodecOf(const WAVEFORMATEX& fmt) {
  const TableEntry* e = EntryOf(fmt.wFormatTag);
  if (!e) return AV_CODEC_ID_NONE;
  if (fmt.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
    return fmt.wBitsPerSample == 64 ? AV_CODEC_ID_PCM_F64LE
                                    : fmt.wBitsPerSample == 32 ? AV_CODEC_ID_PCM_F32LE : AV_CODEC_ID_NONE;
  return e->codec;
}

bool IsMpeg(uint16_t tag) { return tag == WAVE_FORMAT_MPEG || tag == WAVE_FORMAT_MPEGLAYER3; }
bool IsBlockCodec(uint16_t tag) {
  return tag == WAVE_FORMAT_ADPCM || tag == WAVE_FORMAT_IMA_ADPCM || tag == WAVE_FORMAT_GSM610;
}

// IMA ADPCM groups: bytes per channel and samples of one group, for 2 to 5 bits per sample.
constexpr uint32_t kImaGroupBytes[4] = {4, 12, 4, 20};
constexpr uint32_t kImaGroupSamples[4] = {16, 32, 8, 32};
constexpr uint32_t kGsmBlockBytes = 65;
constexpr uint32_t kGsmBlockSamples = 320;

// The checks that do not need the codec: what every stored format must satisfy before any of
// its numbers is used as a size.
bool PlausibleStored(const WAVEFORMATEX& fmt) {
  const uint32_t ch = fmt.nChannels, block = fmt.nBlockAlign, bits = fmt.wBitsPerSample;
  if (ch < 1 || ch > kMaxChannels || fmt.nSamplesPerSec < 1 || fmt.nSamplesPerSec > kMaxRate || block < 1)
    return false;
  switch (fmt.wFormatTag) {
    case WAVE_FORMAT_ADPCM:
      return block >= 7 * ch;
    case WAVE_FORMAT_IEEE_FLOAT:
      return (bits == 32 || bits == 64) && block == bits / 8 * ch;
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
      return block == ch;
    case WAVE_FORMAT_IMA_ADPCM:
      return bits >= 2 && bits <= 5 && block >= 4 * ch;
    case WAVE_FORMAT_GSM610:
      return ch == 1 && block == kGsmBlockBytes;
    case WAVE_FORMAT_MPEG:
    case WAVE_FORMAT_MPEGLAYER3:
      return fmt.nAvgBytesPerSec > 0;
    default:
      return false;
  }
}

// Samples per channel of one MPEG audio frame.
uint32_t MpegFrameSamples(const WAVEFORMATEX& fmt) {
  if (fmt.wFormatTag == WAVE_FORMAT_MPEG && fmt.cbSize >= 2) {
    uint16_t layer = 0;  // fwHeadLayer of the MPEG-1 record: 1, 2 or 4 for layers 1, 2 and 3
    std::memcpy(&layer, reinterpret_cast<const uint8_t*>(&fmt) + sizeof(WAVEFORMATEX), 2);
    if (layer == 1) return 384;
  }
  if (fmt.wFormatTag == WAVE_FORMAT_MPEGLAYER3 && fmt.nSamplesPerSec < 32000) return 576;
  return 1152;
}

}  // namespace

const FormatTagInfo* FindFormatTag(uint16_t tag) {
  // Which decoders this libavcodec has does not change while the program runs.
  static const auto present = [] {
    std::vector<bool> p(kTableSize);
    for (size_t i = 0; i < kTableSize; ++i) p[i] = DecoderPresent(kTable[i].codec);
    return p;
  }();
  for (size_t i = 0; i < kTableSize; ++i)
    if (kTable[i].info.tag == tag) return present[i] ? &kTable[i].info : nullptr;
  return nullptr;
}

uint32_t FormatTagIndex(const FormatTagInfo* info) {
  for (size_t i = 0; i < kTableSize; ++i)
    if (&kTable[i].info == info) return static_cast<uint32_t>(i);
  return 0;
}

uint32_t SourceBlock(const WAVEFORMATEX& fmt) {
  // MPEG audio is a byte stream whose frames the parser finds; its block alignment is written
  // as anything from 1 to the frame's sample count and says nothing about where data may be cut.
  return IsMpeg(fmt.wFormatTag) ? 1 : std::max<uint32_t>(fmt.nBlockAlign, 1);
}

uint32_t MaxFormatSize() {
  uint32_t m = 0;
  for (const TableEntry& e : kTable) m = std::max(m, e.info.formatSize);
  return m;
}

bool CanDecode(const WAVEFORMATEX& fmt) {
  if (fmt.wFormatTag == WAVE_FORMAT_PCM || !FindFormatTag(fmt.wFormatTag) || !PlausibleStored(fmt)) return false;
  Decoder trial;
  return trial.Open(fmt, 2);
}

uint64_t DecodedFrames(const WAVEFORMATEX& fmt, uint64_t srcBytes) {
  if (!PlausibleStored(fmt)) return 0;
  const uint64_t ch = fmt.nChannels, block = fmt.nBlockAlign, blocks = block ? srcBytes / block : 0;
  switch (fmt.wFormatTag) {
    case WAVE_FORMAT_ADPCM:
      return blocks * ((block - 6 * ch) * 2 / ch);
    case WAVE_FORMAT_IMA_ADPCM: {
      const uint32_t k = fmt.wBitsPerSample - 2;
      return blocks * (1 + (block - 4 * ch) / (kImaGroupBytes[k] * ch) * kImaGroupSamples[k]);
    }
    case WAVE_FORMAT_GSM610:
      return blocks * kGsmBlockSamples;
    case WAVE_FORMAT_IEEE_FLOAT:
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
      return blocks;
    case WAVE_FORMAT_MPEG:
    case WAVE_FORMAT_MPEGLAYER3: {
      // The byte rate gives the duration; MPEG audio comes in whole frames, so it is rounded to
      // the nearest whole frame.
      const unsigned __int128 spf = MpegFrameSamples(fmt), avg = fmt.nAvgBytesPerSec;
      const unsigned __int128 num = static_cast<unsigned __int128>(srcBytes) * fmt.nSamplesPerSec * 2 + avg * spf;
      return static_cast<uint64_t>(num / (2 * avg * spf) * spf);
    }
    default:
      return 0;
  }
}

struct MpegSampleCounter::State {
  AVCodecContext* ctx = nullptr;
  AVCodecParserContext* parser = nullptr;
  uint32_t fallback = 1152;  // samples per frame when the parser does not say
  uint64_t samples = 0;
  std::vector<uint64_t> offsets;
  std::vector<uint32_t> frameSamples;
  std::vector<uint8_t> padded;
  ~State() {
    if (parser) av_parser_close(parser);
    avcodec_free_context(&ctx);
  }
  // Counts the frame the parser has just handed out; the parser knows where it began.
  void Take() {
    const uint32_t n = parser->duration > 0 ? static_cast<uint32_t>(parser->duration) : fallback;
    samples += n;
    offsets.push_back(static_cast<uint64_t>(std::max<int64_t>(parser->frame_offset, 0)));
    frameSamples.push_back(n);
  }
  void Parse(const uint8_t* data, int size) {
    while (size > 0) {
      uint8_t* out = nullptr;
      int outSize = 0;
      const int used = av_parser_parse2(parser, ctx, &out, &outSize, data, size, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (outSize > 0) Take();
      if (used <= 0 && outSize <= 0) return;
      data += std::max(used, 0);
      size -= std::max(used, 0);
    }
  }
};

MpegSampleCounter::MpegSampleCounter(const WAVEFORMATEX& fmt) {
  if (!IsMpeg(fmt.wFormatTag)) return;
  auto s = std::make_unique<State>();
  const AVCodecID id = fmt.wFormatTag == WAVE_FORMAT_MPEGLAYER3 ? AV_CODEC_ID_MP3 : AV_CODEC_ID_MP2;
  s->ctx = avcodec_alloc_context3(nullptr);
  s->parser = av_parser_init(id);
  if (s->ctx == nullptr || s->parser == nullptr) return;
  s->fallback = MpegFrameSamples(fmt);
  s_ = std::move(s);
}

MpegSampleCounter::~MpegSampleCounter() = default;

bool MpegSampleCounter::Ok() const { return s_ != nullptr; }

void MpegSampleCounter::Add(const uint8_t* data, size_t size) {
  if (!s_) return;
  while (size > 0) {
    const int piece = static_cast<int>(std::min<size_t>(size, 1 << 20));
    // The parser reads a little past the bytes it is given (it copies with the padding every
    // libavcodec input carries): it gets a padded copy, never the caller's buffer.
    s_->padded.assign(static_cast<size_t>(piece) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(s_->padded.data(), data, static_cast<size_t>(piece));
    s_->Parse(s_->padded.data(), piece);
    data += piece;
    size -= static_cast<size_t>(piece);
  }
}

uint64_t MpegSampleCounter::Finish() {
  if (!s_) return 0;
  // The last frame is held until the parser knows it ends: an empty input lets it go.
  for (int i = 0; i < 4; ++i) {
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(s_->parser, s_->ctx, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (outSize <= 0) break;
    s_->Take();
  }
  return s_->samples;
}

const std::vector<uint64_t>& MpegSampleCounter::FrameOffsets() const {
  static const std::vector<uint64_t> kNone;
  return s_ ? s_->offsets : kNone;
}

const std::vector<uint32_t>& MpegSampleCounter::FrameSamples() const {
  static const std::vector<uint32_t> kNone;
  return s_ ? s_->frameSamples : kNone;
}

struct Decoder::State {
  WAVEFORMATEX fmt{};
  AVCodecID id = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  AVCodecContext* ctx = nullptr;
  AVCodecParserContext* parser = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  uint32_t outBytes = 2;
  std::vector<uint8_t> padded;

  ~State() {
    if (parser) av_parser_close(parser);
    avcodec_free_context(&ctx);
    av_packet_free(&pkt);
    av_frame_free(&frame);
  }
};

Decoder::Decoder() = default;
Decoder::~Decoder() = default;

bool Decoder::Open(const WAVEFORMATEX& fmt, uint32_t outBytes) {
  s_.reset();
  if (!PlausibleStored(fmt) || outBytes < 1 || outBytes > 4) return false;
  auto s = std::make_unique<State>();
  s->fmt = fmt;
  s->outBytes = outBytes;
  s->id = CodecOf(fmt);
  if (s->id == AV_CODEC_ID_NONE) return false;
  s->codec = avcodec_find_decoder(s->id);
  if (!s->codec) return false;
  s->ctx = avcodec_alloc_context3(s->codec);
  s->pkt = av_packet_alloc();
  s->frame = av_frame_alloc();
  if (!s->ctx || !s->pkt || !s->frame) return false;
  AVCodecContext* c = s->ctx;
  c->sample_rate = static_cast<int>(fmt.nSamplesPerSec);
  av_channel_layout_default(&c->ch_layout, fmt.nChannels);
  c->block_align = fmt.nBlockAlign;
  c->bits_per_coded_sample = fmt.wBitsPerSample;
  c->bit_rate = static_cast<int64_t>(fmt.nAvgBytesPerSec) * 8;
  if (fmt.cbSize > 0) {
    // The codec's extra data follows the record; its length was checked by whoever read the
    // record from a file.
    c->extradata = static_cast<uint8_t*>(av_mallocz(fmt.cbSize + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!c->extradata) return false;
    std::memcpy(c->extradata, reinterpret_cast<const uint8_t*>(&fmt) + sizeof(WAVEFORMATEX), fmt.cbSize);
    c->extradata_size = fmt.cbSize;
  }
  if (avcodec_open2(c, s->codec, nullptr) < 0) return false;
  if (IsMpeg(fmt.wFormatTag)) {
    s->parser = av_parser_init(s->id);
    if (!s->parser) return false;
  }
  s_ = std::move(s);
  return true;
}

void Decoder::Reset() {
  if (!s_) return;
  avcodec_flush_buffers(s_->ctx);
  if (s_->parser) {
    // A parser has no reset of its own: a fresh one forgets the partial frame it held.
    av_parser_close(s_->parser);
    s_->parser = av_parser_init(s_->id);
  }
}

uint32_t Decoder::PieceBytes(uint32_t avail, uint64_t wantFrames) const {
  if (!s_) return 0;
  const uint32_t block = SourceBlock(s_->fmt);
  const uint32_t blocks = avail / block;
  if (blocks == 0) return 0;
  const uint16_t tag = s_->fmt.wFormatTag;
  if (IsBlockCodec(tag)) return block;  // one block per packet, as they are stored
  uint64_t n;
  if (IsMpeg(tag)) {
    n = 1024;  // the parser cuts the frames out of any run of bytes
  } else {
    n = std::clamp<uint64_t>(wantFrames, 1, 65536);  // one sample frame per block
  }
  return static_cast<uint32_t>(std::min<uint64_t>(n, blocks) * block);
}

namespace {

// Appends the frame as interleaved PCM of outBytes per sample and the given channel count. A
// decoder that reports another channel count than the stored format (damaged or odd files)
// is mapped onto it: missing channels repeat the last one, extra ones are dropped.
void AppendFrame(const AVFrame* f, uint32_t channels, uint32_t outBytes, std::vector<uint8_t>& out) {
  const int n = f->nb_samples;
  const int fch = f->ch_layout.nb_channels;
  if (n <= 0 || fch <= 0) return;
  const auto fmt = static_cast<AVSampleFormat>(f->format);
  const bool planar = av_sample_fmt_is_planar(fmt);
  const AVSampleFormat packed = av_get_packed_sample_fmt(fmt);
  const int bps = av_get_bytes_per_sample(packed);
  if (bps <= 0) return;
  const uint32_t block = channels * outBytes;
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(n) * block);
  uint8_t* dst = out.data() + at;
  const int shift = 32 - 8 * static_cast<int>(outBytes);
  const double scale = std::ldexp(1.0, 8 * static_cast<int>(outBytes) - 1);
  for (int s = 0; s < n; ++s) {
    for (uint32_t c = 0; c < channels; ++c) {
      const int sc = std::min<int>(static_cast<int>(c), fch - 1);
      const uint8_t* p = planar ? f->extended_data[sc] + static_cast<size_t>(s) * bps
                                : f->extended_data[0] + (static_cast<size_t>(s) * fch + sc) * bps;
      int32_t v = 0;
      switch (packed) {
        case AV_SAMPLE_FMT_U8:
          v = static_cast<int32_t>(static_cast<uint32_t>(p[0] ^ 0x80u) << 24);
          break;
        case AV_SAMPLE_FMT_S16: {
          int16_t x;
          std::memcpy(&x, p, 2);
          v = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(x)) << 16);
          break;
        }
        case AV_SAMPLE_FMT_S32:
          std::memcpy(&v, p, 4);
          break;
        case AV_SAMPLE_FMT_S64: {
          int64_t x;
          std::memcpy(&x, p, 8);
          v = static_cast<int32_t>(x >> 32);
          break;
        }
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_DBL: {
          double x;
          if (packed == AV_SAMPLE_FMT_FLT) {
            float xf;
            std::memcpy(&xf, p, 4);
            x = xf;
          } else {
            std::memcpy(&x, p, 8);
          }
          // Rounded to the nearest step of the output width and clipped, the way FFmpeg's own
          // sample conversion does it, so a decode here matches one by the ffmpeg tool.
          double y = x * scale;
          if (std::isnan(y)) y = 0;
          y = std::clamp(y, -scale, scale - 1);
          const int64_t r = std::llrint(y);
          v = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(r)) << shift);
          break;
        }
        default:
          break;
      }
      WriteSample(dst + static_cast<size_t>(s) * block + c * outBytes, outBytes, v);
    }
  }
}

}  // namespace

MMRESULT Decoder::Receive(std::vector<uint8_t>& out) {
  for (;;) {
    const int ret = avcodec_receive_frame(s_->ctx, s_->frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return MMSYSERR_NOERROR;
    if (ret == AVERROR(ENOMEM)) return MMSYSERR_NOMEM;
    if (ret < 0) return MMSYSERR_NOERROR;  // a damaged packet: it is dropped
    AppendFrame(s_->frame, s_->fmt.nChannels, s_->outBytes, out);
    av_frame_unref(s_->frame);
  }
}

MMRESULT Decoder::SendPacket(const uint8_t* data, int size, std::vector<uint8_t>& out) {
  // A packet that does not own its data is copied (with the padding decoders read over) by
  // libavcodec, so the caller's buffer needs no padding.
  s_->pkt->data = const_cast<uint8_t*>(data);
  s_->pkt->size = size;
  int ret = avcodec_send_packet(s_->ctx, data ? s_->pkt : nullptr);
  if (ret == AVERROR(EAGAIN)) {
    if (MMRESULT r = Receive(out)) return r;
    ret = avcodec_send_packet(s_->ctx, data ? s_->pkt : nullptr);
  }
  s_->pkt->data = nullptr;
  s_->pkt->size = 0;
  if (ret == AVERROR(ENOMEM)) return MMSYSERR_NOMEM;
  // Any other refusal is damaged data, skipped like a player skips it.
  return Receive(out);
}

MMRESULT Decoder::Feed(const uint8_t* data, uint32_t size, std::vector<uint8_t>& out) {
  if (!s_ || size == 0) return MMSYSERR_NOERROR;
  if (!s_->parser) return SendPacket(data, static_cast<int>(size), out);
  // The parser reads a little past the bytes it is given (it copies with the padding every
  // libavcodec input carries), so it gets a padded copy rather than the caller's buffer.
  std::vector<uint8_t>& padded = s_->padded;
  padded.assign(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  std::memcpy(padded.data(), data, size);
  data = padded.data();
  int stalls = 0;
  while (size > 0) {
    uint8_t* frame = nullptr;
    int frameSize = 0;
    const int used = av_parser_parse2(s_->parser, s_->ctx, &frame, &frameSize, data, static_cast<int>(size),
                                      AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) return MMSYSERR_NOMEM;
    if (frameSize > 0)
      if (MMRESULT r = SendPacket(frame, frameSize, out)) return r;
    // A parser may hand out a frame it held without taking new bytes; one that keeps taking
    // nothing would never finish.
    if (used == 0 && (frameSize == 0 || ++stalls > 8)) break;
    if (used > 0) stalls = 0;
    data += used;
    size -= static_cast<uint32_t>(used);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT Decoder::Flush(std::vector<uint8_t>& out) {
  if (!s_) return MMSYSERR_NOERROR;
  MMRESULT r = MMSYSERR_NOERROR;
  if (s_->parser) {
    uint8_t* frame = nullptr;
    int frameSize = 0;
    av_parser_parse2(s_->parser, s_->ctx, &frame, &frameSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (frameSize > 0) r = SendPacket(frame, frameSize, out);
  }
  if (r == MMSYSERR_NOERROR) r = SendPacket(nullptr, 0, out);
  Reset();
  return r;
}

}  // namespace tavelo::platform::acm

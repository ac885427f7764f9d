#include "platform/acm/acm.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "platform/acm/acm_codec.h"
#include "platform/acm/acm_pcm.h"

namespace tavelo::platform {

// One open conversion: an optional decoder (stored format to PCM at the stored rate and channel
// count, already at the destination's sample width), then the PCM converter to the destination.
// What the converter produced beyond the caller's destination buffer waits in pending.
struct AcmStreamRec {
  WAVEFORMATEX src{};
  WAVEFORMATEX dst{};
  uint32_t srcBlock = 0;
  uint32_t dstBlock = 0;
  std::unique_ptr<acm::Decoder> decoder;
  acm::PcmConverter conv;
  std::vector<uint8_t> work;
  std::vector<uint8_t> pending;
  size_t pendingPos = 0;

  void Reset() {
    if (decoder) decoder->Reset();
    conv.Reset();
    pending.clear();
    pendingPos = 0;
  }
};

namespace {

// Handles are checked against the open streams, so a stale or foreign handle is refused
// instead of being followed.
std::mutex& StreamsLock() {
  static std::mutex m;
  return m;
}
std::unordered_set<AcmStreamRec*>& Streams() {
  static std::unordered_set<AcmStreamRec*> s;
  return s;
}
bool Live(HACMSTREAM has) {
  std::lock_guard<std::mutex> lock(StreamsLock());
  return has && Streams().count(has) > 0;
}

// The driver words of a prepared header: what it was prepared with.
enum { kPrepSrc = 0, kPrepSrcLen = 1, kPrepDst = 2, kPrepDstLen = 3, kPrepStream = 4 };

MMRESULT CheckHeader(HACMSTREAM has, const ACMSTREAMHEADER* h) {
  if (!Live(has)) return MMSYSERR_INVALHANDLE;
  if (!h || h->cbStruct != sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

bool SameAsPrepared(HACMSTREAM has, const ACMSTREAMHEADER& h) {
  return h.dwReservedDriver[kPrepStream] == reinterpret_cast<uintptr_t>(has) &&
         h.dwReservedDriver[kPrepSrc] == reinterpret_cast<uintptr_t>(h.pbSrc) &&
         h.dwReservedDriver[kPrepDst] == reinterpret_cast<uintptr_t>(h.pbDst);
}

void Drain(AcmStreamRec& st, uint8_t* dst, uint32_t cap, uint32_t& out) {
  const size_t left = st.pending.size() - st.pendingPos;
  const size_t n = std::min<size_t>(left, cap - out);
  if (n > 0) {
    std::memcpy(dst + out, st.pending.data() + st.pendingPos, n);
    st.pendingPos += n;
    out += static_cast<uint32_t>(n);
  }
  if (st.pendingPos == st.pending.size()) {
    st.pending.clear();
    st.pendingPos = 0;
  }
}

// Decoded PCM (the intermediate shape) through the converter into pending.
void ConvertWork(AcmStreamRec& st) {
  const uint32_t block = st.conv.Source().Block();
  st.conv.Convert(st.work.data(), st.work.size() / block, st.pending);
  st.work.clear();
}

MMRESULT Process(AcmStreamRec& st, ACMSTREAMHEADER& h, uint32_t flags) {
  if (flags & ACM_STREAMCONVERTF_START) st.Reset();
  const uint32_t srcLen = h.cbSrcLength;
  const uint32_t cap = h.cbDstLength / st.dstBlock * st.dstBlock;
  uint32_t used = 0, out = 0;
  Drain(st, h.pbDst, cap, out);
  while (out < cap) {
    const uint32_t avail = srcLen - used;
    const uint64_t room = st.conv.InFramesFor((cap - out) / st.dstBlock);
    if (st.decoder) {
      const uint32_t piece = st.decoder->PieceBytes(avail, room);
      if (piece == 0) break;
      if (MMRESULT r = st.decoder->Feed(h.pbSrc + used, piece, st.work)) return r;
      ConvertWork(st);
      used += piece;
    } else {
      const uint64_t frames = std::min<uint64_t>(avail / st.srcBlock, room);
      if (frames == 0) break;
      st.conv.Convert(h.pbSrc + used, frames, st.pending);
      used += static_cast<uint32_t>(frames * st.srcBlock);
    }
    Drain(st, h.pbDst, cap, out);
  }
  // The end of the stream is reached once every whole block is taken: without BLOCKALIGN a
  // partial last block is decoded as far as it goes, then the held-back output is let out.
  const uint32_t rest = srcLen - used;
  if ((flags & ACM_STREAMCONVERTF_END) && rest < st.srcBlock) {
    if (st.decoder) {
      if (rest > 0 && !(flags & ACM_STREAMCONVERTF_BLOCKALIGN)) {
        if (MMRESULT r = st.decoder->Feed(h.pbSrc + used, rest, st.work)) return r;
        used += rest;
      }
      if (MMRESULT r = st.decoder->Flush(st.work)) return r;
      ConvertWork(st);
    }
    st.conv.Finish(st.pending);
    st.conv.Reset();
    Drain(st, h.pbDst, cap, out);
  }
  h.cbSrcLengthUsed = used;
  h.cbDstLengthUsed = out;
  return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, uint32_t fdwOpen) {
  if (!phas || !pwfxSrc || !pwfxDst) return MMSYSERR_INVALPARAM;
  *phas = nullptr;
  if (had) return MMSYSERR_INVALHANDLE;
  if (fdwOpen & ~ACM_STREAMOPENF_NONREALTIME) return MMSYSERR_INVALFLAG;
  if (pwfltr) return MMSYSERR_NOTSUPPORTED;
  try {
    acm::PcmShape dst, mid;
    if (!acm::PcmShapeOf(*pwfxDst, dst)) return ACMERR_NOTPOSSIBLE;
    auto st = std::make_unique<AcmStreamRec>();
    st->src = *pwfxSrc;
    st->dst = *pwfxDst;
    st->srcBlock = acm::SourceBlock(*pwfxSrc);
    st->dstBlock = dst.Block();
    if (pwfxSrc->wFormatTag == WAVE_FORMAT_PCM) {
      if (!acm::PcmShapeOf(*pwfxSrc, mid)) return ACMERR_NOTPOSSIBLE;
    } else {
      if (!acm::FindFormatTag(pwfxSrc->wFormatTag)) return ACMERR_NOTPOSSIBLE;
      st->decoder = std::make_unique<acm::Decoder>();
      if (!st->decoder->Open(*pwfxSrc, dst.bytes)) return ACMERR_NOTPOSSIBLE;
      mid.rate = pwfxSrc->nSamplesPerSec;
      mid.channels = pwfxSrc->nChannels;
      mid.bytes = dst.bytes;
    }
    if (!acm::PcmConverter::Supported(mid, dst)) return ACMERR_NOTPOSSIBLE;
    st->conv.Setup(mid, dst);
    {
      std::lock_guard<std::mutex> lock(StreamsLock());
      Streams().insert(st.get());
    }
    *phas = st.release();
    return MMSYSERR_NOERROR;
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  } catch (...) {
    return MMSYSERR_ERROR;
  }
}

MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose) {
  if (fdwClose != 0) return MMSYSERR_INVALFLAG;
  {
    std::lock_guard<std::mutex> lock(StreamsLock());
    if (!has || Streams().erase(has) == 0) return MMSYSERR_INVALHANDLE;
  }
  delete has;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes, uint32_t fdwSize) {
  if (!Live(has)) return MMSYSERR_INVALHANDLE;
  if (!pdwOutputBytes) return MMSYSERR_INVALPARAM;
  if (fdwSize != ACM_STREAMSIZEF_SOURCE) return MMSYSERR_NOTSUPPORTED;
  const uint64_t frames = has->decoder ? acm::DecodedFrames(has->src, cbInput) : cbInput / has->srcBlock;
  const uint64_t bytes = frames == 0 ? 0 : has->conv.OutFrames(frames) * has->dstBlock;
  if (bytes > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
  *pdwOutputBytes = static_cast<uint32_t>(bytes);
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare) {
  if (MMRESULT r = CheckHeader(has, pash)) return r;
  if (fdwPrepare != 0) return MMSYSERR_INVALFLAG;
  if (pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) return MMSYSERR_NOERROR;
  if (!pash->pbSrc || !pash->pbDst) return MMSYSERR_INVALPARAM;
  pash->dwReservedDriver[kPrepSrc] = reinterpret_cast<uintptr_t>(pash->pbSrc);
  pash->dwReservedDriver[kPrepSrcLen] = pash->cbSrcLength;
  pash->dwReservedDriver[kPrepDst] = reinterpret_cast<uintptr_t>(pash->pbDst);
  pash->dwReservedDriver[kPrepDstLen] = pash->cbDstLength;
  pash->dwReservedDriver[kPrepStream] = reinterpret_cast<uintptr_t>(has);
  pash->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare) {
  if (MMRESULT r = CheckHeader(has, pash)) return r;
  if (fdwUnprepare != 0) return MMSYSERR_INVALFLAG;
  if (!(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
  if (!SameAsPrepared(has, *pash) || pash->cbSrcLength != pash->dwReservedDriver[kPrepSrcLen] ||
      pash->cbDstLength != pash->dwReservedDriver[kPrepDstLen])
    return MMSYSERR_INVALPARAM;
  pash->fdwStatus &= ~(ACMSTREAMHEADER_STATUSF_PREPARED | ACMSTREAMHEADER_STATUSF_DONE);
  std::fill(std::begin(pash->dwReservedDriver), std::end(pash->dwReservedDriver), 0);
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert) {
  if (MMRESULT r = CheckHeader(has, pash)) return r;
  if (fdwConvert & ~(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END))
    return MMSYSERR_INVALFLAG;
  if (!(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
  // The buffers must be those the header was prepared with, and no longer.
  if (!SameAsPrepared(has, *pash) || pash->cbSrcLength > pash->dwReservedDriver[kPrepSrcLen] ||
      pash->cbDstLength > pash->dwReservedDriver[kPrepDstLen])
    return MMSYSERR_INVALPARAM;
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
  pash->cbSrcLengthUsed = 0;
  pash->cbDstLengthUsed = 0;
  MMRESULT r;
  try {
    r = Process(*has, *pash, fdwConvert);
  } catch (const std::bad_alloc&) {
    r = MMSYSERR_NOMEM;
  } catch (...) {
    r = MMSYSERR_ERROR;
  }
  pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return r;
}

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest) {
  if (had) return MMSYSERR_INVALHANDLE;
  if (!pwfxSrc || !pwfxDst) return MMSYSERR_INVALPARAM;
  if (fdwSuggest & ~ACM_FORMATSUGGESTF_WFORMATTAG) return MMSYSERR_INVALFLAG;
  // The PCM record without cbSize is 16 bytes: nothing shorter can take a suggestion.
  if (cbwfxDst < 16) return MMSYSERR_INVALPARAM;
  if ((fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) && pwfxDst->wFormatTag != WAVE_FORMAT_PCM)
    return ACMERR_NOTPOSSIBLE;
  WAVEFORMATEX s{};
  acm::PcmShape shape;
  try {
    if (pwfxSrc->wFormatTag == WAVE_FORMAT_PCM) {
      if (!acm::PcmShapeOf(*pwfxSrc, shape)) return ACMERR_NOTPOSSIBLE;
      s = *pwfxSrc;
    } else {
      if (!acm::CanDecode(*pwfxSrc)) return ACMERR_NOTPOSSIBLE;
      s.wFormatTag = WAVE_FORMAT_PCM;
      s.nChannels = pwfxSrc->nChannels;
      s.nSamplesPerSec = pwfxSrc->nSamplesPerSec;
      s.wBitsPerSample = 16;
      s.nBlockAlign = static_cast<uint16_t>(2 * s.nChannels);
      s.nAvgBytesPerSec = s.nSamplesPerSec * s.nBlockAlign;
    }
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  s.cbSize = 0;
  std::memcpy(pwfxDst, &s, std::min<size_t>(cbwfxDst, sizeof(WAVEFORMATEX)));
  return MMSYSERR_NOERROR;
}

MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void* pMetric) {
  if (hao) return MMSYSERR_INVALHANDLE;
  if (uMetric != ACM_METRIC_MAX_SIZE_FORMAT) return MMSYSERR_NOTSUPPORTED;
  if (!pMetric) return MMSYSERR_INVALPARAM;
  const uint32_t size = acm::MaxFormatSize();
  std::memcpy(pMetric, &size, sizeof size);
  return MMSYSERR_NOERROR;
}

MMRESULT acmFormatTagDetailsA(HACMDRIVER had, ACMFORMATTAGDETAILSA* pafd, uint32_t fdwDetails) {
  if (had) return MMSYSERR_INVALHANDLE;
  if (!pafd || pafd->cbStruct < sizeof(ACMFORMATTAGDETAILSA)) return MMSYSERR_INVALPARAM;
  if (fdwDetails != ACM_FORMATTAGDETAILSF_FORMATTAG) return MMSYSERR_NOTSUPPORTED;
  if (pafd->dwFormatTag > 0xFFFF) return ACMERR_NOTPOSSIBLE;
  const acm::FormatTagInfo* info = nullptr;
  try {
    info = acm::FindFormatTag(static_cast<uint16_t>(pafd->dwFormatTag));
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  if (!info) return ACMERR_NOTPOSSIBLE;
  pafd->dwFormatTagIndex = acm::FormatTagIndex(info);
  pafd->cbFormatSize = info->formatSize;
  pafd->fdwSupport =
      info->tag == WAVE_FORMAT_PCM ? ACMDRIVERDETAILS_SUPPORTF_CONVERTER : ACMDRIVERDETAILS_SUPPORTF_CODEC;
  pafd->cFormats = 1;
  std::memset(pafd->szFormatTag, 0, sizeof pafd->szFormatTag);
  std::strncpy(pafd->szFormatTag, info->name, sizeof pafd->szFormatTag - 1);
  return MMSYSERR_NOERROR;
}

}  // namespace tavelo::platform

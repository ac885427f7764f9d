#include "formats/units/ff_wav.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_unit.h"
#include "formats/units/ff_avi_names.h"
#include "platform/acm/acm.h"
#include "platform/acm/acm_codec.h"

namespace tavelo {

using namespace platform;

namespace {

constexpr FOURCC kWave = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');

// A "fmt " chunk holds the 18-byte record and its extra data; the largest known format is a few
// dozen bytes, so anything past this is skipped rather than allocated.
constexpr int64_t kMaxFormatBytes = 4096;
// One read takes about a second of stored data; a byte rate beyond this is not believed.
constexpr int64_t kMaxReadBytes = int64_t{16} << 20;
// Chunks that are stepped over are read through a scratch block of at most this size.
constexpr int64_t kScratchBytes = 65536;

void ClearWav(WavHandle& h) { std::memset(static_cast<void*>(&h), 0, sizeof h); }

constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

// The format tag an extensible format's sub-format GUID stands for: the GUID of a plain format
// is its tag followed by the fixed 14 bytes below. The tag stays the extensible one (which no
// conversion takes) when the extra data is short or the GUID is another.
uint16_t ExtensibleSubFormat_(const WAVEFORMATEX& in) {
  static constexpr uint8_t kTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  // After the 18-byte record: valid bits (2), channel mask (4), then the 16-byte GUID.
  if (in.cbSize < 22) return in.wFormatTag;
  const uint8_t* guid = reinterpret_cast<const uint8_t*>(&in) + 18 + 6;
  const uint16_t tag = static_cast<uint16_t>(guid[0] | guid[1] << 8);
  if (std::memcmp(guid + 2, kTail, sizeof kTail) != 0) return in.wFormatTag;
  return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT ? tag : in.wFormatTag;
}

template <class T>
bool StillOwned(T*& p) {
  if (p != nullptr && MemFind(p, 3) == 0x7FFFFFFF) p = nullptr;
  return p != nullptr;
}

}  // namespace

void WAVAbort_(WavHandle& h) {
  WAVClose(h);
  SetError(ecWav, 1, 98);
}

void ReadIntoExtra_(HMMIO mmio, int64_t bytes) {
  void* lp = nullptr;
  if (bytes > 0) _memalloc_(lp, std::min(bytes, kScratchBytes), 40, "FF_WAV.ReadIntoExtra_.lp", mkResizable);
  while (bytes > 0) {
    const int32_t piece = static_cast<int32_t>(std::min(bytes, kScratchBytes));
    if (mmioRead(mmio, lp, piece) != piece) SetError(ecWav, 3, 45);
    bytes -= piece;
  }
  if (lp != nullptr) MemFree(lp);
}

MMRESULT FindChunkAndKeepExtras_(HMMIO mmio, MMCKINFO& chunk, const MMCKINFO* parent, uint32_t flags) {
  for (;;) {
    MMCKINFO ck{};
    const MMRESULT r = mmioDescend(mmio, &ck, parent, 0);
    if (r != 0) return r;
    bool match = true;
    if (flags & MMIO_FINDCHUNK) match = ck.ckid == chunk.ckid;
    else if (flags & MMIO_FINDRIFF) match = ck.ckid == FOURCC_RIFF && ck.fccType == chunk.fccType;
    else if (flags & MMIO_FINDLIST) match = ck.ckid == FOURCC_LIST && ck.fccType == chunk.fccType;
    if (match) {
      chunk = ck;
      return 0;
    }
    // Read over the chunk's data from its data offset, and over the pad byte of an odd size, so
    // that the next descend starts at a chunk header.
    if (mmioSeek(mmio, static_cast<int32_t>(ck.dwDataOffset), SEEK_SET) != static_cast<int32_t>(ck.dwDataOffset))
      SetError(ecWav, 3, 45);
    ReadIntoExtra_(mmio, ck.cksize);
    if (ck.cksize & 1) {
      char pad = 0;
      mmioRead(mmio, &pad, 1);  // the last chunk of a file may lack it
    }
  }
}

void WAVOpen(WavHandle& h, const std::string& fileName) {
  TraceScope trace("FF_WAV.WAVOpen");
  BeginMonitor();
  try {
    ClearWav(h);
    h.File = mmioOpenA(fileName.c_str(), nullptr, MMIO_READ);
    if (h.File == 0) SetError(ecWav, 1, 115);
    const int64_t fileSize = FSize(h.File);

    MMCKINFO riff{};
    if (mmioDescend(h.File, &riff, nullptr, 0) != 0 || riff.ckid != FOURCC_RIFF || riff.fccType != kWave) WAVAbort_(h);

    MMCKINFO fmt{};
    fmt.ckid = kFmt;
    if (FindChunkAndKeepExtras_(h.File, fmt, &riff, MMIO_FINDCHUNK) != 0) WAVAbort_(h);
    const int64_t formatBytes = std::min<int64_t>(fmt.cksize, kMaxFormatBytes);
    const int64_t held = std::max<int64_t>(formatBytes, 18);
    _memalloc_(h.State.InFormat, held, 120, "FF_WAV.WAVOpen.wf.sl.InFormat", mkResizable);
    std::memset(h.State.InFormat, 0, static_cast<size_t>(held));
    h.State.InFormatSize = static_cast<int32_t>(held);
    if (mmioRead(h.File, h.State.InFormat, static_cast<int32_t>(formatBytes)) != formatBytes) WAVAbort_(h);
    if (mmioAscend(h.File, &fmt, 0) != 0) WAVAbort_(h);
    WAVEFORMATEX& in = *h.State.InFormat;
    // The extra data is what the chunk really holds, whatever its own count says.
    if (18 + int64_t{in.cbSize} > held) in.cbSize = static_cast<uint16_t>(held - 18);
    // The extensible form (what sox and ffmpeg write for more than 16 bits, float or more than
    // two channels) is read as the format its sub-format names, PCM or float.
    if (in.wFormatTag == kWaveFormatExtensible) in.wFormatTag = ExtensibleSubFormat_(in);
    h.State.FormatTag = in.wFormatTag;

    MMCKINFO data{};
    data.ckid = kData;
    if (FindChunkAndKeepExtras_(h.File, data, &riff, MMIO_FINDCHUNK) != 0) WAVAbort_(h);
    // A data size past the end of the file (a cut file, or one written to a pipe) is what is there.
    if (int64_t{data.dwDataOffset} + data.cksize > fileSize)
      data.cksize = static_cast<uint32_t>(std::max<int64_t>(fileSize - data.dwDataOffset, 0));
    h.Data = data;
    h.DataEnd = int64_t{data.dwDataOffset} + data.cksize;
    if (mmioAscend(h.File, &data, 0) != 0) WAVAbort_(h);

    // A block alignment of 0 leaves no way to count blocks.
    const int64_t align = in.nBlockAlign;
    if (align == 0) WAVAbort_(h);
    const int64_t blocks = std::min<int64_t>(data.cksize / align, 0x7FFFFFFF);
    h.State.SourceTotal = static_cast<int32_t>(blocks);
    h.Samples = static_cast<int32_t>(blocks);
    // MPEG audio is counted from its frames: its byte rate may be 0 (a variable rate) or not
    // describe the data.
    const bool byteStream = in.wFormatTag == WAVE_FORMAT_MPEG || in.wFormatTag == WAVE_FORMAT_MPEGLAYER3;
    int64_t mpegSamples = -1;
    if (byteStream) {
      acm::MpegSampleCounter counter(in);
      if (counter.Ok()) {
        if (mmioSeek(h.File, static_cast<int32_t>(data.dwDataOffset), SEEK_SET) != static_cast<int32_t>(data.dwDataOffset))
          SetError(ecWav, 5, 174);
        void* lp = nullptr;
        _memalloc_(lp, kScratchBytes, 120, "FF_WAV.WAVOpen.count", mkResizable);
        for (int64_t left = data.cksize; left > 0;) {
          const int32_t piece = static_cast<int32_t>(std::min(left, kScratchBytes));
          const int32_t got = mmioRead(h.File, lp, piece);
          if (got <= 0) break;
          counter.Add(static_cast<const uint8_t*>(lp), static_cast<size_t>(got));
          left -= got;
        }
        MemFree(lp);
        mpegSamples = static_cast<int64_t>(std::min<uint64_t>(counter.Finish(), 0x7FFFFFFF));
        if (in.nAvgBytesPerSec == 0 && mpegSamples > 0)
          in.nAvgBytesPerSec = static_cast<uint32_t>(std::clamp<int64_t>(
              int64_t{data.cksize} * in.nSamplesPerSec / mpegSamples, 1, kMaxReadBytes));
      }
    }
    if (in.nAvgBytesPerSec == 0)
      in.nAvgBytesPerSec = static_cast<uint32_t>(std::min<int64_t>(int64_t{in.nSamplesPerSec} * align, kMaxReadBytes));
    if (in.nAvgBytesPerSec > kMaxReadBytes) in.nAvgBytesPerSec = static_cast<uint32_t>(kMaxReadBytes);
    // One second of whole blocks, at least one block.
    h.ReadBytes = static_cast<int32_t>(std::max<int64_t>(in.nAvgBytesPerSec / align, 1) * align);

    WAVEFORMATEX pcm{};
    if (in.wFormatTag != WAVE_FORMAT_PCM) {
      pcm.wFormatTag = WAVE_FORMAT_PCM;
      if (acmFormatSuggest(nullptr, &in, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
        AbortMonitor();
      HACMSTREAM stream = nullptr;
      MMRESULT r = acmStreamOpen(&stream, nullptr, &in, &pcm, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME);
      if (r != MMSYSERR_NOERROR) SetError(ecAcm, static_cast<int32_t>(r), 156);
      // MPEG audio is a byte stream whose "blocks" do not divide it: all of its data counts.
      const int64_t sourceBytes = byteStream ? int64_t{data.cksize} : blocks * align;
      uint32_t out = 0;
      r = acmStreamSize(stream, static_cast<uint32_t>(sourceBytes), &out, ACM_STREAMSIZEF_SOURCE);
      if (r != MMSYSERR_NOERROR) {
        acmStreamClose(stream, 0);
        SetError(ecAcm, static_cast<int32_t>(r), 159);
      }
      r = acmStreamClose(stream, 0);
      if (r != MMSYSERR_NOERROR) SetError(ecAcm, static_cast<int32_t>(r), 162);
      h.Samples = pcm.nBlockAlign > 0 ? static_cast<int32_t>(std::min<int64_t>(out / pcm.nBlockAlign, 0x7FFFFFFF)) : 0;
      if (mpegSamples >= 0) h.Samples = static_cast<int32_t>(mpegSamples);
    } else {
      // Samples that are not whole bytes, or blocks that are not one sample of every channel,
      // cannot be converted: such a file is refused here, so that it goes to the reader that
      // takes it, rather than opening and failing at every load.
      if (in.wBitsPerSample == 0 || in.wBitsPerSample % 8 != 0 ||
          int64_t{in.nBlockAlign} != int64_t{in.wBitsPerSample / 8} * in.nChannels)
        AbortMonitor();
      pcm = in;
      pcm.cbSize = 0;
    }
    h.SamplesPerBlock = blocks > 0 ? static_cast<double>(h.Samples) / static_cast<double>(blocks) : 0.0;
    if (!(h.SamplesPerBlock > 0)) h.SamplesPerBlock = 1.0;

    if (!SndWaveFmtPCMCheck(pcm)) AbortMonitor();
    h.State.OutFormat = pcm;
    h.Restart = -1;
    h.AudioSupported = -1;
    if (mmioSeek(h.File, static_cast<int32_t>(data.dwDataOffset), SEEK_SET) != static_cast<int32_t>(data.dwDataOffset))
      SetError(ecWav, 5, 174);
  } catch (...) {
    CatchException();
    // A failed open leaves nothing open: the frame closes the file and frees the format it
    // made, so the handle must not keep pointing at them.
    if (!NoError()) ClearWav(h);
  }
  EndMonitor();
}

void WAVSeek(WavHandle& h, int32_t pos) {
  TraceScope trace("FF_WAV.WAVSeek");
  if (h.Stop || h.File == 0 || h.State.InFormat == nullptr) return;
  if (pos < 0) pos = 0;
  const int64_t blocks = h.State.SourceTotal;
  int64_t block = h.SamplesPerBlock > 0 ? static_cast<int64_t>(std::trunc(pos / h.SamplesPerBlock)) : 0;
  if (block >= blocks) {
    block = std::max<int64_t>(blocks - 1, 0);
    h.CurrentSample = static_cast<int32_t>(std::trunc(static_cast<double>(block) * h.SamplesPerBlock));
  } else {
    h.CurrentSample = pos;
  }
  const int64_t align = h.State.InFormat != nullptr ? h.State.InFormat->nBlockAlign : 0;
  const int64_t offset = int64_t{h.Data.dwDataOffset} + block * align;
  if (offset > 0x7FFFFFFF || mmioSeek(h.File, static_cast<int32_t>(offset), SEEK_SET) != offset)
    SetError(ecWav, 5, 233);
  h.State.Available = 0;
  h.State.Consumed = 0;
  h.State.EndFlag = 0;
  h.State.SourceRead = static_cast<int32_t>(block);
  if (!h.Restart) {
    AcmConvertDone(h.Conv);
    h.State.ConvData = nullptr;
    h.Restart = -1;
  }
}

void WAVLoad_(void* source, void*& buffer, int32_t /*wantedBytes*/, int32_t& dataBytes, int32_t& sourceBytes) {
  WavHandle& h = *static_cast<WavHandle*>(source);
  dataBytes = 0;
  sourceBytes = 0;
  const int64_t align = h.State.InFormat->nBlockAlign;
  const int64_t at = mmioSeek(h.File, 0, SEEK_CUR);
  // Never past the data chunk: what follows it is not sound. The end of the data is no error.
  const int64_t left = at >= 0 ? std::max<int64_t>(h.DataEnd - at, 0) : 0;
  const int64_t want = std::min<int64_t>(h.ReadBytes, left);
  if (want <= 0) return;
  _memalloc_(buffer, want, 186, "FF_WAV.WAVLoad_.temp_buf", mkResizable);
  const int32_t got = mmioRead(h.File, buffer, static_cast<int32_t>(want));
  if (got <= 0) SetError(ecWav, 3, 189);
  dataBytes = got;
  sourceBytes = static_cast<int32_t>(got / align);
}

void WAVLoad(WavHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
  TraceScope trace("FF_WAV.WAVLoad");
  BeginMonitor();
  try {
    if (!((option & 1) && h.CurrentSample == pos)) WAVSeek(h, pos);
    snd.samples = 0;
    if (h.Stop || !h.AudioSupported || (h.State.EndFlag && h.State.Consumed >= h.State.Available)) AbortMonitor();
    if (h.Restart) {
      h.State.ConvData = AcmConvertInit(h.Conv, h.State.InFormat, h.State.InFormatSize, &h.State.OutFormat,
                                        static_cast<int32_t>(sizeof(WAVEFORMATEX)), h.ReadBytes, 0, nullptr);
      h.Restart = 0;
    }
    SndLoad(&h, h.Conv, h.State, snd, count, &WAVLoad_);
    h.CurrentSample += snd.samples;
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

void WAVClose(WavHandle& h) {
  TraceScope trace("FF_WAV.WAVClose");
  BeginMonitor();
  try {
    if (h.File == 0) AbortMonitor();
    if (!h.Restart && h.Conv.Stream != nullptr) AcmConvertDone(h.Conv);
    const MMRESULT r = mmioClose(h.File, 0);
    h.File = 0;
    // What the handle owns goes before a close failure is reported, which unwinds.
    if (StillOwned(h.State.InFormat)) MemFree(h.State.InFormat);
    if (StillOwned(h.Conv.outBufP)) MemFree(h.Conv.outBufP);
    ClearWav(h);
    if (r != 0) SetError(ecWinMM, static_cast<int32_t>(r), 343);
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

void WAVInfo(const std::string& fileName, FFInfoRec& info) {
  TraceScope trace("FF_WAV.WAVInfo");
  WavHandle* h = nullptr;
  BeginMonitor();
  try {
    info.FormatId = 12;
    int32_t f = 0;
    FOpen(f, fileName, fmRead);
    info.FileSize = static_cast<double>(FSize(f));
    FClose(f);
    _memalloc_(h, static_cast<int64_t>(sizeof(WavHandle)), 80, "FF_WAV.WAVInfo.h", mkFresh);
    WAVOpen(*h, fileName);
    if (h->State.InFormat != nullptr) {
      std::memcpy(&info.Audio.SrcFormat, h->State.InFormat, sizeof(WAVEFORMATEX));
      AcmGetAudioName(0, h->State.InFormat->wFormatTag, info.Audio.CodecName);
    }
    info.Audio.PcmFormat = h->State.OutFormat;
    info.Audio.Samples = h->Samples;
    info.Audio.HasAudio = h->State.SourceTotal > 0 ? -1 : 0;
    info.Audio.AudioSupported = h->AudioSupported;
    WAVClose(*h);
    MemFree(h);
  } catch (...) {
    CatchException();
  }
  EndMonitor();
}

// ---- The dispatcher's entries ----

const FFUnit kWavUnit = {
    .Kind = fuMovie,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { WAVInfo(name, info); },
    .StateName = "WAV",
    .StateSize = static_cast<int64_t>(sizeof(WavHandle)),
    .NewState = FFNewState<WavHandle>,
    .Open = [](void* s, const std::string& name, FFProgressProc, void*) { WAVOpen(FFStateOf<WavHandle>(s), name); },
    .SndLoad = [](void* s, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
      WAVLoad(FFStateOf<WavHandle>(s), snd, pos, count, option);
    },
    .Close = [](void* s, int32_t, int32_t, int32_t) { WAVClose(FFStateOf<WavHandle>(s)); },
    .View = [](const void* s) {
      const WavHandle& h = FFStateOf<WavHandle>(s);
      return FFMovieView{0, 0, h.CurrentSample, 0, h.Stop};
    },
};

}  // namespace tavelo

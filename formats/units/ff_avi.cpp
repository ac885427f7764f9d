#include "formats/units/ff_avi.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "codecs/dshowcodec/dshowcodec.h"
#include "core/media/img_dib.h"
#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/conform.h"
#include "formats/ff_basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_unit.h"
#include "formats/units/ff_avi_names.h"
#include "platform/acm/acm.h"
#include "platform/acm/acm_codec.h"
#include "platform/fpu/fpu.h"

namespace tavelo {

using namespace platform;

namespace {

bool g_loaderRan = false;  // the loader's once-flag
bool g_dswReady = false;   // the library loaded and every export resolved
int32_t g_openCount = 0;   // AVI handles open

// The sound read buffer is four seconds of stored data, as the file's byte rate gives it, but
// never more than this (a byte rate from a damaged header could ask for gigabytes).
constexpr int64_t kMaxSoundBuffer = 16 << 20;
// Compressed sound is read in blocks of at least this many bytes.
constexpr int64_t kMinSoundBuffer = 64 << 10;

constexpr uint32_t kHandlerHfyu = 0x75796668;  // "hfyu"
constexpr uint32_t kHandlerDvsd = 0x64737664;  // "dvsd"
constexpr uint32_t kHandlerMjpg = 0x47504A4D;  // "MJPG"

// ---- Calls into Video for Windows and the decoder library ----
// Each runs with a freshly reset floating-point unit and leaves it reset, whatever the code on
// the other side did to it (FpuGuarded).

HRESULT VfwSafe_AVIFileOpen(PAVIFILE* file, const char* name, uint32_t mode, const CLSID* handler) {
  return FpuGuarded([&] { return AVIFileOpen(file, name, mode, handler); });
}
HRESULT VfwSafe_AVIFileInfoW(PAVIFILE file, AVIFILEINFOW* info, int32_t size) {
  return FpuGuarded([&] { return AVIFileInfoW(file, info, size); });
}
HRESULT VfwSafe_AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, uint32_t type, int32_t n) {
  return FpuGuarded([&] { return AVIFileGetStream(file, stream, type, n); });
}
uint32_t VfwSafe_AVIFileRelease(PAVIFILE file) { return FpuGuarded([&] { return AVIFileRelease(file); }); }
HRESULT VfwSafe_AVIStreamInfoW(PAVISTREAM stream, AVISTREAMINFOW* info, int32_t size) {
  return FpuGuarded([&] { return AVIStreamInfoW(stream, info, size); });
}
HRESULT VfwSafe_AVIStreamReadFormat(PAVISTREAM stream, int32_t pos, void* format, int32_t* size) {
  return FpuGuarded([&] { return AVIStreamReadFormat(stream, pos, format, size); });
}
HRESULT VfwSafe_AVIStreamRead(PAVISTREAM stream, int32_t start, int32_t samples, void* buffer, int32_t size,
                              int32_t* bytes, int32_t* read) {
  return FpuGuarded([&] { return AVIStreamRead(stream, start, samples, buffer, size, bytes, read); });
}
int32_t VfwSafe_AVIStreamLength(PAVISTREAM stream) { return FpuGuarded([&] { return AVIStreamLength(stream); }); }
int32_t VfwSafe_AVIStreamFindSample(PAVISTREAM stream, int32_t pos, int32_t flags) {
  return FpuGuarded([&] { return AVIStreamFindSample(stream, pos, flags); });
}
PGETFRAME VfwSafe_AVIStreamGetFrameOpen(PAVISTREAM stream, const BITMAPINFOHEADER* wanted) {
  return FpuGuarded([&] { return AVIStreamGetFrameOpen(stream, wanted); });
}
void* VfwSafe_AVIStreamGetFrame(PGETFRAME gf, int32_t pos) {
  return FpuGuarded([&] { return AVIStreamGetFrame(gf, pos); });
}
bool VfwSafe_AVIStreamGetFrameInto(PGETFRAME gf, int32_t pos, Qimg& img, uint8_t* colours) {
  return FpuGuarded([&] {
    return AVIStreamGetFrameInto(gf, pos, img.Width, img.Height, img.Bpp, img.Data,
                                 static_cast<ptrdiff_t>(img.Width) * img.BytesPP, colours);
  });
}
HRESULT VfwSafe_AVIStreamGetFrameClose(PGETFRAME gf) { return FpuGuarded([&] { return AVIStreamGetFrameClose(gf); }); }
uint32_t VfwSafe_AVIStreamRelease(PAVISTREAM stream) { return FpuGuarded([&] { return AVIStreamRelease(stream); }); }
void VfwSafe_AVIFileInit() {
  FpuGuarded([] { AVIFileInit(); });
}
void VfwSafe_AVIFileExit() {
  FpuGuarded([] { AVIFileExit(); });
}

// The decoder library's calls the unit makes.
struct DswApi {
  dsw_video_open_t VideoOpen;
  dsw_video_info_t VideoInfo;
  dsw_video_read_t VideoRead;
  dsw_audio_open_t AudioOpen;
  dsw_audio_info_t AudioInfo;
  dsw_audio_read_t AudioRead;
  dsw_close_t Close;
};

thread_local FFCodecBinding<DswApi> t_dsw;

bool BindDsw_(DswApi& api) {
  bool all = true;
  all = FFBind_(clDShow, api.VideoOpen, "dsw_video_open") && all;
  all = FFBind_(clDShow, api.VideoInfo, "dsw_video_info") && all;
  all = FFBind_(clDShow, api.VideoRead, "dsw_video_read") && all;
  all = FFBind_(clDShow, api.AudioOpen, "dsw_audio_open") && all;
  all = FFBind_(clDShow, api.AudioInfo, "dsw_audio_info") && all;
  all = FFBind_(clDShow, api.AudioRead, "dsw_audio_read") && all;
  all = FFBind_(clDShow, api.Close, "dsw_close") && all;
  return all;
}

// The decoder library's calls, none when it did not load completely.
const DswApi* Dsw_() { return t_dsw.Get(clDShow, BindDsw_); }

// Opens a decoder-library handle through its video or sound open; a failure of any kind in the
// library counts as no handle.
void* DswOpen_(dsw_video_open_t DswApi::*which, const char* name) {
  const DswApi* dsw = Dsw_();
  if (dsw == nullptr) return nullptr;
  auto open = dsw->*which;
  try {
    int32_t status = 0;
    return FpuGuarded([&] { return open(name, &status); });
  } catch (...) {
    return nullptr;
  }
}

void DswClose_(void*& handle) {
  if (handle == nullptr) return;
  if (const DswApi* dsw = Dsw_()) {
    FpuGuarded([&] { dsw->Close(handle); });
  }
  handle = nullptr;
}

void CopyName_(AviHandle& h, const std::string& fileName) {
  const std::string cut = CutUtf8(fileName, 255);
  std::memcpy(h.FileName, cut.data(), cut.size());
  h.FileName[cut.size()] = 0;
}

bool ConverterOpen_(const AviHandle& h) { return h.af.Converter.Stream != nullptr; }

// The Video for Windows sound is given up: the stream is released and the warning (9, 8) names
// the decoder library as the way out.
void AviIgnoreAudio_(PAVISTREAM& stream, int32_t line) {
  if (stream != nullptr) VfwSafe_AVIStreamRelease(stream);
  stream = nullptr;
  SetWarning(ecAvi, 8, line);
}

// The stream's format in a tracked block of the size Video for Windows gives; the block is freed
// again when the read fails. Returns the Video for Windows result.
template <class T>
HRESULT AviStreamReadFormat_(PAVISTREAM stream, T*& block, int32_t& size) {
  TraceScope trace("FF_AVI.AviStreamReadFormat_");
  size = 0;
  HRESULT r = VfwSafe_AVIStreamReadFormat(stream, 0, nullptr, &size);
  if (r != AVIERR_OK) return r;
  if (size < 1) return AVIERR_BADFORMAT;
  _memalloc_(block, size, __LINE__, "FF_AVI.AviStreamReadFormat_.dest_ptr", mkFresh);
  r = VfwSafe_AVIStreamReadFormat(stream, 0, block, &size);
  if (r != AVIERR_OK) {
    MemFree(block);
    size = 0;
  }
  return r;
}

// Releases what a handle holds outside the tracked tables (streams, the file, the decompressor,
// the decoder library's handles and the sound conversion), for a failed open. The tracked blocks
// were given back by the failed frame already, so none of them is touched.
void ReleaseUntracked_(AviHandle& h) {
  if (h.GetFrame != nullptr) VfwSafe_AVIStreamGetFrameClose(h.GetFrame);
  if (h.VideoStream != nullptr) VfwSafe_AVIStreamRelease(h.VideoStream);
  if (h.AudioStream != nullptr) VfwSafe_AVIStreamRelease(h.AudioStream);
  if (h.AviFile != nullptr) VfwSafe_AVIFileRelease(h.AviFile);
  h.GetFrame = nullptr;
  h.VideoStream = h.AudioStream = nullptr;
  h.AviFile = nullptr;
  DswClose_(h.DswVideo);
  DswClose_(h.DswAudio);
  if (h.af.Converter.Stream != nullptr) acmStreamClose(h.af.Converter.Stream, 0);
  h.af.Converter.Stream = nullptr;
}

// The picture part of the open (step 4.2): the stream, its format, the frame count and rate, and
// a test frame that shows what the decompressor delivers.
void OpenVideo_(AviHandle& h) {
  if (VfwSafe_AVIFileGetStream(h.AviFile, &h.VideoStream, streamtypeVIDEO, 0) != AVIERR_OK) {
    h.VideoStream = nullptr;
    return;
  }
  HRESULT r = VfwSafe_AVIStreamInfoW(h.VideoStream, &h.VideoInfo, sizeof h.VideoInfo);
  if (r != AVIERR_OK) SetError(ecAviSys, r, __LINE__);
  r = AviStreamReadFormat_(h.VideoStream, h.VideoFormat, h.VideoFormatSize);
  if (r != AVIERR_OK) SetError(ecAviSys, r, __LINE__);
  if (h.VideoFormatSize < static_cast<int32_t>(sizeof(BITMAPINFOHEADER))) SetError(ecAviSys, AVIERR_BADFORMAT, __LINE__);
  const BITMAPINFOHEADER format = *h.VideoFormat;
  // A picture too large to make is not taken from this reader either (FFPictureFits).
  if (!FFPictureFits(format.biWidth, std::abs(int64_t{format.biHeight}), 4)) {
    VfwSafe_AVIStreamRelease(h.VideoStream);
    h.VideoStream = nullptr;
    return;
  }
  // A four-character code in the format (not BI_RGB, BI_RLE8, BI_RLE4 or BI_BITFIELDS) names the
  // codec better than the stream header does.
  if (format.biCompression > 3) h.VideoInfo.fccHandler = format.biCompression;
  const uint32_t handler = h.VideoInfo.fccHandler;
  if (h.DswVideoOk && (FourCCSame(handler, kHandlerHfyu) || FourCCSame(handler, kHandlerDvsd) ||
                       FourCCSame(handler, kHandlerMjpg))) {
    // The depth the header states is the stored one, whoever decodes.
    h.DecodedBpp = format.biBitCount == 16 ? 15 : format.biBitCount;
    VfwSafe_AVIStreamRelease(h.VideoStream);
    h.VideoStream = nullptr;
    return;
  }
  // A scale of 0 would make the rate infinite: such a stream has no rate.
  h.FrameRate = h.VideoInfo.dwScale == 0
                    ? 0.0
                    : static_cast<double>(h.VideoInfo.dwRate) / static_cast<double>(h.VideoInfo.dwScale);
  h.FrameCount = VfwSafe_AVIStreamLength(h.VideoStream);
  if (h.FrameCount < 1) SetError(ecAvi, 5, __LINE__);

  h.GetFrame = VfwSafe_AVIStreamGetFrameOpen(h.VideoStream, nullptr);
  if (h.GetFrame == nullptr) {
    BITMAPINFO wanted;
    FillBitmapInfo_(wanted, format.biWidth, format.biHeight, nullptr, format.biBitCount);
    h.GetFrame = VfwSafe_AVIStreamGetFrameOpen(h.VideoStream, &wanted.bmiHeader);
  }
  const void* test = h.GetFrame != nullptr ? VfwSafe_AVIStreamGetFrame(h.GetFrame, 0) : nullptr;
  const int32_t formatHeight = format.biHeight == INT32_MIN ? INT32_MAX : std::abs(format.biHeight);
  if (test == nullptr) {
    if (h.GetFrame != nullptr) VfwSafe_AVIStreamGetFrameClose(h.GetFrame);
    h.GetFrame = nullptr;
    VfwSafe_AVIStreamRelease(h.VideoStream);
    h.VideoStream = nullptr;
    h.Width = format.biWidth;
    h.Height = formatHeight;
    h.Bpp = format.biBitCount;
    h.DecodedBpp = h.Bpp == 16 ? 15 : h.Bpp;
  } else {
    BITMAPINFOHEADER frame;
    std::memcpy(&frame, test, sizeof frame);
    const int bits = frame.biBitCount;
    if ((bits == 8 || bits == 16 || bits == 24 || bits == 32) && frame.biCompression == BI_RGB) {
      h.Width = frame.biWidth;
      h.Height = frame.biHeight == INT32_MIN ? INT32_MAX : std::abs(frame.biHeight);
      h.Bpp = bits;
      h.DecodedBpp = bits == 16 ? 15 : bits;
    } else {
      // Opened again at the first read, asking for plain frames of the stream's depth.
      h.Width = format.biWidth;
      h.Height = formatHeight;
      h.Bpp = format.biBitCount;
      h.DecodedBpp = bits;
      VfwSafe_AVIStreamGetFrameClose(h.GetFrame);
      h.GetFrame = nullptr;
    }
  }
  // Uncompressed 24-bit pictures are left to the decoder library.
  if (AVIChk4FullFrames_(handler) && h.Bpp == 24 && h.VideoStream != nullptr) {
    VfwSafe_AVIStreamRelease(h.VideoStream);
    h.VideoStream = nullptr;
  }
}

// MPEG audio frames decoded ahead of a seek's target and dropped: a frame's data may begin in
// the frames before it (the bit reservoir) and its first samples overlap the frame before, so a
// decoder started right at the target would deliver silence or noise where playing delivers sound.
constexpr int32_t kMpegPrerollFrames = 8;
// How far before a seek's target decoding may start at most.
constexpr int32_t kMpegSeekReachSeconds = 4;

// Counts the sample frames of a stream of MPEG audio from the frames in its data and keeps, in
// the handle, each frame that starts exactly at one of the stream's units (a chunk, or a unit of
// its sample size) as a place where a seek can start decoding. Returns 0 for other formats or
// when the data cannot be read.
int64_t CountMpegSamples_(AviAudioPart& af, PAVISTREAM stream, const WAVEFORMATEX& in, int32_t total,
                          uint32_t sampleSize, int64_t& streamBytes) {
  streamBytes = 0;
  if (in.wFormatTag != WAVE_FORMAT_MPEG && in.wFormatTag != WAVE_FORMAT_MPEGLAYER3) return 0;
  acm::MpegSampleCounter counter(in);
  if (!counter.Ok()) return 0;
  std::vector<uint8_t> buffer(size_t{1} << 20);
  // Where each chunk starts in the stream's bytes, for streams whose units are chunks.
  std::vector<int64_t> chunkStart;
  int64_t bytesSoFar = 0;
  for (int32_t pos = 0; pos < total;) {
    int32_t bytes = 0, read = 0;
    if (VfwSafe_AVIStreamRead(stream, pos, total - pos, buffer.data(), static_cast<int32_t>(buffer.size()), &bytes,
                              &read) != AVIERR_OK ||
        read <= 0)
      return 0;
    if (sampleSize == 0) {
      for (int32_t c = pos; c < pos + read; ++c) {
        int32_t size = 0;
        if (VfwSafe_AVIStreamRead(stream, c, 1, nullptr, 0, &size, nullptr) != AVIERR_OK) return 0;
        chunkStart.push_back(bytesSoFar);
        bytesSoFar += std::max(size, 0);
      }
    }
    counter.Add(buffer.data(), static_cast<size_t>(bytes));
    streamBytes += bytes;
    pos += read;
  }
  const int64_t samples = static_cast<int64_t>(counter.Finish());
  const auto& offsets = counter.FrameOffsets();
  const auto& frameSamples = counter.FrameSamples();
  // Decoding from the stream's start always reaches sample 0.
  std::vector<AviSeekPoint> points{AviSeekPoint{}};
  int64_t sample = 0;
  size_t chunk = 0;
  for (size_t i = 0; i < offsets.size() && sample <= INT32_MAX; ++i) {
    const int64_t at = static_cast<int64_t>(offsets[i]);
    int64_t unit = -1;
    if (sampleSize > 0) {
      if (at % sampleSize == 0) unit = at / sampleSize;
    } else {
      while (chunk < chunkStart.size() && chunkStart[chunk] < at) ++chunk;
      if (chunk < chunkStart.size() && chunkStart[chunk] == at) unit = static_cast<int64_t>(chunk);
    }
    if (i > 0 && unit > points.back().Unit && unit < total)
      points.push_back(AviSeekPoint{static_cast<int32_t>(unit), static_cast<int32_t>(sample)});
    sample += frameSamples[i];
  }
  const int64_t size = static_cast<int64_t>(points.size() * sizeof(AviSeekPoint));
  _memalloc_(af.SeekPoints, size, __LINE__, "FF_AVI.AviOpen.SeekPoints", mkResizable);
  std::memcpy(af.SeekPoints, points.data(), static_cast<size_t>(size));
  af.SeekPointCount = static_cast<int32_t>(points.size());
  return samples;
}

// The sound part of the open (step 4.3). Returns the match score of what Video for Windows
// delivers (0 when its sound was given up). MPEG audio is counted from its frames only with
// countMpeg: the count reads the whole stream, and is wasted when the decoder library's sound
// (counted when its index was built) wins, so the open asks for it only once Video for Windows
// reads the sound. With outranked (0 or more), the decoder library's sound scores that much: once
// the format Video for Windows would deliver scores no more, that sound is not opened through the
// Audio Compression Manager to be sized (the decoder library's wins the tie and replaces it), and
// the score is returned as it stands.
int32_t OpenAudio_(AviHandle& h, const WAVEFORMATEX& wanted, bool countMpeg, int32_t outranked = -1) {
  if (VfwSafe_AVIFileGetStream(h.AviFile, &h.AudioStream, streamtypeAUDIO, 0) != AVIERR_OK) {
    h.AudioStream = nullptr;
    return 0;
  }
  AviAudioPart& af = h.af;
  af.sl.SourceTotal = VfwSafe_AVIStreamLength(h.AudioStream);
  af.OutputSamples = af.sl.SourceTotal;
  if (VfwSafe_AVIStreamInfoW(h.AudioStream, &h.AudioInfo, sizeof h.AudioInfo) != AVIERR_OK ||
      AviStreamReadFormat_(h.AudioStream, af.sl.InFormat, af.sl.InFormatSize) != AVIERR_OK) {
    AviIgnoreAudio_(h.AudioStream, __LINE__);
    return 0;
  }
  WAVEFORMATEX& in = *af.sl.InFormat;
  // MPEG audio is sized from its own frames: its block alignment (ffmpeg writes the frame's
  // sample count, 1152) and byte rate (0 for a variable rate) say nothing reliable about the
  // bytes a "sample" holds. A missing byte rate is the stream's own average.
  int64_t streamBytes = 0;
  const int64_t counted =
      countMpeg ? CountMpegSamples_(af, h.AudioStream, in, af.sl.SourceTotal, h.AudioInfo.dwSampleSize, streamBytes)
                : 0;
  if (in.nAvgBytesPerSec == 0 && counted > 0 && streamBytes > 0)
    in.nAvgBytesPerSec = static_cast<uint32_t>(
        std::clamp<int64_t>(streamBytes * in.nSamplesPerSec / counted, 1, kMaxSoundBuffer / 4));
  if (in.nAvgBytesPerSec == 0) in.nAvgBytesPerSec = in.nSamplesPerSec * in.nBlockAlign;
  WAVEFORMATEX& out = af.sl.OutFormat;
  if (in.wFormatTag == WAVE_FORMAT_PCM) {
    out = in;
    out.cbSize = 0;  // PCM carries no codec data; the delivered record is 18 bytes
  } else {
    af.sl.FormatTag = in.wFormatTag;
    out = WAVEFORMATEX{};
    out.wFormatTag = WAVE_FORMAT_PCM;
    HACMSTREAM stream = nullptr;
    uint32_t outBytes = 0;
    const bool suggested =
        acmFormatSuggest(nullptr, &in, &out, sizeof out, ACM_FORMATSUGGESTF_WFORMATTAG) == MMSYSERR_NOERROR;
    if (suggested && outranked >= 0) {
      const int32_t score = SndWaveFmtCalcMatchScore(out, wanted);
      if (score <= outranked) return score;
    }
    bool ok = suggested &&
              acmStreamOpen(&stream, nullptr, &in, &out, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) == MMSYSERR_NOERROR;
    if (ok) {
      const int64_t sourceBytes =
          std::clamp<int64_t>(int64_t{std::max(af.sl.SourceTotal, 0)} * in.nBlockAlign, 0, UINT32_MAX);
      ok = acmStreamSize(stream, static_cast<uint32_t>(sourceBytes), &outBytes, ACM_STREAMSIZEF_SOURCE) ==
           MMSYSERR_NOERROR;
    }
    if (stream != nullptr) ok = acmStreamClose(stream, 0) == MMSYSERR_NOERROR && ok;
    if (!ok || out.nBlockAlign == 0) {
      AviIgnoreAudio_(h.AudioStream, __LINE__);
    } else {
      af.OutputSamples = static_cast<int32_t>(std::min<uint32_t>(outBytes / out.nBlockAlign, INT32_MAX));
      if (counted > 0) af.OutputSamples = static_cast<int32_t>(std::min<int64_t>(counted, INT32_MAX));
    }
  }
  if (h.AudioStream == nullptr) return 0;
  af.SampleRatio = af.sl.SourceTotal > 0 ? static_cast<double>(af.OutputSamples) / af.sl.SourceTotal : 0.0;
  if (af.SampleRatio == 0) af.SampleRatio = 1.0;
  if (!SndWaveFmtPCMCheck(out)) {
    AviIgnoreAudio_(h.AudioStream, __LINE__);
    return 0;
  }
  af.ConverterPending = -1;
  return SndWaveFmtCalcMatchScore(out, wanted);
}

// Bytes of stored sound read at a time: four seconds by the format's byte rate, within bounds.
// PCM is measured by its own rate and block (a wrong byte rate in the header would otherwise
// ask for more than the conversion's buffer holds).
int64_t SoundBufferBytes_(const AviHandle& h) {
  const WAVEFORMATEX& in = *h.af.sl.InFormat;
  if (in.wFormatTag == WAVE_FORMAT_PCM && in.nBlockAlign > 0 && in.nSamplesPerSec > 0) {
    const int64_t block = in.nBlockAlign;
    const int64_t bytes = std::min<int64_t>(4 * int64_t{in.nSamplesPerSec} * block, kMaxSoundBuffer);
    return std::max(bytes / block * block, block);
  }
  return std::clamp<int64_t>(4 * int64_t{in.nAvgBytesPerSec}, std::max<int64_t>(kMinSoundBuffer, in.nBlockAlign),
                             kMaxSoundBuffer);
}

}  // namespace

// ---- Library ----

void AviDllLoad() {
  if (g_loaderRan) return;
  g_loaderRan = true;
  // There is no COM on this system: the handler class id is a constant of the stand-in.
  VfwSafe_AVIFileInit();
  FFLoadCodecLib(clDShow);
  g_dswReady = FFCodecLibReady(clDShow);
}

void AviDllFree() {
  if (g_loaderRan) VfwSafe_AVIFileExit();
  FFFreeCodecLib(clDShow);
  g_loaderRan = false;
  g_dswReady = false;
}

bool AviDswAvailable() { return g_dswReady; }
int32_t AviOpenCount() { return g_openCount; }

void FillBitmapInfo_(BITMAPINFO& info, int32_t width, int32_t height, const uint8_t* paletteBgr, int32_t bits) {
  BITMAPINFOHEADER& h = info.bmiHeader;
  h = BITMAPINFOHEADER{};
  h.biSize = sizeof(BITMAPINFOHEADER);
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = static_cast<uint16_t>(bits);
  h.biCompression = BI_RGB;
  const int64_t image = int64_t{width} * ((bits + 7) / 8) * height;
  h.biSizeImage = static_cast<uint32_t>(image);
  if (bits == 8 && paletteBgr != nullptr) {
    for (int i = 0; i < 256; ++i) {
      info.bmiColors[i].rgbBlue = paletteBgr[3 * i];
      info.bmiColors[i].rgbGreen = paletteBgr[3 * i + 1];
      info.bmiColors[i].rgbRed = paletteBgr[3 * i + 2];
      info.bmiColors[i].rgbReserved = 0;
    }
    h.biClrUsed = 256;
  }
}

// ---- Opening ----

void AviOpen(AviHandle& h, const std::string& fileName) {
  TraceScope trace("FF_AVI.AviOpen");
  ++g_openCount;
  new (&h) AviHandle();
  BeginMonitor();
  try {
    CopyName_(h, fileName);
    h.af.sl.FormatTag = WAVE_FORMAT_PCM;
    h.FileSize = FSizeByName(fileName);
    WAVEFORMATEX wanted{};
    SndWaveFmtSetPCM(wanted, 48000, 2, 16);
    int32_t dswScore = 0, vfwScore = 0;

    // Video for Windows reads the file's layout while the decoder library opens it.
    if (g_dswReady) AviFilePrefetch(fileName.c_str());

    // The decoder library, for both streams.
    int32_t dswWidth = 0, dswHeight = 0, dswBits = 0, dswFrames = 0, dswSamples = 0;
    double dswRate = 0;
    WAVEFORMATEX dswStored{}, dswDelivered{};
    if (g_dswReady) {
      h.DswVideo = DswOpen_(&DswApi::VideoOpen, fileName.c_str());
      if (h.DswVideo != nullptr) {
        FpuGuarded([&] { Dsw_()->VideoInfo(h.DswVideo, &dswWidth, &dswHeight, &dswBits, &dswFrames, &dswRate); });
        // A picture too large to make is not taken from this reader (FFPictureFits).
        h.DswVideoOk = (dswWidth != 0 && dswHeight != 0 && dswBits != 0 && dswFrames != 0 &&
                        FFPictureFits(dswWidth, dswHeight, 4))
                           ? -1
                           : 0;
      }
      h.DswAudio = DswOpen_(&DswApi::AudioOpen, fileName.c_str());
      if (h.DswAudio != nullptr) {
        FpuGuarded([&] { Dsw_()->AudioInfo(h.DswAudio, &dswStored, &dswDelivered, &dswSamples); });
        if (dswDelivered.nChannels != 0 && dswDelivered.nSamplesPerSec != 0 && dswDelivered.wBitsPerSample != 0 &&
            dswSamples != 0) {
          h.DswAudioOk = -1;
          dswScore = SndWaveFmtCalcMatchScore(dswDelivered, wanted);
        }
      }
    }

    // Video for Windows: the default handler, then the AVI handler by its class id.
    HRESULT r = VfwSafe_AVIFileOpen(&h.AviFile, fileName.c_str(), OF_READ, nullptr);
    if (r != AVIERR_OK) {
      SetWarning(ecAviSys, r, __LINE__);
      r = VfwSafe_AVIFileOpen(&h.AviFile, fileName.c_str(), OF_READ, &CLSID_AVIFile);
      if (r != AVIERR_OK) {
        h.AviFile = nullptr;
        if (h.DswVideo == nullptr && h.DswAudio == nullptr) SetError(ecAviSys, r, __LINE__);
        SetWarning(ecAviSys, r, __LINE__);
      }
    }
    if (h.AviFile != nullptr) {
      AVIFILEINFOW fi{};
      if (VfwSafe_AVIFileInfoW(h.AviFile, &fi, sizeof fi) == AVIERR_OK) h.MaxBytesPerSec = fi.dwMaxBytesPerSec;
      OpenVideo_(h);
      vfwScore = OpenAudio_(h, wanted, !h.DswAudioOk, h.DswAudioOk ? dswScore : -1);
    }

    // Who reads the pictures.
    if (h.DswVideoOk &&
        (h.VideoStream == nullptr || h.FileSize > 2147483647.0 ||
         (AVIChk4FullFrames_(h.VideoInfo.fccHandler) && h.FileSize > 1073741824.0))) {
      h.UseDswVideo = -1;
      h.Width = dswWidth;
      h.Height = dswHeight;
      h.Bpp = dswBits;
      h.FrameCount = dswFrames;
      h.FrameRate = dswRate;
    }
    if (h.Bpp == 16) h.Bpp = 15;
    h.BytesPP = (h.Bpp + 7) / 8;

    // Who reads the sound: the decoder library on a tie. PCM of another width than the 16 bits
    // the library delivers is read by Video for Windows, which delivers it as stored (8-bit
    // sound stays 8-bit, as in a WAV file).
    AviAudioPart& af = h.af;
    if (h.AudioStream != nullptr && af.sl.InFormat != nullptr && af.sl.InFormat->wFormatTag == WAVE_FORMAT_PCM &&
        af.sl.InFormat->wBitsPerSample != dswDelivered.wBitsPerSample)
      dswScore = -1;
    if (h.DswAudioOk && dswScore < vfwScore && h.AudioStream != nullptr) {
      // Video for Windows reads the sound after all: opened again, this time with its MPEG
      // audio counted (the score does not depend on the count).
      VfwSafe_AVIStreamRelease(h.AudioStream);
      h.AudioStream = nullptr;
      MemFree(af.sl.InFormat);
      af.sl.InFormatSize = 0;
      vfwScore = OpenAudio_(h, wanted, true);
    }
    if (h.DswAudioOk && dswScore >= vfwScore) {
      h.UseDswAudio = -1;
      // The stored format's tag names the sound, not the PCM the library turns it into.
      af.sl.FormatTag = dswStored.wFormatTag;
      h.DswStored = dswStored;
      MemFree(af.sl.InFormat);
      _memalloc_(af.sl.InFormat, sizeof(WAVEFORMATEX), __LINE__, "FF_AVI.AviOpen.af.sl.InFormat", mkFresh);
      *af.sl.InFormat = dswDelivered;
      af.sl.InFormatSize = sizeof(WAVEFORMATEX);
      af.sl.OutFormat = dswDelivered;
      af.SampleRatio = 1.0;
      af.sl.SourceTotal = dswSamples;
      af.OutputSamples = dswSamples;
      af.ConverterPending = -1;
      AviIgnoreAudio_(h.AudioStream, __LINE__);
    } else if (!h.DswAudioOk && h.AudioStream != nullptr) {
      // A test read: a stream whose data cannot be read is given up now.
      void* buffer = nullptr;
      const int64_t size = SoundBufferBytes_(h);
      _memalloc_(buffer, size, __LINE__, "FF_AVI.AviOpen.audioBuf", mkFresh);
      r = VfwSafe_AVIStreamRead(h.AudioStream, 0, AVISTREAMREAD_CONVENIENT, buffer, static_cast<int32_t>(size), nullptr,
                                nullptr);
      MemFree(buffer);
      if (r != AVIERR_OK) AviIgnoreAudio_(h.AudioStream, __LINE__);
    }
    if (h.UseDswAudio) af.SrcChannels = dswStored.nChannels;
    else if (af.sl.InFormat != nullptr) af.SrcChannels = af.sl.InFormat->nChannels;
    h.Open = -1;
  } catch (...) {
    CatchException();
    // The failed frame gave back the tracked blocks; what lies outside the tables is ours to give
    // back, and the handle no longer counts as open.
    ReleaseUntracked_(h);
    new (&h) AviHandle();
    --g_openCount;
  }
  FpuResetControl();
  EndMonitor();
}

// ---- Describing ----

namespace {

// What the decoder library names the file and the codec of one of its handles, where the library
// offers the names (an export beyond the seven the unit needs); empty otherwise.
void DswNames_(void* handle, std::string& container, std::string& codec) {
  container.clear();
  codec.clear();
  if (handle == nullptr || Dsw_() == nullptr) return;
  auto describe = reinterpret_cast<dsw_describe_t>(GetProcAddress(FFCodecLibrary(clDShow).Module, "dsw_describe"));
  if (describe == nullptr) return;
  char file[256] = {}, name[256] = {};
  if (FpuGuarded([&] { return describe(handle, file, sizeof file, name, sizeof name); }) == 0) return;
  container = file;
  codec = name;
}

}  // namespace

void AviInfo(const std::string& fileName, FFInfoRec& info) {
  TraceScope trace("FF_AVI.AviInfo");
  AviHandle h;
  bool failed = false;
  BeginMonitor();
  try {
    AviOpen(h, fileName);
    info.FormatId = fidAVI;
    info.FileSize = h.FileSize;
    info.MaxBytesPerSec = static_cast<int32_t>(h.MaxBytesPerSec);
    if (h.Bpp != 0) {
      FFVideoPart& v = info.Video;
      v.Width = h.Width;
      v.Height = h.Height;
      v.Bpp = h.Bpp;
      // A stream whose header states no depth (one only the decoder library reads) is described
      // by the depth it is decoded to.
      v.OrigBpp = h.DecodedBpp != 0 ? h.DecodedBpp : h.Bpp;
      v.BytesPP = (h.Bpp + 7) / 8;
      v.Frames = h.FrameCount;
      v.FrameRate = h.FrameRate;
      const uint32_t handler = h.VideoInfo.fccHandler;
      if (h.VideoFormat != nullptr)
        v.CodecId = static_cast<int32_t>(h.VideoFormat->biCompression != handler && handler == 0 ? h.VideoFormat->biCompression
                                                                                                 : handler);
      else
        v.CodecId = handler == 0 ? -1 : static_cast<int32_t>(handler);
      std::string name;
      VfwGetVideoName(static_cast<uint32_t>(v.CodecId), name);
      std::string container, library;
      if (h.UseDswVideo) DswNames_(h.DswVideo, container, library);
      // A codec the compressor table does not name takes the decoder library's name for it.
      if (name == "Unknown codec" && !library.empty()) name = library;
      v.CodecName = CutUtf8(name, 255);
      v.HasVideo = v.Frames > 0 ? -1 : 0;
      v.VideoSupported = (v.HasVideo && (h.VideoStream != nullptr || h.UseDswVideo)) ? -1 : 0;
    }
    if (h.af.sl.InFormat != nullptr) {
      FFAudioPart& a = info.Audio;
      a.SrcFormat = h.UseDswAudio ? h.DswStored : *h.af.sl.InFormat;
      a.PcmFormat = h.af.sl.OutFormat;
      a.Samples = h.af.OutputSamples;
      a.CodecId = h.af.sl.FormatTag;
      a.SrcChannels = h.af.SrcChannels;
      AcmGetAudioName(0, h.af.sl.FormatTag, a.CodecName);
      std::string container, library;
      if (h.UseDswAudio) DswNames_(h.DswAudio, container, library);
      if (a.CodecName == "Unknown codec" && !library.empty()) a.CodecName = CutUtf8(library, 255);
      a.HasAudio = a.Samples > 0 ? -1 : 0;
      a.AudioSupported = (a.HasAudio && (h.AudioStream != nullptr || h.UseDswAudio)) ? -1 : 0;
    }
    // A file Video for Windows cannot open is no AVI file: it is described as what the decoder
    // library reads it as (the format id stays the AVI unit's, which reads it).
    if (h.AviFile == nullptr) {
      std::string container, codec;
      DswNames_(h.DswVideo != nullptr ? h.DswVideo : h.DswAudio, container, codec);
      if (!container.empty()) info.Description = CutUtf8(container + " (read by the decoder library)", 255);
    }
  } catch (...) {
    CatchException();
    failed = true;
  }
  // The local handle is closed whatever happened (a failed open left nothing open); the failure
  // itself passes on when the frame ends.
  if (h.Open) {
    try {
      AviClose(h);
    } catch (...) {
      if (!failed) CatchException();
    }
  }
  EndMonitor();
}

// ---- Pictures ----

void AviImgLoad(AviHandle& h, Qimg& img, int32_t frame) {
  TraceScope trace("FF_AVI.AviImgLoad");
  Monitored([&] {
    if (frame < 0 || frame > h.FrameCount) SetError(ecAvi, 1, __LINE__);
    if (frame != 0 && frame != h.CurrentFrame + 1) h.CurrentFrame = frame - 1;
    // Frame 0 after the last frame would read past the end.
    if (h.CurrentFrame < 0 || h.CurrentFrame >= h.FrameCount) SetError(ecAvi, 1, __LINE__);
    h.KeyFrame = 0;
    if (h.UseDswVideo) {
      _imgalloc_(img, h.Width, h.Height, h.Bpp, __LINE__, "FF_AVI.AviImgLoad.img");
      const DswApi* dsw = Dsw_();
      const int32_t ok =
          dsw == nullptr ? 0 : FpuGuarded([&] { return dsw->VideoRead(h.DswVideo, img.Data, h.CurrentFrame); });
      if (ok == 0) SetError(ecAvi, 1, __LINE__);
    } else {
      if (h.GetFrame == nullptr && h.VideoStream != nullptr) {
        BITMAPINFO wanted;
        FillBitmapInfo_(wanted, h.Width, h.Height, nullptr, h.Bpp);
        h.GetFrame = VfwSafe_AVIStreamGetFrameOpen(h.VideoStream, &wanted.bmiHeader);
      }
      if (h.GetFrame == nullptr) SetError(ecAvi, 1, __LINE__);
      // The decompressor delivers frames of the depth the open settled on: converted once,
      // straight into the picture, the way the packed frame would come out of DibToQimg.
      _imgalloc_(img, h.Width, h.Height, h.Bpp, __LINE__, "FF_AVI.AviImgLoad.img");
      uint8_t colours[256 * 4];
      if (VfwSafe_AVIStreamGetFrameInto(h.GetFrame, h.CurrentFrame, img, colours)) {
        if (img.Bpp == 8) {
          for (int i = 0; i < 256; ++i) {
            img.Palette[i * 3] = colours[i * 4];
            img.Palette[i * 3 + 1] = colours[i * 4 + 1];
            img.Palette[i * 3 + 2] = colours[i * 4 + 2];
          }
        }
      } else {
        // Not in that layout (or not at all): the packed frame tells.
        const void* dib = VfwSafe_AVIStreamGetFrame(h.GetFrame, h.CurrentFrame);
        // No frame from the decompressor is a failed read, not a picture.
        if (dib == nullptr) SetError(ecAvi, 1, __LINE__);
        DibToQimg(img, dib);
      }
    }
    h.KeyFrame = (h.CurrentFrame == 1 && img.Bpp == 8) ? -1 : 0;
    ++h.CurrentFrame;
  });
}

int32_t AviNearestKeyFrame(AviHandle& h, int32_t frame, int32_t direction) {
  TraceScope trace("FF_AVI.AviNearestKeyFrame");
  int32_t result = 1;
  Monitored([&] {
    const int32_t f = IntClamp(frame, 1, std::max(h.FrameCount, 1));
    if (h.UseDswVideo) {
      result = f;
      return;
    }
    const int32_t found = direction == -1 ? VfwSafe_AVIStreamFindSample(h.VideoStream, f - 2, FIND_KEY | FIND_PREV)
                                          : VfwSafe_AVIStreamFindSample(h.VideoStream, f - 1, FIND_KEY | FIND_NEXT);
    result = found < 0 ? 1 : found + 1;
  });
  return result;
}

// ---- Sound ----

namespace {

// The reader SndLoad calls for more stored sound: up to four seconds from the source position.
void AviSndLoad_(void* source, void*& buffer, int32_t wanted, int32_t& dataBytes, int32_t& sourceBytes) {
  TraceScope trace("FF_AVI.AviSndLoad_");
  (void)wanted;
  auto& h = *static_cast<AviHandle*>(source);
  AviAudioPart& af = h.af;
  dataBytes = 0;
  sourceBytes = 0;
  const int64_t size = SoundBufferBytes_(h);
  _memalloc_(buffer, size, __LINE__, "FF_AVI.AviSndLoad_.temp_buf", mkResizable);
  int32_t bytes = 0, samples = 0;
  if (h.UseDswAudio) {
    const DswApi* dsw = Dsw_();
    const int32_t ok = dsw == nullptr ? 0 : FpuGuarded([&] {
      return dsw->AudioRead(h.DswAudio, buffer, af.sl.SourceRead, &samples, &bytes);
    });
    if (ok == 0) SetError(ecAviSys, 987654321, __LINE__);
  } else {
    const int32_t count = af.sl.FormatTag == WAVE_FORMAT_PCM
                              ? AVISTREAMREAD_CONVENIENT
                              : static_cast<int32_t>(std::min<uint32_t>(af.sl.InFormat->nAvgBytesPerSec, INT32_MAX));
    const HRESULT r = VfwSafe_AVIStreamRead(h.AudioStream, af.sl.SourceRead, count, buffer, static_cast<int32_t>(size),
                                            &bytes, &samples);
    if (r != AVIERR_OK) SetError(ecAviSys, r, __LINE__);
  }
  dataBytes = std::clamp<int32_t>(bytes, 0, static_cast<int32_t>(size));
  sourceBytes = samples;
}

}  // namespace

void AviSndSeek(AviHandle& h, int32_t pos) {
  AviAudioPart& af = h.af;
  if (static_cast<uint32_t>(pos) >= static_cast<uint32_t>(af.OutputSamples)) return;
  af.SkipSamples = 0;
  // MPEG audio: decoding starts some frames before the target, at a frame that starts where the
  // stream can be read from, and what those frames decode to up to the target is dropped. A
  // stream whose frames rarely start a chunk has few such places: beyond a few seconds from the
  // target, the position is estimated from the length as for other formats.
  const AviSeekPoint* at = nullptr;
  if (af.SeekPoints != nullptr && af.SeekPointCount > 0 && !h.UseDswAudio) {
    const AviSeekPoint* begin = af.SeekPoints;
    const AviSeekPoint* end = begin + af.SeekPointCount;
    const AviSeekPoint* last =
        std::upper_bound(begin, end, pos, [](int32_t p, const AviSeekPoint& s) { return p < s.Sample; }) - 1;
    at = begin + std::max<ptrdiff_t>(last - begin - kMpegPrerollFrames, 0);
    const int64_t reach = int64_t{kMpegSeekReachSeconds} * std::max<int64_t>(af.sl.OutFormat.nSamplesPerSec, 1);
    if (pos - at->Sample > reach) at = nullptr;
  }
  if (at != nullptr) {
    af.sl.SourceRead = at->Unit;
    af.SkipSamples = pos - at->Sample;
    af.OutputPos = pos;
  } else {
    const double ratio = af.SampleRatio > 0 ? af.SampleRatio : 1.0;
    int64_t source = FpuTrunc(static_cast<long double>(pos) / ratio);
    if (source >= af.sl.SourceTotal) {
      source = std::max(af.sl.SourceTotal - 1, 0);
      af.OutputPos = static_cast<int32_t>(FpuTrunc(static_cast<long double>(source) * ratio));
    } else {
      af.OutputPos = pos;
      // A compressed block decodes from its first sample on: what lies before the target is
      // dropped (the decoder library seeks to the sample itself).
      if (!h.UseDswAudio && af.sl.FormatTag != WAVE_FORMAT_PCM && af.sl.FormatTag != 0)
        af.SkipSamples = static_cast<int32_t>(
            std::max<int64_t>(pos - FpuTrunc(static_cast<long double>(source) * ratio), 0));
    }
    af.sl.SourceRead = static_cast<int32_t>(source);
  }
  af.sl.Available = 0;
  af.sl.Consumed = 0;
  af.sl.EndFlag = 0;
  if (!af.ConverterPending) AcmConvertDone(af.Converter);
  af.ConverterPending = -1;
}

void AviSndLoad(AviHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
  TraceScope trace("FF_AVI.AviSndLoad");
  Monitored([&] {
    AviAudioPart& af = h.af;
    if (!((option & 1) && pos == af.OutputPos)) AviSndSeek(h, pos);
    snd.samples = 0;
    if ((af.sl.EndFlag && af.sl.Consumed >= af.sl.Available) || (h.AudioStream == nullptr && !h.UseDswAudio) ||
        af.sl.InFormat == nullptr)
      SetError(ecAvi, 3, __LINE__);
    if (af.ConverterPending) {
      af.sl.ConvData = AcmConvertInit(af.Converter, af.sl.InFormat, af.sl.InFormatSize, &af.sl.OutFormat,
                                      sizeof(WAVEFORMATEX), 0, 0, nullptr);
      af.ConverterPending = 0;
    }
    if (af.SkipSamples > 0) {
      // What the frames decoded ahead of a seek's target give before it.
      Qsnd dropped;
      SndLoad(&h, af.Converter, af.sl, dropped, af.SkipSamples, AviSndLoad_);
      SndFree(dropped);
      af.SkipSamples = 0;
    }
    SndLoad(&h, af.Converter, af.sl, snd, count, AviSndLoad_);
    af.OutputPos += snd.samples;
  });
}

// ---- Closing ----

void AviClose(AviHandle& h) {
  TraceScope trace("FF_AVI.AviClose");
  Monitored([&] {
    // A handle that is not open (never opened, failed, or closed already) closes nothing: its
    // count was given back already.
    if (g_openCount <= 0 || !h.Open) return;
    AviAudioPart& af = h.af;
    if (h.GetFrame != nullptr) VfwSafe_AVIStreamGetFrameClose(h.GetFrame);
    h.GetFrame = nullptr;
    if (h.VideoStream != nullptr) VfwSafe_AVIStreamRelease(h.VideoStream);
    h.VideoStream = nullptr;
    DswClose_(h.DswVideo);
    if (h.DswAudio != nullptr) {
      if (h.UseDswAudio && ConverterOpen_(h)) AcmConvertDone(af.Converter);
      DswClose_(h.DswAudio);
    }
    if (h.AudioStream != nullptr) {
      if (ConverterOpen_(h)) AcmConvertDone(af.Converter);
      VfwSafe_AVIStreamRelease(h.AudioStream);
      h.AudioStream = nullptr;
    }
    if (h.AviFile != nullptr) VfwSafe_AVIFileRelease(h.AviFile);
    h.AviFile = nullptr;
    MemFree(af.sl.InFormat);
    MemFree(af.SeekPoints);
    MemFree(h.VideoFormat);
    --g_openCount;
    new (&h) AviHandle();
  });
}

// ---- The dispatcher's entries ----

const FFUnit kAviUnit = {
    .Kind = fuMovie,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { AviInfo(name, info); },
    .SaveDefaults =
        [](FFVideoOpts& opts) {
          opts.Codec = static_cast<int32_t>(FFMakeRGBA('c', 'v', 'i', 'd'));
          opts.Quality = 100.0;
        },
    .CodecName = [](const FFVideoOpts& opts, std::string& out) {
      VfwGetVideoName(static_cast<uint32_t>(opts.Codec), out);
    },
    .StateName = "AVI",
    .StateSize = static_cast<int64_t>(sizeof(AviHandle)),
    .NewState = FFNewState<AviHandle>,
    .Open = [](void* s, const std::string& name, FFProgressProc, void*) { AviOpen(FFStateOf<AviHandle>(s), name); },
    .ImgLoad = [](void* s, Qimg& img, int32_t frame, Qimg*) { AviImgLoad(FFStateOf<AviHandle>(s), img, frame); },
    .SndLoad = [](void* s, Qsnd& snd, int32_t pos, int32_t count, int32_t option) {
      AviSndLoad(FFStateOf<AviHandle>(s), snd, pos, count, option);
    },
    .NearestKeyFrame = [](void* s, int32_t frame, int32_t direction) {
      return AviNearestKeyFrame(FFStateOf<AviHandle>(s), frame, direction);
    },
    .Close = [](void* s, int32_t, int32_t, int32_t) { AviClose(FFStateOf<AviHandle>(s)); },
    .View = [](const void* s) {
      const AviHandle& h = FFStateOf<AviHandle>(s);
      return FFMovieView{h.FrameCount, h.CurrentFrame, h.af.OutputPos, h.KeyFrame, h.StopFlag};
    },
};

}  // namespace tavelo

// mpegcodec.dll over the shared FFmpeg reader (see mpegcodec.h). The library recognises MPEG files
// by their first bytes before FFmpeg opens them, so that it never describes another container
// (an Ogg or AVI file holding MPEG audio) as its own. The figures FFmpeg does not give (the
// sequence header's rate code, bit rate and aspect code, the pack size of a program stream) are
// read from the file's first megabytes.
#include "codecs/mpegcodec/mpegcodec.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ffsession/ff_session.h"

#define MPG_EXPORT __attribute__((visibility("default")))

namespace {

using tavelo::ffsession::Clamp32;
using tavelo::ffsession::ReadHead;
using tavelo::ffsession::Session;

std::atomic<MpgErrorProc> g_errorProc{nullptr};

void Report(const std::string& text) {
  MpgErrorProc proc = g_errorProc.load();
  if (proc != nullptr) proc(text.c_str());
}

constexpr size_t kHeadBytes = 65536;
constexpr size_t kHeaderSearchBytes = 2 << 20;  // where the first sequence header is looked for
constexpr int64_t kVcdPackSize = 2324;

int64_t FileSize(const char* name) {
  struct stat st {};
  return name != nullptr && ::stat(name, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// The reports of one description or open, and the caller's answer to them.
class Progress {
 public:
  Progress(MpgProgressProc proc, void* data, const char* fileName) : proc_(proc) {
    std::memset(&rec_, 0, sizeof rec_);
    rec_.Text = fileName;
    rec_.Stage = 1;
    rec_.BridgeData = data;
    rec_.Total = FileSize(fileName);
    if (rec_.Total < 0) rec_.Total = 0;
  }
  // Reports the share done; false when the caller cancelled.
  bool Report(bool finished) { return Step(finished ? rec_.Total : 0, finished); }
  // Reports done bytes of the file read (while the reader scans it).
  bool Step(int64_t done, bool finished = false) {
    if (proc_ == nullptr) return true;
    rec_.Done = std::clamp<int64_t>(done, 0, rec_.Total);
    rec_.Fraction = rec_.Total > 0 ? 100.0 * static_cast<double>(rec_.Done) / static_cast<double>(rec_.Total) : 0.0;
    if (finished) rec_.Fraction = 100.0;
    rec_.Finished = finished ? 1 : 0;
    proc_(&rec_);
    return rec_.Cancel == 0;
  }
  // The reader's scan reports through Step.
  tavelo::ffreader::ScanProgress Scan() {
    return [this](int64_t done, int64_t) { return Step(done); };
  }

 private:
  MpgProgressProc proc_;
  MpgLibProgress rec_;
};


uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0] << 8 | p[1]); }

// The offset behind an ID3v2 tag at the start (0 without one).
int64_t Id3Size(const std::vector<uint8_t>& h) {
  if (h.size() < 10 || h[0] != 'I' || h[1] != 'D' || h[2] != '3') return 0;
  const int64_t size = (int64_t{h[6] & 0x7F} << 21) | (int64_t{h[7] & 0x7F} << 14) | (int64_t{h[8] & 0x7F} << 7) |
                       int64_t{h[9] & 0x7F};
  return 10 + size + ((h[5] & 0x10) != 0 ? 10 : 0);
}

bool AudioSync(const uint8_t* p, size_t n) {
  if (n >= 2 && p[0] == 0x0B && p[1] == 0x77) return true;  // AC3
  if (n < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
  const int layer = (p[1] >> 1) & 3, version = (p[1] >> 3) & 3;
  const int bitrate = p[2] >> 4, rate = (p[2] >> 2) & 3;
  return layer != 0 && version != 1 && bitrate != 15 && rate != 3;
}

int32_t Sniff(const char* fileName, bool& readable) {
  std::vector<uint8_t> h;
  readable = ReadHead(fileName, kHeadBytes, h);
  if (!readable || h.size() < 4) return kMpgTypeUnknown;
  if (h.size() >= 12 && std::memcmp(h.data(), "RIFF", 4) == 0 && std::memcmp(h.data() + 8, "CDXA", 4) == 0)
    return kMpgTypeSystem;
  if (h.size() >= 377 && h[0] == 0x47 && h[188] == 0x47 && h[376] == 0x47) return kMpgTypeTransport;
  // Program and video streams start with a start code, after stuffing zeros at most.
  size_t p = 0;
  while (p < h.size() && h[p] == 0) ++p;
  if (p >= 2 && p + 2 < h.size() && h[p] == 1) {
    if (h[p + 1] == 0xBA) return (h[p + 2] >> 6) == 1 ? kMpgTypeProgram : kMpgTypeSystem;
    if (h[p + 1] == 0xB3) return kMpgTypeVideo;
  }
  const int64_t tag = Id3Size(h);
  if (tag > 0) {
    std::vector<uint8_t> after;
    // The frame behind the tag; a tag larger than the head is read past.
    if (tag + 4 > static_cast<int64_t>(h.size())) {
      FILE* f = std::fopen(fileName, "rb");
      if (f == nullptr) return kMpgTypeUnknown;
      uint8_t b[4] = {};
      const bool ok = fseeko(f, tag, SEEK_SET) == 0 && std::fread(b, 1, 4, f) == 4;
      std::fclose(f);
      return ok && AudioSync(b, 4) ? kMpgTypeAudio : kMpgTypeUnknown;
    }
    return AudioSync(h.data() + tag, h.size() - static_cast<size_t>(tag)) ? kMpgTypeAudio : kMpgTypeUnknown;
  }
  return AudioSync(h.data(), h.size()) ? kMpgTypeAudio : kMpgTypeUnknown;
}

struct SequenceHeader {
  bool Found = false;
  int32_t RateCode = 0;
  int32_t AspectCode = 0;
  int32_t BufferSize = 0;
  // MPEG-2's frame_rate_extension_n and _d: the rate is the code's rate times (n + 1) / (d + 1).
  int32_t RateExtN = 0;
  int32_t RateExtD = 0;
  int64_t BitRate = 0;  // bits per second, 0 for a variable rate
};

SequenceHeader FindSequenceHeader(const std::vector<uint8_t>& b, bool mpeg2) {
  SequenceHeader s;
  for (size_t i = 0; i + 12 <= b.size(); ++i) {
    if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1 || b[i + 3] != 0xB3) continue;
    const uint8_t* p = b.data() + i + 4;
    s.AspectCode = p[3] >> 4;
    s.RateCode = p[3] & 15;
    const int64_t value = (int64_t{p[4]} << 10) | (int64_t{p[5]} << 2) | (p[6] >> 6);
    s.BufferSize = static_cast<int32_t>(((p[6] & 0x1F) << 5) | (p[7] >> 3));
    int64_t extension = 0;
    // The sequence extension of MPEG-2 follows the header (and its matrices) closely.
    for (size_t j = i + 12; mpeg2 && j + 10 <= b.size() && j < i + 12 + 300; ++j) {
      if (b[j] == 0 && b[j + 1] == 0 && b[j + 2] == 1 && b[j + 3] == 0xB5 && (b[j + 4] >> 4) == 1) {
        const uint8_t* e = b.data() + j + 4;
        extension = ((e[2] & 0x1F) << 7) | (e[3] >> 1);
        s.RateExtN = (e[5] >> 5) & 3;
        s.RateExtD = e[5] & 0x1F;
        break;
      }
    }
    // In MPEG-1 the all-ones value means a variable rate.
    s.BitRate = !mpeg2 && value == 0x3FFFF ? 0 : ((extension << 18) | value) * 400;
    s.Found = true;
    break;
  }
  return s;
}

// The frame-rate code of a rate, for streams whose header was not found.
int32_t RateCodeOf(double rate) {
  static const double kRates[] = {0.0, 24000.0 / 1001, 24.0, 25.0, 30000.0 / 1001, 30.0, 50.0, 60000.0 / 1001, 60.0};
  for (int32_t c = 1; c <= 8; ++c)
    if (std::fabs(kRates[c] - rate) < 0.01) return c;
  return 0;
}

// True when the program stream at the start of b is cut into packs of 2324 bytes, as on video CDs
// (VCD and SVCD): the first packs are walked packet by packet.
bool VideoCdPacks(const std::vector<uint8_t>& b) {
  size_t p = 0;
  while (p < b.size() && b[p] == 0) ++p;
  if (p < 2) return false;
  p -= 2;
  int packs = 0;
  while (packs < 4) {
    if (p + 14 > b.size() || b[p] != 0 || b[p + 1] != 0 || b[p + 2] != 1 || b[p + 3] != 0xBA) return false;
    const size_t packStart = p;
    p += (b[p + 4] >> 6) == 1 ? 14 + (b[p + 13] & 7) : 12;
    for (;;) {
      // Some muxers fill the end of a pack with zero bytes rather than a padding packet.
      while (p + 3 < b.size() && b[p] == 0 && b[p + 1] == 0 && b[p + 2] == 0) ++p;
      if (p + 6 > b.size() || b[p] != 0 || b[p + 1] != 0 || b[p + 2] != 1) return false;
      if (b[p + 3] == 0xBA || b[p + 3] == 0xB9) break;
      p += 6 + Be16(b.data() + p + 4);
    }
    if (p - packStart != static_cast<size_t>(kVcdPackSize)) return false;
    ++packs;
    if (b[p + 3] == 0xB9) break;
  }
  return packs >= 2 || (packs == 1 && p + 4 <= b.size() && b[p + 3] == 0xB9);
}

bool IsMpegVideo(const std::string& codec) { return codec == "mpeg1video" || codec == "mpeg2video"; }
bool IsMpegAudio(const std::string& codec) {
  return codec == "mp1" || codec == "mp2" || codec == "mp3" || codec == "ac3" || codec == "eac3";
}

// The MPEG video of a file in s; false (with a message where one is due) when there is none.
bool OpenVideo(const char* fileName, Session& s, int32_t& type, Progress& report) {
  bool readable = false;
  type = Sniff(fileName, readable);
  if (!readable) {
    Report(std::string("Cannot open file ") + (fileName != nullptr ? fileName : "") + ".");
    return false;
  }
  if (type == kMpgTypeUnknown || type == kMpgTypeAudio) return false;
  // Both streams: the descriptions and the opens of either share the one index (ffsession).
  s.Open(fileName, true, true, report.Scan());
  if (s.R == nullptr) {
    Report(std::string("Cannot read the MPEG stream of ") + fileName + ".");
    return false;
  }
  // A program stream may hold sound alone: then it has no pictures, and that is no error.
  s.VideoOk = s.R->HasVideo() && IsMpegVideo(s.R->Video().CodecName) && s.R->Video().FrameCount > 0;
  return s.VideoOk;
}

bool OpenAudio(const char* fileName, Session& s, Progress& report) {
  bool readable = false;
  const int32_t type = Sniff(fileName, readable);
  if (!readable) {
    Report(std::string("Cannot open file ") + (fileName != nullptr ? fileName : "") + ".");
    return false;
  }
  if (type == kMpgTypeUnknown || type == kMpgTypeVideo) return false;
  s.Open(fileName, true, true, report.Scan());
  if (s.R == nullptr) return false;
  s.AudioOk = s.R->HasAudio() && IsMpegAudio(s.R->Audio().CodecName) && s.R->Audio().SampleCount > 0 &&
              s.R->Audio().Channels > 0;
  return s.AudioOk;
}

template <class T>
void Zero(T* p) {
  if (p != nullptr) *p = T{};
}
template <class T>
void Put(T* p, T v) {
  if (p != nullptr) *p = v;
}

}  // namespace

struct MpgVideoLib {
  Session S;
};

struct MpgAudioLib {
  Session S;
};

extern "C" {

MPG_EXPORT void mpg_video_set_error_func(MpgErrorProc errorProc) { g_errorProc.store(errorProc); }

MPG_EXPORT int32_t mpg_get_type(const char* fileName) {
  bool readable = false;
  return Sniff(fileName, readable);
}

MPG_EXPORT int32_t mpg_video_info(const char* fileName, int32_t* width, int32_t* height, uint8_t* extra,
                                  int32_t* frames, int32_t* rateCode, int32_t* bitRate, int32_t* mpeg2,
                                  int32_t* systemFlag, int32_t* secondFlag, int32_t* rateKbps,
                                  MpgProgressProc progress, void* progressData) {
  for (int32_t* p : {width, height, frames, rateCode, bitRate, mpeg2, systemFlag, secondFlag, rateKbps}) Zero(p);
  if (extra != nullptr) std::memset(extra, 0, 8);
  try {
    Progress report(progress, progressData, fileName);
    if (!report.Report(false)) return 0;
    Session s;
    int32_t type = kMpgTypeUnknown;
    if (!OpenVideo(fileName, s, type, report)) return 0;
    const bool isMpeg2 = s.R->Video().CodecName == "mpeg2video";
    std::vector<uint8_t> head;
    ReadHead(fileName, kHeaderSearchBytes, head);
    const SequenceHeader seq = FindSequenceHeader(head, isMpeg2);
    const bool system = type == kMpgTypeSystem || type == kMpgTypeProgram || type == kMpgTypeTransport;
    const bool cdxa = head.size() >= 12 && std::memcmp(head.data(), "RIFF", 4) == 0;
    Put(width, s.Width());
    Put(height, s.Height());
    Put(frames, s.FrameCount());
    Put(rateCode, seq.Found ? seq.RateCode : RateCodeOf(s.FrameRate()));
    Put(bitRate, Clamp32(seq.BitRate));
    Put(rateKbps, Clamp32(seq.BitRate / 1000));
    Put(mpeg2, isMpeg2 ? 1 : 0);
    Put(systemFlag, system ? 1 : 0);
    Put(secondFlag, system && (cdxa || VideoCdPacks(head)) ? 1 : 0);
    if (extra != nullptr) {
      // Bytes 0-1: the aspect code; 2-3: MPEG-2's frame-rate extension n + 1 and d + 1 (0 when
      // the stream has none); 4-7: the buffer size.
      const uint16_t aspect = static_cast<uint16_t>(seq.AspectCode);
      std::memcpy(extra, &aspect, 2);
      if (isMpeg2 && seq.Found && (seq.RateExtN != 0 || seq.RateExtD != 0)) {
        extra[2] = static_cast<uint8_t>(seq.RateExtN + 1);
        extra[3] = static_cast<uint8_t>(seq.RateExtD + 1);
      }
      std::memcpy(extra + 4, &seq.BufferSize, 4);
    }
    return report.Report(true) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

MPG_EXPORT int32_t mpg_audio_info(const char* fileName, MpgAudioInfo* info, MpgProgressProc progress,
                                  void* progressData) {
  if (info != nullptr) std::memset(info, 0, sizeof *info);
  try {
    Progress report(progress, progressData, fileName);
    if (!report.Report(false)) return 0;
    Session s;
    if (info == nullptr || !OpenAudio(fileName, s, report)) return 0;
    const tavelo::ffreader::AudioInfo& a = s.R->Audio();
    info->Frames = s.SampleCount();
    info->SampleRate = a.SampleRate;
    info->Channels = a.Channels;
    info->SrcChannels = a.Channels;
    info->Bits = 16;
    info->BytesPerFrame = 2 * a.Channels;
    const bool ac3 = a.CodecName == "ac3" || a.CodecName == "eac3";
    info->Layer = a.CodecName == "mp1" ? 1 : a.CodecName == "mp2" ? 2 : a.CodecName == "mp3" ? 3 : 0;
    info->Lsf = info->Layer != 0 && a.SampleRate < 32000 ? 1 : 0;
    info->Kbps = Clamp32(a.BitRate / 1000);
    info->StreamKind = ac3 ? kMpgKindAc3 : kMpgKindMpegAudio;
    return report.Report(true) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

MPG_EXPORT int32_t mpg_video_open(MpgVideoLib** context, const char* fileName, int32_t /*mode*/,
                                  MpgProgressProc progress, void* progressData) {
  if (context == nullptr) return 0;
  *context = nullptr;
  try {
    Progress report(progress, progressData, fileName);
    if (!report.Report(false)) return 0;
    auto lib = std::make_unique<MpgVideoLib>();
    int32_t type = kMpgTypeUnknown;
    if (!OpenVideo(fileName, lib->S, type, report) || !report.Report(true)) return 0;
    *context = lib.release();
    return 1;
  } catch (...) {
    return 0;
  }
}

MPG_EXPORT void mpg_video_close(MpgVideoLib* context) { delete context; }

MPG_EXPORT int32_t mpg_video_read(MpgVideoLib* context, void* pixels) {
  if (context == nullptr) return 0;
  try {
    return context->S.ReadNextFrame(pixels) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

MPG_EXPORT int32_t mpg_video_seek(MpgVideoLib* context, int32_t frameIndex) {
  return context != nullptr && context->S.SeekFrame(frameIndex) ? 1 : 0;
}

MPG_EXPORT void* mpg_video_read_first_frame(const char*, int32_t* width, int32_t* height) {
  Zero(width);
  Zero(height);
  return nullptr;
}

MPG_EXPORT void mpg_video_read_first_frame_free(void*) {}

MPG_EXPORT MpgAudioLib* mpg_audio_open(const char* fileName, MpgProgressProc progress, void* progressData) {
  try {
    Progress report(progress, progressData, fileName);
    if (!report.Report(false)) return nullptr;
    auto lib = std::make_unique<MpgAudioLib>();
    if (!OpenAudio(fileName, lib->S, report) || !report.Report(true)) return nullptr;
    return lib.release();
  } catch (...) {
    return nullptr;
  }
}

MPG_EXPORT void mpg_audio_close(MpgAudioLib* handle) { delete handle; }

MPG_EXPORT int32_t mpg_audio_seek(MpgAudioLib* handle, int32_t pos) {
  return handle != nullptr && handle->S.SeekSound(pos) ? 1 : 0;
}

MPG_EXPORT int32_t mpg_audio_read(MpgAudioLib* handle, void* buffer, int32_t count) {
  if (handle == nullptr) return -1;
  try {
    return Clamp32(handle->S.ReadSound(buffer, count));
  } catch (...) {
    return -1;
  }
}

MPG_EXPORT int32_t mpg_mplex(const char*, const char*, const char*, int32_t) { return 0; }
MPG_EXPORT int32_t mpg_demux(const char*, const char*, const char*) { return 0; }
MPG_EXPORT void* bbmpeg_create(const char*, int32_t, int32_t, double) { return nullptr; }
MPG_EXPORT int32_t bbmpeg_write(void*, const void*) { return 0; }
MPG_EXPORT int32_t bbmpeg_close(void*) { return 0; }
MPG_EXPORT int32_t bbmpeg_set_resolution(void*, int32_t, int32_t) { return 0; }
MPG_EXPORT int32_t bbmpeg_set_bitrate(void*, int32_t) { return 0; }
MPG_EXPORT int32_t bbmpeg_set_aspect_ratio(void*, int32_t) { return 0; }
MPG_EXPORT int32_t bbmpeg_set_closed_gop(void*, int32_t) { return 0; }
MPG_EXPORT void* ffmpeg_create(const char*, int32_t) { return nullptr; }
MPG_EXPORT int32_t ffmpeg_close(void*) { return 0; }
MPG_EXPORT int32_t ffmpeg_video_write_bgr24(void*, const void*) { return 0; }
MPG_EXPORT int32_t ffmpeg_video_set_resolution(void*, int32_t, int32_t) { return 0; }
MPG_EXPORT int32_t ffmpeg_video_set_bitrate(void*, int32_t) { return 0; }
MPG_EXPORT int32_t ffmpeg_video_set_aspect_ratio(void*, int32_t, int32_t) { return 0; }
MPG_EXPORT int32_t ffmpeg_video_set_closed_gop(void*, int32_t) { return 0; }
MPG_EXPORT int32_t ffmpeg_audio_write(void*, const void*, int32_t) { return 0; }
MPG_EXPORT int32_t ffmpeg_audio_set_bitrate(void*, int32_t) { return 0; }

}  // extern "C"

// tavelo-probe: describes a media file, reads its frames or its sound, through the universal
// routines of the format layer only (UniInfo, UniOpen, UniImgLoad, UniSndLoad, UniClose), the
// way the player reaches files. For the project's tests and for anyone checking a file.
//
//   tavelo-probe info FILE
//   tavelo-probe frames FILE [--first N] [--count M] [--out DIR]
//   tavelo-probe sound FILE [--out F.wav]
//   tavelo-probe play FILE [--seconds S] [--seek T] [--seek-while-playing T1,T2,...]
//                                                     (probe_play.cpp: plays it in an engine)
//
// Exit status 0 on success; 1 with the program's error text on standard error when the file
// fails; 2 for a wrong command line.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/media/img_basic.h"
#include "core/media/snd_basic.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "formats/conform.h"

using namespace tavelo;

namespace {

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t n) {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = true;
  }
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

int Usage() {
  std::fprintf(stderr,
               "usage: tavelo-probe info FILE\n"
               "       tavelo-probe frames FILE [--first N] [--count M] [--out DIR]\n"
               "       tavelo-probe sound FILE [--out F.wav]\n"
               "       tavelo-probe play FILE [--seconds S] [--seek T] [--seek-while-playing T1,T2,...]\n");
  return 2;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  return 1;
}

// The text of the error the last monitored work ended with.
std::string ErrorNow() { return GetErrorMessage(); }

bool Describe(const std::string& file, UniInfoRec& info, std::string& why) {
  // 1024: numbered sequences are detected, as the player does.
  if (UniInfo(file, info, seqDetect, nullptr, nullptr)) return true;
  why = ErrorText(GetWarningClass(), GetWarningCode());
  return false;
}

// The picture as top-down R, G, B bytes, palette expanded.
std::vector<uint8_t> Rgb(const Qimg& img) {
  std::vector<uint8_t> out(static_cast<size_t>(img.Width) * img.Height * 3);
  for (int64_t i = 0; i < static_cast<int64_t>(img.Width) * img.Height; ++i) {
    const uint8_t* p = img.Data + i * img.BytesPP;
    uint8_t r, g, b;
    switch (img.Bpp) {
      case 8: {
        const uint8_t* e = img.Palette.data() + 3 * p[0];
        b = e[0], g = e[1], r = e[2];
        break;
      }
      case 15: {
        const uint32_t v = p[0] | (p[1] << 8);
        r = static_cast<uint8_t>(((v >> 10) & 31) << 3), g = static_cast<uint8_t>(((v >> 5) & 31) << 3),
        b = static_cast<uint8_t>((v & 31) << 3);
        break;
      }
      case 16: {
        const uint32_t v = p[0] | (p[1] << 8);
        r = static_cast<uint8_t>(((v >> 11) & 31) << 3), g = static_cast<uint8_t>(((v >> 5) & 63) << 2),
        b = static_cast<uint8_t>((v & 31) << 3);
        break;
      }
      default: b = p[0], g = p[1], r = p[2]; break;
    }
    out[3 * i] = r;
    out[3 * i + 1] = g;
    out[3 * i + 2] = b;
  }
  return out;
}

bool WriteFileBytes(const std::string& path, const std::string& head, const uint8_t* data, size_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size() && (n == 0 || std::fwrite(data, 1, n, f) == n);
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

void PutLe(std::string& s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

int Info(const std::string& file) {
  UniInfoRec info;
  std::string why;
  if (!Describe(file, info, why)) return Fail(why);
  const FFVideoPart& v = info.Video;
  const FFAudioPart& a = info.Audio;
  std::printf("format id: %d\n", info.FormatId);
  std::printf("format: %s\n", info.Description.c_str());
  std::printf("kind: %d\n", static_cast<int>(info.Kind));
  std::printf("file size: %.0f\n", info.FileSize);
  std::printf("width: %d\n", v.Width);
  std::printf("height: %d\n", v.Height);
  std::printf("bits: %d\n", v.Bpp);
  std::printf("original bits: %d\n", v.OrigBpp);
  std::printf("frame count: %d\n", v.Frames);
  std::printf("frame rate: %.6f\n", v.FrameRate);
  std::printf("duration: %.6f\n", v.Duration);
  std::printf("video: %s\n", v.HasVideo != 0 ? (v.VideoSupported != 0 ? "supported" : "not supported") : "none");
  std::printf("video codec: %s\n", v.CodecName.c_str());
  std::printf("audio: %s\n", a.HasAudio != 0 ? (a.AudioSupported != 0 ? "supported" : "not supported") : "none");
  std::printf("audio codec: %s\n", a.CodecName.c_str());
  std::printf("sound rate: %.0f\n", a.SampleRate);
  std::printf("sound channels: %d\n", a.Channels);
  std::printf("sound bits: %d\n", a.Bits);
  std::printf("sound samples: %d\n", a.Samples);
  std::printf("sound duration: %.6f\n", a.Duration);
  std::printf("failed: %s\n", info.Failed != 0 ? "yes" : "no");
  return 0;
}

int Frames(const std::string& file, int64_t first, int64_t count, const std::string& outDir) {
  UniInfoRec info;
  std::string why;
  if (!Describe(file, info, why)) return Fail(why);
  UniHandle h;
  if (MonitoredNoRaise([&] { UniOpen(h, info); }) != 0) return Fail(ErrorNow());
  const int64_t total = info.Video.Frames;
  const int64_t last = count < 0 ? total : std::min<int64_t>(total, first + count - 1);
  Qimg img;
  int status = 0;
  for (int64_t n = first; n <= last; ++n) {
    if (MonitoredNoRaise([&] { UniImgLoad(h, img, static_cast<int32_t>(n), 0); }) != 0) {
      status = Fail("frame " + std::to_string(n) + ": " + ErrorNow());
      break;
    }
    const std::vector<uint8_t> rgb = Rgb(img);
    std::printf("frame %" PRId64 ": %dx%d %d %08x\n", n, img.Width, img.Height, img.Bpp,
                Crc32(0, rgb.data(), rgb.size()));
    if (!outDir.empty()) {
      const std::string head = "P6\n" + std::to_string(img.Width) + " " + std::to_string(img.Height) + "\n255\n";
      const std::string path = outDir + "/frame_" + std::to_string(n) + ".ppm";
      if (!WriteFileBytes(path, head, rgb.data(), rgb.size())) {
        status = Fail("cannot write " + path);
        break;
      }
    }
  }
  ImgFree(img);
  MonitoredNoRaise([&] { UniClose(h); });
  return status;
}

int Sound(const std::string& file, const std::string& outWav) {
  UniInfoRec info;
  std::string why;
  if (!Describe(file, info, why)) return Fail(why);
  UniHandle h;
  if (MonitoredNoRaise([&] { UniOpen(h, info); }) != 0) return Fail(ErrorNow());
  std::vector<uint8_t> pcm;
  Qsnd snd;
  int status = 0;
  int64_t samples = 0;
  const int32_t chunk = 65536;
  WAVEFORMATEX format = info.Audio.PcmFormat;
  // A file without sound it can decode gets the program's own answer to a read.
  if (info.Audio.AudioSupported == 0 && MonitoredNoRaise([&] { UniSndLoad(h, snd, 0, 1, 0); }) != 0)
    status = Fail(ErrorNow());
  for (int64_t pos = 0; status == 0 && pos < info.Audio.Samples;) {
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(chunk, info.Audio.Samples - pos));
    // Read on from where the last read ended, as the player does: a seek for every piece would
    // restart the decoder of compressed sound mid-stream.
    const int32_t option = pos == 0 ? 0 : 1;
    if (MonitoredNoRaise([&] { UniSndLoad(h, snd, static_cast<int32_t>(pos), want, option); }) != 0) {
      status = Fail("sound at " + std::to_string(pos) + ": " + ErrorNow());
      break;
    }
    if (snd.samples <= 0) break;
    format = snd.Format;
    const size_t bytes = static_cast<size_t>(snd.samples) * snd.Format.nBlockAlign;
    pcm.insert(pcm.end(), snd.SndData, snd.SndData + bytes);
    samples += snd.samples;
    pos += snd.samples;
  }
  if (status == 0) {
    std::printf("samples: %" PRId64 "\n", samples);
    std::printf("checksum: %08x\n", Crc32(0, pcm.data(), pcm.size()));
    if (!outWav.empty()) {
      std::string head = "RIFF";
      PutLe(head, static_cast<uint32_t>(36 + pcm.size()), 4);
      head += "WAVEfmt ";
      PutLe(head, 16, 4);
      PutLe(head, 1, 2);
      PutLe(head, format.nChannels, 2);
      PutLe(head, format.nSamplesPerSec, 4);
      PutLe(head, format.nAvgBytesPerSec, 4);
      PutLe(head, format.nBlockAlign, 2);
      PutLe(head, format.wBitsPerSample, 2);
      head += "data";
      PutLe(head, static_cast<uint32_t>(pcm.size()), 4);
      if (!WriteFileBytes(outWav, head, pcm.data(), pcm.size())) status = Fail("cannot write " + outWav);
    }
  }
  SndFree(snd);
  MonitoredNoRaise([&] { UniClose(h); });
  return status;
}

bool NumberArg(const char* text, int64_t& value) {
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != 0 || v < 1 || v > 0x7FFFFFFF) return false;
  value = v;
  return true;
}

}  // namespace

int ProbePlay(int argc, char** argv);

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "play") return ProbePlay(argc, argv);
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const std::string file = argv[2];
  int64_t first = 1, count = -1;
  std::string out;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    if (arg == "--first" && command == "frames") {
      if (!NumberArg(argv[++i], first)) return Usage();
    } else if (arg == "--count" && command == "frames") {
      if (!NumberArg(argv[++i], count)) return Usage();
    } else if (arg == "--out") {
      out = argv[++i];
    } else {
      return Usage();
    }
  }
  FFTablesUnitInit();
  ConformUnitInit();
  int status;
  if (command == "info")
    status = Info(file);
  else if (command == "frames")
    status = Frames(file, first, count, out);
  else if (command == "sound")
    status = Sound(file, out);
  else
    status = Usage();
  ConformUnitDone();
  return status;
}

// Load speed of the still formats we decode ourselves (TGA, PCX, BMP, Sun raster, SGI, PNM, XPM,
// and the Bayer mosaic of raw camera pictures) beside FFmpeg, file name to pixels.
//
// The source is a 1920 x 1080 noisy picture made here (a smooth colour field with per-sample
// noise, so run-length data finds few runs, as in photographs). It is written in each format by
// our own writers into a cache folder (<build>/bench-media/stills, made on the first run). Each
// round then loads the file by its name both ways: our unit's load routine into a fresh picture
// record, and FFmpeg's demuxer and decoder (one thread) into a frame. The rounds run in
// interleaved pairs; the table gives each side's median and the ratio FFmpeg time / ours (above
// 1: we are faster). The Bayer mosaic is decoded from memory by BayDecode and by libswscale.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "bench/ffmpeg_file.h"
#include "bench/interleaved_pairs.h"
#include "codecs/xpmcodec/xpmcodec.h"
#include "core/media/img_basic.h"
#include "core/services/monitor.h"
#include "formats/ff_basic.h"
#include "formats/units/ff_bay.h"
#include "formats/units/ff_pnm.h"
#include "formats/units/ff_ras.h"
#include "formats/units/ff_sgi.h"
#include "formats/units/ff_tga_pcx_bmp.h"

namespace {

using namespace tavelo;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

// A smooth colour field with noise of +-24 in every sample (a fixed generator: the same picture
// every run).
void MakeNoisyPicture(Qimg& img) {
  ImgAlloc(img, kWidth, kHeight, 24);
  uint32_t seed = 12345;
  auto noise = [&] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>((seed >> 24) % 49) - 24;
  };
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = img.Data + (static_cast<int64_t>(y) * kWidth + x) * 3;
      const int base[3] = {x * 255 / kWidth, y * 255 / kHeight, (x + y) * 255 / (kWidth + kHeight)};
      for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::clamp(base[c] + noise(), 0, 255));
    }
}

struct Sample {
  std::string Name;
  std::string Path;
  std::function<void(const std::string&, Qimg&)> Load;  // ours, by file name
};

ReadXpmProc g_readXpm = nullptr;

// What the XPM unit does: ask the library for the size, make the picture, read the pixels.
void LoadXpm(const std::string& path, Qimg& img) {
  XpmPicture d{0, 0, 0, nullptr, 0};
  if (g_readXpm(path.c_str(), &d) != 0) RaiseError(ecImage, 8, __LINE__);
  _imgalloc_(img, d.Width, d.Height, 24, __LINE__, "bench.xpm");
  d.Data = img.Data;
  if (g_readXpm(path.c_str(), &d) != 0) RaiseError(ecImage, 8, __LINE__);
}

void LoadPnm(const std::string& path, Qimg& img) {
  PnmHandle h;
  PnmOpen(h, path);
  PnmLoad(h, img, 1);
  PnmClose(h);
}

// Writes the samples that are not in the cache folder yet and lists them all.
bool MakeSamples(const std::string& dir, std::vector<Sample>& samples) {
  void* lib = dlopen(TAVELO_CODEC_DIR "/xpmcodec.so", RTLD_NOW | RTLD_LOCAL);
  auto writeXpm = lib ? reinterpret_cast<WriteXpmProc>(dlsym(lib, "WriteXpm")) : nullptr;
  g_readXpm = lib ? reinterpret_cast<ReadXpmProc>(dlsym(lib, "ReadXpm")) : nullptr;
  if (writeXpm == nullptr || g_readXpm == nullptr) return false;

  Qimg photo, photo32, photo8, photo256;
  bool made = false;
  auto sources = [&] {
    if (made) return;
    made = true;
    MakeNoisyPicture(photo);
    ImgConvBpp(photo, photo32, 32);
    for (int64_t i = 3; i < photo32.Size; i += 4) photo32.Data[i] = static_cast<uint8_t>(i / 4096);
    ImgConvBpp(photo, photo8, 8);
    // XPM is a format of few colours: FFmpeg's reader cannot even hold the keys of a photograph's.
    ImgConvBpp(photo8, photo256, 24);
  };
  FFVideoOpts opts;
  struct Job {
    const char* name;
    const char* file;
    std::function<void(const std::string&)> write;
    std::function<void(const std::string&, Qimg&)> load;
  };
  const auto tga = [](const std::string& f, Qimg& img) { TGALoad_(f, img); };
  const auto pcx = [](const std::string& f, Qimg& img) { PCXLoad_(f, img); };
  const auto bmp = [](const std::string& f, Qimg& img) { DIBLoad_(f, img); };
  const auto ras = [](const std::string& f, Qimg& img) { RASLoad(f, img); };
  const auto sgi = [](const std::string& f, Qimg& img) { SGILoad(f, img); };
  const std::vector<Job> jobs = {
      {"TGA 24-bit raw", "raw24.tga", [&](const std::string& f) { TGASave_(f, photo, false); }, tga},
      {"TGA 32-bit raw", "raw32.tga", [&](const std::string& f) { TGASave_(f, photo32, false); }, tga},
      {"TGA 8-bit raw", "raw8.tga", [&](const std::string& f) { TGASave_(f, photo8, false); }, tga},
      {"TGA 24-bit RLE", "rle24.tga", [&](const std::string& f) { TGASave_(f, photo, true); }, tga},
      {"TGA 32-bit RLE", "rle32.tga", [&](const std::string& f) { TGASave_(f, photo32, true); }, tga},
      {"TGA 8-bit RLE", "rle8.tga", [&](const std::string& f) { TGASave_(f, photo8, true); }, tga},
      {"PCX 24-bit", "p24.pcx", [&](const std::string& f) { PCXSave_(f, photo, opts); }, pcx},
      {"PCX 8-bit", "p8.pcx", [&](const std::string& f) { PCXSave_(f, photo8, opts); }, pcx},
      {"BMP 24-bit", "b24.bmp", [&](const std::string& f) { DIBSave_(f, photo, opts); }, bmp},
      {"BMP 32-bit", "b32.bmp", [&](const std::string& f) { DIBSave_(f, photo32, opts); }, bmp},
      {"BMP 8-bit", "b8.bmp", [&](const std::string& f) { DIBSave_(f, photo8, opts); }, bmp},
      {"Sun 24-bit plain", "p24.ras", [&](const std::string& f) { RASWritePrepared_(f, photo, 0); }, ras},
      {"Sun 8-bit plain", "p8.ras", [&](const std::string& f) { RASWritePrepared_(f, photo8, 0); }, ras},
      {"Sun 24-bit RLE", "r24.ras", [&](const std::string& f) { RASWritePrepared_(f, photo, 1); }, ras},
      {"Sun 8-bit RLE", "r8.ras", [&](const std::string& f) { RASWritePrepared_(f, photo8, 1); }, ras},
      {"SGI 24-bit plain", "p24.sgi", [&](const std::string& f) { SGIWritePrepared_(f, photo, 0); }, sgi},
      {"SGI 24-bit RLE", "r24.sgi", [&](const std::string& f) { SGIWritePrepared_(f, photo, 1); }, sgi},
      {"SGI 32-bit RLE", "r32.sgi", [&](const std::string& f) { SGIWritePrepared_(f, photo32, 1); }, sgi},
      {"PNM P6 binary", "b.ppm", [&](const std::string& f) { PnmWritePrepared_(f, photo, true); }, LoadPnm},
      {"PNM P3 text", "t.ppm", [&](const std::string& f) { PnmWritePrepared_(f, photo, false); }, LoadPnm},
      {"XPM 256 colours", "x.xpm",
       [&](const std::string& f) {
         XpmPicture d{photo256.Width, photo256.Height, 0, photo256.Data, 0};
         if (writeXpm(f.c_str(), &d) != 0) RaiseError(ecImage, 11, __LINE__);
       },
       LoadXpm},
  };
  for (const Job& job : jobs) {
    const std::string path = dir + "/" + job.file;
    if (!FileExists(path) && MonitoredNoRaise([&] {
                               sources();
                               job.write(path);
                             }) != 0)
      return false;
    samples.push_back({job.name, path, job.load});
  }
  ImgFree(photo);
  ImgFree(photo32);
  ImgFree(photo8);
  ImgFree(photo256);
  return true;
}

// The Bayer mosaic of the noisy picture through an R G / G B cell, decoded from memory.
bench::PairTiming TimeBayer() {
  Qimg photo;
  MakeNoisyPicture(photo);
  std::vector<uint8_t> mosaic(static_cast<size_t>(kWidth) * kHeight);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const int site = (y & 1) * 2 + (x & 1);  // 0 R, 1 and 2 G, 3 B
      const uint8_t* p = photo.Data + (static_cast<int64_t>(y) * kWidth + x) * 3;
      mosaic[static_cast<size_t>(y) * kWidth + x] = site == 0 ? p[2] : site == 3 ? p[0] : p[1];
    }
  ImgFree(photo);
  std::vector<uint8_t> out(static_cast<size_t>(kWidth) * kHeight * 3);
  SwsContext* sws = sws_getContext(kWidth, kHeight, AV_PIX_FMT_BAYER_RGGB8, kWidth, kHeight, AV_PIX_FMT_BGR24,
                                   SWS_POINT, nullptr, nullptr, nullptr);
  const uint8_t* src[4] = {mosaic.data(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {kWidth, 0, 0, 0};
  uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {kWidth * 3, 0, 0, 0};
  bench::PairTiming t = bench::TimePairs(
      "Bayer RGGB to BGR (memory)",
      [&] {
        BayDecode(mosaic.data(), out.data(), kWidth, 1, bayRGGB, kHeight);
        benchmark::DoNotOptimize(out.data());
        return true;
      },
      [&] {
        sws_scale(sws, src, srcStride, 0, kHeight, dst, dstStride);
        benchmark::DoNotOptimize(out.data());
        return true;
      });
  sws_freeContext(sws);
  return t;
}

}  // namespace

// Optional argument: a part of a format name; only the formats whose names hold it are timed.
int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  const std::string only = argc > 1 ? argv[1] : "";
  const std::string dir = std::string(TAVELO_BENCH_MEDIA) + "/stills";
  ::mkdir(TAVELO_BENCH_MEDIA, 0755);
  ::mkdir(dir.c_str(), 0755);
  std::vector<Sample> samples;
  if (!MakeSamples(dir, samples)) {
    std::fprintf(stderr, "own_pictures_bench: cannot make the samples in %s (is xpmcodec built?)\n", dir.c_str());
    return 1;
  }
  bench::PrintHeader("1920x1080 noisy picture, file name to pixels");
  for (const Sample& s : samples) {
    if (!only.empty() && s.Name.find(only) == std::string::npos) continue;
    const bench::PairTiming t = bench::TimePairs(
        s.Name,
        [&] {
          Qimg img;
          const bool ok = MonitoredNoRaise([&] { s.Load(s.Path, img); }) == 0;
          benchmark::DoNotOptimize(img.Data);
          ImgFree(img);
          return ok;
        },
        [&] { return bench::FFmpegDecodeFile(s.Path) == 1; });
    bench::PrintRow(t);
  }
  if (only.empty() || std::string("Bayer").find(only) != std::string::npos) bench::PrintRow(TimeBayer());
  return 0;
}

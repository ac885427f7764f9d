// Decode speed of the picture formats we decode ourselves (SGI, Sun raster, PNM, XPM, Bayer raw)
// beside FFmpeg's decoder of the same bytes, in the same run, in Mpixel/s.
//
// The source is the 1920 x 1080 photograph-like picture of tests/data/generate/photos.sh (run
// the test suite or `bash tests/data/generate-all.sh build/test-data` first). It is written in
// each format by our own writers; both decoders then read the same bytes from memory, except the
// XPM codec library, whose only door is a file name: it reads its file (from the page cache) in
// every round. The Bayer mosaic is decoded by BayDecode and by libswscale's Bayer converter.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "codecs/xpmcodec/xpmcodec.h"
#include "core/media/img_basic.h"
#include "core/services/monitor.h"
#include "formats/units/ff_bay.h"
#include "formats/units/ff_pnm.h"
#include "formats/units/ff_ras.h"
#include "formats/units/ff_sgi.h"

namespace {

using namespace tavelo;

constexpr const char* kRate = "Mpix/s";

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// One encoded picture and how to decode it both ways.
struct Sample {
  std::string Name;
  std::string Bytes;
  std::string Path;  // the same bytes as a file
  AVCodecID Codec = AV_CODEC_ID_NONE;
  int64_t Pixels = 0;
};

std::vector<Sample>& Samples() {
  static std::vector<Sample> samples;
  return samples;
}

void SetRate(benchmark::State& state, int64_t pixels) {
  state.counters[kRate] =
      benchmark::Counter(static_cast<double>(pixels) * static_cast<double>(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

// ---- Ours ----

void OursDecode(benchmark::State& state, const Sample* s) {
  Qimg img;
  const uint8_t* data = reinterpret_cast<const uint8_t*>(s->Bytes.data());
  const int64_t size = static_cast<int64_t>(s->Bytes.size());
  std::function<void()> decode;
  if (s->Codec == AV_CODEC_ID_SGI) decode = [&] { SGIDecode_(data, size, img); };
  if (s->Codec == AV_CODEC_ID_SUNRAST) decode = [&] { RASDecode_(data, size, img); };
  if (s->Codec == AV_CODEC_ID_PPM || s->Codec == AV_CODEC_ID_PGM)
    decode = [&] {
      PnmHandle h;
      PnmOpenMem_(h, data, size);
      PnmLoad(h, img, 1);
      PnmClose(h);
    };
  for (auto _ : state) {
    if (MonitoredNoRaise(decode) != 0) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(img.Data);
  }
  SetRate(state, s->Pixels);
  ImgFree(img);
}

void OursXpm(benchmark::State& state, const Sample* s) {
  void* lib = dlopen(TAVELO_CODEC_DIR "/xpmcodec.so", RTLD_NOW | RTLD_LOCAL);
  auto read = lib ? reinterpret_cast<ReadXpmProc>(dlsym(lib, "ReadXpm")) : nullptr;
  if (read == nullptr) {
    state.SkipWithError("xpmcodec.so is missing");
    return;
  }
  std::vector<uint8_t> pixels;
  for (auto _ : state) {
    XpmPicture d{0, 0, 0, nullptr, 0};
    if (read(s->Path.c_str(), &d) != 0) {
      state.SkipWithError("ReadXpm failed");
      break;
    }
    pixels.resize(static_cast<size_t>(d.Width) * d.Height * 3);
    d.Data = pixels.data();
    if (read(s->Path.c_str(), &d) != 0) {
      state.SkipWithError("ReadXpm failed");
      break;
    }
    benchmark::DoNotOptimize(pixels.data());
  }
  SetRate(state, s->Pixels);
  dlclose(lib);
}

// ---- FFmpeg ----

void FFDecode(benchmark::State& state, const Sample* s) {
  const AVCodec* codec = avcodec_find_decoder(s->Codec);
  AVCodecContext* ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  if (ctx == nullptr || avcodec_open2(ctx, codec, nullptr) < 0 || av_new_packet(pkt, static_cast<int>(s->Bytes.size())) < 0) {
    state.SkipWithError("FFmpeg has no such decoder");
  } else {
    std::memcpy(pkt->data, s->Bytes.data(), s->Bytes.size());
    for (auto _ : state) {
      if (avcodec_send_packet(ctx, pkt) < 0 || avcodec_receive_frame(ctx, frame) < 0) {
        state.SkipWithError("FFmpeg cannot decode it");
        break;
      }
      benchmark::DoNotOptimize(frame->data[0]);
      av_frame_unref(frame);
    }
  }
  SetRate(state, s->Pixels);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
}

// ---- Bayer ----

std::vector<uint8_t>& Mosaic() {
  static std::vector<uint8_t> m;
  return m;
}
int g_bayW = 0, g_bayH = 0;

void OursBayer(benchmark::State& state) {
  std::vector<uint8_t> out(static_cast<size_t>(g_bayW) * g_bayH * 3);
  for (auto _ : state) {
    MonitoredNoRaise([&] { BayDecode(Mosaic().data(), out.data(), g_bayW, 1, bayRGGB, g_bayH); });
    benchmark::DoNotOptimize(out.data());
  }
  SetRate(state, static_cast<int64_t>(g_bayW) * g_bayH);
}

void SwsBayer(benchmark::State& state) {
  SwsContext* sws = sws_getContext(g_bayW, g_bayH, AV_PIX_FMT_BAYER_RGGB8, g_bayW, g_bayH, AV_PIX_FMT_BGR24, SWS_POINT,
                                   nullptr, nullptr, nullptr);
  std::vector<uint8_t> out(static_cast<size_t>(g_bayW) * g_bayH * 3);
  const uint8_t* src[4] = {Mosaic().data(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {g_bayW, 0, 0, 0};
  uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {g_bayW * 3, 0, 0, 0};
  for (auto _ : state) {
    sws_scale(sws, src, srcStride, 0, g_bayH, dst, dstStride);
    benchmark::DoNotOptimize(out.data());
  }
  SetRate(state, static_cast<int64_t>(g_bayW) * g_bayH);
  sws_freeContext(sws);
}

class RateReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rates;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find(kRate);
      if (it != r.counters.end() && !r.error_occurred) rates[r.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

// Writes the source in every format through our writers and keeps the bytes.
bool MakeSamples(const std::string& dir) {
  Qimg photo, photo32, photo8;
  PnmHandle h;
  const std::string source = std::string(TAVELO_TEST_DATA) + "/photos/plasma-1080.ppm";
  if (MonitoredNoRaise([&] {
        PnmOpen(h, source);
        PnmLoad(h, photo, 1);
        PnmClose(h);
      }) != 0)
    return false;
  ImgConvBpp(photo, photo32, 32);
  for (int64_t i = 3; i < photo32.Size; i += 4) photo32.Data[i] = static_cast<uint8_t>(i / 4096);
  ImgConvBpp(photo, photo8, 8);
  // XPM is a format of few colours: FFmpeg's reader cannot even hold the keys of a photograph's.
  Qimg photo256;
  ImgConvBpp(photo8, photo256, 24);
  const int64_t pixels = static_cast<int64_t>(photo.Width) * photo.Height;
  void* lib = dlopen(TAVELO_CODEC_DIR "/xpmcodec.so", RTLD_NOW | RTLD_LOCAL);
  auto writeXpm = lib ? reinterpret_cast<WriteXpmProc>(dlsym(lib, "WriteXpm")) : nullptr;
  if (writeXpm == nullptr) return false;

  struct Job {
    const char* name;
    const char* file;
    AVCodecID codec;
    std::function<void(const std::string&)> write;
  };
  const std::vector<Job> jobs = {
      {"SGI 24-bit plain", "p.sgi", AV_CODEC_ID_SGI, [&](const std::string& f) { SGIWritePrepared_(f, photo, 0); }},
      {"SGI 24-bit RLE", "r.sgi", AV_CODEC_ID_SGI, [&](const std::string& f) { SGIWritePrepared_(f, photo, 1); }},
      {"SGI 32-bit RLE", "a.sgi", AV_CODEC_ID_SGI, [&](const std::string& f) { SGIWritePrepared_(f, photo32, 1); }},
      {"Sun 24-bit plain", "p.ras", AV_CODEC_ID_SUNRAST, [&](const std::string& f) { RASWritePrepared_(f, photo, 0); }},
      {"Sun 24-bit RLE", "r.ras", AV_CODEC_ID_SUNRAST, [&](const std::string& f) { RASWritePrepared_(f, photo, 1); }},
      {"Sun 8-bit RLE", "8.ras", AV_CODEC_ID_SUNRAST, [&](const std::string& f) { RASWritePrepared_(f, photo8, 1); }},
      {"PNM P6 binary", "b.ppm", AV_CODEC_ID_PPM, [&](const std::string& f) { PnmWritePrepared_(f, photo, true); }},
      {"PNM P3 text", "t.ppm", AV_CODEC_ID_PPM, [&](const std::string& f) { PnmWritePrepared_(f, photo, false); }},
      {"XPM 256 colours", "x.xpm", AV_CODEC_ID_XPM,
       [&](const std::string& f) {
         XpmPicture d{photo256.Width, photo256.Height, 0, photo256.Data, 0};
         writeXpm(f.c_str(), &d);
       }},
  };
  for (const Job& job : jobs) {
    const std::string path = dir + "/" + job.file;
    if (MonitoredNoRaise([&] { job.write(path); }) != 0) return false;
    Samples().push_back({job.name, Slurp(path), path, job.codec, pixels});
  }
  // The Bayer mosaic: the photo sampled through an R G / G B cell.
  g_bayW = photo.Width;
  g_bayH = photo.Height;
  Mosaic().resize(static_cast<size_t>(pixels));
  for (int y = 0; y < g_bayH; ++y)
    for (int x = 0; x < g_bayW; ++x) {
      const int site = (y & 1) * 2 + (x & 1);  // 0 R, 1 and 2 G, 3 B
      const uint8_t* p = photo.Data + (static_cast<int64_t>(y) * g_bayW + x) * 3;
      Mosaic()[static_cast<size_t>(y) * g_bayW + x] = site == 0 ? p[2] : site == 3 ? p[0] : p[1];
    }
  dlclose(lib);
  ImgFree(photo);
  ImgFree(photo32);
  ImgFree(photo8);
  ImgFree(photo256);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  char pattern[] = "/tmp/tavelo-bench-XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr || !MakeSamples(dir)) {
    std::fprintf(stderr, "own_pictures_bench: cannot make the samples; run `bash tests/data/generate-all.sh %s` and build "
                 "xpmcodec first\n", TAVELO_TEST_DATA);
    return 1;
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const Sample& s : Samples()) {
    if (s.Codec == AV_CODEC_ID_XPM)
      benchmark::RegisterBenchmark((s.Name + "/tavelo").c_str(), OursXpm, &s)->Unit(benchmark::kMillisecond);
    else
      benchmark::RegisterBenchmark((s.Name + "/tavelo").c_str(), OursDecode, &s)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((s.Name + "/ffmpeg").c_str(), FFDecode, &s)->Unit(benchmark::kMillisecond);
    pairs.emplace_back(s.Name + "/tavelo", s.Name + "/ffmpeg");
  }
  benchmark::RegisterBenchmark("Bayer RGGB to BGR/tavelo", OursBayer)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Bayer RGGB to BGR/ffmpeg", SwsBayer)->Unit(benchmark::kMillisecond);
  pairs.emplace_back("Bayer RGGB to BGR/tavelo", "Bayer RGGB to BGR/ffmpeg");

  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n%-28s %12s %12s %8s\n", "1920x1080 decode", "tavelo", "ffmpeg", "ratio");
  for (const auto& [ours, theirs] : pairs) {
    auto a = reporter.rates.find(ours), b = reporter.rates.find(theirs);
    if (a == reporter.rates.end() || b == reporter.rates.end()) continue;
    std::printf("%-28s %7.1f Mp/s %7.1f Mp/s %7.2fx\n", ours.substr(0, ours.find('/')).c_str(), a->second, b->second,
                a->second / b->second);
  }
  for (const Sample& s : Samples()) std::remove(s.Path.c_str());
  rmdir(dir);
  benchmark::Shutdown();
  return 0;
}

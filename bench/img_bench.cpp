// Picture conversion speed beside libswscale, and the colour reduction's speed and quality.
//
// Every benchmark works on a 1920 x 1080 photograph-like picture (tests/data/generate/photos.sh;
// run the test suite or `bash tests/data/generate-all.sh build/test-data` first) and reports
// Mpixel/s. The depth conversions and the resize also run through libswscale in the same run
// (unscaled converters, point sampling for the resize); the table at the end gives our speed
// over its speed. Last, the PSNR of the colour reduction without dithering on three photographs
// is printed, so later changes to the reduction can be compared.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "core/media/img_basic.h"
#include "core/media/pal_opt.h"

namespace {

using namespace tavelo;

constexpr const char* kRate = "Mpix/s";

std::string MediaFile(const std::string& name) { return std::string(TAVELO_TEST_DATA) + "/photos/" + name; }

// A binary PPM (P6, maxval 255) as a 24-bit picture (B, G, R).
bool LoadPpm(const std::string& path, Qimg& img) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string magic;
  int w = 0, h = 0, maxval = 0;
  in >> magic >> w >> h >> maxval;
  in.get();
  if (magic != "P6" || w < 1 || h < 1 || w > 20000 || h > 20000 || maxval != 255) return false;
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  if (!in.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()))) return false;
  ImgAlloc(img, w, h, 24);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    img.Data[i] = rgb[i + 2];
    img.Data[i + 1] = rgb[i + 1];
    img.Data[i + 2] = rgb[i];
  }
  return true;
}

struct Pictures {
  Qimg d24, d32, d15, d16;
  bool ok = false;
  Pictures() {
    ok = LoadPpm(MediaFile("plasma-1080.ppm"), d24);
    if (!ok) return;
    ImgConvBpp(d24, d32, 32);
    ImgConvBpp(d24, d15, 15);
    ImgConvBpp(d24, d16, 16);
  }
};

Pictures& Pics() {
  static Pictures pics;
  return pics;
}

Qimg& PicOf(int bpp) {
  Pictures& p = Pics();
  return bpp == 15 ? p.d15 : bpp == 16 ? p.d16 : bpp == 24 ? p.d24 : p.d32;
}

AVPixelFormat FormatOf(int bpp) {
  switch (bpp) {
    case 15: return AV_PIX_FMT_RGB555LE;  // 0RRRRRGGGGGBBBBB, little-endian
    case 16: return AV_PIX_FMT_RGB565LE;
    case 24: return AV_PIX_FMT_BGR24;
    default: return AV_PIX_FMT_BGRA;
  }
}

void SetRate(benchmark::State& state, int64_t pixelsPerIteration) {
  state.counters[kRate] = benchmark::Counter(static_cast<double>(pixelsPerIteration) * state.iterations() / 1e6,
                                             benchmark::Counter::kIsRate);
}

void OursConvert(benchmark::State& state, int from, int to) {
  Qimg& src = PicOf(from);
  Qimg dest;
  ImgConvBpp(src, dest, to);  // the destination's buffer exists before timing, as in a player
  for (auto _ : state) {
    ImgConvBpp(src, dest, to);
    benchmark::DoNotOptimize(dest.Data);
  }
  SetRate(state, static_cast<int64_t>(src.Width) * src.Height);
  ImgFree(dest);
}

void SwsRun(benchmark::State& state, const Qimg& src, AVPixelFormat srcFmt, int dw, int dh, AVPixelFormat dstFmt,
            int dstBytesPP) {
  SwsContext* ctx = sws_getContext(src.Width, src.Height, srcFmt, dw, dh, dstFmt, SWS_POINT, nullptr, nullptr, nullptr);
  if (ctx == nullptr) {
    state.SkipWithError("sws_getContext failed");
    return;
  }
  std::vector<uint8_t> out(static_cast<size_t>(dw) * dh * dstBytesPP + 64);
  const uint8_t* srcSlice[4] = {src.Data, nullptr, nullptr, nullptr};
  const int srcStride[4] = {src.Width * src.BytesPP, 0, 0, 0};
  uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {dw * dstBytesPP, 0, 0, 0};
  for (auto _ : state) {
    sws_scale(ctx, srcSlice, srcStride, 0, src.Height, dst, dstStride);
    benchmark::DoNotOptimize(out.data());
  }
  sws_freeContext(ctx);
}

void SwsConvert(benchmark::State& state, int from, int to) {
  const Qimg& src = PicOf(from);
  SwsRun(state, src, FormatOf(from), src.Width, src.Height, FormatOf(to), (to + 7) / 8);
  SetRate(state, static_cast<int64_t>(src.Width) * src.Height);
}

// Resize rates count the destination's pixels.
void OursResize(benchmark::State& state, int w, int h) {
  Qimg& src = PicOf(24);
  Qimg dest;
  ImgResize(src, dest, w, h);
  for (auto _ : state) {
    ImgResize(src, dest, w, h);
    benchmark::DoNotOptimize(dest.Data);
  }
  SetRate(state, static_cast<int64_t>(w) * h);
  ImgFree(dest);
}

void SwsResize(benchmark::State& state, int w, int h) {
  const Qimg& src = PicOf(24);
  SwsRun(state, src, AV_PIX_FMT_BGR24, w, h, AV_PIX_FMT_BGR24, 3);
  SetRate(state, static_cast<int64_t>(w) * h);
}

void OursReduce(benchmark::State& state, int mode) {
  Qimg& src = PicOf(24);
  Qimg dest;
  for (auto _ : state) {
    ConvTo8bit(src, dest, mode);
    benchmark::DoNotOptimize(dest.Data);
  }
  SetRate(state, static_cast<int64_t>(src.Width) * src.Height);
  ImgFree(dest);
}

// Keeps each run's rate for the comparison table.
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

double Psnr(const Qimg& a, const Qimg& pal8) {
  double sum = 0;
  const int64_t n = static_cast<int64_t>(a.Width) * a.Height;
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* p = a.Data + 3 * i;
    const uint8_t* e = pal8.Palette.data() + 3 * pal8.Data[i];
    for (int c = 0; c < 3; ++c) {
      const double d = static_cast<double>(p[c]) - e[c];
      sum += d * d;
    }
  }
  const double mse = sum / (3.0 * static_cast<double>(n));
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);  // swscale notes that it has no full-chroma path for 15/16 bits
  if (!Pics().ok) {
    std::fprintf(stderr, "img_bench: %s is missing; run `bash tests/data/generate-all.sh %s` first\n",
                 MediaFile("plasma-1080.ppm").c_str(), TAVELO_TEST_DATA);
    return 1;
  }
  const std::pair<int, int> conversions[] = {{24, 32}, {32, 24}, {15, 24}, {16, 24}, {24, 15}, {24, 16}};
  std::vector<std::pair<std::string, std::string>> pairs;
  for (auto [from, to] : conversions) {
    const std::string name = "convert " + std::to_string(from) + "->" + std::to_string(to);
    benchmark::RegisterBenchmark((name + "/tavelo").c_str(), OursConvert, from, to)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((name + "/swscale").c_str(), SwsConvert, from, to)->Unit(benchmark::kMillisecond);
    pairs.emplace_back(name + "/tavelo", name + "/swscale");
  }
  const std::pair<int, int> sizes[] = {{1280, 720}, {2880, 1620}};
  for (auto [w, h] : sizes) {
    const std::string name = "resize 24-bit to " + std::to_string(w) + "x" + std::to_string(h);
    benchmark::RegisterBenchmark((name + "/tavelo").c_str(), OursResize, w, h)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((name + "/swscale").c_str(), SwsResize, w, h)->Unit(benchmark::kMillisecond);
    pairs.emplace_back(name + "/tavelo", name + "/swscale");
  }
  benchmark::RegisterBenchmark("reduce to 256 colours/plain", OursReduce, prmPlain)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("reduce to 256 colours/lite dither", OursReduce, prmLite)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("reduce to 256 colours/heavy dither", OursReduce, prmHeavy)->Unit(benchmark::kMillisecond);

  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n%-32s %12s %12s %8s\n", "1920x1080 source", "tavelo", "swscale", "ratio");
  for (const auto& [ours, theirs] : pairs) {
    auto a = reporter.rates.find(ours), b = reporter.rates.find(theirs);
    if (a == reporter.rates.end() || b == reporter.rates.end()) continue;
    std::printf("%-32s %8.0f Mp/s %8.0f Mp/s %7.2fx\n", ours.substr(0, ours.find('/')).c_str(), a->second, b->second,
                a->second / b->second);
  }

  std::printf("\nColour reduction quality, ConvTo8bit without dithering (PSNR over B, G, R):\n");
  double total = 0;
  int count = 0;
  for (const char* name : {"rose.ppm", "plasma.ppm", "mandel.ppm"}) {
    Qimg photo, pal8;
    if (!LoadPpm(MediaFile(name), photo)) {
      std::fprintf(stderr, "img_bench: cannot read %s\n", MediaFile(name).c_str());
      return 1;
    }
    ConvTo8bit(photo, pal8, prmPlain);
    const double db = Psnr(photo, pal8);
    std::printf("  %-12s %4dx%-4d %6.2f dB\n", name, photo.Width, photo.Height, db);
    total += db;
    ++count;
    ImgFree(photo);
    ImgFree(pal8);
  }
  std::printf("  %-22s %6.2f dB\n", "mean", total / count);
  benchmark::Shutdown();
  return 0;
}

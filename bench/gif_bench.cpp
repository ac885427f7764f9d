// Animation decode speed (GIF and FLIC) beside FFmpeg, file name to pixels: every round opens
// the file, decodes every frame and closes it, both ways, in interleaved pairs (medians; the ratio
// is FFmpeg's time over ours, above 1: we are faster).
//
// Files:
// - noisy-1080.gif: 1920 x 1080, 10 frames of a moving test picture with noise, by ffmpeg's GIF
//   encoder with its own palette (frames after the first are partial and use transparency).
// - noisy-1080.flc: 1920 x 1080, 10 frames; the first a byte-run picture of noise, each later one
//   a word delta changing a third of the picture in scattered spans (our test writer).
// - bench.gif from tests/data/generate/gif.sh (320 x 240, 60 frames), when the test media exist.
// The first two are made on the first run into <build>/bench-media/anim. Our GIF unit's scan
// cache is dropped before each of our rounds, so every round pays the full open.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "bench/ffmpeg_file.h"
#include "bench/interleaved_pairs.h"
#include "core/media/img_basic.h"
#include "core/services/monitor.h"
#include "formats/units/ff_flc.h"
#include "formats/units/ff_gif.h"
#include "tests/formats/flic_writer.h"

namespace {

using namespace tavelo;

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

bool MakeGif(const std::string& path) {
  if (FileExists(path)) return true;
  const std::string cmd =
      "ffmpeg -nostdin -v error -y -f lavfi -i "
      "\"testsrc2=size=1920x1080:rate=10:duration=1,noise=alls=24:allf=t+u\" "
      "-filter_complex \"split[a][b];[a]palettegen[p];[b][p]paletteuse\" \"" + path + "\"";
  return std::system(cmd.c_str()) == 0 && FileExists(path);
}

bool MakeFlic(const std::string& path) {
  if (FileExists(path)) return true;
  constexpr int w = 1920, h = 1080, frames = 10;
  uint32_t seed = 777;
  auto rnd = [&] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  std::vector<test::FlicFrame> list(frames);
  list[0].Pixels.resize(static_cast<size_t>(w) * h);
  for (auto& p : list[0].Pixels) p = static_cast<uint8_t>(rnd());
  for (int i = 0; i < 256; ++i) {
    list[0].Rgb[3 * i] = static_cast<uint8_t>(i);
    list[0].Rgb[3 * i + 1] = static_cast<uint8_t>(255 - i);
    list[0].Rgb[3 * i + 2] = static_cast<uint8_t>(i * 7);
  }
  for (int f = 1; f < frames; ++f) {
    list[f] = list[f - 1];
    // Spans of 8 to 71 pixels, until about a third of the picture has changed.
    for (int64_t changed = 0; changed < static_cast<int64_t>(w) * h / 3;) {
      const int64_t at = rnd() % (static_cast<int64_t>(w) * h);
      const int64_t n = 8 + rnd() % 64;
      for (int64_t k = 0; k < n && at + k < static_cast<int64_t>(w) * h; ++k)
        list[f].Pixels[static_cast<size_t>(at + k)] = static_cast<uint8_t>(rnd());
      changed += n;
    }
  }
  const std::string bytes = test::WriteFlic(w, h, list, test::FlicOptions{});
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return FileExists(path);
}

bool OursGif(const std::string& path, int64_t expect) {
  Qimg img;
  int64_t frames = 0;
  const bool ok = MonitoredNoRaise([&] {
                    GIFDropCacheForTest();
                    GifHandle gif;
                    GIFOpen(gif, path, false);
                    for (int32_t f = 1; f <= gif.Frames; ++f) GIFLoadNext(gif, img, nullptr);
                    benchmark::DoNotOptimize(img.Data);
                    frames = gif.Frames;
                    GIFClose(gif);
                  }) == 0;
  ImgFree(img);
  return ok && frames == expect;
}

bool OursFlic(const std::string& path, int64_t expect) {
  Qimg img;
  int64_t frames = 0;
  const bool ok = MonitoredNoRaise([&] {
                    FlcHandle flc;
                    FLCOpen(flc, path);
                    for (int32_t f = 1; f <= flc.Frames; ++f) FLCLoadNext(flc, img, false);
                    benchmark::DoNotOptimize(img.Data);
                    frames = flc.Frames;
                    FLCClose(flc);
                  }) == 0;
  ImgFree(img);
  return ok && frames == expect;
}

}  // namespace

int main() {
  av_log_set_level(AV_LOG_ERROR);
  const std::string dir = std::string(TAVELO_BENCH_MEDIA) + "/anim";
  ::mkdir(TAVELO_BENCH_MEDIA, 0755);
  ::mkdir(dir.c_str(), 0755);
  const std::string gif = dir + "/noisy-1080.gif", flc = dir + "/noisy-1080.flc";
  if (!MakeGif(gif) || !MakeFlic(flc)) {
    std::fprintf(stderr, "gif_bench: cannot make the animations in %s (ffmpeg is needed)\n", dir.c_str());
    return 1;
  }
  struct Anim {
    const char* name;
    std::string path;
    bool flic;
  };
  std::vector<Anim> anims = {{"GIF 1920x1080 noisy", gif, false}, {"FLIC 1920x1080 deltas", flc, true}};
  const std::string small = std::string(TAVELO_TEST_DATA) + "/gif/bench.gif";
  if (FileExists(small)) anims.push_back({"GIF 320x240 (bench.gif)", small, false});
  bench::PrintHeader("Animations, open + every frame + close");
  for (const Anim& a : anims) {
    // FFmpeg's count of decoded frames is what ours must deliver too.
    const int64_t frames = bench::FFmpegDecodeFile(a.path);
    const bench::PairTiming t = bench::TimePairs(
        std::string(a.name) + " (" + std::to_string(frames) + " fr)",
        [&] { return a.flic ? OursFlic(a.path, frames) : OursGif(a.path, frames); },
        [&] { return frames > 0 && bench::FFmpegDecodeFile(a.path) == frames; });
    bench::PrintRow(t);
  }
  return 0;
}

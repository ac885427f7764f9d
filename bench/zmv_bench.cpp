// ZMV sound seeks on two large generated movies:
//   hostile  48 MB of one-sample blocks (2.8 million blocks, the shape of a hostile file);
//   long     20 minutes of 16-bit mono sound at 22050 Hz in blocks of 1/25 s (30,000 blocks).
// BM_ZmvOpen is the open, which indexes the block chain once; BM_ZmvSeek one seek to a random
// sample through the index and a read of 1 or 1024 samples (in the hostile movie 1024 samples are
// 1024 blocks to load); BM_ChainWalk the same seek done the way
// the unit did it before the index, walking the block headers from the first block (no read).
// The movies are written on the first run into $XDG_CACHE_HOME/tavelo-bench (else
// ~/.cache/tavelo-bench) by the tests' ZMV writer, and taken from there afterwards.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/media/snd_basic.h"
#include "core/services/files.h"
#include "core/services/monitor.h"
#include "formats/units/ff_zmv.h"
#include "tests/formats/zmv_writer.h"

namespace {

using namespace tavelo;

std::string CacheFolder() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  std::string base = xdg != nullptr && *xdg != '\0' ? xdg : std::string(home != nullptr ? home : "/tmp") + "/.cache";
  return base + "/tavelo-bench";
}

struct Shape {
  const char* name;
  int32_t soundFlags;
  int32_t rate;
  int32_t blockSamples;
  int64_t blocks;
};

const Shape kShapes[] = {
    {"hostile", 1, 8000, 1, 2800000},   // 17 bytes a block: 47.6 MB
    {"long", 3, 22050, 882, 30000},     // 1764 bytes a block: 53 MB
};

std::string MoviePath(const Shape& shape) {
  const std::string path = CacheFolder() + "/zmv-sound-" + shape.name + ".zmv";
  if (std::filesystem::exists(path)) return path;
  std::filesystem::create_directories(CacheFolder());
  test::ZmvMovie m;
  m.width = 16;
  m.height = 8;
  m.bytesPerPixel = 3;
  m.keyInterval = 1;
  test::ZmvFrame frame;
  frame.pixels.assign(16 * 8 * 3, 90);
  m.frames.push_back(frame);
  m.soundFlags = shape.soundFlags;
  m.sampleRate = shape.rate;
  m.blockSamples.assign(static_cast<size_t>(shape.blocks), shape.blockSamples);
  const int64_t bytes = shape.blocks * shape.blockSamples * test::ZmvSoundBlockAlign(shape.soundFlags);
  m.pcm.resize(static_cast<size_t>(bytes));
  for (int64_t i = 0; i < bytes; ++i) m.pcm[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7 + i / 997);
  const test::ZmvFileImage image = test::ZmvBuildFile(m);
  const std::string part = path + ".part";
  std::ofstream(part, std::ios::binary).write(image.bytes.data(), static_cast<std::streamsize>(image.bytes.size()));
  std::filesystem::rename(part, path);
  return path;
}

void BM_ZmvOpen(benchmark::State& state) {
  const Shape& shape = kShapes[state.range(0)];
  const std::string path = MoviePath(shape);
  state.SetLabel(shape.name);
  for (auto _ : state) {
    ZmvHandle h{};
    MonitoredNoRaise([&] { ZMVOpen(h, path); });
    if (h.SndBlocks != shape.blocks) state.SkipWithError("the chain was not indexed whole");
    MonitoredNoRaise([&] { ZMVClose(h); });
  }
}

// The movie of the benchmark's first argument, open for the whole run.
class OpenMovie {
 public:
  explicit OpenMovie(benchmark::State& state) {
    const Shape& shape = kShapes[state.range(0)];
    const std::string path = MoviePath(shape);
    state.SetLabel(shape.name);
    MonitoredNoRaise([&] { ZMVOpen(h, path); });
  }
  ~OpenMovie() {
    MonitoredNoRaise([&] { ZMVClose(h); });
  }
  OpenMovie(const OpenMovie&) = delete;
  OpenMovie& operator=(const OpenMovie&) = delete;
  ZmvHandle h{};
};

void BM_ZmvSeek(benchmark::State& state) {
  OpenMovie movie(state);
  ZmvHandle& h = movie.h;
  const int32_t count = static_cast<int32_t>(state.range(1));
  Qsnd snd;
  std::mt19937 rng(1);
  for (auto _ : state) {
    const int32_t pos = static_cast<int32_t>(rng() % static_cast<uint32_t>(h.Samples - 1024));
    MonitoredNoRaise([&] { ZMVSndLoad(h, snd, pos, count, 0); });
    if (snd.samples != count) state.SkipWithError("short read");
  }
  SndFree(snd);
}

// The former seek: every block header read from the first block on, until the sample's block.
void BM_ChainWalk(benchmark::State& state) {
  OpenMovie movie(state);
  ZmvHandle& h = movie.h;
  std::mt19937 rng(1);
  for (auto _ : state) {
    const int64_t sample = rng() % static_cast<uint32_t>(h.Samples - 1024);
    int64_t before = 0;
    int64_t offset = h.SoundOffset;
    uint8_t header[16];
    while (offset > 0) {
      FSeek(h.File, offset);
      FRead(h.File, header, 16);
      int32_t next = 0, count = 0;
      std::memcpy(&next, header + 8, 4);
      std::memcpy(&count, header + 12, 4);
      if (before + count > sample) break;
      before += count;
      offset = next;
    }
    benchmark::DoNotOptimize(offset);
  }
}

BENCHMARK(BM_ZmvOpen)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZmvSeek)->Args({0, 1})->Args({0, 1024})->Args({1, 1})->Args({1, 1024})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChainWalk)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// GIF decode speed beside FFmpeg's GIF decoder, on the same animation: bench.gif from
// tests/data/generate/gif.sh (320 x 240, 60 frames of moving pictures with partial, transparent
// frames; run the test suite or `bash tests/data/generate-all.sh build/test-data` first).
//
// Each iteration decodes every frame of the file, from opening to closing: our unit delivers the
// composed frames (open, every slot, close), FFmpeg demuxes and decodes every image (its decoder
// composes too). Both report frames/s and Mpix/s.
#include <benchmark/benchmark.h>

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "core/media/img_basic.h"
#include "formats/units/ff_gif.h"

namespace {

using namespace tavelo;

std::string BenchFile() { return std::string(TAVELO_TEST_DATA) + "/gif/bench.gif"; }

void ReportRates(benchmark::State& state, int64_t frames, int64_t pixelsPerFrame) {
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["Mpix/s"] =
      benchmark::Counter(static_cast<double>(frames * pixelsPerFrame) / 1e6, benchmark::Counter::kIsRate);
}

void BM_GifOurs(benchmark::State& state) {
  const std::string path = BenchFile();
  int64_t frames = 0, pixels = 0;
  Qimg img;
  for (auto _ : state) {
    GifHandle gif;
    GIFOpen(gif, path, false);
    if (gif.Frames < 1) {
      state.SkipWithError("bench.gif is missing: run the test suite first");
      break;
    }
    for (int32_t f = 1; f <= gif.Frames; ++f) GIFLoadNext(gif, img, nullptr);
    benchmark::DoNotOptimize(img.Data);
    frames += gif.Count;
    pixels = static_cast<int64_t>(gif.Width) * gif.Height;
    GIFClose(gif);
  }
  ImgFree(img);
  ReportRates(state, frames, pixels);
}

void BM_GifFFmpeg(benchmark::State& state) {
  const std::string path = BenchFile();
  av_log_set_level(AV_LOG_ERROR);
  int64_t frames = 0, pixels = 0;
  for (auto _ : state) {
    AVFormatContext* fc = nullptr;
    if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0 || avformat_find_stream_info(fc, nullptr) < 0) {
      state.SkipWithError("FFmpeg cannot open bench.gif: run the test suite first");
      avformat_close_input(&fc);
      break;
    }
    const AVCodec* codec = avcodec_find_decoder(fc->streams[0]->codecpar->codec_id);
    AVCodecContext* cc = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(cc, fc->streams[0]->codecpar);
    avcodec_open2(cc, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
      while (avcodec_receive_frame(cc, frame) >= 0) {
        ++frames;
        pixels = static_cast<int64_t>(frame->width) * frame->height;
        benchmark::DoNotOptimize(frame->data[0]);
        av_frame_unref(frame);
      }
    };
    while (av_read_frame(fc, pkt) >= 0) {
      if (avcodec_send_packet(cc, pkt) >= 0) drain();
      av_packet_unref(pkt);
    }
    avcodec_send_packet(cc, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&cc);
    avformat_close_input(&fc);
  }
  ReportRates(state, frames, pixels);
}

BENCHMARK(BM_GifOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GifFFmpeg)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

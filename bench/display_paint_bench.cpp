// The display window's costs for a big picture (a 24-megapixel photograph, 6000 x 4000, 24-bit)
// and for movie frames, offscreen:
//   BM_HandOver/W/H        DisplaySetImage of a W x H 24-bit picture: its one conversion to the
//                          32-bit picture the painter draws (on the main thread, as for a still)
//   BM_HandOverPlaying/W/H the same from a worker thread (a playing movie: no new buffer)
//   BM_FirstPaint          a still's hand-over (DisplayShowImage: the display shows the picture
//                          itself) and the paint of what a 1280 x 900 view shows of it
//   BM_ScrollStep          the paint of the view after the picture moved by one wheel step
//                          (the display window sits in a scroll box; only the view is painted)
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QWidget>

#include <cstdlib>
#include <memory>
#include <thread>

#include "player/med_display.h"

namespace {

using namespace tavelo;

void Pattern(Qimg& img, int w, int h) {
  ImgAlloc(img, w, h, 24);
  for (int64_t i = 0; i < img.Size; ++i) img.Data[i] = static_cast<uint8_t>(i * 31 + (i >> 12));
}

void BM_HandOver(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  Qimg pic;
  Pattern(pic, w, h);
  DisplayRec* rec = DisplayCreate(nullptr, 0, 0, 640, 480);
  for (auto _ : state) DisplaySetImage(rec, pic);
  state.SetItemsProcessed(state.iterations() * int64_t{w} * h);
  DisplayDestroy(rec);
  ImgFree(pic);
}
BENCHMARK(BM_HandOver)->Args({1920, 1080})->Args({3840, 2160})->Args({6000, 4000})->Unit(benchmark::kMillisecond);

// The same from a worker thread, as the video thread hands frames over while a movie plays: the
// display keeps its second buffer, so no picture is allocated again.
void BM_HandOverPlaying(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  Qimg pic;
  Pattern(pic, w, h);
  DisplayRec* rec = DisplayCreate(nullptr, 0, 0, 640, 480);
  std::thread video([&] {
    for (auto _ : state) DisplaySetImage(rec, pic);
  });
  video.join();
  state.SetItemsProcessed(state.iterations() * int64_t{w} * h);
  DisplayDestroy(rec);
  ImgFree(pic);
}
BENCHMARK(BM_HandOverPlaying)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);

// A 1280 x 900 view (the scroll box's viewport) onto the display window of the picture's size.
// Painted through grab(), which runs the same paint events into a pixmap of the view.
struct View {
  QWidget viewport;
  DisplayRec* rec = nullptr;
  View(int w, int h) {
    viewport.resize(1280, 900);
    rec = DisplayCreate(&viewport, 0, 0, w, h);
    viewport.show();
  }
  ~View() { DisplayDestroy(rec); }
};

void BM_FirstPaint(benchmark::State& state) {
  Qimg pic;
  Pattern(pic, 6000, 4000);
  View view(6000, 4000);
  for (auto _ : state) {
    DisplayShowImage(view.rec, pic);
    benchmark::DoNotOptimize(view.viewport.grab());
  }
  state.counters["painted"] = static_cast<double>(view.rec->Painted.load());
  ImgFree(pic);
}
BENCHMARK(BM_FirstPaint)->Unit(benchmark::kMillisecond);

void BM_ScrollStep(benchmark::State& state) {
  Qimg pic;
  Pattern(pic, 6000, 4000);
  View view(6000, 4000);
  DisplayShowImage(view.rec, pic);
  view.viewport.repaint();
  int y = 0;
  for (auto _ : state) {
    // A wheel step of 60 pixels; the whole view is painted again (the worst case of a step).
    y = (y + 60) % 3000;
    view.rec->Window->move(0, -y);
    benchmark::DoNotOptimize(view.viewport.grab());
  }
  state.counters["painted"] = static_cast<double>(view.rec->Painted.load());
  ImgFree(pic);
}
BENCHMARK(BM_ScrollStep)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

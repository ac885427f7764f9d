// Pictures decoded and converted on several threads: the same pictures as on one.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ffreader/ff_decode.h"
#include "ffreader/ff_reader.h"
#include "tests/codecs/avi_reference.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace tavelo::ffreader {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

// Every picture decoder opened while it lives takes n threads.
struct PictureThreads {
  explicit PictureThreads(int n) { SetPictureThreads(n); }
  ~PictureThreads() { SetPictureThreads(0); }
};

constexpr int kWidth = 176, kHeight = 144;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 3;

std::string ReorderPath(const std::string& file) { return test::MediaPath("reorder/" + file); }

// FFmpeg's pictures of a fixture of tests/data/generate/reorder.sh, in display order.
std::vector<std::string> Reference(const std::string& name) {
  const std::string all = test::ReadFile(ReorderPath(name + ".bgr24"));
  std::vector<std::string> frames;
  for (size_t at = 0; at + kFrameBytes <= all.size(); at += kFrameBytes) frames.push_back(all.substr(at, kFrameBytes));
  return frames;
}

// Decoder builds may round one step apart; another picture of the moving pattern is far off.
bool Same(const std::string& a, const std::string& b) {
  return a.size() == b.size() && test::MaxChannelDifference(reinterpret_cast<const uint8_t*>(a.data()),
                                                             reinterpret_cast<const uint8_t*>(b.data()), a.size()) <= 1;
}

std::string ReadPicture(Reader& r, int64_t n) {
  std::string pixels(kFrameBytes, '\0');
  EXPECT_TRUE(r.ReadFrame(n, reinterpret_cast<uint8_t*>(pixels.data()), kWidth * 3)) << n << ": " << r.LastError();
  return pixels;
}

// With frame threads the decoder gives a picture back several packets after it was sent. The last
// pictures must still come out (the decoder drained at the end), and a seek made while pictures
// are held in the decoder must start clean: backwards right after reading ahead, forwards across
// a key frame, then on to the end. B pictures (stored ahead of their display) make the order
// differ from the packets'.
TEST(FFReaderThreads, LastFramesAndSeeksAfterReadingAheadAreExact) {
  for (const char* name : {"x264_bf", "xvid_bf"}) {
    SCOPED_TRACE(name);
    const auto ref = Reference(name);
    ASSERT_EQ(ref.size(), 100u);
    for (const int threads : {8, 3}) {
      SCOPED_TRACE(threads);
      PictureThreads scope(threads);
      std::string error;
      auto r = Reader::Open(ReorderPath(std::string(name) + ".avi"), OpenOptions{true, false, false}, &error);
      ASSERT_NE(r, nullptr) << error;
      ASSERT_EQ(r->Video().FrameCount, 100);
      std::vector<int64_t> order = {99, 98, 97, 96};  // the end first, backwards
      for (int64_t n = 0; n < 12; ++n) order.push_back(n);  // ahead from the start
      order.insert(order.end(), {3, 4, 60, 61, 49, 50});      // back, then across the key frame at 50
      for (int64_t n = 51; n < 100; ++n) order.push_back(n);  // on to the end
      for (const int64_t n : order)
        EXPECT_TRUE(Same(ReadPicture(*r, n), ref[static_cast<size_t>(n)])) << "frame " << n;
    }
  }
}

// A run's first pictures come from one thread and the frame-threaded decoder, filled in the
// background, takes the run over once it holds a picture past the one read last: at the start, in
// the middle of a group of pictures, after going back in the run, and after a pause in which it
// ran ahead of the reader (kPause) and waited. Every picture is the one asked for.
TEST(FFReaderThreads, FrameThreadsTakeOverFromOneThreadExactly) {
  constexpr int64_t kPause = -1;
  const std::vector<int64_t> starts[] = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 3},
                                         {52, 53, 54, 55, 56, 57, 54},
                                         {5, 2, 3, 4},
                                         {5, 6, kPause, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 3}};
  for (const char* name : {"x264_bf", "xvid_bf"}) {
    SCOPED_TRACE(name);
    const auto ref = Reference(name);
    ASSERT_EQ(ref.size(), 100u);
    PictureThreads scope(4);
    for (const auto& start : starts) {
      SCOPED_TRACE(start.front());
      std::string error;
      auto r = Reader::Open(ReorderPath(std::string(name) + ".avi"), OpenOptions{true, false, false}, &error);
      ASSERT_NE(r, nullptr) << error;
      std::vector<int64_t> order = start;
      order.insert(order.end(), {2, 30, 31});                 // back, then ahead in the group
      for (int64_t n = 45; n < 100; ++n) order.push_back(n);  // across the key frame at 50 to the end
      for (const int64_t n : order) {
        if (n == kPause) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        else EXPECT_TRUE(Same(ReadPicture(*r, n), ref[static_cast<size_t>(n)])) << "frame " << n;
      }
    }
  }
}

// A planar 4:2:0 frame of noise (so that every band of rows differs).
std::unique_ptr<AVFrame, void (*)(AVFrame*)> NoiseFrame(int width, int height, AVPixelFormat format) {
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> f(av_frame_alloc(), [](AVFrame* p) { av_frame_free(&p); });
  f->format = format;
  f->width = width;
  f->height = height;
  f->colorspace = AVCOL_SPC_BT709;
  EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
  std::mt19937 rng(7);
  for (int plane = 0; plane < 3; ++plane) {
    const int rows = plane == 0 ? height : height / 2;
    const int cols = plane == 0 ? width : width / 2;
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < cols; ++x) f->data[plane][static_cast<ptrdiff_t>(y) * f->linesize[plane] + x] = rng() & 0xFF;
  }
  return f;
}

// Large pictures are converted in bands on several threads: every case gives what one thread
// gives, byte for byte (the frame's matrix and range included), top-down and bottom-up.
TEST(PictureConverter, ConvertsOnThreadsAsOnOne) {
  ASSERT_GT(ConversionThreads(1920, 1080), 1);
  struct Case {
    AVPixelFormat src;
    int width, height;
    AVPixelFormat dst;
    bool bottomUp;
  };
  const Case cases[] = {
      {AV_PIX_FMT_YUV420P, 1920, 1080, AV_PIX_FMT_BGR24, false},  // the same size: unscaled
      {AV_PIX_FMT_YUVJ420P, 1920, 1080, AV_PIX_FMT_BGR24, true},  // full range, bottom-up
      {AV_PIX_FMT_YUV420P, 1600, 1200, AV_PIX_FMT_BGR0, false},   // scaled (bicubic)
      {AV_PIX_FMT_YUV420P, 1920, 1080, AV_PIX_FMT_RGB555LE, true},
  };
  const auto frame = NoiseFrame(1920, 1080, AV_PIX_FMT_YUV420P);
  for (const Case& c : cases) {
    SCOPED_TRACE(av_get_pix_fmt_name(c.dst));
    frame->format = c.src;
    const int bytes = c.dst == AV_PIX_FMT_BGR24 ? 3 : c.dst == AV_PIX_FMT_BGR0 ? 4 : 2;
    const ptrdiff_t stride = static_cast<ptrdiff_t>(c.width) * bytes + 8;  // padded rows stay untouched
    auto convert = [&](int threads) {
      PictureThreads scope(threads);
      std::vector<uint8_t> out(static_cast<size_t>(stride) * c.height, 0x5A);
      PictureConverter converter;
      EXPECT_TRUE(converter.Convert(frame.get(), c.dst, c.width, c.height, out.data(), c.bottomUp ? -stride : stride));
      return out;
    };
    const auto one = convert(1);
    const auto many = convert(0);
    EXPECT_EQ(many, one);
    EXPECT_EQ(one[static_cast<size_t>(c.width) * bytes], 0x5A);  // the padding
  }
}

}  // namespace
}  // namespace tavelo::ffreader

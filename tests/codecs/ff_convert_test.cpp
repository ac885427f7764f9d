// The picture converter on frames whose size is not the described one.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codecs/ffreader/ff_decode.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace tavelo::ffreader {
namespace {

struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// A BGR24 frame of the given size whose rows come in `bands` equal bands of solid colours.
FramePtr BandedFrame(int width, int height, int bands, const std::vector<uint32_t>& colours) {
  FramePtr f(av_frame_alloc());
  f->format = AV_PIX_FMT_BGR24;
  f->width = width;
  f->height = height;
  EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
  for (int y = 0; y < height; ++y) {
    const uint32_t c = colours[static_cast<size_t>(y) * bands / height];
    uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
    for (int x = 0; x < width; ++x) {
      row[x * 3] = c & 0xFF;
      row[x * 3 + 1] = (c >> 8) & 0xFF;
      row[x * 3 + 2] = (c >> 16) & 0xFF;
    }
  }
  return f;
}

// A damaged stream can deliver a tall, narrow frame for a short, wide description (found by the
// gif fuzz target: 784 x 12289 for 3072 x 16). It is still shown, each row from its own place in
// the frame, without blending rows a thousand apart.
TEST(PictureConverter, AFrameOfAnotherShapeKeepsItsRowsInPlace) {
  const std::vector<uint32_t> colours = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00};
  const auto frame = BandedFrame(8, 4096, 4, colours);
  const int width = 2048, height = 4;
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * 3, 0x77);
  PictureConverter converter;
  ASSERT_TRUE(converter.Convert(frame.get(), AV_PIX_FMT_BGR24, width, height, out.data(), width * 3));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; x += 97) {
      const uint8_t* p = &out[(static_cast<size_t>(y) * width + x) * 3];
      const uint32_t got = p[0] | (p[1] << 8) | (p[2] << 16);
      ASSERT_EQ(got, colours[y]) << "row " << y << " column " << x;
    }

  // The same converter then scales a frame of a near shape with the smooth filter: of a frame in
  // two bands, the rows next to the boundary come out blended.
  const auto near = BandedFrame(1024, 64, 2, {0x000000, 0xFFFFFF});
  std::vector<uint8_t> scaled(static_cast<size_t>(width) * height * 3);
  ASSERT_TRUE(converter.Convert(near.get(), AV_PIX_FMT_BGR24, width, height, scaled.data(), width * 3));
  auto at = [&](int y) { return scaled[(static_cast<size_t>(y) * width + width / 2) * 3]; };
  EXPECT_LT(at(0), 128);
  EXPECT_GT(at(3), 128);
  EXPECT_GT(at(1), 0);
  EXPECT_LT(at(2), 255);
}

}  // namespace
}  // namespace tavelo::ffreader

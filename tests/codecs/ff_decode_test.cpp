// The decoder and the picture converter on frames whose size is not the described one.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "ffreader/ff_decode.h"

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

void PutLE(std::vector<uint8_t>& b, size_t at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A BMP of width x height at bits per pixel with `colours` palette entries, its pixels all 0.
std::vector<uint8_t> BmpFile(int width, int height, int bits, uint32_t colours) {
  const uint32_t row = static_cast<uint32_t>((width * bits + 31) / 32 * 4);
  const uint32_t offset = 14 + 40 + 4 * colours, size = offset + row * static_cast<uint32_t>(height);
  std::vector<uint8_t> b(size, 0);
  b[0] = 'B';
  b[1] = 'M';
  PutLE(b, 2, size, 4);
  PutLE(b, 10, offset, 4);
  PutLE(b, 14, 40, 4);
  PutLE(b, 18, static_cast<uint32_t>(width), 4);
  PutLE(b, 22, static_cast<uint32_t>(height), 4);
  PutLE(b, 26, 1, 2);
  PutLE(b, 28, static_cast<uint32_t>(bits), 2);
  return b;
}

// A 1-bit BMP of width x height, all pixels of colour index 1.
std::vector<uint8_t> Bmp1(int width, int height) {
  std::vector<uint8_t> b = BmpFile(width, height, 1, 2);
  PutLE(b, 54 + 4, 0xFFFFFF, 4);  // colour 1 white
  std::memset(b.data() + 62, 0xFF, b.size() - 62);
  return b;
}

int DecodeOne(Decoder& d, const std::vector<uint8_t>& packet, AVFrame* frame) {
  int err = d.Send(packet.data(), packet.size(), 0, true);
  if (err < 0) return err;
  err = d.Receive(frame);
  if (err == AVERROR(EAGAIN)) {
    d.Send(nullptr, 0, 0, false);
    err = d.Receive(frame);
  }
  return err;
}

// A frame far larger than its stream describes is refused by the decoder instead of being made
// whole and scaled down (the gif fuzz target found 2832 x 12289 frames for a 3072 x 16
// description); the same frame in a stream that describes it decodes.
TEST(Decoder, RefusesFramesFarLargerThanTheStreamDescribes) {
  const auto bmp = Bmp1(4096, 1100);
  FramePtr frame(av_frame_alloc());
  Decoder small;
  ASSERT_TRUE(small.OpenVideo(AV_CODEC_ID_BMP, 0, 64, 16, 1, nullptr, 0));
  EXPECT_LT(DecodeOne(small, bmp, frame.get()), 0);

  Decoder fits;
  ASSERT_TRUE(fits.OpenVideo(AV_CODEC_ID_BMP, 0, 4096, 1100, 1, nullptr, 0));
  ASSERT_EQ(DecodeOne(fits, bmp, frame.get()), 0);
  EXPECT_EQ(frame->width, 4096);
  EXPECT_EQ(frame->height, 1100);

  // A stream that changes to a few times its size, or to a picture of ordinary size, still decodes.
  Decoder grows;
  ASSERT_TRUE(grows.OpenVideo(AV_CODEC_ID_BMP, 0, 1024, 550, 1, nullptr, 0));
  EXPECT_EQ(DecodeOne(grows, bmp, frame.get()), 0);
  Decoder tiny;
  ASSERT_TRUE(tiny.OpenVideo(AV_CODEC_ID_BMP, 0, 16, 16, 1, nullptr, 0));
  EXPECT_EQ(DecodeOne(tiny, Bmp1(1920, 1080), frame.get()), 0);
}

// A 24-bit BMP of width x height in one colour (0xRRGGBB).
std::vector<uint8_t> Bmp24(int width, int height, uint32_t colour) {
  std::vector<uint8_t> b = BmpFile(width, height, 24, 0);
  const size_t row = static_cast<size_t>((width * 3 + 3) / 4 * 4);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) PutLE(b, 54 + y * row + x * 3, colour, 3);
  return b;
}

bool FrameIs(const AVFrame* f, int width, int height, uint32_t colour) {
  if (f->width != width || f->height != height || f->format != AV_PIX_FMT_BGR24) return false;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0] + x * 3;
      if (static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) != colour) return false;
    }
  return true;
}

// Picture decoders take their frames from a pool of their own: a stream that changes size gets
// frames of each new size, and the frames handed out stay whole while later ones are decoded and
// after the decoder is gone.
TEST(Decoder, FramesStayWholeAcrossSizeChangesAndAfterClose) {
  struct Step {
    int Width, Height;
    uint32_t Colour;
  };
  const Step steps[] = {{64, 48, 0x102030}, {64, 48, 0x405060}, {333, 101, 0x708090}, {16, 16, 0xA0B0C0},
                        {640, 360, 0xD0E0F0}};
  std::vector<FramePtr> held;
  {
    Decoder d;
    ASSERT_TRUE(d.OpenVideo(AV_CODEC_ID_BMP, 0, 64, 48, 24, nullptr, 0));
    for (const Step& s : steps) {
      FramePtr frame(av_frame_alloc());
      ASSERT_EQ(DecodeOne(d, Bmp24(s.Width, s.Height, s.Colour), frame.get()), 0) << s.Width << "x" << s.Height;
      ASSERT_TRUE(FrameIs(frame.get(), s.Width, s.Height, s.Colour)) << s.Width << "x" << s.Height;
      held.push_back(std::move(frame));
      d.Flush();
    }
  }
  for (size_t i = 0; i < held.size(); ++i)
    EXPECT_TRUE(FrameIs(held[i].get(), steps[i].Width, steps[i].Height, steps[i].Colour)) << "frame " << i;
}

}  // namespace
}  // namespace tavelo::ffreader

// Frames written straight into the caller's rows, and frame decompression on several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ffreader/ff_decode.h"
#include "platform/vfw/vfw.h"
#include "tests/codecs/avi_reference.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tavelo::platform {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

struct OpenVideo {
  PAVIFILE file = nullptr;
  PAVISTREAM video = nullptr;
  explicit OpenVideo(const std::string& path) {
    EXPECT_EQ(AVIFileOpen(&file, path.c_str(), OF_READ, nullptr), AVIERR_OK) << path;
    if (file != nullptr) AVIFileGetStream(file, &video, streamtypeVIDEO, 0);
  }
  ~OpenVideo() {
    if (video != nullptr) AVIStreamRelease(video);
    if (file != nullptr) AVIFileRelease(file);
  }
};

// Every picture decoder opened while it lives takes n threads.
struct PictureThreads {
  explicit PictureThreads(int n) { ffreader::SetPictureThreads(n); }
  ~PictureThreads() { ffreader::SetPictureThreads(0); }
};

// A packed DIB's rows top-down without their padding, and its colour table.
struct Rows {
  std::vector<uint8_t> Pixels;
  std::vector<uint8_t> Table;
};

Rows DibRows(const void* dib) {
  BITMAPINFOHEADER h;
  std::memcpy(&h, dib, sizeof h);
  const int height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  const auto* table = static_cast<const uint8_t*>(dib) + h.biSize;
  const uint8_t* bits = table + (h.biBitCount == 8 ? 1024 : 0);
  const int64_t stride = DibRowBytes(h.biBitCount, h.biWidth);
  const size_t row = static_cast<size_t>(h.biWidth) * (h.biBitCount / 8);
  Rows out;
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = bits + (h.biHeight > 0 ? height - 1 - y : y) * stride;
    out.Pixels.insert(out.Pixels.end(), src, src + row);
  }
  if (h.biBitCount == 8) out.Table.assign(table, table + 1024);
  return out;
}

// The frame through AVIStreamGetFrameInto into rows padded by 5 bytes (left as they were).
Rows IntoRows(PGETFRAME gf, int32_t n, int width, int height, int bits) {
  const size_t row = static_cast<size_t>(width) * ((bits + 7) / 8);
  const size_t stride = row + 5;
  std::vector<uint8_t> buffer(stride * height, 0xC3);
  Rows out;
  out.Table.assign(bits == 8 ? 1024 : 0, 0);
  const bool ok = AVIStreamGetFrameInto(gf, n, width, height, bits, buffer.data(), static_cast<ptrdiff_t>(stride),
                                        bits == 8 ? out.Table.data() : nullptr);
  EXPECT_TRUE(ok) << "frame " << n;
  if (!ok) return {};
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = &buffer[y * stride];
    out.Pixels.insert(out.Pixels.end(), src, src + row);
    EXPECT_EQ(src[row], 0xC3) << "row " << y << " written past its end";
  }
  return out;
}

// Straight into the caller's rows gives the packed frame's picture at every depth, from plain
// rows (either order, palettized) and from decoded ones; a layout other than the object's is
// refused rather than converted wrongly.
TEST(VfwInto, GivesThePackedFramesPictureAtEveryDepth) {
  struct Case {
    const char* file;
    int wanted;  // 0: the decoder's own depth
    int bits;    // the depth delivered (15: the 16-bit 5-5-5 frames)
  };
  const Case cases[] = {{"raw_pal8.avi", 0, 8},  {"raw_rgb555.avi", 0, 15}, {"raw_bgr24.avi", 0, 24},
                        {"raw_bgra.avi", 0, 32}, {"mpeg4.avi", 0, 24},      {"mpeg4.avi", 32, 32},
                        {"mpeg4.avi", 16, 15},   {"zmbv.avi", 0, 8},        {"msvideo1.avi", 0, 15}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.bits));
    OpenVideo avi(test::AviPath(c.file));
    ASSERT_NE(avi.video, nullptr);
    BITMAPINFOHEADER want{40, 96, 72, 1, static_cast<uint16_t>(c.wanted), BI_RGB, 0, 0, 0, 0, 0};
    PGETFRAME packed = AVIStreamGetFrameOpen(avi.video, c.wanted != 0 ? &want : nullptr);
    PGETFRAME into = AVIStreamGetFrameOpen(avi.video, c.wanted != 0 ? &want : nullptr);
    ASSERT_TRUE(packed != nullptr && into != nullptr);
    const int32_t length = AVIStreamLength(avi.video);
    for (int32_t n : {0, 1, 2, length - 1, 3, 7, length / 2}) {
      const void* dib = AVIStreamGetFrame(packed, n);
      ASSERT_NE(dib, nullptr);
      const Rows expected = DibRows(dib);
      const Rows got = IntoRows(into, n, 96, 72, c.bits);
      EXPECT_TRUE(got.Pixels == expected.Pixels) << "frame " << n;
      EXPECT_TRUE(got.Table == expected.Table) << "frame " << n;
    }
    std::vector<uint8_t> buffer(96 * 72 * 4 + 64);
    const int other = c.bits == 24 ? 32 : 24;
    EXPECT_FALSE(AVIStreamGetFrameInto(into, 0, 96, 72, other, buffer.data(), 96 * 4, nullptr));
    EXPECT_FALSE(AVIStreamGetFrameInto(into, 0, 95, 72, c.bits, buffer.data(), 96 * 4, nullptr));
    EXPECT_FALSE(AVIStreamGetFrameInto(into, length, 96, 72, c.bits, buffer.data(), 96 * 4, nullptr));
    EXPECT_FALSE(AVIStreamGetFrameInto(into, -1, 96, 72, c.bits, buffer.data(), 96 * 4, nullptr));
    AVIStreamGetFrameClose(packed);
    AVIStreamGetFrameClose(into);
  }
  EXPECT_EQ(AviLiveObjects(), 0);
}

constexpr int kWidth = 176, kHeight = 144;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 3;

// FFmpeg's pictures of a fixture of tests/data/generate/reorder.sh, in display order.
std::vector<std::vector<uint8_t>> Reference(const std::string& name) {
  const std::string all = test::ReadFile(test::MediaPath("reorder/" + name + ".bgr24"));
  std::vector<std::vector<uint8_t>> frames;
  for (size_t at = 0; at + kFrameBytes <= all.size(); at += kFrameBytes)
    frames.emplace_back(all.begin() + static_cast<ptrdiff_t>(at), all.begin() + static_cast<ptrdiff_t>(at + kFrameBytes));
  return frames;
}

bool Same(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  return a.size() == b.size() && test::MaxChannelDifference(a.data(), b.data(), a.size()) <= 1;
}

// With frame threads the decoder gives a picture back several chunks after it was sent: the last
// pictures still come out, and a seek made while pictures are held in the decoder starts clean
// (back right after reading ahead, forwards across the key frame), through both doors. (Packed B
// pictures: 99 pictures in 100 slots, the last one standing in the last slot.)
TEST(VfwInto, LastFramesAndSeeksAfterReadingAheadAreExactOnThreads) {
  for (const char* name : {"x264_bf", "xvid_bf", "xvid_packed"}) {
    SCOPED_TRACE(name);
    auto ref = Reference(name);
    ASSERT_FALSE(ref.empty());
    const std::vector<uint8_t> last = ref.back();
    ref.resize(100, last);
    PictureThreads scope(8);
    OpenVideo avi(test::MediaPath("reorder/" + std::string(name) + ".avi"));
    ASSERT_NE(avi.video, nullptr);
    PGETFRAME packed = AVIStreamGetFrameOpen(avi.video, nullptr);
    PGETFRAME into = AVIStreamGetFrameOpen(avi.video, nullptr);
    ASSERT_TRUE(packed != nullptr && into != nullptr);
    std::vector<int32_t> order = {99, 98, 97, 96};
    for (int32_t n = 0; n < 12; ++n) order.push_back(n);
    order.insert(order.end(), {3, 4, 60, 61, 49, 50});
    for (int32_t n = 51; n < 100; ++n) order.push_back(n);
    for (const int32_t n : order) {
      const void* dib = AVIStreamGetFrame(packed, n);
      ASSERT_NE(dib, nullptr) << n;
      EXPECT_TRUE(Same(DibRows(dib).Pixels, ref[static_cast<size_t>(n)])) << "packed frame " << n;
      EXPECT_TRUE(Same(IntoRows(into, n, kWidth, kHeight, 24).Pixels, ref[static_cast<size_t>(n)])) << "frame " << n;
    }
    AVIStreamGetFrameClose(packed);
    AVIStreamGetFrameClose(into);
  }
}

}  // namespace
}  // namespace tavelo::platform

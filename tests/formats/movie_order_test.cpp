// Movies stored in decoding order with B pictures (tests/data/generate/reorder.sh): both AVI
// readers and the shared FFmpeg reader must show every frame as FFmpeg does, and a seek must land
// on the picture reading in order shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ffreader/ff_reader.h"
#include "core/services/monitor.h"
#include "formats/conform.h"
#include "formats/ff_tables.h"
#include "platform/dib/dib.h"
#include "platform/vfw/vfw.h"
#include "tests/codecs/avi_reference.h"
#include "tests/formats/format_fixture.h"
#include "tests/support/test_env.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tavelo::platform {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

constexpr int kWidth = 176, kHeight = 144;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 3;

std::string Path(const std::string& file) { return test::MediaPath("reorder/" + file); }

// FFmpeg's pictures of a fixture, in display order.
std::vector<std::string> Reference(const std::string& name) {
  const std::string all = test::ReadFile(Path(name + ".bgr24"));
  std::vector<std::string> frames;
  for (size_t at = 0; at + kFrameBytes <= all.size(); at += kFrameBytes) frames.push_back(all.substr(at, kFrameBytes));
  return frames;
}

// Codec decodes of one source through different decoder builds may differ by rounding: a picture
// matches when no byte is more than 1 off; another picture of the moving pattern is far from it.
bool Same(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         test::MaxChannelDifference(reinterpret_cast<const uint8_t*>(a.data()),
                                    reinterpret_cast<const uint8_t*>(b.data()), a.size()) <= 1;
}

// A bottom-up 24-bit DIB as B, G, R rows, top-down.
std::string DibRows(const void* dib) {
  BITMAPINFOHEADER h;
  std::memcpy(&h, dib, sizeof h);
  if (h.biBitCount != 24 || h.biWidth != kWidth || h.biHeight != kHeight) return {};
  const auto* bits = static_cast<const uint8_t*>(dib) + h.biSize;
  const int64_t stride = DibRowBytes(24, kWidth);
  std::string out;
  for (int y = kHeight - 1; y >= 0; --y) out.append(reinterpret_cast<const char*>(bits + y * stride), kWidth * 3);
  return out;
}

struct Case {
  const char* name;
  const char* file;
};
const Case kAviCases[] = {{"xvid_bf", "xvid_bf.avi"}, {"x264_bf", "x264_bf.avi"}, {"x264_pyramid", "x264_pyramid.avi"}};
// B pictures packed behind the next reference picture, each followed by an uncoded placeholder
// chunk (99 pictures in 100 slots: the chunk after the first picture is empty).
const Case kPacked = {"xvid_packed", "xvid_packed.avi"};
// Two B pictures a group: the first packed, the second in a chunk of its own between the packed
// chunk and the placeholder (98 pictures in 100 slots: the two chunks after the first picture are
// empty).
const Case kPackedTwoB = {"xvid_packed_bf2", "xvid_packed_bf2.avi"};
// kPacked copied by FFmpeg, whose index marks the placeholder behind each key frame a key frame.
const Case kPackedCopy = {"xvid_packed_copy", "xvid_packed_copy.avi"};

// The picture shown at slot n of a stream of 100 slots: the last picture stands in the slots
// behind it.
const std::string& AtSlot(const std::vector<std::string>& ref, int32_t n) {
  return ref[std::min(static_cast<size_t>(n), ref.size() - 1)];
}

TEST(MovieOrder, VfwShowsEveryFrameAsFFmpegAndSeeksAlike) {
  for (const Case& c : {kAviCases[0], kAviCases[1], kAviCases[2], kPacked, kPackedTwoB, kPackedCopy}) {
    SCOPED_TRACE(c.name);
    const auto ref = Reference(c.name);
    ASSERT_FALSE(ref.empty());
    PAVIFILE file = nullptr;
    ASSERT_EQ(platform::AVIFileOpen(&file, Path(c.file).c_str(), OF_READ, nullptr), AVIERR_OK);
    PAVISTREAM video = nullptr;
    ASSERT_EQ(platform::AVIFileGetStream(file, &video, streamtypeVIDEO, 0), AVIERR_OK);
    ASSERT_EQ(platform::AVIStreamLength(video), 100);
    PGETFRAME seq = platform::AVIStreamGetFrameOpen(video, nullptr);
    ASSERT_NE(seq, nullptr);
    for (int32_t n = 0; n < 100; ++n) {
      void* dib = platform::AVIStreamGetFrame(seq, n);
      ASSERT_NE(dib, nullptr) << n;
      EXPECT_TRUE(Same(DibRows(dib), AtSlot(ref, n))) << "frame " << n;
    }
    for (int32_t n : {2, 50, 99, 1, 51, 0, 98}) {
      PGETFRAME seek = platform::AVIStreamGetFrameOpen(video, nullptr);
      void* dib = platform::AVIStreamGetFrame(seek, n);
      ASSERT_NE(dib, nullptr) << n;
      EXPECT_TRUE(Same(DibRows(dib), AtSlot(ref, n))) << "seek to " << n;
      platform::AVIStreamGetFrameClose(seek);
    }
    platform::AVIStreamGetFrameClose(seq);
    platform::AVIStreamRelease(video);
    platform::AVIFileRelease(file);
  }
}

std::string ReaderFrame(ffreader::Reader& r, int64_t n) {
  std::string pixels(kFrameBytes, '\0');
  EXPECT_TRUE(r.ReadFrame(n, reinterpret_cast<uint8_t*>(pixels.data()), kWidth * 3)) << n << ": " << r.LastError();
  return pixels;
}

TEST(MovieOrder, FFReaderShowsEveryFrameAsFFmpegAndSeeksAlike) {
  const Case cases[] = {kAviCases[0], kAviCases[1], kAviCases[2], kPacked, {"bf", "bf.m2v"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto ref = Reference(c.name);
    ASSERT_FALSE(ref.empty());
    const int64_t count = static_cast<int64_t>(ref.size());
    std::string error;
    auto seq = ffreader::Reader::Open(Path(c.file), {}, &error);
    ASSERT_NE(seq, nullptr) << error;
    ASSERT_EQ(seq->Video().FrameCount, count);
    for (int64_t n = 0; n < count; ++n) EXPECT_TRUE(Same(ReaderFrame(*seq, n), ref[static_cast<size_t>(n)])) << "frame " << n;
    for (int64_t n : {int64_t{2}, count / 2, count - 1, int64_t{1}, count - 2}) {
      auto seek = ffreader::Reader::Open(Path(c.file), {}, &error);
      ASSERT_NE(seek, nullptr) << error;
      EXPECT_TRUE(Same(ReaderFrame(*seek, n), ref[static_cast<size_t>(n)])) << "seek to " << n;
    }
  }
}

// AVI pictures in decoding order are placed from the picture types their chunks begin with, read
// at the positions of the file's index: the frames and key frames are those a scan of every
// packet gives.
TEST(MovieOrder, FFReaderPlacesAviPicturesFromTheirChunksAsTheScanDoes) {
  for (const Case& c : {kAviCases[0], kAviCases[1], kAviCases[2], kPacked}) {
    SCOPED_TRACE(c.name);
    std::string error;
    auto heads = ffreader::Reader::Open(Path(c.file), {true, false, false}, &error);
    auto scanned = ffreader::Reader::Open(Path(c.file), {true, false, true}, &error);
    ASSERT_TRUE(heads && scanned) << error;
    const int64_t count = heads->Video().FrameCount;
    ASSERT_EQ(count, scanned->Video().FrameCount);
    for (int64_t n = 0; n < count; ++n) {
      EXPECT_EQ(heads->IsKeyFrame(n), scanned->IsKeyFrame(n)) << n;
      for (auto way : {ffreader::KeySearch::AtOrBefore, ffreader::KeySearch::AtOrAfter})
        EXPECT_EQ(heads->FindKeyFrame(n, way), scanned->FindKeyFrame(n, way)) << n;
    }
    for (int64_t n : {count - 1, int64_t{0}, int64_t{1}, count / 2, int64_t{2}})
      EXPECT_EQ(ReaderFrame(*heads, n), ReaderFrame(*scanned, n)) << n;
  }
}

// A raw MPEG-2 stream whose last pictures are B pictures and a key frame (36 pictures at 12 per
// second) through every reader it reaches by the dispatcher: the MPEG unit, and the AVI unit's
// decoder library that takes it under a name of no format of its own. Every picture is FFmpeg's,
// the last one included, in order and when reached by a seek.
class RawMpeg2 : public test::FormatTest {
 protected:
  void SetUp() override {
    test::FormatTest::SetUp();
    platform::SetLibraryFolder(TAVELO_CODEC_DIR);
    ConformUnitInit();
  }
  void TearDown() override {
    ConformUnitDone();
    test::FormatTest::TearDown();
  }
};

std::string UniFrame(UniHandle& h, int32_t n) {
  Qimg img;
  std::string pixels;
  if (MonitoredNoRaise([&] { UniImgLoad(h, img, n, 0); }) != 0) {
    ADD_FAILURE() << "frame " << n << ": " << GetErrorMessage();
    ClearError();
  } else if (img.Bpp == 24 && img.Width == kWidth && img.Height == kHeight) {
    pixels.assign(reinterpret_cast<const char*>(img.Data), kFrameBytes);
  }
  ImgFree(img);
  return pixels;
}

TEST_F(RawMpeg2, EveryReaderShowsEveryPictureTheLastOneIncluded) {
  const auto ref = Reference("testsrc_bf");
  ASSERT_EQ(ref.size(), 36u);
  const std::string other = test::MakeTempDir("raw_mpeg2") + "/stream.unknownext";
  test::WriteFile(other, test::ReadFile(Path("testsrc_bf.m2v")));
  const struct {
    std::string file;
    int32_t formatId;
  } cases[] = {{Path("testsrc_bf.m2v"), fidMPEG}, {other, fidAVI}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    UniInfoRec info;
    ASSERT_TRUE(UniInfo(c.file, info, 0, nullptr, nullptr));
    EXPECT_EQ(info.FormatId, c.formatId);
    ASSERT_EQ(info.Video.Frames, 36);
    EXPECT_DOUBLE_EQ(info.Video.FrameRate, 12.0);
    UniHandle h;
    ASSERT_EQ(MonitoredNoRaise([&] { UniOpen(h, info); }), 0) << GetErrorMessage();
    for (int32_t n = 1; n <= 36; ++n) EXPECT_TRUE(Same(UniFrame(h, n), ref[static_cast<size_t>(n - 1)])) << "frame " << n;
    for (int32_t n : {36, 2, 35, 18, 36}) {
      EXPECT_TRUE(Same(UniFrame(h, n), ref[static_cast<size_t>(n - 1)])) << "seek to " << n;
    }
    MonitoredNoRaise([&] { UniClose(h); });
  }
}

}  // namespace
}  // namespace tavelo::platform

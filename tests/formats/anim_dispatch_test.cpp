// GIF and FLIC through the dispatcher: description, opening, frames with their times and key-frame
// flags, the alpha picture, still loading and closing.
#include <gtest/gtest.h>

#include "core/media/snd_basic.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "formats/conform.h"
#include "formats/ff_tables.h"
#include "formats/units/ff_gif.h"
#include "tests/formats/anim_test_util.h"
#include "tests/formats/flic_writer.h"
#include "tests/formats/format_fixture.h"
#include "tests/formats/gif_maker.h"

namespace tavelo {
namespace {

using test::Outcome;

class AnimDispatch : public test::FormatTest {
 protected:
  void SetUp() override {
    test::FormatTest::SetUp();
    mem0_ = MemCount();
    files0_ = FCount();
    dir_ = test::MakeTempDir("anim");
  }
  void TearDown() override {
    GIFDropCacheForTest();
    test::FormatTest::TearDown();
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    test::WriteFile(dir_ + "/" + name, bytes);
    return dir_ + "/" + name;
  }
  int32_t mem0_ = 0, files0_ = 0;
  std::string dir_;
};

std::vector<uint8_t> Pal() { return {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0, 9, 9, 9}; }

std::string Description(int32_t fid) {
  FFFormatRec rec;
  FFGetFormatById(rec, fid, ffRead);
  return rec.Description;
}

TEST_F(AnimDispatch, GifThroughTheUniversalRoutines) {
  std::vector<test::GifFrameSpec> f = {test::SolidFrame(0, 0, 6, 4, 1), test::SolidFrame(1, 1, 2, 2, 2),
                                       test::SolidFrame(0, 0, 6, 4, 3)};
  f[0].Delay = 10;
  f[1].Delay = 20;
  f[1].Pixels = {2, 5, 5, 2};
  f[1].Transparent = 5;
  const std::string path = Write("a.gif", test::MakeGif(6, 4, Pal(), 0, f));
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(path, info, 0, nullptr, nullptr));
  EXPECT_EQ(info.FormatId, fidGIF);
  EXPECT_EQ(info.Kind, ukMovie);
  EXPECT_EQ(info.Description, Description(fidGIF));
  EXPECT_FALSE(info.Description.empty());
  EXPECT_EQ(info.Video.Frames, 4);
  EXPECT_DOUBLE_EQ(info.Video.FrameRate, 10.0);
  EXPECT_DOUBLE_EQ(info.Video.Duration, 0.4);
  EXPECT_EQ(info.Video.CodecName, kGifCodecName);
  EXPECT_EQ(info.Audio.HasAudio, 0);

  UniHandle h;
  ASSERT_EQ(Outcome([&] { UniOpen(h, info); }).first, 0);
  Qimg img, alpha;
  ASSERT_EQ(Outcome([&] { UniImgLoad_(h, img, 3, &alpha, 0); }).first, 0);
  EXPECT_EQ(h.CurrentFrame, 3);
  EXPECT_DOUBLE_EQ(h.FrameTime, 0.2);
  EXPECT_EQ(h.KeyFrame, 0) << "the second image is drawn over the first";
  EXPECT_EQ(test::Colours(img)[1 * 6 + 1], 0x00FF00u);
  EXPECT_EQ(test::Colours(img)[1 * 6 + 2], 0x0000FFu);
  EXPECT_EQ(alpha.Data[1 * 6 + 1], 255);
  ASSERT_EQ(Outcome([&] { UniImgLoad(h, img, 1, 0); }).first, 0);
  EXPECT_EQ(h.KeyFrame, -1);
  EXPECT_EQ(test::Colours(img)[0], 0x0000FFu);
  EXPECT_EQ(Outcome([&] { UniImgLoad(h, img, 5, 0); }), test::Err(ecMovie, 7));
  EXPECT_EQ(UniNearestKeyFrame(h, 3, -1), 1);
  UniClose(h);
  UniClose(h);  // a closed handle closes nothing
  ImgFree(img);
  ImgFree(alpha);
  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);

  // One image is still an animation.
  UniInfoRec one;
  ASSERT_TRUE(UniInfo(Write("one.gif", test::MakeGif(2, 2, Pal(), 0, {test::SolidFrame(0, 0, 2, 2, 1)})), one, 0,
                      nullptr, nullptr));
  EXPECT_EQ(one.Kind, ukMovie);
  EXPECT_EQ(one.Video.Frames, 1);
}

TEST_F(AnimDispatch, StillLoadOfAGifGivesTheFirstPictureAndItsAlpha) {
  Qimg img, alpha;
  ASSERT_EQ(Outcome([&] { ImgLoad(test::MediaPath("gif/anim-im.gif"), img, kNoFormat, &alpha); }).first, 0);
  EXPECT_EQ(img.Width, 70);
  EXPECT_EQ(img.Bpp, 8);
  for (int32_t i = 0; i < alpha.Size; ++i) ASSERT_EQ(alpha.Data[i], 255);
  ASSERT_EQ(Outcome([&] { ImgLoad(test::MediaPath("gif/transparent.gif"), img, kNoFormat, &alpha); }).first, 0);
  int32_t clear = 0;
  for (int32_t i = 0; i < alpha.Size; ++i) clear += alpha.Data[i] == 0 ? 1 : 0;
  EXPECT_GT(clear, alpha.Size / 2) << "most of the picture is transparent";
  EXPECT_LT(clear, alpha.Size);
  ImgFree(img);
  ImgFree(alpha);
  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);
}

TEST_F(AnimDispatch, FlicThroughTheUniversalRoutines) {
  std::vector<test::FlicFrame> frames(5);
  for (size_t k = 0; k < frames.size(); ++k) {
    frames[k].Pixels.assign(16 * 10, static_cast<uint8_t>(k));
    frames[k].Rgb[3 * k] = 200;
    if (k == 3) frames[k].Rgb = frames[2].Rgb;  // no palette chunk in frame 4
  }
  for (bool fli : {false, true}) {
    test::FlicOptions opts;
    opts.Fli = fli;
    opts.Speed = fli ? 5 : 66;
    const std::string path = Write(fli ? "a.fli" : "a.flc", test::WriteFlic(16, 10, frames, opts));
    UniInfoRec info;
    ASSERT_TRUE(UniInfo(path, info, 0, nullptr, nullptr));
    EXPECT_EQ(info.FormatId, fidFLIC);
    EXPECT_EQ(info.Kind, ukMovie);
    EXPECT_EQ(info.Description, Description(fidFLIC));
    EXPECT_EQ(info.Video.Frames, 5);
    EXPECT_DOUBLE_EQ(info.Video.FrameRate, fli ? 14.0 : 15.2);
    UniHandle h;
    ASSERT_EQ(Outcome([&] { UniOpen(h, info); }).first, 0);
    Qimg img, alpha;
    ASSERT_EQ(Outcome([&] { UniImgLoad_(h, img, 3, &alpha, 0); }).first, 0);
    EXPECT_EQ(h.CurrentFrame, 3);
    EXPECT_EQ(img.Data[0], 2);
    EXPECT_EQ(h.KeyFrame, -1) << "frame 3 carries a palette chunk";
    EXPECT_EQ(alpha.Data[0], 255);
    ASSERT_EQ(Outcome([&] { UniImgLoad(h, img, 4, 0); }).first, 0);
    EXPECT_EQ(h.KeyFrame, 0);
    ASSERT_EQ(Outcome([&] { UniImgLoad(h, img, 2, 0); }).first, 0);
    EXPECT_EQ(img.Data[0], 1);
    EXPECT_EQ(Outcome([&] { UniImgLoad(h, img, 6, 0); }), test::Err(ecMovie, 7));
    EXPECT_EQ(UniNearestKeyFrame(h, 4, 1), 1);
    UniClose(h);
    ImgFree(img);
    ImgFree(alpha);
  }
  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);
}

TEST_F(AnimDispatch, AFailedOpenLeavesNothingBehind) {
  const std::string path = Write("bad.gif", "GIF89a\x04\x00\x04\x00\x00\x00\x00;");
  UniInfoRec info;
  EXPECT_FALSE(UniInfo(path, info, 0, nullptr, nullptr));
  info.FormatId = fidGIF;
  info.Kind = ukMovie;
  info.FileName = path;
  UniHandle h;
  EXPECT_EQ(Outcome([&] { UniOpen(h, info); }), test::Err(ecImage, 2));
  EXPECT_EQ(h.Mvi.State, nullptr);
  UniClose(h);
  EXPECT_EQ(MemCount(), mem0_);
  EXPECT_EQ(FCount(), files0_);
}

}  // namespace
}  // namespace tavelo

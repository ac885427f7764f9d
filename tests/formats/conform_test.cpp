#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "core/media/img_basic.h"
#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "formats/conform.h"
#include "formats/ff_unit.h"
#include "formats/units/ff_tga_pcx_bmp.h"
#include "platform/dynlib/dynlib.h"
#include "tests/formats/format_fixture.h"
#include "tests/support/special_files.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using Dispatcher = test::FormatTest;
using Err = std::pair<int32_t, int32_t>;

Err Outcome(const std::function<void()>& work) {
  MonitoredNoRaise(work);
  return {GetErrorClass(), GetErrorCode()};
}

std::string Media(const std::string& name) { return test::MediaPath("formats/" + name); }

// A folder with a numbered BMP sequence copied from the fixtures (frames 1 to 5).
std::string SequenceCopy() {
  const std::string dir = test::MakeTempDir("seq");
  for (const auto& e : std::filesystem::directory_iterator(Media("seq")))
    std::filesystem::copy_file(e.path(), dir + "/" + e.path().filename().string());
  return dir;
}

TEST_F(Dispatcher, KindsByFormat) {
  EXPECT_EQ(UniGetKind(fidBMP, 0, 1), ukPicture);
  EXPECT_EQ(UniGetKind(fidJPEG, 2, 1), ukSequence);
  EXPECT_EQ(UniGetKind(fidGIF, 1, 1), ukMovie);  // a GIF is always an animation
  EXPECT_EQ(UniGetKind(fidPNM, 1, 1), ukPicture);
  EXPECT_EQ(UniGetKind(fidPNM, 3, 1), ukMovie);
  EXPECT_EQ(UniGetKind(fidPNM, 3, 0), ukSequence);
  EXPECT_EQ(UniGetKind(24, 1, 1), ukMovie);
  EXPECT_EQ(UniGetKind(28, 1, 1), ukUnknown);
  EXPECT_EQ(UniGetKind(kNoFormat, 1, 1), ukUnknown);
}

// What the dispatcher finds for each id: describes, reads a still picture, writes one, opens a
// movie, reads its frames and its sound, and where a key-frame search goes (0: frame 1, 1: the
// unit's own, 2: the frame itself).
TEST_F(Dispatcher, EachFormatIdReachesItsUnitsEntries) {
  struct Case {
    int32_t id;
    UniKind several;  // the kind of a file of several frames (a PNM one taken as a sequence)
    bool info, load, save, open, frames, sound;
    int keys;
  };
  const Case cases[] = {
      {fidTGA, ukSequence, 1, 1, 1, 0, 0, 0, 0},
      {fidPCX, ukSequence, 1, 1, 1, 0, 0, 0, 0},
      {fidBMP, ukSequence, 1, 1, 1, 0, 0, 0, 0},
      {fidGIF, ukMovie, 1, 1, 0, 1, 1, 0, 0},
      {fidFLIC, ukMovie, 1, 0, 0, 1, 1, 0, 0},
      {fidAVI, ukMovie, 1, 0, 0, 1, 1, 1, 1},
      {fidZMV, ukMovie, 1, 0, 0, 1, 1, 1, 1},
      {fidJPEG, ukSequence, 1, 1, 1, 0, 0, 0, 0},
      {fidPNG, ukSequence, 1, 1, 1, 0, 0, 0, 0},
      {fidTIFF, ukSequence, 1, 1, 1, 0, 0, 0, 0},
      {fidMPEG, ukMovie, 1, 0, 0, 1, 1, 1, 2},
      {fidWAV, ukMovie, 1, 0, 0, 1, 0, 1, 0},
      {fidSGI, ukSequence, 1, 1, 1, 0, 0, 0, 0},
      {fidRAS, ukSequence, 1, 1, 1, 0, 0, 0, 0},
      {fidPNM, ukSequence, 1, 1, 1, 1, 1, 0, 0},
      {fidBAY, ukSequence, 1, 1, 0, 0, 0, 0, 0},
      {fidXPM, ukSequence, 1, 1, 1, 0, 0, 0, 0},
      {fidMPA, ukMovie, 1, 0, 0, 1, 0, 1, 0},
      {fidOGA, ukMovie, 1, 0, 0, 1, 0, 1, 0},
      {fidCINE, ukMovie, 1, 0, 0, 1, 1, 0, 2},
      {fidAC3, ukMovie, 1, 0, 0, 1, 0, 1, 0},
      {fidMP4, ukMovie, 0, 0, 0, 0, 0, 0, 0},
      {fidJP2, ukSequence, 1, 1, 1, 0, 0, 0, 0},
      {fidMPEGX, ukMovie, 0, 0, 0, 0, 0, 0, 0},
      {fidWMV, ukMovie, 1, 0, 0, 1, 1, 1, 2},
      {fidWMA, ukMovie, 1, 0, 0, 1, 0, 1, 0},
      {fidOGV, ukMovie, 1, 0, 0, 1, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(UniGetKind(c.id, 2, 0), c.several);
    const FFUnit* u = FFUnitById(c.id);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->Info != nullptr, c.info);
    EXPECT_EQ(u->Load != nullptr, c.load);
    EXPECT_EQ(u->Save != nullptr, c.save);
    EXPECT_EQ(u->Open != nullptr, c.open);
    EXPECT_EQ(u->ImgLoad != nullptr, c.frames);
    EXPECT_EQ(u->SndLoad != nullptr, c.sound);
    EXPECT_EQ(u->NearestKeyFrame == nullptr ? 0 : u->NearestKeyFrame == FFEveryFrameKey ? 2 : 1, c.keys);
    // A unit that opens files says how its handle is made and read.
    if (c.open) {
      EXPECT_TRUE(u->StateSize > 0 && u->NewState != nullptr && u->View != nullptr && u->Close != nullptr);
    }
  }
  EXPECT_EQ(FFUnitById(0), nullptr);
  EXPECT_EQ(FFUnitById(28), nullptr);
  EXPECT_EQ(FFUnitById(kNoFormat), nullptr);
}

TEST_F(Dispatcher, DescribesASinglePicture) {
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(Media("im_8.bmp"), info, 0, nullptr, nullptr));
  EXPECT_EQ(info.FormatId, fidBMP);
  EXPECT_EQ(info.Kind, ukPicture);
  EXPECT_EQ(info.FileName, Media("im_8.bmp"));
  EXPECT_EQ(info.Description, "BMP/DIB, Windows Device Independent Bitmap");
  EXPECT_DOUBLE_EQ(info.FileSize, 1998);
  EXPECT_EQ(info.Video.Width, 37);
  EXPECT_EQ(info.Video.Frames, 1);
  EXPECT_EQ(info.Video.Bpp, 8);
  EXPECT_DOUBLE_EQ(info.Video.DataSize, 37.0 * 23);
  EXPECT_EQ(info.Video.Duration, 0);
  EXPECT_EQ(info.Video.CodecName, "Uncompressed, full frames");  // the defaults of empty names
  EXPECT_EQ(info.Audio.CodecName, "PCM, uncompressed");
  EXPECT_EQ(info.Audio.HasAudio, 0);
  // A name in capitals is the same format.
  const std::string upper = test::MakeTempDir("upper") + "/PIC.TGA";
  std::filesystem::copy_file(Media("nb_rgb_rle.tga"), upper);
  ASSERT_TRUE(UniInfo(upper, info, seqDetect, nullptr, nullptr));
  EXPECT_EQ(info.FormatId, fidTGA);
  EXPECT_EQ(info.Video.CodecName, "Run Length Encoding (RLE)");
}

TEST_F(Dispatcher, FailuresAnswerFalseWithFileNotExist) {
  const int32_t tracked = MemCount();
  UniInfoRec info;
  const std::string dir = test::MakeTempDir("bad");
  test::WriteFile(dir + "/x.unknownext", std::string(100, 'x'));
  EXPECT_FALSE(UniInfo(dir + "/x.unknownext", info, seqDetect, nullptr, nullptr));  // tried as AVI only
  EXPECT_TRUE(NoError());
  EXPECT_EQ(GetWarningClass(), ecFile);
  EXPECT_EQ(GetWarningCode(), 9);
  EXPECT_EQ(ErrorText(GetWarningClass(), GetWarningCode()), "File not exist.");
  EXPECT_FALSE(UniInfo(dir + "/missing.bmp", info, seqDetect, nullptr, nullptr));
  test::WriteFile(dir + "/corrupt.tga", std::string(5, 'x'));
  EXPECT_FALSE(UniInfo(dir + "/corrupt.tga", info, seqDetect, nullptr, nullptr));
  EXPECT_EQ(MemCount(), tracked);
}

// The AVI reader and the codec libraries open files with blocking calls of their own: a FIFO or a
// socket under a media name is refused before any of them sees it, whatever the name says.
TEST_F(Dispatcher, SpecialFilesUnderMediaNamesAreRefusedAtOnce) {
  platform::SetLibraryFolder(TAVELO_CODEC_DIR);
  ConformUnitInit();
  const std::string dir = test::MakeTempDir("special");
  for (const char* name : {"a.avi", "a.mpg", "a.wav", "a.jpg", "a.zmv", "a.mp4", "a.bmp"}) {
    SCOPED_TRACE(name);
    const std::string fifo = dir + "/" + name;
    ASSERT_TRUE(test::MakeFifo(fifo));
    bool described = true;
    EXPECT_TRUE(test::EndsWithoutBlocking(fifo, [&] {
      UniInfoRec info;
      described = UniInfo(fifo, info, seqDetect, nullptr, nullptr);
    }));
    EXPECT_FALSE(described);
    std::filesystem::remove(fifo);
  }
  const int fd = test::MakeSocketFile(dir + "/s.avi");
  ASSERT_GE(fd, 0);
  UniInfoRec info;
  EXPECT_FALSE(UniInfo(dir + "/s.avi", info, seqDetect, nullptr, nullptr));
  ::close(fd);
  ConformUnitDone();
}

TEST_F(Dispatcher, SearchWithoutWinnerKeepsTheFirstDescription) {
  // A TGA whose depth is described but not supported: the search finds no better reader and
  // the file stays a described TGA that cannot be decoded.
  std::string bytes(18, '\0');
  bytes[2] = 2;
  bytes[12] = 2;
  bytes[14] = 2;
  bytes[16] = 12;
  const std::string path = test::MakeTempDir("tga") + "/odd.tga";
  test::WriteFile(path, bytes + std::string(12, '\0'));
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(path, info, 0, nullptr, nullptr));
  EXPECT_EQ(info.FormatId, fidTGA);
  EXPECT_EQ(info.Kind, ukPicture);
  EXPECT_EQ(info.Video.HasVideo, -1);
  EXPECT_EQ(info.Video.VideoSupported, 0);
  UniHandle h;
  ASSERT_EQ(Outcome([&] { UniOpen(h, info); }), Err(0, 0));
  Qimg img;
  EXPECT_EQ(Outcome([&] { UniImgLoad(h, img, 1, 0); }), Err(ecMovie, 5));
  UniClose(h);
}

TEST_F(Dispatcher, SinglePictureIsFrameOneWhateverIsAsked) {
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(Media("ff_32.bmp"), info, seqDetect, nullptr, nullptr));
  UniHandle h;
  UniOpen(h, info);
  Qimg img, alpha;
  ASSERT_EQ(Outcome([&] { UniImgLoad_(h, img, 5, &alpha, 0); }), Err(0, 0));
  EXPECT_EQ(h.CurrentFrame, 1);
  EXPECT_EQ(h.FrameTime, 0);
  EXPECT_EQ(h.KeyFrame, -1);
  EXPECT_EQ(h.CurrentName, Media("ff_32.bmp"));
  EXPECT_EQ(UniNearestKeyFrame(h, 9, 1), 1);
  // A 32-bit picture's alpha picture holds its fourth bytes.
  ASSERT_EQ(alpha.Width, img.Width);
  ASSERT_EQ(alpha.Bpp, 8);
  for (int64_t i = 0; i < static_cast<int64_t>(img.Width) * img.Height; ++i) ASSERT_EQ(alpha.Data[i], img.Data[4 * i + 3]);
  EXPECT_EQ(alpha.Palette[3 * 200], 200);  // grey palette
  ImgFree(img);
  ImgFree(alpha);
  // A 24-bit one gives an alpha picture of 255 throughout.
  ASSERT_EQ(Outcome([&] { ImgLoad(Media("im_24.bmp"), img, kNoFormat, &alpha); }), Err(0, 0));
  for (int64_t i = 0; i < static_cast<int64_t>(img.Width) * img.Height; ++i) ASSERT_EQ(alpha.Data[i], 255);
  ImgFree(img);
  ImgFree(alpha);
  UniClose(h);
}

TEST_F(Dispatcher, NumberedSequenceReadsItsMembers) {
  const std::string dir = SequenceCopy();
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(dir + "/img0002.bmp", info, seqDetect, nullptr, nullptr));
  EXPECT_EQ(info.Kind, ukSequence);
  EXPECT_EQ(info.Video.Frames, 4);  // 2 to 5
  EXPECT_DOUBLE_EQ(info.FileSize, 4 * 2358.0);
  EXPECT_DOUBLE_EQ(info.Video.DataSize, 4 * 32 * 24 * 3.0);
  std::string name;
  UniGetFileName(info, 3, name);
  EXPECT_EQ(name, dir + "/img0004.bmp");

  // Without sequence detection the same file is a single picture.
  UniInfoRec single;
  ASSERT_TRUE(UniInfo(dir + "/img0002.bmp", single, 1023, nullptr, nullptr));
  EXPECT_EQ(single.Kind, ukPicture);
  EXPECT_DOUBLE_EQ(single.FileSize, 2358.0);

  UniHandle h;
  UniOpen(h, info);
  h.Video.FrameRate = 10;
  Qimg img, direct;
  ASSERT_EQ(Outcome([&] { UniImgLoad(h, img, 3, 0); }), Err(0, 0));
  EXPECT_EQ(h.CurrentFrame, 3);
  EXPECT_DOUBLE_EQ(h.FrameTime, 0.2);
  EXPECT_EQ(h.CurrentName, dir + "/img0004.bmp");
  ASSERT_EQ(Outcome([&] { DIBLoad_(dir + "/img0004.bmp", direct); }), Err(0, 0));
  EXPECT_EQ(std::memcmp(img.Data, direct.Data, img.Size), 0);
  h.Video.FrameRate = 0;
  ASSERT_EQ(Outcome([&] { UniImgLoad(h, img, 2, 0); }), Err(0, 0));
  EXPECT_EQ(h.FrameTime, 0);
  EXPECT_EQ(UniNearestKeyFrame(h, 1, -1), 1);
  EXPECT_EQ(UniNearestKeyFrame(h, 3, -1), 2);
  EXPECT_EQ(UniNearestKeyFrame(h, 7, 1), 4);
  // A member that disappeared is an error of that frame only.
  std::filesystem::remove(dir + "/img0005.bmp");
  EXPECT_EQ(Outcome([&] { UniImgLoad(h, img, 4, 0); }).first, ecFile);
  ImgFree(img);
  ImgFree(direct);
  UniClose(h);
}

TEST_F(Dispatcher, SoundReadsAndBadKinds) {
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(Media("im_24.bmp"), info, 0, nullptr, nullptr));
  UniHandle h;
  UniOpen(h, info);
  Qsnd snd;
  snd.samples = 9;
  EXPECT_EQ(Outcome([&] { UniSndLoad(h, snd, 0, 0, 0); }), Err(0, 0));  // fewer than 1: nothing, silently
  EXPECT_EQ(snd.samples, 0);
  EXPECT_EQ(Outcome([&] { UniSndLoad(h, snd, 0, 100, 0); }), Err(ecMovie, 5));  // no sound to read
  UniClose(h);

  UniHandle bad;
  UniInfoRec odd;
  odd.Kind = static_cast<UniKind>(7);
  EXPECT_EQ(Outcome([&] { UniOpen(bad, odd); }), Err(ecUni, 1));
  bad.Kind = static_cast<UniKind>(7);
  bad.Video.VideoSupported = -1;
  Qimg img;
  EXPECT_EQ(Outcome([&] { UniImgLoad(bad, img, 1, 0); }), Err(ecUni, 1));
  EXPECT_EQ(bad.CurrentName, "INVALID FILE");
  EXPECT_EQ(Outcome([&] { UniNearestKeyFrame(bad, 4, 1); }), Err(ecUni, 1));
  EXPECT_EQ(Outcome([&] { UniClose(bad); }), Err(ecUni, 1));
  EXPECT_EQ(bad.Kind, ukUnknown);  // closed all the same
  std::string name;
  UniGetFileName(UniInfoRec(), 1, name);
  EXPECT_EQ(name, "Unknown");
}

TEST_F(Dispatcher, FailedOpenLeavesAClosedHandle) {
  const int32_t tracked = MemCount();
  // A movie unit that refuses the file (a BMP is no GIF): the open fails and nothing dangles.
  UniInfoRec info;
  info.FormatId = fidGIF;
  info.Kind = ukMovie;
  info.FileName = Media("im_24.bmp");
  UniHandle h;
  EXPECT_EQ(Outcome([&] { UniOpen(h, info); }), Err(ecImage, 2));
  EXPECT_EQ(h.Kind, ukUnknown);
  EXPECT_EQ(h.Mvi.State, nullptr);
  EXPECT_EQ(h.Mvi.Unit, nullptr);
  EXPECT_EQ(Outcome([&] { UniClose(h); }), Err(0, 0));
  EXPECT_EQ(Outcome([&] { UniClose(h); }), Err(0, 0));  // closing a closed handle is harmless
  MviHandle mvi;
  EXPECT_EQ(Outcome([&] { MviOpen(mvi, "/x/y.flc", kNoFormat, nullptr, nullptr); }), Err(ecFile, 1));
  EXPECT_EQ(mvi.FormatId, 0);
  EXPECT_EQ(MemCount(), tracked);
}

TEST_F(Dispatcher, StillPictureSaves) {
  const std::string dir = test::MakeTempDir("save");
  Qimg img, back;
  ASSERT_EQ(Outcome([&] { ImgLoad(Media("im_24.bmp"), img, kNoFormat, nullptr); }), Err(0, 0));
  int32_t size = 0;
  ASSERT_EQ(Outcome([&] { size = ImgSave(dir + "/shot.tga", img); }), Err(0, 0));
  EXPECT_EQ(size, static_cast<int32_t>(std::filesystem::file_size(dir + "/shot.tga")));
  EXPECT_EQ(static_cast<uint8_t>(test::ReadFile(dir + "/shot.tga")[2]), 10);  // run-length by default
  ASSERT_EQ(Outcome([&] { ImgLoad(dir + "/shot.tga", back, kNoFormat, nullptr); }), Err(0, 0));
  EXPECT_EQ(std::memcmp(img.Data, back.Data, img.Size), 0);
  ASSERT_EQ(Outcome([&] { size = ImgSave(dir + "/shot.pcx", img); }), Err(0, 0));
  ASSERT_EQ(Outcome([&] { size = ImgSave(dir + "/shot.dib", img); }), Err(0, 0));
  EXPECT_EQ(test::ReadFile(dir + "/shot.dib").substr(0, 2), "BM");
  // GIF is in the write table but is not a still format written here; unknown names neither.
  EXPECT_EQ(Outcome([&] { ImgSave(dir + "/shot.gif", img); }), Err(ecImage, 2));
  EXPECT_EQ(Outcome([&] { ImgSave(dir + "/shot.xyz", img); }), Err(ecImage, 2));
  EXPECT_FALSE(std::filesystem::exists(dir + "/shot.gif"));
  FFVideoOpts opts;
  FFVideoInit(opts, kNoFormat);
  Qimg empty;
  EXPECT_EQ(Outcome([&] { ImgSaveEx(dir + "/e.bmp", empty, opts); }), Err(ecImage, 9));
  FFVideoInit(opts, fidTGA);
  opts.Codec = 0;  // uncompressed
  ASSERT_EQ(Outcome([&] { ImgSaveEx(dir + "/raw.tga", img, opts); }), Err(0, 0));
  EXPECT_EQ(static_cast<uint8_t>(test::ReadFile(dir + "/raw.tga")[2]), 2);
  EXPECT_EQ(Outcome([&] { ImgLoad(dir + "/raw.tga", back, fidJPEG, nullptr); }), Err(ecImage, 2));
  ImgFree(img);
  ImgFree(back);
}

TEST_F(Dispatcher, SavePreparationCutsToBlocksAndConverts) {
  const int32_t tracked = MemCount();
  Qimg img;
  _imgalloc_(img, 17, 33, 24, __LINE__, "test");
  for (int64_t i = 0; i < img.Size; ++i) img.Data[i] = static_cast<uint8_t>(i);
  FFSavePrep prep;
  ASSERT_EQ(Outcome([&] { FFInit(fidBMP, prep, img, 16); }), Err(0, 0));
  EXPECT_EQ(prep.Picture->Width, 16);
  EXPECT_EQ(prep.Picture->Height, 32);
  EXPECT_EQ(prep.Picture->Data[3 * 16], img.Data[3 * 17]);  // row 1 starts where the picture's does
  FFFree(prep);
  ASSERT_EQ(Outcome([&] { FFInit(fidBMP, prep, img, 1); }), Err(0, 0));
  EXPECT_EQ(prep.Picture, &img);
  EXPECT_EQ(prep.Owned, 0);
  FFFree(prep);
  // Blocks below 1 count as 1; a picture under half a block is still one block.
  ASSERT_EQ(Outcome([&] { FFInit(fidBMP, prep, img, 0); }), Err(0, 0));
  EXPECT_EQ(prep.Picture, &img);
  FFFree(prep);
  ASSERT_EQ(Outcome([&] { FFInit(fidBMP, prep, img, 100); }), Err(0, 0));
  EXPECT_EQ(prep.Picture->Width, 100);
  EXPECT_EQ(prep.Picture->Height, 100);
  FFFree(prep);
  ASSERT_EQ(Outcome([&] { FFInit(fidPCX, prep, img, 2); }), Err(0, 0));  // cut and kept at 24 bits
  EXPECT_EQ(prep.Picture->Width, 18);
  EXPECT_EQ(prep.Picture->Bpp, 24);
  FFFree(prep);
  ASSERT_EQ(Outcome([&] { FFInit(fidGIF, prep, img, 1); }), Err(0, 0));  // converted to 8 bits
  EXPECT_EQ(prep.Picture->Bpp, 8);
  EXPECT_EQ(prep.Owned, -1);
  FFFree(prep);
  EXPECT_EQ(Outcome([&] { FFInit(fidBAY, prep, img, 1); }), Err(ecMovie2, 1));  // no save depth
  Qimg empty;
  EXPECT_EQ(Outcome([&] { FFInit(fidBMP, prep, empty, 1); }), Err(ecMovie2, 1));
  FFFree(prep);
  ImgFree(img);
  EXPECT_EQ(MemCount(), tracked);
}

TEST_F(Dispatcher, UnitStartUpWithdrawsMissingLibrariesOnce) {
  platform::SetLibraryFolder(test::MakeTempDir("no-codecs"));
  const int32_t before = InitPartCount();
  ConformUnitInit();
  ConformUnitInit();  // nested: nothing more
  EXPECT_EQ(InitPartCount(), before + 1);
  EXPECT_EQ(FFGetFormatId("/a/b.png", ffRead), kNoFormat);
  EXPECT_EQ(FFGetFormatId("/a/b.tga", ffRead), fidTGA);
  UniInfoRec info;
  const std::string dir = test::MakeTempDir("png");
  test::WriteFile(dir + "/x.png", "\x89PNG\r\n\x1a\n");
  EXPECT_FALSE(UniInfo(dir + "/x.png", info, seqDetect, nullptr, nullptr));
  ConformUnitDone();
  ConformUnitDone();
  EXPECT_FALSE(FFCodecLibrary(clPng).Loaded);
}

}  // namespace
}  // namespace tavelo

// The SGI, Sun raster, PNM, Bayer and XPM units as the rest of the program reaches them: through
// UniInfo, UniOpen/UniImgLoad, ImgLoad and ImgSave.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/services/memory.h"
#include "formats/conform.h"
#include "formats/units/ff_bay.h"
#include "formats/units/ff_xpm.h"
#include "platform/dynlib/dynlib.h"
#include "tests/formats/format_fixture.h"
#include "tests/formats/own_pictures_util.h"

namespace tavelo {
namespace {

using test::ErrPair;
using test::TryWork;

class OwnPictures : public test::FormatTest {
 protected:
  // The XPM unit needs its library: loaded from the build tree's codec folder.
  static void LoadXpmLibrary() {
    platform::SetLibraryFolder(TAVELO_CODEC_DIR);
    FFLoadCodecLib(clXpm);
    ASSERT_TRUE(FFCodecLibReady(clXpm)) << platform::LastLibraryError();
  }
};

UniInfoRec Describe(const std::string& name) {
  UniInfoRec info;
  EXPECT_TRUE(UniInfo(name, info, 0, nullptr, nullptr)) << name << ": " << GetErrorMessage();
  return info;
}

TEST_F(OwnPictures, Descriptions) {
  UniInfoRec sgi = Describe(test::MediaPath("sgi/im-rgba-rle.sgi"));
  EXPECT_EQ(sgi.FormatId, fidSGI);
  EXPECT_EQ(sgi.Kind, ukPicture);
  EXPECT_EQ(sgi.Video.Width, 37);
  EXPECT_EQ(sgi.Video.Height, 23);
  EXPECT_EQ(sgi.Video.Bpp, 32);
  EXPECT_EQ(sgi.Video.CodecName, "Run Length Encoding (RLE)");
  EXPECT_EQ(sgi.Video.CodecId, 1);
  EXPECT_TRUE(sgi.Video.VideoSupported);
  UniInfoRec sgi16 = Describe(test::MediaPath("sgi/im-main-16.sgi"));
  EXPECT_EQ(sgi16.Video.Bpp, 24);
  EXPECT_EQ(sgi16.Video.OrigBpp, 48);
  EXPECT_EQ(sgi16.Video.CodecName, "Uncompressed, full frames");

  UniInfoRec ras = Describe(test::MediaPath("sunras/ff-main-24-rle.ras"));
  EXPECT_EQ(ras.FormatId, fidRAS);
  EXPECT_EQ(ras.Video.Bpp, 24);
  EXPECT_EQ(ras.Video.CodecName, "Run Length Encoding (RLE)");
  UniInfoRec oneBit = Describe(test::MediaPath("sunras/nb-main-1.ras"));
  EXPECT_TRUE(oneBit.Video.HasVideo);
  EXPECT_FALSE(oneBit.Video.VideoSupported);

  UniInfoRec p3 = Describe(test::MediaPath("pnm/nb-main-p3.ppm"));
  EXPECT_EQ(p3.FormatId, fidPNM);
  EXPECT_EQ(p3.Kind, ukPicture);
  EXPECT_EQ(p3.Video.CodecName, "Ascii encoded");
  EXPECT_EQ(p3.Video.CodecId, 0);
  UniInfoRec p16 = Describe(test::MediaPath("pnm/im-gray-p5-16.pgm"));
  EXPECT_EQ(p16.Video.Bpp, 8);
  EXPECT_EQ(p16.Video.OrigBpp, 16);
  EXPECT_EQ(p16.Video.CodecName, "Binary encoded");
  // Several images in one file play as a movie.
  UniInfoRec multi = Describe(test::MediaPath("pnm/multi.ppm"));
  EXPECT_EQ(multi.Kind, ukMovie);
  EXPECT_EQ(multi.Video.Frames, 3);
}

TEST_F(OwnPictures, BayerDescriptions) {
  const std::string dir = test::MakeTempDir("bay-info");
  std::string trailer(kBayTrailerSize, '\0');
  trailer.replace(0, 2, "EK");
  trailer.replace(3, 4, "100K");
  trailer[8] = 1;
  trailer[11] = 2;
  trailer[236] = 4, trailer[238] = 2;
  test::WriteFile(dir + "/hrc.bay", std::string(8, '\x40') + trailer);
  UniInfoRec info = Describe(dir + "/hrc.bay");
  EXPECT_EQ(info.FormatId, fidBAY);
  EXPECT_EQ(info.Video.Width, 4);
  EXPECT_EQ(info.Video.Height, 2);
  EXPECT_EQ(info.Video.Bpp, 24);
  EXPECT_DOUBLE_EQ(info.Video.FrameRate, 500);
  EXPECT_EQ(info.Video.CodecName, "HRC (color)");
  EXPECT_EQ(info.Video.CodecId, bayGBRG);
  test::WriteFile(dir + "/plain.tp2", std::string(307200, '\x10'));
  UniInfoRec plain = Describe(dir + "/plain.tp2");
  EXPECT_EQ(plain.Video.Width, 640);
  EXPECT_EQ(plain.Video.CodecName, " (color)");  // no trailer, no camera
}

TEST_F(OwnPictures, PnmPlaysAsAMovie) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  UniInfoRec info = Describe(test::MediaPath("pnm/multi.ppm"));
  UniHandle h;
  ASSERT_EQ(TryWork([&] { UniOpen(h, info); }), (ErrPair{0, 0}));
  Qimg img;
  for (int32_t frame : {3, 1, 2}) {
    ASSERT_EQ(TryWork([&] { UniImgLoad(h, img, frame, 0); }), (ErrPair{0, 0}));
    EXPECT_EQ(h.CurrentFrame, frame);
    EXPECT_TRUE(h.KeyFrame);
    EXPECT_EQ(test::CompareWithRef(img, "rgb", test::ReadFile(test::MediaPath("pnm/multi-" + std::to_string(frame) + ".raw"))), "");
  }
  EXPECT_EQ(UniNearestKeyFrame(h, 2, 1), 1);
  EXPECT_EQ(TryWork([&] { UniImgLoad(h, img, 4, 0); }), (ErrPair{12, 7}));  // past the last frame
  UniClose(h);
  ImgFree(img);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST_F(OwnPictures, ImgLoadReadsEveryFormat) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  LoadXpmLibrary();
  const std::vector<std::pair<std::string, std::string>> files = {
      {"sgi/nb-main-rle.sgi", "sgi/nb-main-rle.sgi.nb.raw"},
      {"sunras/im-main-24.ras", "sunras/im-main-24.ras.nb.raw"},
      {"pnm/comments-p6.ppm", "pnm/comments-p6.ppm.nb.raw"},
      {"xpm/im-main.xpm", "xpm/im-main.xpm.nb.raw"},
  };
  for (const auto& [file, ref] : files) {
    SCOPED_TRACE(file);
    Qimg img, alpha;
    const std::string path = test::MediaPath(file);
    ASSERT_EQ(TryWork([&] { ImgLoad(path, img, kNoFormat, &alpha); }), (ErrPair{0, 0}));
    EXPECT_EQ(test::CompareWithRef(img, "rgb", test::ReadFile(test::MediaPath(ref))), "");
    EXPECT_EQ(alpha.Data[0], 255);
    ImgFree(img);
    ImgFree(alpha);
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST_F(OwnPictures, XpmUnitRefusesWhatTheLibraryCannotRead) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  LoadXpmLibrary();
  const std::string name = test::MakeTempDir("xpm-bad") + "/bad.xpm";
  test::WriteFile(name, "/* XPM */ static char *x[] = { \"2 1 1 1\", \"a c nosuchcolour\", \"aa\" };");
  FFInfoRec info;
  EXPECT_EQ(TryWork([&] { XPMInfo(name, info); }), (ErrPair{7, 8}));
  EXPECT_EQ(GetErrorMessage(), "Cannot open image file.");
  Qimg img;
  EXPECT_EQ(TryWork([&] { XPMLoad(name, img); }), (ErrPair{7, 8}));
  // Without its library the unit fails the same way.
  FFResetCodecLibsForTest();
  EXPECT_EQ(TryWork([&] { XPMLoad(test::MediaPath("xpm/im-main.xpm"), img); }), (ErrPair{7, 8}));
  EXPECT_EQ(MemCount(), memAtStart);
}

// A 32 x 8 picture of the given depth with varied pixels (and, at 8 bits, a palette).
void Source(Qimg& img, int32_t bpp) {
  ImgAlloc(img, 33, 8, bpp);
  for (int64_t i = 0; i < img.Size; ++i) img.Data[i] = static_cast<uint8_t>(i % 5 == 0 ? 77 : i * 31);
  for (int i = 0; i < 768; ++i) img.Palette[i] = static_cast<uint8_t>(255 - i / 3);
}

TEST_F(OwnPictures, ImgSaveWritesAndReadsBackEveryWritableFormat) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  LoadXpmLibrary();
  const std::string dir = test::MakeTempDir("own-save");
  struct Case {
    const char* ext;
    int32_t bpp;      // the source's depth
    int32_t saved;    // the depth the file holds
  };
  for (const Case c : {Case{".sgi", 8, 24}, Case{".sgi", 24, 24}, Case{".sgi", 32, 32}, Case{".rgb", 16, 24},
                       Case{".ras", 8, 8}, Case{".ras", 15, 24}, Case{".ras", 32, 32}, Case{".ppm", 8, 24},
                       Case{".pnm", 32, 24}, Case{".xpm", 8, 24}, Case{".xpm", 24, 24}}) {
    SCOPED_TRACE(std::string(c.ext) + " from " + std::to_string(c.bpp) + " bits");
    Qimg src, want, back;
    Source(src, c.bpp);
    const std::string name = dir + "/s" + c.ext;
    int32_t size = 0;
    ASSERT_EQ(TryWork([&] { size = ImgSave(name, src); }), (ErrPair{0, 0}));
    EXPECT_EQ(size, static_cast<int32_t>(test::ReadFile(name).size()));
    ASSERT_EQ(TryWork([&] { ImgLoad(name, back, kNoFormat, nullptr); }), (ErrPair{0, 0}));
    ASSERT_EQ(back.Bpp, c.saved);
    ImgConvBpp(src, want, c.saved);
    EXPECT_EQ(std::vector<uint8_t>(back.Data, back.Data + back.Size), std::vector<uint8_t>(want.Data, want.Data + want.Size));
    if (c.saved == 8) {
      EXPECT_EQ(back.Palette, src.Palette);
    }
    ImgFree(src);
    ImgFree(want);
    ImgFree(back);
  }
  // The text form of PNM is the save option's other codec.
  Qimg one;
  ImgAlloc(one, 1, 1, 24);
  one.Data[0] = 3, one.Data[1] = 2, one.Data[2] = 1;
  FFVideoOpts opts;
  FFVideoInit(opts, fidPNM);
  opts.Codec = 0;
  ASSERT_EQ(TryWork([&] { ImgSaveEx(dir + "/t.ppm", one, opts); }), (ErrPair{0, 0}));
  EXPECT_EQ(test::ReadFile(dir + "/t.ppm"), "P3\n1 1\n255\n1\n2\n3\n");
  FFVideoFree(opts);
  ImgFree(one);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST_F(OwnPictures, AFailedSaveKeepsTheOldFile) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  const std::string name = test::MakeTempDir("own-keep") + "/old.sgi";
  test::WriteFile(name, "the old file");
  Qimg wide;
  ImgAlloc(wide, 70000, 1, 24);  // too wide for the SGI header
  EXPECT_EQ(TryWork([&] { ImgSave(name, wide); }), (ErrPair{7, 11}));
  EXPECT_EQ(test::ReadFile(name), "the old file");
  ImgFree(wide);
  EXPECT_EQ(MemCount(), memAtStart);
}

}  // namespace
}  // namespace tavelo

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/media/img_basic.h"
#include "core/services/errors.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "formats/ff_basic.h"
#include "formats/units/ff_tga_pcx_bmp.h"
#include "tests/formats/format_fixture.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using Basic = test::FormatTest;

const char kImagePatterns[] =
    "*.gif;*.giff;*.bmp;*.dib;*.rle;*.ras;*.sun;*.im1;*.rast;*.rgb;*.rgba;*.bw;*.sgi;*.pnm;*.ppm;*.pgm;*.pcx;"
    "*.png;*.jpg;*.jpeg;*.jif;*.jfif;*.J;*.jpe;*.tif;*.tiff;*.tim;*.tga;*.targa;*.bay;*.tp2;*.xpm;*.pm;*.jp2;"
    "*.jpc;*.j2k;*.j2c";

TEST_F(Basic, ConvExt) {
  std::string patterns, display;
  FFConvExt_(".avi.ivf.divx", patterns, display);
  EXPECT_EQ(patterns, "*.avi;*.ivf;*.divx");
  EXPECT_EQ(display, "avi,ivf,divx");
  FFConvExt_(".png", patterns, display);
  EXPECT_EQ(patterns, "*.png");
  EXPECT_EQ(display, "png");
}

TEST_F(Basic, LoadFilterForStillPictures) {
  std::string all, formats;
  FFMakeLoadFilter(fkStill, 0, all, formats);
  EXPECT_EQ(all, std::string("All Images|") + kImagePatterns);
  EXPECT_EQ(formats,
            "BAY|*.bay;*.tp2|BMP|*.bmp;*.dib;*.rle|GIF|*.gif;*.giff|JP2|*.jp2;*.jpc;*.j2k;*.j2c|"
            "JPEG|*.jpg;*.jpeg;*.jif;*.jfif;*.J;*.jpe|PCX|*.pcx|PNG|*.png|PNM|*.pnm;*.ppm;*.pgm|"
            "RGB|*.ras;*.sun;*.im1;*.rast|SGI|*.rgb;*.rgba;*.bw;*.sgi|TGA|*.tga;*.targa|"
            "TIFF|*.tif;*.tiff;*.tim|XPM|*.xpm;*.pm");
}

TEST_F(Basic, LoadFilterTitlesAndOptions) {
  std::string all, formats;
  FFMakeLoadFilter(fkSound | fkHasSound, ffoAllFiles, all, formats);
  EXPECT_EQ(all.rfind("All Files (*.*)|*.*|All Audio Formats|*.zmv;*.avi;", 0), 0u) << all;
  FFMakeLoadFilter(fkSound, ffoDescription | ffoShowExts, all, formats);
  EXPECT_EQ(all, "All Sounds|*.wav;*.mp3;*.mp2;*.m2a;*.mpa;*.ac3;*.ogg;*.oga;*.wma");
  EXPECT_EQ(formats,
            "AC3, Dolby Digital Compatible (ac3)|*.ac3|MPA, MPEG Audio Layer I/II/III (mp3,mp2,m2a,mpa)|"
            "*.mp3;*.mp2;*.m2a;*.mpa|OGA, Ogg Audio (ogg,oga)|*.ogg;*.oga|WAV, Windows Wave Sound (wav)|*.wav|"
            "WMA, Windows Media Audio (wma)|*.wma");
  FFMakeLoadFilter(0, 0, all, formats);
  EXPECT_EQ(all.rfind("All Supported Formats|*.zmv;*.gif;", 0), 0u);
}

TEST_F(Basic, SaveFilter) {
  std::string filter = "Mine|*.x|";
  FFMakeSaveFilter(fkSound, ffoAllFiles, filter);
  EXPECT_EQ(filter,
            "Mine|*.x|All Files (*.*)|*.*|All Supported Formats|*.ac3;*.mp2;*.ogg;*.oga;*.wav;*.wma|"
            "AC3|*.ac3|MPA|*.mp2|OGA|*.ogg;*.oga|WAV|*.wav|WMA|*.wma");
  filter = "Mine|*.x|";
  FFMakeSaveFilter(fkSound, 0, filter);
  EXPECT_EQ(filter.rfind("All Supported Formats|*.ac3;", 0), 0u);
}

TEST_F(Basic, WithdrawnFormatsLeaveBothFilters) {
  FFDisableFormat(fidXPM, ffBoth);
  std::string all, formats, save;
  FFMakeLoadFilter(0, 0, all, formats);
  FFMakeSaveFilter(0, 0, save);
  for (const std::string* s : {&all, &formats, &save}) {
    EXPECT_EQ(s->find("xpm"), std::string::npos) << *s;
    EXPECT_EQ(s->find("XPM"), std::string::npos) << *s;
    EXPECT_NE(s->find("*.tga"), std::string::npos);  // every other row stays
  }
  EXPECT_EQ(FFGetFormatId("/p/a.xpm", 1), kNoFormat);
  EXPECT_EQ(FFGetFormatId("/p/a.xpm", 2), kNoFormat);
}

TEST_F(Basic, LookUpByExtension) {
  EXPECT_EQ(FFGetFormatId("/music/song.OGG", 1), fidOGV);  // the first row in table order
  EXPECT_EQ(FFGetFormatId("/music/song.OGG", 2), fidOGA);
  EXPECT_EQ(FFGetFormatId("/v/clip.m2v", 1), fidMPEG);
  EXPECT_EQ(FFGetFormatId("/v/clip.m2v", 2), kNoFormat);
  EXPECT_EQ(FFGetFormatId("/p/photo.J", 1), kNoFormat);  // lower-cased first; the table has ".J"
  EXPECT_EQ(FFGetFormatId("/p/photo.jp", 1), kNoFormat);  // never a prefix of ".jpg"
  EXPECT_EQ(FFGetFormatId("/p/photo.jpe", 1), fidJPEG);
  EXPECT_EQ(FFGetFormatId("/p/noext", 1), kNoFormat);
  EXPECT_EQ(FFGetFormatId("/p/trailing.", 1), kNoFormat);
  EXPECT_EQ(FFGetFormatId("/p/folder.bmp/picture", 1), kNoFormat);  // a dot only in a folder name
  EXPECT_EQ(FFGetFormatId("", 1), kNoFormat);
  EXPECT_EQ(FFGetFormatId("x.TGA", 1), fidTGA);
  FFFormatRec rec;
  rec.ShortName = "stale";
  FFGetFormat("/p/a.unknown", rec, 1);
  EXPECT_EQ(rec.FormatId, kNoFormat);
  EXPECT_TRUE(rec.ShortName.empty());
  FFGetFormat("/p/a.tim", rec, 1);
  EXPECT_EQ(rec.ShortName, "TIFF");
}

TEST_F(Basic, SaveDepths) {
  EXPECT_EQ(FFSaveDepth(fidBMP, 16), 24);
  EXPECT_EQ(FFSaveDepth(fidBMP, 15), 15);
  EXPECT_EQ(FFSaveDepth(fidPCX, 32), 24);
  EXPECT_EQ(FFSaveDepth(fidSGI, 7), 24);  // any other depth: the last column
  EXPECT_EQ(FFSaveDepth(fidWAV, 24), 0);  // a sound format
  EXPECT_EQ(FFSaveDepth(fidBAY, 24), kNoFormat);
  EXPECT_EQ(FFSaveDepthRow_(fidWMV), 22);
}

TEST_F(Basic, VideoOptionsAndCodecNames) {
  FFVideoOpts opts;
  FFVideoInit(opts, fidTGA);
  EXPECT_EQ(opts.Codec, 1);
  EXPECT_EQ(opts.Valid, -1);
  EXPECT_EQ(opts.CodecName, "Run Length Encoding (RLE)");
  opts.Codec = 0;
  std::string name;
  FFVideoGetCodecName(opts, name);
  EXPECT_EQ(name, "Uncompressed, full frames");
  FFVideoInit(opts, fidJPEG);
  opts.Quality = 99.9;
  FFVideoGetCodecName(opts, name);
  EXPECT_EQ(name, "JPEG Quality: 99%");  // the integer part
  FFVideoInit(opts, fidJP2);
  EXPECT_EQ(opts.CodecName, "JPEG-2000 Rate: 1,000 of 10,000");
  opts.Quality = 123456.7;
  FFVideoGetCodecName(opts, name);
  EXPECT_EQ(name, "JPEG-2000 Rate: 123,456 of 10,000");
  FFVideoInit(opts, fidAVI);
  EXPECT_EQ(static_cast<uint32_t>(opts.Codec), FFMakeRGBA('c', 'v', 'i', 'd'));
  EXPECT_EQ(opts.CodecName, "Cinepak");  // named by the installed decoder
  FFVideoInit(opts, fidBMP);  // not in the defaults table
  EXPECT_EQ(opts.Valid, 0);
  FFVideoInit(opts, fidWAV);
  EXPECT_EQ(opts.CodecName, "N/A");
  FFVideoFree(opts);
}

// The defaults FFVideoInit gives each id: whether they are valid, and the coding they name.
TEST_F(Basic, DefaultOptionsByFormat) {
  const std::string rle = "Run Length Encoding (RLE)", na = "N/A";
  const std::tuple<int32_t, int32_t, std::string> cases[] = {
      {fidTGA, -1, rle},
      {fidPCX, 0, rle},
      {fidBMP, 0, "Uncompressed, full frames"},
      {fidGIF, 0, "LZW compression"},
      {fidFLIC, 0, "RLE + pixel difference from previous frame"},
      {fidAVI, -1, "Cinepak"},
      {fidZMV, -1, "ZMV-FAST compression"},
      {fidJPEG, -1, "JPEG Quality: 85%"},
      {fidPNG, -1, "PNG Compression Level: 7 of 9"},
      {fidTIFF, -1, "Variable-Length-Code LZW"},
      {fidMPEG, -1, na},
      {fidWAV, 0, na},
      {fidSGI, -1, rle},
      {fidRAS, -1, rle},
      {fidPNM, -1, "Binary encoded"},
      {fidBAY, 0, na},
      {fidXPM, 0, "Uncompressed, full frames"},
      {fidMPA, 0, na},
      {fidOGA, 0, na},
      {fidCINE, 0, na},
      {fidAC3, 0, na},
      {fidMP4, -1, "MPEG-4"},
      {fidJP2, -1, "JPEG-2000 Rate: 1,000 of 10,000"},
      {fidMPEGX, 0, na},
      {fidWMV, -1, "Windows Media Video 9"},
      {fidWMA, 0, na},
      {fidOGV, -1, "Theora"},
      {kNoFormat, 0, na},
  };
  FFVideoOpts opts;
  for (const auto& [id, valid, name] : cases) {
    FFVideoInit(opts, id);
    EXPECT_EQ(opts.Valid, valid) << id;
    EXPECT_EQ(opts.CodecName, name) << id;
  }
  FFVideoFree(opts);
}

TEST_F(Basic, IntegerPartsOfCodecNumbers) {
  const std::pair<double, int64_t> cases[] = {
      {99.9, 99}, {-1.5, -1}, {3e9, 2147483647}, {-3e9, INT32_MIN}, {std::nan(""), 0}};
  for (const auto& [v, part] : cases) EXPECT_EQ(FFIntPart(v), part) << v;
}

TEST_F(Basic, OptionBlocksAreFreedWithTheRecords) {
  const int32_t before = MemCount();
  FFVideoOpts v;
  FFAudioOpts a;
  _memalloc_(v.Data, 64, __LINE__, "test.v", mkFresh);
  _memalloc_(a.Data, 64, __LINE__, "test.a", mkFresh);
  EXPECT_EQ(MemCount(), before + 2);
  FFVideoInit(v, fidTGA);  // re-initializing frees the old block too
  FFAudioFree(a);
  EXPECT_EQ(MemCount(), before);
  EXPECT_EQ(v.Data, nullptr);
  EXPECT_EQ(a.Data, nullptr);
}

TEST_F(Basic, TimeAndRateArithmetic) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(FFRoundProduct(2.5, 1.0), 2);  // halves round down
  EXPECT_EQ(FFRoundProduct(2.5001, 1.0), 3);
  EXPECT_EQ(FFRoundProduct(2.0, 1.25), 2);
  EXPECT_EQ(FFRoundProduct(0.0, 25.0), 0);
  EXPECT_EQ(FFRoundProduct(-1.0, 25.0), 0);
  EXPECT_EQ(FFRoundProduct(nan, 25.0), 0);
  EXPECT_EQ(FFRoundProduct(1e300, 1e10), 2147483647);  // saturates
  EXPECT_EQ(FFRoundProduct(3600.0, 44100.0), 158760000);
  EXPECT_EQ(FFRoundProduct3(2, 1.25, 1.0), 2);
  EXPECT_EQ(FFRoundProduct3(3, 0.5, 1.0), 1);  // 1.5 rounds down
  EXPECT_EQ(FFRoundProduct3(0, 1.0, 1.0), 0);
  EXPECT_EQ(FFRoundProduct3(1000000, 1e6, 1e6), 2147483647);
  EXPECT_DOUBLE_EQ(FFFramesToSeconds(50, 25.0), 2.0);
  EXPECT_EQ(FFFramesToSeconds(0, 25.0), 0.0);
  EXPECT_EQ(FFFramesToSeconds(10, 0.0), 0.0);
  EXPECT_EQ(FFFramesToSeconds(10, nan), 0.0);
  EXPECT_EQ(FFFramesToSeconds(-3, 25.0), 0.0);
  EXPECT_EQ(FFMulPositive(3, 4), 12);
  EXPECT_EQ(FFMulPositive(0, 4), 0);
  EXPECT_EQ(FFMulPositive(3, 0), 0);
  EXPECT_EQ(FFMulPositive(100000, 100000), 2147483647);
}

TEST_F(Basic, FourCharacterCodes) {
  EXPECT_EQ(FFMakeRGBA(1, 2, 3, 4), 0x04030201u);
  std::string s;
  FourCCToStr(FFMakeRGBA('D', 'I', 'B', ' '), s);
  EXPECT_EQ(s, "DIB ");
  EXPECT_TRUE(FourCCSame(FFMakeRGBA('x', 'v', 'i', 'd'), FFMakeRGBA('X', 'V', 'I', 'D')));
  EXPECT_FALSE(FourCCSame(FFMakeRGBA('x', 'v', 'i', 'd'), FFMakeRGBA('d', 'i', 'v', 'x')));
  EXPECT_FALSE(FourCCSame(FFMakeRGBA('[', 0, 0, 0), FFMakeRGBA('{', 0, 0, 0)));  // letters only
}

// The largest picture a reader makes: 2e9 bytes, computed without overflow, and the side limit
// the fuzz targets set through the test seam (a TGA reader then refuses a wider picture).
TEST_F(Basic, PictureSizeLimitAndItsTestSeam) {
  EXPECT_TRUE(FFPictureFits(40000, 50000, 1));
  EXPECT_FALSE(FFPictureFits(40000, 50000, 2));
  EXPECT_FALSE(FFPictureFits(0x7FFFFFFF, 0x7FFFFFFF, 4));
  EXPECT_FALSE(FFPictureFits(-1, 5, 1));
  EXPECT_TRUE(FFPictureFits(0, 5, 3));

  std::string tga(18, '\0');
  tga[2] = 2;                       // true colour
  tga[12] = 0x01, tga[13] = 0x10;   // width 4097
  tga[14] = 1;                      // height 1
  tga[16] = 24;
  tga += std::string(4097 * 3, 'x');
  const std::string path = test::MakeTempDir("limit") + "/wide.tga";
  test::WriteFile(path, tga);
  auto load = [&] {
    Qimg img;
    const int32_t cls = MonitoredNoRaise([&] { TGALoad_(path, img); });
    const int32_t code = GetErrorCode();
    ClearError();
    ImgFree(img);
    return std::pair<int32_t, int32_t>{cls, code};
  };
  FFSetPictureSideLimitForTest(4096);
  EXPECT_TRUE(FFPictureFits(4096, 4096, 4));
  EXPECT_FALSE(FFPictureFits(4097, 1, 1));
  EXPECT_EQ(load(), (std::pair<int32_t, int32_t>{ecImage, 4}));
  FFSetPictureSideLimitForTest(0);
  EXPECT_TRUE(FFPictureFits(4097, 1, 1));
  EXPECT_EQ(load(), (std::pair<int32_t, int32_t>{0, 0}));
}

TEST(FFBasic, ShortCopiesAndFillsWriteTheSpanAndNothingElse) {
  // Every length of the short forms and past them, at every alignment of a few: the bytes of
  // the span are the source's (or the value), the guard bytes on both sides are untouched.
  for (int64_t n = 0; n <= 40; ++n)
    for (int64_t at = 0; at < 4; ++at) {
      SCOPED_TRACE("length " + std::to_string(n) + " at " + std::to_string(at));
      std::vector<uint8_t> src(64), copy(64, 0xEE), fill(64, 0xEE);
      for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i + 1);
      FFCopyBytes(copy.data() + 8 + at, src.data() + 3, n);
      FFFillBytes(fill.data() + 8 + at, 0x42, n);
      for (int64_t i = 0; i < 64; ++i) {
        const bool inside = i >= 8 + at && i < 8 + at + n;
        ASSERT_EQ(copy[static_cast<size_t>(i)], inside ? src[static_cast<size_t>(i - 8 - at + 3)] : 0xEE) << i;
        ASSERT_EQ(fill[static_cast<size_t>(i)], inside ? 0x42 : 0xEE) << i;
      }
    }
}

}  // namespace
}  // namespace tavelo

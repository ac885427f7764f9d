// The TIFF unit: files made by ImageMagick and netpbm (every compression the unit names, palette,
// 1-bit fax, 16-bit, separate planes, tiles, several pages, alpha, CMYK, YCbCr) load as libtiff's
// own reference decode gives them; saves read back; damaged files fail without leaking libtiff's
// handle; the 16-bit stretch covers every sample.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "codecs/tiffcodec/tiffcodec.h"
#include "core/services/errors.h"
#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "formats/units/ff_tif.h"
#include "tests/formats/picture_test_util.h"

namespace tavelo {
namespace {

using test::MaxDiff;
using test::Outcome;
using test::Pic;
using test::Samples;
using TifUnit = test::PictureUnitTest;

struct Case {
  const char* Name;
  int32_t Bpp;
  int Tolerance;
};

TEST_F(TifUnit, LoadsLikeTheReferenceDecoder) {
  for (const Case& c :
       {Case{"tif_none", 24, 0}, Case{"tif_lzw", 24, 0}, Case{"tif_packbits", 24, 0}, Case{"tif_deflate", 24, 0},
        Case{"tif_jpeg", 24, 0}, Case{"tif_g3", 8, 0}, Case{"tif_g4", 8, 0}, Case{"tif_g4_im", 8, 0},
        Case{"tif_palette", 8, 0}, Case{"tif_palette4", 24, 0}, Case{"tif_grey8", 8, 0}, Case{"tif_rgb16", 24, 0},
        Case{"tif_planar", 24, 0}, Case{"tif_tiled", 24, 0}, Case{"tif_multipage", 24, 0}, Case{"tif_rgba", 32, 0},
        // Unassociated alpha through the RGBA reader and Adobe Deflate: colours as stored.
        Case{"tif_rgba_tiled", 32, 0}, Case{"tif_rgba_planar", 32, 0}, Case{"tif_rgba_deflate", 32, 0},
        Case{"tif_rgba16_tiled", 32, 1},
        Case{"tif_cm", 24, 0},
        // libtiff's RGBA reader and the references' own conversions round differently.
        Case{"tif_cmyk", 24, 2}, Case{"tif_ycbcr", 24, 2}}) {
    SCOPED_TRACE(c.Name);
    Qimg img;
    ASSERT_EQ(Outcome([&] { TIFLoad(Pic(std::string(c.Name) + ".tif"), img); }).first, 0) << GetErrorMessage();
    EXPECT_EQ(img.Bpp, c.Bpp);
    const int diff = MaxDiff(img, test::LoadRef(c.Name), Samples::High);
    EXPECT_GE(diff, 0);
    EXPECT_LE(diff, c.Tolerance);
    ImgFree(img);
  }
}

TEST_F(TifUnit, FaxPicturesAreIndexesIntoBlackAndWhite) {
  Qimg img;
  ASSERT_EQ(Outcome([&] { TIFLoad(Pic("tif_g4.tif"), img); }).first, 0);
  for (int64_t i = 0; i < img.Size; ++i) ASSERT_LE(img.Data[i], 1);
  // White is zero in these files.
  EXPECT_EQ(img.Palette[0], 255);
  EXPECT_EQ(img.Palette[3], 0);
  ImgFree(img);
}

TEST_F(TifUnit, InfoDescribesWhatALoadDelivers) {
  struct InfoCase {
    const char* Name;
    int32_t OrigBpp, Bpp, CodecId;
    const char* Codec;
  };
  for (const InfoCase& c : {InfoCase{"tif_lzw", 24, 24, 5, "Variable-Length-Code LZW (Lempel-Ziv & Welch)"},
                            InfoCase{"tif_g4", 1, 8, 4, "CCITT Group 4 fax encoding"},
                            InfoCase{"tif_g3", 1, 8, 3, "CCITT Group 3 fax encoding"},
                            InfoCase{"tif_packbits", 24, 24, 32773, "Macintosh RLE (PackBits)"},
                            InfoCase{"tif_deflate", 24, 24, 8, ""}, InfoCase{"tif_rgb16", 48, 24, 1, "Uncompressed"},
                            InfoCase{"tif_grey16", 16, 8, 1, "Uncompressed"}, InfoCase{"tif_rgba", 32, 32, 1, "Uncompressed"},
                            InfoCase{"tif_planar", 24, 24, 1, "Uncompressed"}, InfoCase{"tif_jpeg", 24, 24, 7, "JPEG DCT compression"},
                            InfoCase{"tif_palette4", 4, 24, 1, "Uncompressed"}}) {
    SCOPED_TRACE(c.Name);
    FFInfoRec info;
    const std::string path = Pic(std::string(c.Name) + ".tif");
    ASSERT_EQ(Outcome([&] { TIFInfo(path, info); }).first, 0);
    EXPECT_EQ(info.FormatId, fidTIFF);
    EXPECT_EQ(info.FileSize, static_cast<double>(test::ReadFile(path).size()));
    EXPECT_EQ(info.Video.OrigBpp, c.OrigBpp);
    EXPECT_EQ(info.Video.Bpp, c.Bpp);
    EXPECT_EQ(info.Video.BytesPP, c.Bpp / 8);
    EXPECT_EQ(info.Video.CodecId, c.CodecId);
    EXPECT_EQ(info.Video.CodecName, c.Codec);
    EXPECT_EQ(info.Video.Frames, 1);
    EXPECT_EQ(info.Video.HasVideo, -1);
    EXPECT_EQ(info.Video.VideoSupported, -1);
  }
}

TEST_F(TifUnit, CentimetresBecomeInches) {
  Qimg img;
  ASSERT_EQ(Outcome([&] { TIFLoad(Pic("tif_cm.tif"), img); }).first, 0);
  EXPECT_EQ(img.XRes, 254);  // 100 per centimetre
  EXPECT_EQ(img.YRes, 254);
  ImgFree(img);
}

// Writes TIFF files sample by sample through libtiff (as tiffcodec carries it).
struct TiffWriter {
  test::CodecLib lib{"tiffcodec"};
  decltype(&TIFFOpen) open = lib.Get<decltype(&TIFFOpen)>("TIFFOpen");
  decltype(&TIFFClose) close = lib.Get<decltype(&TIFFClose)>("TIFFClose");
  decltype(&TIFFSetField) set = lib.Get<decltype(&TIFFSetField)>("TIFFSetField");
  decltype(&TIFFWriteScanline) write = lib.Get<decltype(&TIFFWriteScanline)>("TIFFWriteScanline");
  decltype(&TIFFReadScanline) read = lib.Get<decltype(&TIFFReadScanline)>("TIFFReadScanline");
  decltype(&TIFFScanlineSize) scanline = lib.Get<decltype(&TIFFScanlineSize)>("TIFFScanlineSize");
  decltype(&TIFFWriteTile) writeTile = lib.Get<decltype(&TIFFWriteTile)>("TIFFWriteTile");

  // 16-bit samples, spp per pixel, rows top-down.
  // Planar: each sample in a plane of its own. Tile > 0: in tiles of tile x tile pixels.
  void Write16(const std::string& path, int w, int h, int spp, int photometric, const std::vector<uint16_t>& v,
               uint16_t alphaKind = EXTRASAMPLE_UNASSALPHA, bool planar = false, int tile = 0) {
    TIFF* t = open(path.c_str(), "w");
    ASSERT_NE(t, nullptr);
    set(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(w));
    set(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(h));
    set(t, TIFFTAG_BITSPERSAMPLE, 16);
    set(t, TIFFTAG_SAMPLESPERPIXEL, spp);
    set(t, TIFFTAG_PHOTOMETRIC, photometric);
    set(t, TIFFTAG_PLANARCONFIG, planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    if (spp == 2 || spp == 4) {
      const uint16_t extra[1] = {alphaKind};
      set(t, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    if (tile > 0) {
      set(t, TIFFTAG_TILEWIDTH, static_cast<uint32_t>(tile));
      set(t, TIFFTAG_TILELENGTH, static_cast<uint32_t>(tile));
      const int n = planar ? 1 : spp;
      std::vector<uint16_t> buf(static_cast<size_t>(tile) * tile * n);
      for (int s = 0; s < (planar ? spp : 1); ++s)
        for (int ty = 0; ty < h; ty += tile)
          for (int tx = 0; tx < w; tx += tile) {
            std::fill(buf.begin(), buf.end(), uint16_t{0xEEEE});  // past the picture: junk
            for (int y = ty; y < std::min(h, ty + tile); ++y)
              for (int x = tx; x < std::min(w, tx + tile); ++x)
                for (int c = 0; c < n; ++c)
                  buf[(static_cast<size_t>(y - ty) * tile + (x - tx)) * n + c] =
                      v[(static_cast<size_t>(y) * w + x) * spp + (planar ? s : c)];
            ASSERT_GE(writeTile(t, buf.data(), static_cast<uint32_t>(tx), static_cast<uint32_t>(ty), 0,
                                static_cast<uint16_t>(s)),
                      0);
          }
    } else if (planar) {
      std::vector<uint16_t> row(static_cast<size_t>(w));
      for (int s = 0; s < spp; ++s)
        for (int y = 0; y < h; ++y) {
          for (int x = 0; x < w; ++x) row[static_cast<size_t>(x)] = v[(static_cast<size_t>(y) * w + x) * spp + s];
          ASSERT_GE(write(t, row.data(), y, static_cast<uint16_t>(s)), 0);
        }
    } else {
      for (int y = 0; y < h; ++y)
        ASSERT_GE(write(t, const_cast<uint16_t*>(v.data()) + static_cast<size_t>(y) * w * spp, y, 0), 0);
    }
    close(t);
  }

  // An 8-bit palette picture of w x h with the given colour map (256 entries of each).
  void WritePalette(const std::string& path, int w, int h, const std::vector<uint16_t>& map) {
    TIFF* t = open(path.c_str(), "w");
    ASSERT_NE(t, nullptr);
    set(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(w));
    set(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(h));
    set(t, TIFFTAG_BITSPERSAMPLE, 8);
    set(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    set(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
    set(t, TIFFTAG_COLORMAP, map.data(), map.data() + 256, map.data() + 512);
    std::vector<uint8_t> row(static_cast<size_t>(w));
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) row[static_cast<size_t>(x)] = static_cast<uint8_t>(x + y);
      ASSERT_GE(write(t, row.data(), y, 0), 0);
    }
    close(t);
  }
};

TEST_F(TifUnit, SixteenBitGreyIsStretchedOverItsRange) {
  TiffWriter tw;
  const std::string dir = test::MakeTempDir("tif-16");
  // Values 1000 to 3550: 1000 gives 0, 3550 gives 255, 2275 (halfway) 127.5 rounded to even 128.
  std::vector<uint16_t> v = {1000, 3550, 2275, 1010, 3540, 1000};
  tw.Write16(dir + "/range.tif", 3, 2, 1, PHOTOMETRIC_MINISBLACK, v);
  Qimg img;
  ASSERT_EQ(Outcome([&] { TIFLoad(dir + "/range.tif", img); }).first, 0) << GetErrorMessage();
  EXPECT_EQ(img.Bpp, 8);
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 6), (std::vector<uint8_t>{0, 255, 128, 1, 254, 0}));
  EXPECT_EQ(img.Palette[3 * 200], 200);  // grey palette
  ImgFree(img);

  // One value everywhere: its high byte, not a division by zero.
  tw.Write16(dir + "/flat.tif", 2, 2, 1, PHOTOMETRIC_MINISBLACK, {40000, 40000, 40000, 40000});
  ASSERT_EQ(Outcome([&] { TIFLoad(dir + "/flat.tif", img); }).first, 0);
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 4), (std::vector<uint8_t>(4, 40000 >> 8)));
  ImgFree(img);

  // The real 16-bit file: the stretch of the reference's samples.
  ASSERT_EQ(Outcome([&] { TIFLoad(Pic("tif_grey16.tif"), img); }).first, 0);
  const test::RefPicture ref = test::LoadRef("tif_grey16");
  uint32_t lo = 65535, hi = 0;
  for (uint32_t s : ref.samples) lo = std::min(lo, s), hi = std::max(hi, s);
  const double scale = (hi - lo) / 255.0;
  int worst = 0;
  for (int i = 0; i < img.Width * img.Height; ++i)
    worst = std::max(worst, std::abs(img.Data[i] - static_cast<int>(std::nearbyint((ref.samples[i] - lo) / scale))));
  EXPECT_EQ(worst, 0);
  ImgFree(img);
}

TEST_F(TifUnit, SixteenBitStretchCoversEverySample) {
  TiffWriter tw;
  const std::string dir = test::MakeTempDir("tif-16-samples");
  // Grey and alpha: the extremes sit in the last pixels' samples.
  tw.Write16(dir + "/ga.tif", 2, 2, 2, PHOTOMETRIC_MINISBLACK, {2000, 2000, 2000, 2000, 2000, 2000, 1000, 3550});
  Qimg img;
  ASSERT_EQ(Outcome([&] { TIFLoad(dir + "/ga.tif", img); }).first, 0) << GetErrorMessage();
  EXPECT_EQ(img.Bpp, 8);  // the grey stays, the alpha goes
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 4), (std::vector<uint8_t>{100, 100, 100, 0}));
  ImgFree(img);
  FFInfoRec info;
  ASSERT_EQ(Outcome([&] { TIFInfo(dir + "/ga.tif", info); }).first, 0);
  EXPECT_EQ(info.Video.Bpp, 8);

  // RGB and alpha.
  tw.Write16(dir + "/rgba.tif", 1, 2, 4, PHOTOMETRIC_RGB, {1000, 2000, 3000, 3550, 1000, 1000, 1000, 1000});
  ASSERT_EQ(Outcome([&] { TIFLoad(dir + "/rgba.tif", img); }).first, 0) << GetErrorMessage();
  ASSERT_EQ(img.Bpp, 32);
  // B, G, R, A of (3000, 2000, 1000, 3550), then black and transparent.
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 8), (std::vector<uint8_t>{200, 100, 0, 255, 0, 0, 0, 0}));
  ImgFree(img);
}

// 16-bit colours stored multiplied by an associated alpha come out divided by it again, line by
// line and through the RGBA reader (planar) alike.
TEST_F(TifUnit, SixteenBitAssociatedAlphaIsDividedOut) {
  TiffWriter tw;
  const std::string dir = test::MakeTempDir("tif-16-assoc");
  // (0x4000, 0x2000, 0, alpha 0x8000): half-transparent (128, 64, 0) once divided; then white.
  const std::vector<uint16_t> v = {0x4000, 0x2000, 0, 0x8000, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
  for (bool planar : {false, true}) {
    SCOPED_TRACE(planar ? "planar" : "contiguous");
    tw.Write16(dir + "/assoc.tif", 1, 2, 4, PHOTOMETRIC_RGB, v, EXTRASAMPLE_ASSOCALPHA, planar);
    Qimg img;
    ASSERT_EQ(Outcome([&] { TIFLoad(dir + "/assoc.tif", img); }).first, 0) << GetErrorMessage();
    ASSERT_EQ(img.Bpp, 32);
    EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 8), (std::vector<uint8_t>{0, 64, 128, 128, 255, 255, 255, 255}));
    ImgFree(img);
  }
}

// The division at full precision, each sample rounded once to 8 bits, in every layout: strips or
// tiles (pictures wider and taller than a tile), one plane or four. Low alphas come out as the
// colour they hold, not as the rounding error of an 8-bit division.
TEST_F(TifUnit, SixteenBitAssociatedAlphaIsDividedAtFullPrecision) {
  TiffWriter tw;
  const std::string dir = test::MakeTempDir("tif-16-assoc-precise");
  const int w = 21, h = 18;
  std::vector<uint16_t> v(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < v.size() / 4; ++i) {
    const uint32_t a = static_cast<uint32_t>(150 + i * 97 % 2400);  // alpha 0.6 to 10 of 255
    v[4 * i] = static_cast<uint16_t>(a * (i % 7 + 1) / 8);
    v[4 * i + 1] = static_cast<uint16_t>(a * (i % 5) / 5);
    v[4 * i + 2] = static_cast<uint16_t>(a / 3);
    v[4 * i + 3] = static_cast<uint16_t>(a);
  }
  v[0] = 294, v[1] = 151, v[2] = 79, v[3] = 367;  // from a real file: (204, 105, 55), alpha 1
  v[4] = v[5] = v[6] = 0, v[7] = 0;               // transparent
  v[8] = 0x8000, v[9] = 0x1234, v[10] = 0xFFFF, v[11] = 0xFFFF;  // opaque
  struct Layout {
    const char* Name;
    bool Planar;
    int Tile;
  };
  for (const Layout& l : {Layout{"strips", false, 0}, Layout{"strips, planar", true, 0}, Layout{"tiles", false, 16},
                          Layout{"tiles, planar", true, 16}}) {
    SCOPED_TRACE(l.Name);
    tw.Write16(dir + "/a.tif", w, h, 4, PHOTOMETRIC_RGB, v, EXTRASAMPLE_ASSOCALPHA, l.Planar, l.Tile);
    Qimg img;
    ASSERT_EQ(Outcome([&] { TIFLoad(dir + "/a.tif", img); }).first, 0) << GetErrorMessage();
    ASSERT_EQ(img.Bpp, 32);
    EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + 12),
              (std::vector<uint8_t>{55, 105, 204, 1, 0, 0, 0, 0, 255, 18, 128, 255}));
    int wrong = 0;
    for (size_t i = 0; i < v.size() / 4; ++i) {
      const double a = v[4 * i + 3] == 0 ? 65535.0 : v[4 * i + 3];
      for (int c = 0; c < 3; ++c)
        wrong += img.Data[4 * i + static_cast<size_t>(c)] !=
                 std::min(255.0, std::floor(v[4 * i + 2 - static_cast<size_t>(c)] * 255.0 / a + 0.5));
      wrong += img.Data[4 * i + 3] != std::floor(v[4 * i + 3] * 255.0 / 65535.0 + 0.5);
    }
    EXPECT_EQ(wrong, 0);
    ImgFree(img);
  }
}

TEST_F(TifUnit, PaletteValuesBelow256AreTakenAsTheyAre) {
  TiffWriter tw;
  const std::string dir = test::MakeTempDir("tif-pal");
  std::vector<uint16_t> map(768);
  for (int i = 0; i < 256; ++i) {
    map[static_cast<size_t>(i)] = static_cast<uint16_t>(i);              // red
    map[static_cast<size_t>(256 + i)] = static_cast<uint16_t>(255 - i);  // green
    map[static_cast<size_t>(512 + i)] = 7;                               // blue
  }
  tw.WritePalette(dir + "/low.tif", 5, 3, map);
  Qimg img;
  ASSERT_EQ(Outcome([&] { TIFLoad(dir + "/low.tif", img); }).first, 0);
  EXPECT_EQ(img.Bpp, 8);
  EXPECT_EQ(test::Rgba(img, 4, 2), (std::array<int, 4>{6, 249, 7, 255}));
  ImgFree(img);
  for (auto& m : map) m = static_cast<uint16_t>(m * 257);  // the same colours at full 16-bit range
  tw.WritePalette(dir + "/wide.tif", 5, 3, map);
  ASSERT_EQ(Outcome([&] { TIFLoad(dir + "/wide.tif", img); }).first, 0);
  EXPECT_EQ(test::Rgba(img, 4, 2), (std::array<int, 4>{6, 249, 7, 255}));
  ImgFree(img);
}

void MakePicture(Qimg& img, int32_t w, int32_t h, int32_t bpp) {
  _imgalloc_(img, w, h, bpp, __LINE__, "test.picture");
  for (int64_t i = 0; i < img.Size; ++i) img.Data[i] = static_cast<uint8_t>((i * 37 + i / 7) & 0xFF);
  for (int i = 0; i < 768; ++i) img.Palette[i] = static_cast<uint8_t>(i * 11);
}

TEST_F(TifUnit, SavesReadBackWithEveryCompression) {
  const std::string dir = test::MakeTempDir("tif-save");
  for (int32_t bpp : {8, 16, 24, 32}) {
    for (int32_t codec : {1, 5, 32773, 32946, 12345}) {
      SCOPED_TRACE(std::to_string(bpp) + " bits, compression " + std::to_string(codec));
      Qimg src, back, want;
      MakePicture(src, 37, 11, bpp);
      FFVideoOpts opts;
      FFVideoInit(opts, fidTIFF);
      opts.Codec = codec;
      const std::string path = dir + "/p.tif";
      ASSERT_EQ(Outcome([&] { TIFSave(path, src, opts); }).first, 0) << GetErrorMessage();
      ASSERT_EQ(Outcome([&] { TIFLoad(path, back); }).first, 0) << GetErrorMessage();
      const int32_t saved = bpp == 16 ? 24 : bpp;
      ImgCopy(src, want);
      if (saved != bpp) ImgConvBpp(want, want, saved);
      EXPECT_EQ(back.Bpp, saved);
      ASSERT_EQ(back.Size, want.Size);
      EXPECT_EQ(0, std::memcmp(back.Data, want.Data, static_cast<size_t>(want.Size)));
      if (saved == 8) {
        EXPECT_EQ(back.Palette, want.Palette);
      }
      FFInfoRec info;
      ASSERT_EQ(Outcome([&] { TIFInfo(path, info); }).first, 0);
      EXPECT_EQ(info.Video.CodecId, codec == 12345 ? 1 : codec);
      // netpbm's reader agrees on the colours.
      if (saved != 32) {
        EXPECT_EQ(MaxDiff(back, test::ToolDecode("tifftopnm", "", path)), 0);
      }
      FFVideoFree(opts);
      ImgFree(src);
      ImgFree(back);
      ImgFree(want);
    }
  }
}

TEST_F(TifUnit, JpegCompressedSavesOfAnyHeight) {
  const std::string dir = test::MakeTempDir("tif-jpeg");
  Qimg src, back;
  MakePicture(src, 61, 301, 24);
  for (int64_t i = 0; i < src.Size; ++i) src.Data[i] = static_cast<uint8_t>(i / 3 % 61 * 4);  // smooth
  FFVideoOpts opts;
  FFVideoInit(opts, fidTIFF);
  opts.Codec = 7;
  ASSERT_EQ(Outcome([&] { TIFSave(dir + "/tall.tif", src, opts); }).first, 0) << GetErrorMessage() << " "
                                                                              << GetWarningText();
  ASSERT_EQ(Outcome([&] { TIFLoad(dir + "/tall.tif", back); }).first, 0) << GetErrorMessage();
  ASSERT_EQ(back.Size, src.Size);
  int worst = 0;
  for (int64_t i = 0; i < src.Size; ++i) worst = std::max(worst, std::abs(back.Data[i] - src.Data[i]));
  EXPECT_LE(worst, 12);
  FFVideoFree(opts);
  ImgFree(src);
  ImgFree(back);
}

TEST_F(TifUnit, OneBitSavesPackRowsFromTheHighBit) {
  TiffWriter tw;
  const std::string dir = test::MakeTempDir("tif-1bit");
  // 10 pixels wide: white where x is 0, 8 or 9 (pixel 9 light grey), black elsewhere.
  Qimg src, back;
  _imgalloc_(src, 10, 2, 24, __LINE__, "test.bilevel");
  std::memset(src.Data, 0, static_cast<size_t>(src.Size));
  for (int y = 0; y < 2; ++y)
    for (int x : {0, 8, 9}) std::memset(src.Data + (y * 10 + x) * 3, x == 9 ? 200 : 255, 3);
  for (int32_t codec : {2, 3, 4}) {
    SCOPED_TRACE(codec);
    FFVideoOpts opts;
    FFVideoInit(opts, fidTIFF);
    opts.Codec = codec;
    const std::string path = dir + "/bw" + std::to_string(codec) + ".tif";
    ASSERT_EQ(Outcome([&] { TIFSave(path, src, opts); }).first, 0) << GetErrorMessage();
    TIFF* t = tw.open(path.c_str(), "r");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(tw.scanline(t), 2);
    uint8_t row[2] = {};
    ASSERT_GE(tw.read(t, row, 0, 0), 0);
    tw.close(t);
    EXPECT_EQ(row[0], 0x80);
    EXPECT_EQ(row[1], 0xC0);  // pixels 8 and 9 in the two high bits, the rest 0
    ASSERT_EQ(Outcome([&] { TIFLoad(path, back); }).first, 0) << GetErrorMessage();
    EXPECT_EQ(back.Bpp, 8);
    EXPECT_EQ(std::vector<uint8_t>(back.Data, back.Data + 10), (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(test::Rgba(back, 0, 0), (std::array<int, 4>{255, 255, 255, 255}));
    ImgFree(back);
    FFVideoFree(opts);
  }
  ImgFree(src);
}

TEST_F(TifUnit, FailuresReportAndLeakNoHandle) {
  const std::string dir = test::MakeTempDir("tif-bad");
  const int fds = test::OpenDescriptors();
  Qimg img;
  EXPECT_EQ(Outcome([&] { TIFLoad(dir + "/missing.tif", img); }), (std::pair<int32_t, int32_t>{ecImage, 8}));
  // libtiff's own text went to the warning slot.
  EXPECT_EQ(GetWarningClass(), ecText);
  EXPECT_NE(GetWarningText().find("missing.tif"), std::string::npos) << GetWarningText();
  test::WriteFile(dir + "/text.tif", "this is not a TIFF file at all");
  EXPECT_EQ(Outcome([&] { TIFLoad(dir + "/text.tif", img); }), (std::pair<int32_t, int32_t>{ecImage, 8}));

  // Cut-off files: the header opens, the data is missing.
  for (const char* name : {"tif_lzw", "tif_g4", "tif_tiled", "tif_grey16", "tif_jpeg", "tif_planar"}) {
    const std::string good = test::ReadFile(Pic(std::string(name) + ".tif"));
    for (size_t len : {good.size() / 3, good.size() - 40}) {
      test::WriteFile(dir + "/cut.tif", good.substr(0, len));
      const auto out = Outcome([&] { TIFLoad(dir + "/cut.tif", img); });
      if (out.first == 0) {
        ImgFree(img);  // libtiff found what it needed (a directory at the file's start)
      } else {
        EXPECT_EQ(out.first, ecImage) << name << " cut at " << len;
        EXPECT_FALSE(ImgAssigned(img));
      }
    }
  }
  // Random damage: any outcome but a crash.
  std::mt19937 rng(3);
  for (const char* name : {"tif_lzw", "tif_packbits", "tif_g3", "tif_palette", "tif_rgba"}) {
    const std::string good = test::ReadFile(Pic(std::string(name) + ".tif"));
    for (int round = 0; round < 30; ++round) {
      std::string b = good;
      for (int k = 0; k < 4; ++k) b[8 + rng() % (b.size() - 8)] = static_cast<char>(rng());
      test::WriteFile(dir + "/random.tif", b);
      if (Outcome([&] { TIFLoad(dir + "/random.tif", img); }).first == 0) ImgFree(img);
      FFInfoRec info;
      Outcome([&] { TIFInfo(dir + "/random.tif", info); });
    }
  }
  EXPECT_EQ(test::OpenDescriptors(), fds);
}

// The lowest and the end address of what the process maps from files whose path ends in name.
std::pair<uintptr_t, uintptr_t> MappedRange(const std::string& name) {
  std::ifstream maps("/proc/self/maps");
  uintptr_t lo = UINTPTR_MAX, hi = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.size() < name.size() || line.compare(line.size() - name.size(), name.size(), name) != 0) continue;
    unsigned long a = 0, b = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx", &a, &b) != 2) continue;
    lo = std::min<uintptr_t>(lo, a);
    hi = std::max<uintptr_t>(hi, b);
  }
  return {lo, hi};
}

TEST_F(TifUnit, ReadsAfterEachReloadOfTheLibrary) {
  // libtiff stays where it is (another part of the process uses it), while tiffcodec comes back
  // elsewhere each time because its old place was taken: every call must go to the library now loaded.
  void* libtiff = dlopen("libtiff.so.6", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(libtiff, nullptr);
  std::vector<std::pair<void*, size_t>> taken;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const auto [lo, hi] = MappedRange("/tiffcodec.so");
    ASSERT_LT(lo, hi);
    TIFDllFree();
    void* old = reinterpret_cast<void*>(lo);
    ASSERT_EQ(mmap(old, hi - lo, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0), old);
    taken.emplace_back(old, hi - lo);
    TIFDllLoad();
    Qimg img;
    ASSERT_EQ(Outcome([&] { TIFLoad(Pic("tif_lzw.tif"), img); }).first, 0) << GetErrorMessage();
    EXPECT_EQ(MaxDiff(img, test::LoadRef("tif_lzw"), Samples::High), 0);
    ImgFree(img);
  }
  for (const auto& [at, size] : taken) munmap(at, size);
  dlclose(libtiff);
}

TEST_F(TifUnit, UnreadableLayoutsAreNotSupported) {
  TiffWriter tw;
  const std::string dir = test::MakeTempDir("tif-float");
  TIFF* t = tw.open((dir + "/float.tif").c_str(), "w");
  ASSERT_NE(t, nullptr);
  tw.set(t, TIFFTAG_IMAGEWIDTH, 2u);
  tw.set(t, TIFFTAG_IMAGELENGTH, 1u);
  tw.set(t, TIFFTAG_BITSPERSAMPLE, 32);
  tw.set(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  tw.set(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
  tw.set(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  float row[2] = {0.25f, 0.75f};
  ASSERT_GE(tw.write(t, row, 0, 0), 0);
  tw.close(t);
  Qimg img;
  EXPECT_EQ(Outcome([&] { TIFLoad(dir + "/float.tif", img); }), (std::pair<int32_t, int32_t>{ecImage, 1}));
  FFInfoRec info;
  ASSERT_EQ(Outcome([&] { TIFInfo(dir + "/float.tif", info); }).first, 0);
  EXPECT_EQ(info.Video.VideoSupported, 0);
  EXPECT_EQ(info.Video.OrigBpp, 32);
}

TEST_F(TifUnit, FailedSaveKeepsTheOldFile) {
  const std::string dir = test::MakeTempDir("tif-keep");
  test::WriteFile(dir + "/old.tif", "old contents");
  Qimg empty;
  FFVideoOpts opts;
  FFVideoInit(opts, fidTIFF);
  EXPECT_NE(Outcome([&] { TIFSave(dir + "/old.tif", empty, opts); }).first, 0);
  EXPECT_EQ(test::ReadFile(dir + "/old.tif"), "old contents");
  Qimg src;
  MakePicture(src, 4, 4, 24);
  EXPECT_EQ(Outcome([&] { TIFSave(dir + "/no/such/folder/x.tif", src, opts); }), (std::pair<int32_t, int32_t>{ecImage, 11}));
  FFVideoFree(opts);
  ImgFree(src);
}

}  // namespace
}  // namespace tavelo

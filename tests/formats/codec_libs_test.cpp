#include <gtest/gtest.h>

#include <filesystem>

#include "formats/ff_basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "core/services/trace.h"
#include "tests/formats/format_fixture.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using CodecLibs = test::FormatTest;

void LoadAll() {
  for (int i = 0; i < clCount; ++i) FFLoadCodecLib(i);
}

bool InTable(int32_t id, int32_t which) {
  FFFormatRec rec;
  return FFGetFormatById(rec, id, which);
}

TEST_F(CodecLibs, GetProcKeepsOneAllFoundFlag) {
  bool allFound = true;
  EXPECT_EQ(FFGetProc(nullptr, allFound, "x"), nullptr);
  EXPECT_FALSE(allFound);
  const std::string dir = test::MakeTempDir("codecs");
  std::filesystem::copy_file(TAVELO_TEST_CODEC, dir + "/t.so");
  platform::HMODULE h = platform::LoadLibrary((dir + "/t.so").c_str());
  ASSERT_NE(h, nullptr);
  allFound = true;
  EXPECT_NE(FFGetProc(h, allFound, "ReadXpm"), nullptr);
  EXPECT_TRUE(allFound);
  EXPECT_EQ(FFGetProc(h, allFound, "WriteXpm"), nullptr);
  EXPECT_FALSE(allFound);
  EXPECT_NE(FFGetProc(h, allFound, "ReadXpm"), nullptr);
  EXPECT_FALSE(allFound);  // stays false
  platform::FreeLibrary(h);
}

TEST_F(CodecLibs, MissingLibrariesWithdrawTheirFormatsFromBothTables) {
  platform::SetLibraryFolder(test::MakeTempDir("empty-codecs"));
  LoadAll();
  for (int32_t id : {fidMPEG, fidMPA, fidAC3, fidZMV, fidOGV, fidOGA, fidCINE, fidWMV, fidWMA, fidJPEG, fidJP2,
                     fidPNG, fidTIFF, fidXPM}) {
    EXPECT_FALSE(InTable(id, 1)) << id;
    EXPECT_FALSE(InTable(id, 2)) << id;
  }
  // GIF reading is the unit's own; AVI is read without its fallback decoder.
  EXPECT_TRUE(InTable(fidGIF, 1));
  EXPECT_FALSE(InTable(fidGIF, 2));
  EXPECT_TRUE(InTable(fidAVI, 1));
  EXPECT_TRUE(InTable(fidAVI, 2));
  for (int32_t id : {fidTGA, fidPCX, fidBMP, fidFLIC, fidWAV, fidSGI, fidRAS, fidPNM, fidBAY})
    EXPECT_TRUE(InTable(id, 1)) << id;

  std::string all, formats, save;
  FFMakeLoadFilter(fkStill, 0, all, formats);
  EXPECT_EQ(all,
            "All Images|*.gif;*.giff;*.bmp;*.dib;*.rle;*.ras;*.sun;*.im1;*.rast;*.rgb;*.rgba;*.bw;*.sgi;*.pnm;"
            "*.ppm;*.pgm;*.pcx;*.tga;*.targa;*.bay;*.tp2");
  EXPECT_EQ(formats,
            "BAY|*.bay;*.tp2|BMP|*.bmp;*.dib;*.rle|GIF|*.gif;*.giff|PCX|*.pcx|PNM|*.pnm;*.ppm;*.pgm|"
            "RGB|*.ras;*.sun;*.im1;*.rast|SGI|*.rgb;*.rgba;*.bw;*.sgi|TGA|*.tga;*.targa");
  FFMakeSaveFilter(fkStill, 0, save);
  EXPECT_EQ(save,
            "All Supported Formats|*.bmp;*.dib;*.pcx;*.ppm;*.pnm;*.ras;*.sun;*.im1;*.rgb;*.sgi;*.tga|"
            "BMP|*.bmp;*.dib|PCX|*.pcx|PPM|*.ppm;*.pnm|RGB|*.ras;*.sun;*.im1|SGI|*.rgb;*.sgi|TGA|*.tga");
  EXPECT_EQ(FFGetFormatId("/a/b.jpg", 1), kNoFormat);
  EXPECT_EQ(FFGetFormatId("/a/b.ogg", 1), kNoFormat);
  for (int i = 0; i < clCount; ++i) {
    EXPECT_FALSE(FFCodecLibReady(i));
    EXPECT_EQ(FFCodecProc(i, 0), nullptr);
  }
}

TEST_F(CodecLibs, MpegLoaderWritesItsTraceLines) {
  const std::string dir = test::MakeTempDir("trace");
  SetTraceFile(dir + "/log.txt");
  TraceStart("Tavelo 3.1.0");
  platform::SetLibraryFolder(dir);  // no codec libraries here
  FFLoadCodecLib(clMpeg);
  FFLoadCodecLib(clJpeg);
  TraceStop();
  const std::string log = test::ReadFile(dir + "/log.txt");
  EXPECT_NE(log.find("#LoadLibrary: MPEGCODEC failed"), std::string::npos) << log;
  EXPECT_NE(log.find("#DLL load failed: MPG"), std::string::npos);
  EXPECT_EQ(log.find("JPG"), std::string::npos);  // only the MPEG loader says so
  for (int32_t id : {fidMPEG, fidMP4, fidMPA, fidAC3, fidMPEGX}) EXPECT_FALSE(InTable(id, 1)) << id;
}

TEST_F(CodecLibs, CompleteLibraryKeepsItsFormatAndIncompleteOneStaysLoaded) {
  const std::string dir = test::MakeTempDir("codecs");
  std::filesystem::copy_file(TAVELO_TEST_CODEC, dir + "/jpegcodec.so");
  std::filesystem::copy_file(TAVELO_TEST_CODEC, dir + "/xpmcodec.so");  // lacks WriteXpm
  platform::SetLibraryFolder(dir);
  LoadAll();
  EXPECT_TRUE(FFCodecLibReady(clJpeg));
  EXPECT_NE(FFCodecProc(clJpeg, 2), nullptr);  // jpg_write_file
  EXPECT_EQ(FFCodecProc(clJpeg, 3), nullptr);  // beyond its exports
  EXPECT_TRUE(InTable(fidJPEG, 1));
  EXPECT_TRUE(InTable(fidJPEG, 2));
  EXPECT_EQ(FFGetFormatId("/a/b.jpeg", 1), fidJPEG);

  EXPECT_FALSE(FFCodecLibReady(clXpm));
  EXPECT_EQ(FFCodecProc(clXpm, 0), nullptr);  // ReadXpm resolved, but is never handed out
  EXPECT_NE(FFCodecLibrary(clXpm).Module, nullptr);  // loaded until shut-down
  EXPECT_FALSE(InTable(fidXPM, 1));
  EXPECT_FALSE(InTable(fidXPM, 2));

  FFLoadCodecLib(clJpeg);  // a second load changes nothing
  EXPECT_TRUE(FFCodecLibReady(clJpeg));
  FFFreeCodecLib(clXpm);
  EXPECT_EQ(FFCodecLibrary(clXpm).Module, nullptr);
}

TEST_F(CodecLibs, WindowsMediaThatCannotWriteLeavesOnlyTheWriteTable) {
  const std::string dir = test::MakeTempDir("codecs");
  std::filesystem::copy_file(TAVELO_TEST_CODEC, dir + "/wmcodec.so");
  platform::SetLibraryFolder(dir);
  // Before the loader ran, the check is not spent.
  EXPECT_TRUE(InTable(fidWMV, 2));
  LoadAll();
  EXPECT_TRUE(FFCodecLibReady(clWm));
  EXPECT_TRUE(InTable(fidWMV, 1));
  EXPECT_TRUE(InTable(fidWMA, 1));
  EXPECT_FALSE(InTable(fidWMV, 2));  // the library answered it cannot write
  EXPECT_FALSE(InTable(fidWMA, 2));
  EXPECT_FALSE(FFCanSave(fidWMA));
}

TEST_F(CodecLibs, IncompleteWindowsMediaLibraryIsReleasedAtOnce) {
  const std::string dir = test::MakeTempDir("codecs");
  std::filesystem::copy_file(TAVELO_TEST_CODEC, dir + "/wmcodec.so");
  std::filesystem::copy_file(TAVELO_TEST_CODEC, dir + "/oggcodec.so");  // no ogg_* exports at all
  platform::SetLibraryFolder(dir);
  FFLoadCodecLib(clOgg);
  EXPECT_NE(FFCodecLibrary(clOgg).Module, nullptr);
  EXPECT_FALSE(InTable(fidOGV, 1));
  // Rename an export away by loading the library under a name whose export list it does not meet.
  FFCodecLib& wm = FFCodecLibrary(clWm);
  const char* const* saved = wm.Exports;
  static const char* const kMissing[] = {"wmv_open", "wmv_not_there"};
  wm.Exports = kMissing;
  wm.ExportCount = 2;
  FFLoadCodecLib(clWm);
  EXPECT_EQ(wm.Module, nullptr);
  EXPECT_FALSE(InTable(fidWMV, 1));
  EXPECT_FALSE(InTable(fidWMA, 2));
  wm.Exports = saved;
  wm.ExportCount = 12;
}

}  // namespace
}  // namespace tavelo

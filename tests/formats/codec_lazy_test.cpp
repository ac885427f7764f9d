#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/services/errors.h"
#include "core/services/trace.h"
#include "formats/conform.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "platform/dynlib/dynlib.h"
#include "tests/formats/format_fixture.h"
#include "tests/formats/picture_test_util.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using LazyCodecs = test::FormatTest;

// Whether the file is mapped into this process, as the kernel sees it.
bool Mapped(const std::string& path) {
  const std::string real = std::filesystem::canonical(path).string();
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.size() >= real.size() && line.compare(line.size() - real.size(), real.size(), real) == 0) return true;
  return false;
}

// Every row of both tables, as the rest of the program reads them.
std::vector<std::string> Tables() {
  std::vector<std::string> rows;
  for (int which : {ffRead, ffWrite}) {
    FFFormatRec rec;
    for (int32_t i = 0; FFGetFormatByIndex(rec, i, which); ++i)
      rows.push_back(std::to_string(which) + ":" + std::to_string(rec.FormatId) + ":" + rec.Extensions);
  }
  std::string all, formats, save;
  FFMakeLoadFilter(0, 0, all, formats);
  FFMakeSaveFilter(0, 0, save);
  rows.push_back(all + "|" + formats + "|" + save);
  return rows;
}

// A codec folder with a complete JPEG library, a Windows Media library that cannot write, an XPM
// library that lacks WriteXpm and nothing else.
std::string MixedFolder() {
  const std::string dir = test::MakeTempDir("codecs");
  for (const char* name : {"jpegcodec.so", "wmcodec.so", "xpmcodec.so"})
    std::filesystem::copy_file(TAVELO_TEST_CODEC, dir + "/" + name);
  return dir;
}

TEST_F(LazyCodecs, StartUpMapsNoCompleteLibraryAndTheFirstCallLoadsIt) {
  const std::string dir = MixedFolder();
  platform::SetLibraryFolder(dir);
  ConformUnitInit();
  EXPECT_FALSE(Mapped(dir + "/jpegcodec.so"));
  EXPECT_TRUE(FFCodecLibReady(clJpeg));  // asking does not load it
  EXPECT_FALSE(Mapped(dir + "/jpegcodec.so"));
  EXPECT_EQ(FFGetFormatId("/a/b.jpg", ffRead), fidJPEG);
  // The incomplete library went through its loader at start-up and stays until shut-down.
  EXPECT_TRUE(Mapped(dir + "/xpmcodec.so"));
  EXPECT_EQ(FFGetFormatId("/a/b.xpm", ffRead), kNoFormat);

  // Decoding threads may ask first: the library loads once and all get the same call.
  std::vector<void*> got(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < got.size(); ++i) threads.emplace_back([&got, i] { got[i] = FFCodecProc(clJpeg, 2); });
  for (std::thread& t : threads) t.join();
  EXPECT_NE(got[0], nullptr);
  for (void* p : got) EXPECT_EQ(p, got[0]);
  EXPECT_TRUE(Mapped(dir + "/jpegcodec.so"));
  EXPECT_TRUE(FFCodecLibrary(clJpeg).Loaded);

  ConformUnitDone();
  EXPECT_FALSE(Mapped(dir + "/jpegcodec.so"));
}

TEST_F(LazyCodecs, WithEveryLibraryBuiltStartUpMapsNoneOfThem) {
  platform::SetLibraryFolder(TAVELO_CODEC_DIR);
  ConformUnitInit();
  for (int i = 0; i < clCount; ++i) {
    const FFCodecLib& lib = FFCodecLibrary(i);
    SCOPED_TRACE(lib.FileName);
    // pngcodec and tiffcodec hand out the calls of the libraries they carry: those count too.
    EXPECT_EQ(platform::CheckLibraryExports(lib.FileName, lib.Exports, lib.ExportCount),
              platform::LibraryCheck::kComplete);
    EXPECT_FALSE(Mapped(platform::LibraryPath(lib.FileName)));
    EXPECT_TRUE(FFCodecLibReady(i));
  }
  FFFormatRec row;
  EXPECT_EQ(FFGetFormatByIndex(row, 24, ffRead) && row.FormatId == fidWMA, true);
  EXPECT_EQ(FFGetFormatId("/a/b.tif", ffRead), fidTIFF);
  EXPECT_NE(FFCodecProc(clTiff, 0), nullptr);
  EXPECT_TRUE(Mapped(platform::LibraryPath("tiffcodec.dll")));
  ConformUnitDone();
}

TEST_F(LazyCodecs, StartUpLeavesTheTablesAndTraceAsLoadingEveryLibraryDoes) {
  const std::string dir = MixedFolder();
  platform::SetLibraryFolder(dir);
  const std::string log = test::MakeTempDir("trace") + "/log.txt";
  auto run = [&](bool lazily, std::string& trace) {
    SetTraceFile(log);
    TraceStart("test");
    if (lazily) {
      ConformUnitInit();
    } else {
      for (int i = 0; i < clCount; ++i) FFLoadCodecLib(i);
    }
    TraceStop();
    trace = test::ReadFile(log);
    std::vector<std::string> tables = Tables();
    if (lazily) ConformUnitDone();
    Reset();
    platform::SetLibraryFolder(dir);
    return tables;
  };
  std::string eagerTrace, lazyTrace;
  const std::vector<std::string> eager = run(false, eagerTrace);
  const std::vector<std::string> lazy = run(true, lazyTrace);
  EXPECT_EQ(lazy, eager);
  // The missing MPEG library is reported at start-up as before.
  EXPECT_NE(lazyTrace.find("#LoadLibrary: MPEGCODEC failed"), std::string::npos) << lazyTrace;
  EXPECT_NE(lazyTrace.find("#DLL load failed: MPG"), std::string::npos);
  // Exactly the missing or incomplete libraries' rows are blank; the Windows Media library was
  // loaded to be asked whether it writes, at the first look at the save table.
  FFFormatRec row;
  ConformUnitInit();
  for (int32_t id : {fidJPEG, fidWMV, fidWMA, fidAVI, fidGIF, fidTGA, fidPNM})
    EXPECT_TRUE(FFGetFormatById(row, id, ffRead)) << id;
  for (int32_t id : {fidXPM, fidMPEG, fidPNG, fidTIFF, fidJP2, fidZMV, fidOGV, fidOGA, fidCINE})
    EXPECT_FALSE(FFGetFormatById(row, id, ffRead)) << id;
  EXPECT_FALSE(Mapped(dir + "/wmcodec.so"));
  EXPECT_FALSE(FFGetFormatById(row, fidWMV, ffWrite));
  EXPECT_TRUE(Mapped(dir + "/wmcodec.so"));
  EXPECT_TRUE(FFGetFormatById(row, fidJPEG, ffWrite));
  EXPECT_FALSE(Mapped(dir + "/jpegcodec.so"));
  ConformUnitDone();
}

TEST_F(LazyCodecs, LibraryGoneBeforeItsFirstCallWithdrawsItsFormatsThen) {
  const std::string dir = MixedFolder();
  platform::SetLibraryFolder(dir);
  ConformUnitInit();
  EXPECT_EQ(FFGetFormatId("/a/b.jpg", ffRead), fidJPEG);
  std::filesystem::remove(dir + "/jpegcodec.so");
  EXPECT_EQ(FFCodecProc(clJpeg, 0), nullptr);
  EXPECT_FALSE(FFCodecLibReady(clJpeg));
  FFFormatRec row;
  EXPECT_FALSE(FFGetFormatById(row, fidJPEG, ffRead));
  EXPECT_FALSE(FFGetFormatById(row, fidJPEG, ffWrite));
  // A JPEG file is then no picture the program knows, as when the library was never there.
  test::WriteFile(dir + "/x.jpg", std::string("\xFF\xD8\xFF\xE0", 4) + std::string(64, '\0'));
  Qimg img;
  EXPECT_EQ(test::Outcome([&] { ImgLoad(dir + "/x.jpg", img, kNoFormat, nullptr); }),
            (std::pair<int32_t, int32_t>{ecImage, 2}));
  ConformUnitDone();
}

}  // namespace
}  // namespace tavelo

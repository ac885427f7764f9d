// Without one of the picture codec libraries its format leaves both tables and both filters,
// while the formats of the libraries that are there stay; a program started without them runs,
// refuses those files and reads the others.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#include "core/services/errors.h"
#include "formats/conform.h"
#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "tests/formats/picture_test_util.h"

namespace tavelo {
namespace {

using test::Outcome;
using test::Pic;
using MissingCodecs = test::FormatTest;

struct Lib {
  int Index;
  const char* File;
  int32_t Fid;
  const char* Pattern;  // of the format, in the open and the save filter
  const char* Sample;   // a test picture of the format
};

const Lib kLibs[] = {{clJpeg, "jpegcodec.so", fidJPEG, "*.jpg", "jpg_baseline.jpg"},
                     {clJp2, "jp2codec.so", fidJP2, "*.jp2", "jp2_lossless.jp2"},
                     {clPng, "pngcodec.so", fidPNG, "*.png", "png_rgb.png"},
                     {clTiff, "tiffcodec.so", fidTIFF, "*.tif", "tif_none.tif"}};

// A codec folder with the picture codec libraries of the build tree, all but the one skipped.
std::string FolderWithout(const char* skipped) {
  const std::string dir = test::MakeTempDir("codecs");
  for (const Lib& l : kLibs)
    if (std::string(l.File) != skipped)
      std::filesystem::copy_file(std::string(TAVELO_CODEC_DIR) + "/" + l.File, dir + "/" + l.File);
  return dir;
}

bool InTable(int32_t id, int32_t which) {
  FFFormatRec rec;
  return FFGetFormatById(rec, id, which);
}

TEST_F(MissingCodecs, EachLibraryTakesOnlyItsOwnFormat) {
  for (const Lib& missing : kLibs) {
    SCOPED_TRACE(missing.File);
    Reset();
    platform::SetLibraryFolder(FolderWithout(missing.File));
    for (const Lib& l : kLibs) FFLoadCodecLib(l.Index);
    std::string all, formats, save;
    FFMakeLoadFilter(0, 0, all, formats);
    FFMakeSaveFilter(0, 0, save);
    for (const Lib& l : kLibs) {
      const bool present = &l != &missing;
      EXPECT_EQ(InTable(l.Fid, ffRead), present) << l.File;
      EXPECT_EQ(InTable(l.Fid, ffWrite), present) << l.File;
      EXPECT_EQ(all.find(l.Pattern) != std::string::npos, present) << l.Pattern;
      EXPECT_EQ(formats.find(l.Pattern) != std::string::npos, present) << l.Pattern;
      EXPECT_EQ(save.find(l.Pattern) != std::string::npos, present) << l.Pattern;
    }
    // A file of the withdrawn format is no picture the program knows.
    Qimg img;
    EXPECT_EQ(Outcome([&] { ImgLoad(Pic(missing.Sample), img, kNoFormat, nullptr); }),
              (std::pair<int32_t, int32_t>{ecImage, 2}));
    EXPECT_FALSE(ImgAssigned(img));
  }
}

// Runs the probe program copied into folder (its codec libraries are looked for in folder/codecs)
// and gives its exit status; -1 when it did not end normally.
int ProbeStatus(const std::string& folder, const std::string& file) {
  const std::string probe = folder + "/tavelo-probe";
  if (!std::filesystem::exists(probe)) std::filesystem::copy_file(TAVELO_PROBE, probe);
  const std::string command = "'" + probe + "' info '" + file + "' >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(MissingCodecs, TheProgramStartsWithoutThem) {
  // No codec folder at all.
  const std::string bare = test::MakeTempDir("bare-program");
  for (const Lib& l : kLibs) EXPECT_EQ(ProbeStatus(bare, Pic(l.Sample)), 1) << l.Sample;
  // Only the JPEG library beside it.
  const std::string some = test::MakeTempDir("some-codecs");
  std::filesystem::create_directories(some + "/codecs");
  std::filesystem::copy_file(std::string(TAVELO_CODEC_DIR) + "/jpegcodec.so", some + "/codecs/jpegcodec.so");
  EXPECT_EQ(ProbeStatus(some, Pic("jpg_baseline.jpg")), 0);
  EXPECT_EQ(ProbeStatus(some, Pic("png_rgb.png")), 1);
}

}  // namespace
}  // namespace tavelo

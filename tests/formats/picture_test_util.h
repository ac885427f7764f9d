// Shared by the tests of the picture units that read through codec libraries (PNG, TIFF, JPEG,
// JPEG 2000, packed pictures): the codec libraries loaded from the build tree, pictures compared
// with the reference decodes of the generated test pictures, and outcomes of monitored work.
#pragma once
#include <dirent.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include "core/media/img_basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "formats/ff_codec_libs.h"
#include "platform/dynlib/dynlib.h"
#include "tests/codecs/ref_picture.h"
#include "tests/formats/format_fixture.h"
#include "tests/support/test_env.h"

namespace tavelo::test {

// Every test starts with the picture codec libraries of the build tree loaded (and the tables
// whole), and leaves everything unloaded again.
class PictureUnitTest : public FormatTest {
 protected:
  void SetUp() override {
    FormatTest::SetUp();
    platform::SetLibraryFolder(TAVELO_CODEC_DIR);
    for (int lib : {clJpeg, clJp2, clPng, clTiff}) FFLoadCodecLib(lib);
    for (int lib : {clJpeg, clJp2, clPng, clTiff}) ASSERT_TRUE(FFCodecLibReady(lib)) << "codec library " << lib;
    memBefore_ = MemCount();
    filesBefore_ = FCount();
  }
  void TearDown() override {
    // Whatever a test loaded it freed; a failed load left nothing tracked behind.
    EXPECT_EQ(MemCount(), memBefore_) << "tracked memory blocks left";
    EXPECT_EQ(FCount(), filesBefore_) << "tracked files left open";
    FormatTest::TearDown();
  }

 private:
  int32_t memBefore_ = 0;
  int32_t filesBefore_ = 0;
};

inline std::string Pic(const std::string& name) { return MediaPath("pictures/" + name); }

// Runs work in a no-raise frame; the error class and code it ended with.
inline std::pair<int32_t, int32_t> Outcome(const std::function<void()>& work) {
  MonitoredNoRaise(work);
  return {GetErrorClass(), GetErrorCode()};
}

// A pixel as R, G, B, A: palette pictures through their palette, A 255 below 32 bits.
inline std::array<int, 4> Rgba(const Qimg& img, int x, int y) {
  const uint8_t* p = img.Data + (static_cast<size_t>(y) * img.Width + x) * img.BytesPP;
  if (img.Bpp == 8) {
    const uint8_t* e = img.Palette.data() + 3 * p[0];
    return {e[2], e[1], e[0], 255};
  }
  return {p[2], p[1], p[0], img.BytesPP == 4 ? p[3] : 255};
}

enum class Samples { Scaled, High };

// The reference's colour of a pixel as R, G, B, A (grey references give R = G = B).
inline std::array<int, 4> RefRgba(const RefPicture& ref, int x, int y, Samples how) {
  auto s = [&](int c) { return static_cast<int>(how == Samples::High ? ref.High(x, y, c) : ref.Scaled(x, y, c)); };
  switch (ref.channels) {
    case 1: return {s(0), s(0), s(0), 255};
    case 2: return {s(0), s(0), s(0), s(1)};
    case 3: return {s(0), s(1), s(2), 255};
    default: return {s(0), s(1), s(2), s(3)};
  }
}

// The largest difference of any channel between a picture and its reference; -1 for another size.
inline int MaxDiff(const Qimg& img, const RefPicture& ref, Samples how = Samples::Scaled) {
  if (img.Width != ref.width || img.Height != ref.height) return -1;
  int worst = 0;
  for (int y = 0; y < img.Height; ++y)
    for (int x = 0; x < img.Width; ++x) {
      const auto a = Rgba(img, x, y);
      const auto b = RefRgba(ref, x, y, how);
      for (int c = 0; c < 4; ++c) worst = std::max(worst, std::abs(a[c] - b[c]));
    }
  return worst;
}

// Decodes a file with a netpbm tool ("pngtopam", "tifftopnm", ...) into a reference picture.
inline RefPicture ToolDecode(const std::string& tool, const std::string& args, const std::string& file) {
  const std::string out = MakeTempDir("tool-decode") + "/out.pam";
  const std::string command = tool + " " + args + " '" + file + "' > '" + out + "' 2>/dev/null";
  RefPicture ref;
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "failed (is the tool installed? scripts/install-deps.sh): " << command;
    return ref;
  }
  if (!ReadRefPicture(out, ref)) ADD_FAILURE() << tool << " wrote no picture for " << file;
  return ref;
}

// Open file descriptors of this process (untracked handles of a library leak here).
inline int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

}  // namespace tavelo::test

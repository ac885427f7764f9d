// tiffcodec's two calls of its own: libtiff's error and warning messages reach the installed
// routine as one formatted text each, cut to the library's limit; a null routine silences them.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "codecs/tiffcodec/tiffcodec.h"
#include "tests/codecs/ref_picture.h"
#include "tests/support/test_env.h"

namespace tavelo::test {
namespace {

std::mutex g_lock;
std::vector<std::string> g_errors;
std::vector<std::string> g_warnings;

void OnError(const char* text) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_errors.emplace_back(text);
}
void OnWarning(const char* text) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_warnings.emplace_back(text);
}

struct Tiff {
  CodecLib lib{"tiffcodec"};
  ExternErrorSet_fn errorSet = lib.Get<ExternErrorSet_fn>("ExternErrorSet");
  ExternWarningSet_fn warningSet = lib.Get<ExternWarningSet_fn>("ExternWarningSet");
  decltype(&TIFFOpen) open = lib.Get<decltype(&TIFFOpen)>("TIFFOpen");
  decltype(&TIFFClose) close = lib.Get<decltype(&TIFFClose)>("TIFFClose");

  Tiff() {
    g_errors.clear();
    g_warnings.clear();
    errorSet(&OnError);
    warningSet(&OnWarning);
  }
  ~Tiff() {
    errorSet(nullptr);
    warningSet(nullptr);
  }
};

// A little-endian TIFF of one 1 x 1 grey pixel with a private tag (65000) that libtiff does not know.
std::string TiffWithUnknownTag() {
  std::string d("II*\0\x08\0\0\0", 8);
  auto u16 = [&](uint16_t v) { d += static_cast<char>(v & 255), d += static_cast<char>(v >> 8); };
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) d += static_cast<char>((v >> (8 * i)) & 255);
  };
  auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    u16(tag), u16(type), u32(count), u32(value);
  };
  const uint16_t entries = 9;
  const uint32_t pixelAt = 8 + 2 + entries * 12 + 4;
  u16(entries);
  entry(256, 3, 1, 1);          // ImageWidth
  entry(257, 3, 1, 1);          // ImageLength
  entry(258, 3, 1, 8);          // BitsPerSample
  entry(259, 3, 1, 1);          // Compression: none
  entry(262, 3, 1, 1);          // Photometric: black is zero
  entry(273, 4, 1, pixelAt);    // StripOffsets
  entry(278, 3, 1, 1);          // RowsPerStrip
  entry(279, 4, 1, 1);          // StripByteCounts
  entry(65000, 3, 1, 7);        // private
  u32(0);
  d += '\x80';
  return d;
}

TEST(TiffCodec, ErrorsAndWarningsArriveAsOneText) {
  Tiff t;
  const std::string dir = MakeTempDir("tiff-messages");
  EXPECT_EQ(t.open((dir + "/missing.tif").c_str(), "r"), nullptr);
  ASSERT_FALSE(g_errors.empty());
  EXPECT_NE(g_errors.back().find("missing.tif"), std::string::npos) << g_errors.back();

  const std::string odd = dir + "/odd.tif";
  WriteFile(odd, TiffWithUnknownTag());
  TIFF* tif = t.open(odd.c_str(), "r");
  ASSERT_NE(tif, nullptr);
  t.close(tif);
  ASSERT_FALSE(g_warnings.empty());
  EXPECT_NE(g_warnings.back().find("65000"), std::string::npos) << g_warnings.back();
  EXPECT_EQ(g_warnings.back().rfind("TIFFReadDirectory: ", 0), 0u) << g_warnings.back();
}

TEST(TiffCodec, LongMessagesAreCutAndNullHandlersSilence) {
  Tiff t;
  const std::string dir = MakeTempDir("tiff-long");
  const std::string longName = dir + "/" + std::string(3000, 'n') + ".tif";
  EXPECT_EQ(t.open(longName.c_str(), "r"), nullptr);
  ASSERT_FALSE(g_errors.empty());
  EXPECT_EQ(g_errors.back().size(), static_cast<size_t>(TIFFCODEC_MESSAGE_MAX - 1));

  t.errorSet(nullptr);
  g_errors.clear();
  EXPECT_EQ(t.open((dir + "/missing.tif").c_str(), "r"), nullptr);
  EXPECT_TRUE(g_errors.empty());
}

}  // namespace
}  // namespace tavelo::test

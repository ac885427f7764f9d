// Packed-picture blobs: method 8 unpacks a JPEG through jpegcodec into exactly the picture the
// header describes (and never writes the blob); method 7 needs zmvcodec; anything else is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/services/errors.h"
#include "formats/ff_basic.h"
#include "formats/ff_img_from_bin.h"
#include "formats/ff_tables.h"
#include "formats/units/ff_jpg.h"
#include "tests/formats/picture_test_util.h"

namespace tavelo {
namespace {

using test::Outcome;
using test::Pic;
using ImgFromBinTest = test::PictureUnitTest;

void PutLe32(std::vector<uint8_t>& b, size_t at, int32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}

std::vector<uint8_t> Blob(int32_t w, int32_t h, int32_t bpp, int32_t packedSize, int32_t param, int32_t method,
                          const std::string& data) {
  std::vector<uint8_t> b(kBinHeaderSize + data.size());
  PutLe32(b, 0, w);
  PutLe32(b, 4, h);
  PutLe32(b, 8, bpp);
  PutLe32(b, 12, packedSize);
  PutLe32(b, 16, param);
  PutLe32(b, 20, method);
  std::memcpy(b.data() + kBinHeaderSize, data.data(), data.size());
  return b;
}

TEST_F(ImgFromBinTest, JpegBlobsUnpackLikeTheFile) {
  for (const auto& c : {std::pair{"jpg_baseline", 24}, std::pair{"jpg_grey", 8}}) {
    const std::string name = c.first;
    const int32_t bpp = c.second;
    SCOPED_TRACE(name);
    const std::string jpeg = test::ReadFile(Pic(name + ".jpg"));
    const std::vector<uint8_t> blob = Blob(97, 61, bpp, static_cast<int32_t>(jpeg.size()), 0, kBinMethodJpeg, jpeg);
    const std::vector<uint8_t> before = blob;
    Qimg img, file;
    bool made = false;
    ASSERT_EQ(Outcome([&] { made = ImgFromBin(blob.data(), img); }).first, 0);
    EXPECT_TRUE(made);
    EXPECT_EQ(blob, before);  // the header is the program's constant data: never written
    ASSERT_EQ(Outcome([&] { JPGLoad(Pic(name + ".jpg"), file); }).first, 0);
    EXPECT_EQ(img.Bpp, bpp);
    EXPECT_EQ(img.Width, 97);
    ASSERT_EQ(img.Size, file.Size);
    EXPECT_EQ(0, std::memcmp(img.Data, file.Data, static_cast<size_t>(file.Size)));  // B, G, R like the file
    EXPECT_EQ(img.Palette, file.Palette);
    ImgFree(img);
    ImgFree(file);
  }
}

TEST_F(ImgFromBinTest, AJpegOfAnotherSizeIsRefusedUnwritten) {
  const std::string jpeg = test::ReadFile(Pic("jpg_baseline.jpg"));
  const auto size = static_cast<int32_t>(jpeg.size());
  // Smaller than the picture (which would overrun the buffer), another depth, a bad packed size.
  for (const std::vector<uint8_t>& blob :
       {Blob(96, 61, 24, size, 0, kBinMethodJpeg, jpeg), Blob(97, 60, 24, size, 0, kBinMethodJpeg, jpeg),
        Blob(97, 61, 8, size, 0, kBinMethodJpeg, jpeg), Blob(97, 61, 32, size, 0, kBinMethodJpeg, jpeg),
        Blob(97, 61, 24, 0, 0, kBinMethodJpeg, jpeg), Blob(97, 61, 24, size / 2, 0, kBinMethodJpeg, jpeg)}) {
    Qimg img;
    bool made = true;
    // No error is raised: the result says it.
    EXPECT_EQ(Outcome([&] { made = ImgFromBin(blob.data(), img); }).first, 0);
    EXPECT_FALSE(made);
    EXPECT_TRUE(ImgAssigned(img));  // as allocated from the header
    ImgFree(img);
  }
}

TEST_F(ImgFromBinTest, HeadersThatDescribeNoPictureAreRefused) {
  for (const std::vector<uint8_t>& blob :
       {Blob(0, 5, 24, 1, 0, kBinMethodJpeg, "x"), Blob(5, -1, 24, 1, 0, kBinMethodJpeg, "x"),
        Blob(5, 5, 12, 1, 0, kBinMethodJpeg, "x"), Blob(100000, 100000, 32, 1, 0, kBinMethodJpeg, "x"),
        Blob(5, 5, 24, 1, 0, 3, "x")}) {
    Qimg img;
    bool made = true;
    EXPECT_EQ(Outcome([&] { made = ImgFromBin(blob.data(), img); }).first, 0);
    EXPECT_FALSE(made);
    EXPECT_FALSE(ImgAssigned(img));
  }
  Qimg img;
  EXPECT_FALSE(ImgFromBin(nullptr, img));
}

TEST_F(ImgFromBinTest, ZmvBlobsNeedTheZmvLibrary) {
  // No zmvcodec loaded here: ZMV is out of the tables, and the result is false with the picture
  // allocated.
  platform::SetLibraryFolder(test::MakeTempDir("no-zmv"));
  FFLoadCodecLib(clZmv);
  EXPECT_FALSE(FFCanSave(fidZMV));
  const std::vector<uint8_t> blob = Blob(4, 2, 24, 10, 10, kBinMethodZmv, std::string(10, 'z'));
  Qimg img;
  bool made = true;
  EXPECT_EQ(Outcome([&] { made = ImgFromBin(blob.data(), img); }).first, 0);
  EXPECT_FALSE(made);
  EXPECT_TRUE(ImgAssigned(img));
  EXPECT_EQ(img.Width, 4);
  ImgFree(img);
}

}  // namespace
}  // namespace tavelo

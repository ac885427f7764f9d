// Packed-picture blobs of method 7: unpacked by zmvcodec's zmv_decode (a zlib stream of the
// picture's rows), the palette of an 8-bit blob taken from the 768 bytes after the header.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/services/errors.h"
#include "formats/ff_basic.h"
#include "formats/ff_img_from_bin.h"
#include "formats/ff_tables.h"
#include "tests/formats/picture_test_util.h"

namespace tavelo {
namespace {

using test::Outcome;

class ZmvBlob : public test::PictureUnitTest {
 protected:
  void SetUp() override {
    test::PictureUnitTest::SetUp();
    FFLoadCodecLib(clZmv);
    ASSERT_TRUE(FFCanSave(fidZMV)) << "zmvcodec is missing from " << TAVELO_CODEC_DIR;
  }
};

void PutLe32(std::vector<uint8_t>& b, size_t at, int32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}

std::vector<uint8_t> Pixels(int32_t w, int32_t h, int32_t bpp) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * ((bpp + 7) / 8));
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 7 + i / 13);
  return px;
}

// A method-7 blob: header, the palette for 8 bits, the zlib-packed rows. Param is the packed size.
std::vector<uint8_t> ZmvBlobOf(int32_t w, int32_t h, int32_t bpp, const std::vector<uint8_t>& pixels,
                               const std::vector<uint8_t>& palette) {
  uLongf packedSize = compressBound(pixels.size());
  std::vector<uint8_t> packed(packedSize);
  EXPECT_EQ(compress2(packed.data(), &packedSize, pixels.data(), pixels.size(), 9), Z_OK);
  packed.resize(packedSize);
  const size_t pal = bpp == 8 ? palette.size() : 0;
  std::vector<uint8_t> b(kBinHeaderSize + pal + packed.size());
  PutLe32(b, 0, w);
  PutLe32(b, 4, h);
  PutLe32(b, 8, bpp);
  PutLe32(b, 12, static_cast<int32_t>(packed.size()));
  PutLe32(b, 16, static_cast<int32_t>(packed.size()));
  PutLe32(b, 20, kBinMethodZmv);
  if (pal > 0) std::memcpy(b.data() + kBinHeaderSize, palette.data(), pal);
  std::memcpy(b.data() + kBinHeaderSize + pal, packed.data(), packed.size());
  return b;
}

TEST_F(ZmvBlob, EightBitBlobsTakeTheirPaletteFromAfterTheHeader) {
  std::vector<uint8_t> palette(kBinPaletteSize);
  for (size_t i = 0; i < palette.size(); ++i) palette[i] = static_cast<uint8_t>(255 - i % 256);
  const std::vector<uint8_t> px = Pixels(16, 16, 8);
  const std::vector<uint8_t> blob = ZmvBlobOf(16, 16, 8, px, palette);
  Qimg img;
  bool made = false;
  ASSERT_EQ(Outcome([&] { made = ImgFromBin(blob.data(), img); }).first, 0);
  EXPECT_TRUE(made);
  EXPECT_EQ(img.Bpp, 8);
  EXPECT_EQ(0, std::memcmp(img.Palette.data(), palette.data(), palette.size()));
  EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + img.Size), px);
  ImgFree(img);
}

TEST_F(ZmvBlob, OtherDepthsStartRightAfterTheHeader) {
  // The sizes of the program's own pictures: the idle picture and a button.
  for (const auto& c : {std::array<int32_t, 3>{440, 293, 24}, std::array<int32_t, 3>{16, 16, 32},
                        std::array<int32_t, 3>{9, 5, 16}, std::array<int32_t, 3>{9, 5, 15}}) {
    SCOPED_TRACE(c[2]);
    const std::vector<uint8_t> px = Pixels(c[0], c[1], c[2]);
    const std::vector<uint8_t> blob = ZmvBlobOf(c[0], c[1], c[2], px, {});
    Qimg img;
    bool made = false;
    ASSERT_EQ(Outcome([&] { made = ImgFromBin(blob.data(), img); }).first, 0);
    EXPECT_TRUE(made);
    EXPECT_EQ(img.Width, c[0]);
    EXPECT_EQ(img.Bpp, c[2]);
    EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + img.Size), px);
    ImgFree(img);
  }
}

TEST_F(ZmvBlob, AFailedUnpackIsFalse) {
  const std::vector<uint8_t> px = Pixels(20, 10, 24);
  std::vector<uint8_t> damaged = ZmvBlobOf(20, 10, 24, px, {});
  damaged[kBinHeaderSize + 6] ^= 0xFF;
  std::vector<uint8_t> shorter = ZmvBlobOf(20, 10, 24, px, {});
  PutLe32(shorter, 16, 5);  // the decoder may use 5 bytes only
  std::vector<uint8_t> smaller = ZmvBlobOf(20, 10, 24, px, {});
  PutLe32(smaller, 4, 9);  // the stream holds more rows than the header says
  for (const std::vector<uint8_t>* blob : {&damaged, &shorter, &smaller}) {
    Qimg img;
    bool made = true;
    EXPECT_EQ(Outcome([&] { made = ImgFromBin(blob->data(), img); }).first, 0);
    EXPECT_FALSE(made);
    EXPECT_TRUE(ImgAssigned(img));
    ImgFree(img);
  }
}

}  // namespace
}  // namespace tavelo

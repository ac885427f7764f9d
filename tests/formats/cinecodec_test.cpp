// cinecodec over files from the test writer, checked against FFmpeg's cine demuxer: grey, colour
// and raw sensor frames in 8 and 16 bits, rows either way up, padded or not, come out as FFmpeg
// decodes them (16-bit samples scaled down by their significant bits). Damaged files fail cleanly.
#include "codecs/cinecodec/cinecodec.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/formats/cine_writer.h"
#include "tests/formats/media_tools.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using test::CineMovie;

class CineCodec : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = dlopen(TAVELO_CODEC_DIR "/cinecodec.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    info_ = reinterpret_cast<cvr_info_t>(dlsym(lib_, "cvr_info"));
    open_ = reinterpret_cast<cvr_open_t>(dlsym(lib_, "cvr_open"));
    seek_ = reinterpret_cast<cvr_seek_t>(dlsym(lib_, "cvr_seek"));
    read_ = reinterpret_cast<cvr_read_t>(dlsym(lib_, "cvr_read"));
    close_ = reinterpret_cast<cvr_close_t>(dlsym(lib_, "cvr_close"));
    ASSERT_TRUE(info_ && open_ && seek_ && read_ && close_);
    dir_ = test::MakeTempDir("cine");
  }
  void TearDown() override {
    if (lib_ != nullptr) dlclose(lib_);
  }

  struct Info {
    int32_t ok, width, height, storedBits, bpp, bytesPP, codec, frames, rate, saturation, gamma, brightness, contrast;
  };
  Info Describe(const std::string& path) {
    Info i{};
    i.ok = info_(path.c_str(), &i.width, &i.height, &i.storedBits, &i.bpp, &i.bytesPP, &i.codec, &i.frames, &i.rate,
                 &i.saturation, &i.gamma, &i.brightness, &i.contrast);
    return i;
  }
  // Every frame as delivered, read sequentially after one seek to 0; empty when a read fails.
  std::vector<std::vector<uint8_t>> ReadAll(const std::string& path) {
    std::vector<std::vector<uint8_t>> out;
    const Info i = Describe(path);
    void* h = open_(path.c_str());
    if (h == nullptr) return out;
    EXPECT_NE(seek_(h, 0), 0);
    for (int32_t f = 0; f < i.frames; ++f) {
      std::vector<uint8_t> buf(static_cast<size_t>(i.width) * i.height * i.bytesPP);
      uint8_t palette[768] = {};
      if (read_(h, buf.data(), palette) == 0) {
        out.clear();
        break;
      }
      if (i.bytesPP == 1) {
        EXPECT_EQ(palette[3 * 77], 77);
        EXPECT_EQ(palette[3 * 77 + 2], 77);
      }
      out.push_back(std::move(buf));
    }
    close_(h);
    return out;
  }
  std::string Path(const std::string& name) { return dir_ + "/" + name; }

  void* lib_ = nullptr;
  cvr_info_t info_ = nullptr;
  cvr_open_t open_ = nullptr;
  cvr_seek_t seek_ = nullptr;
  cvr_read_t read_ = nullptr;
  cvr_close_t close_ = nullptr;
  std::string dir_;
};

// Samples that differ in every pixel and frame, so that a row or frame mix-up shows.
std::vector<uint8_t> Samples(int32_t w, int32_t h, int32_t bytes, int32_t frame, uint32_t limit) {
  std::vector<uint8_t> s(static_cast<size_t>(w) * h * bytes);
  std::mt19937 rng(static_cast<uint32_t>(77 + frame));
  const int32_t width = bytes == 2 || bytes == 6 ? 2 : 1;
  for (size_t i = 0; i < s.size(); i += width) {
    const uint32_t v = (static_cast<uint32_t>(i) * 7 + frame * 31 + (rng() & 15)) % (limit + 1);
    s[i] = static_cast<uint8_t>(v);
    if (width == 2) s[i + 1] = static_cast<uint8_t>(v >> 8);
  }
  return s;
}

CineMovie Movie(int32_t w, int32_t h, int32_t bitCount, int32_t compression, uint32_t cfa, int32_t frames,
                uint32_t realBpp) {
  CineMovie m;
  m.width = w;
  m.height = h;
  m.bitCount = bitCount;
  m.compression = compression;
  m.cfa = cfa;
  m.realBpp = realBpp;
  m.frameRate = 2500;
  const uint32_t limit = bitCount == 8 || bitCount == 24 ? 255 : (1u << realBpp) - 1;
  for (int32_t i = 0; i < frames; ++i) m.frames.push_back(Samples(w, h, bitCount / 8, i, limit));
  return m;
}

// 16-bit little-endian samples scaled by shift, as the library delivers them.
std::vector<uint8_t> Scaled(const std::vector<uint8_t>& wide, int shift) {
  std::vector<uint8_t> out(wide.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    const uint32_t v = static_cast<uint32_t>(wide[2 * i] | (wide[2 * i + 1] << 8)) >> shift;
    out[i] = static_cast<uint8_t>(v > 255 ? 255 : v);
  }
  return out;
}

struct Variant {
  const char* name;
  int32_t w, h, bitCount, compression;
  uint32_t cfa, realBpp;
  bool topDown, pad;
  const char* ffFormat;  // FFmpeg's pixel format of the stored samples
  int32_t codec, deliveredBytes;
};

TEST_F(CineCodec, FramesMatchFFmpegsDecode) {
  const Variant variants[] = {
      {"grey8", 37, 23, 8, 0, 0, 8, false, false, "gray", kCvrPlain, 1},
      {"grey8_padded_topdown", 37, 23, 8, 0, 0, 8, true, true, "gray", kCvrPlain, 1},
      {"grey16_12bit", 32, 20, 16, 0, 0, 12, false, false, "gray16le", kCvrPlain, 1},
      {"bgr24", 33, 17, 24, 0, 0, 8, false, false, "bgr24", kCvrPlain, 3},
      {"bgr24_padded", 33, 17, 24, 0, 0, 8, false, true, "bgr24", kCvrPlain, 3},
      {"bgr48_16bit", 20, 12, 48, 0, 0, 16, true, false, "bgr48le", kCvrPlain, 3},
      {"bayer8", 40, 30, 8, 2, 3, 8, false, false, "bayer_gbrg8", kCvrBayer, 1},
      {"bayer16_10bit", 40, 30, 16, 2, 3 | 0x01000000, 10, true, false, "bayer_gbrg16le", kCvrBayer, 1},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    CineMovie m = Movie(v.w, v.h, v.bitCount, v.compression, v.cfa, 5, v.realBpp);
    m.topDown = v.topDown;
    m.padRows = v.pad;
    const std::string path = Path(std::string(v.name) + ".cine");
    test::CineWrite(path, m);

    const Info i = Describe(path);
    ASSERT_NE(i.ok, 0);
    EXPECT_EQ(i.width, v.w);
    EXPECT_EQ(i.height, v.h);
    EXPECT_EQ(i.storedBits, v.bitCount);
    EXPECT_EQ(i.bytesPP, v.deliveredBytes);
    EXPECT_EQ(i.bpp, v.deliveredBytes * 8);
    EXPECT_EQ(i.codec, v.codec);
    EXPECT_EQ(i.frames, 5);
    EXPECT_EQ(i.rate, 2500);
    EXPECT_EQ(std::to_string(i.width), test::FFprobeValue(path, "v", "width"));
    EXPECT_EQ(std::to_string(i.height), test::FFprobeValue(path, "v", "height"));
    EXPECT_EQ("5", test::FFprobeValue(path, "v", "count_frames"));
    EXPECT_EQ("2500/1", test::FFprobeValue(path, "v", "r_frame_rate"));

    const int64_t storedBytes = static_cast<int64_t>(v.w) * v.h * (v.bitCount / 8);
    const auto ref = test::FFmpegFrames(path, v.ffFormat, storedBytes);
    const auto ours = ReadAll(path);
    ASSERT_EQ(ref.size(), 5u);
    ASSERT_EQ(ours.size(), 5u);
    for (size_t f = 0; f < 5; ++f) {
      // FFmpeg widens samples of fewer significant bits to the full 16: its top byte is what the
      // library delivers.
      const std::vector<uint8_t> want = v.bitCount == 16 || v.bitCount == 48 ? Scaled(ref[f], 8) : ref[f];
      EXPECT_EQ(ours[f], want) << "frame " << f;
    }
  }
}

TEST_F(CineCodec, VriPatternsAreDeliveredAsStoredMosaics) {
  // FFmpeg does not read these two patterns: the writer's own samples are the reference.
  for (uint32_t cfa : {1u, 2u}) {
    CineMovie m = Movie(16, 10, 8, 2, cfa, 3, 8);
    const std::string path = Path("vri" + std::to_string(cfa) + ".cine");
    test::CineWrite(path, m);
    const Info i = Describe(path);
    EXPECT_EQ(i.codec, cfa == 1 ? kCvrVri : kCvrVriV6);
    EXPECT_EQ(i.bpp, 8);
    const auto ours = ReadAll(path);
    ASSERT_EQ(ours.size(), 3u);
    for (size_t f = 0; f < 3; ++f) EXPECT_EQ(ours[f], m.frames[f]);
  }
}

TEST_F(CineCodec, UnreadableKindsAreDescribedButNeverRead) {
  // A flipped Bayer pattern has no code of the unit; JPEG frames are not decoded here.
  const std::pair<int32_t, uint32_t> kinds[] = {{2, 4}, {1, 0}};
  for (const auto& [compression, cfa] : kinds) {
    CineMovie m = Movie(8, 8, 8, compression, cfa, 2, 8);
    const std::string path = Path("kind" + std::to_string(compression) + ".cine");
    test::CineWrite(path, m);
    const Info i = Describe(path);
    ASSERT_NE(i.ok, 0);
    EXPECT_EQ(i.codec, compression == 1 ? kCvrJpeg : kCvrUnknown);
    void* h = open_(path.c_str());
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> buf(64);
    EXPECT_EQ(read_(h, buf.data(), nullptr), 0);
    close_(h);
  }
}

TEST_F(CineCodec, SeeksAndSequentialReadsStayInTheFile) {
  CineMovie m = Movie(12, 6, 8, 0, 0, 4, 8);
  m.topDown = true;
  const std::string path = Path("seek.cine");
  test::CineWrite(path, m);
  void* h = open_(path.c_str());
  ASSERT_NE(h, nullptr);
  std::vector<uint8_t> buf(72);
  EXPECT_EQ(seek_(h, 4), 0);
  EXPECT_EQ(seek_(h, -1), 0);
  ASSERT_NE(seek_(h, 2), 0);
  ASSERT_NE(read_(h, buf.data(), nullptr), 0);
  EXPECT_EQ(buf, m.frames[2]);
  ASSERT_NE(read_(h, buf.data(), nullptr), 0);  // moves on
  EXPECT_EQ(buf, m.frames[3]);
  EXPECT_EQ(read_(h, buf.data(), nullptr), 0);  // past the last frame
  ASSERT_NE(seek_(h, 0), 0);
  ASSERT_NE(read_(h, buf.data(), nullptr), 0);
  EXPECT_EQ(buf, m.frames[0]);
  close_(h);
  EXPECT_EQ(seek_(nullptr, 0), 0);
  EXPECT_EQ(read_(nullptr, buf.data(), nullptr), 0);
  close_(nullptr);
}

TEST_F(CineCodec, PictureSettingsComeFromTheSetup) {
  CineMovie m = Movie(8, 8, 24, 0, 0, 1, 8);
  m.brightness = -20;
  m.contrast = 35;
  m.gamma = -50;
  const std::pair<float, int32_t> factors[] = {{0.0f, 0}, {1.0f, 0}, {1.5f, 50}, {0.2f, -80}, {3.0f, 100}};
  for (const auto& [factor, percent] : factors) {
    m.saturation = factor;
    const std::string path = Path("settings.cine");
    test::CineWrite(path, m);
    const Info i = Describe(path);
    EXPECT_EQ(i.saturation, percent) << factor;
    EXPECT_EQ(i.brightness, -20);
    EXPECT_EQ(i.contrast, 35);
    EXPECT_EQ(i.gamma, -50);
  }
}

TEST_F(CineCodec, DamagedFilesFailWithoutHarm) {
  CineMovie m = Movie(24, 16, 16, 2, 3, 3, 12);
  const std::vector<uint8_t> good = test::CineBuild(m);
  const test::CineLayout layout = test::CineLayoutOf(m);
  const std::string path = Path("damaged.cine");
  auto attempt = [&](const std::vector<uint8_t>& bytes) {
    test::WriteFile(path, std::string(bytes.begin(), bytes.end()));
    const Info i = Describe(path);
    void* h = open_(path.c_str());
    EXPECT_EQ(h != nullptr, i.ok != 0);
    if (h == nullptr) return 0;
    std::vector<uint8_t> buf(static_cast<size_t>(i.width) * i.height * i.bytesPP);
    int reads = 0;
    for (int32_t f = 0; f < i.frames && f < 8; ++f)
      if (seek_(h, f) != 0 && read_(h, buf.data(), nullptr) != 0) ++reads;
    close_(h);
    return reads;
  };
  auto put32 = [](std::vector<uint8_t>& b, int64_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
  };
  EXPECT_EQ(attempt(good), 3);

  // Cut short anywhere: the parts that are gone fail, nothing else.
  for (size_t cut = 0; cut < good.size(); cut += 97) attempt(std::vector<uint8_t>(good.begin(), good.begin() + cut));
  EXPECT_EQ(attempt(std::vector<uint8_t>(good.begin(), good.end() - 1)), 2);

  // Header numbers out of range.
  const std::pair<int64_t, uint32_t> pokes[] = {
      {20, 0},                                   // no images
      {20, 0xFFFFFFFF},                          // more images than the table holds
      {24, 0xFFFFFFF0},                          // bitmap header past the end
      {28, 0xFFFFFFF0},                          // setup past the end
      {32, 0xFFFFFFF0},                          // offset table past the end
      {layout.bitmapHeader + 4, 0x7FFFFFFF},     // width no file can hold
      {layout.bitmapHeader + 8, 0x80000000},     // negative height
      {layout.bitmapHeader + 14, 12},            // unknown depth
      {layout.bitmapHeader + 16, 0x100},         // packed samples
      {layout.setup + 142, 100},                 // setup too short
  };
  for (const auto& [at, value] : pokes) {
    std::vector<uint8_t> b = good;
    put32(b, at, value);
    if (at == layout.bitmapHeader + 14 || at == layout.setup + 142) {
      b[at] = static_cast<uint8_t>(value);
      b[at + 1] = static_cast<uint8_t>(value >> 8);
      b[at + 2] = good[at + 2];
      b[at + 3] = good[at + 3];
    }
    EXPECT_EQ(attempt(b), 0) << "byte " << at;
  }

  // Frames whose offsets or sizes lie: only those frames fail.
  std::vector<uint8_t> b = good;
  put32(b, layout.offsetTable + 8, 0xFFFFFF00);  // frame 1 far past the end
  put32(b, layout.offsetTable + 12, 0x7FFFFFFF);
  put32(b, layout.frameOffsets[2], 0xFFFFFFF0);  // frame 2: annotation size past the end
  EXPECT_EQ(attempt(b), 1);
  b = good;
  put32(b, layout.frameOffsets[0], 4);                                 // annotation too small
  put32(b, layout.frameOffsets[1] + m.annotationBytes - 4, 24 * 16);  // image smaller than the frame
  EXPECT_EQ(attempt(b), 1);

  // Random damage to the headers and the table never crashes.
  std::mt19937 rng(3);
  for (int round = 0; round < 400; ++round) {
    b = good;
    for (int k = 0; k < 4; ++k) {
      const int64_t at = rng() % static_cast<uint32_t>(layout.frameOffsets[0] + 8);
      b[at] = static_cast<uint8_t>(rng());
    }
    attempt(b);
  }
}

}  // namespace
}  // namespace tavelo

// The XPM codec library, loaded as the XPM unit loads it: fixtures of ImageMagick and netpbm
// against netpbm's decode, the colour syntax, the size check of the second read, round trips
// (also read back by netpbm) and damaged files.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "codecs/xpmcodec/xpmcodec.h"
#include "core/services/memory.h"
#include "tests/formats/own_pictures_util.h"

namespace tavelo {
namespace {

struct XpmLib {
  void* Module = nullptr;
  ReadXpmProc Read = nullptr;
  WriteXpmProc Write = nullptr;
  XpmLib() {
    Module = dlopen(TAVELO_CODEC_DIR "/xpmcodec.so", RTLD_NOW | RTLD_LOCAL);
    if (Module == nullptr) return;
    Read = reinterpret_cast<ReadXpmProc>(dlsym(Module, "ReadXpm"));
    Write = reinterpret_cast<WriteXpmProc>(dlsym(Module, "WriteXpm"));
  }
  ~XpmLib() {
    if (Module != nullptr) dlclose(Module);
  }
};

XpmLib& Lib() {
  static XpmLib lib;
  return lib;
}

class XpmCodec : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Lib().Module, nullptr) << dlerror();
    ASSERT_NE(Lib().Read, nullptr);
    ASSERT_NE(Lib().Write, nullptr);
    dir_ = test::MakeTempDir("xpm");
  }
  // Reads a file as the unit does: the size first, then the pixels into a picture of that size.
  int32_t ReadPicture(const std::string& name, Qimg& img) {
    XpmPicture d{0, 0, 0, nullptr, 0};
    const int32_t r = Lib().Read(name.c_str(), &d);
    if (r != 0) return r;
    ImgAlloc(img, d.Width, d.Height, 24);
    d.Data = img.Data;
    return Lib().Read(name.c_str(), &d);
  }
  int32_t ReadText(const std::string& text, Qimg& img) {
    const std::string name = dir_ + "/t.xpm";
    test::WriteFile(name, text);
    return ReadPicture(name, img);
  }
  std::string dir_;
};

std::string Xpm(const std::string& values, const std::vector<std::string>& lines) {
  std::string s = "/* XPM */\nstatic char *t[] = {\n\"" + values + "\",\n";
  for (size_t i = 0; i < lines.size(); ++i) s += "\"" + lines[i] + (i + 1 < lines.size() ? "\",\n" : "\"\n");
  return s + "};\n";
}

std::vector<int> Rgb(const Qimg& img) {
  std::vector<int> v;
  for (int64_t i = 0; i < static_cast<int64_t>(img.Width) * img.Height; ++i) {
    v.push_back(img.Data[3 * i + 2]);
    v.push_back(img.Data[3 * i + 1]);
    v.push_back(img.Data[3 * i]);
  }
  return v;
}

TEST_F(XpmCodec, FixturesDecodeLikeNetpbm) {
  for (const test::Fixture& f : test::ReadManifest("xpm")) {
    SCOPED_TRACE(f.Name);
    Qimg img;
    ASSERT_EQ(ReadPicture(test::MediaPath("xpm/" + f.Name), img), 0);
    for (const auto& [layout, file] : f.Refs)
      EXPECT_EQ(test::CompareWithRef(img, layout, test::ReadFile(test::MediaPath("xpm/" + file))), "");
    ImgFree(img);
  }
}

TEST_F(XpmCodec, ColourSyntax) {
  Qimg img;
  ASSERT_EQ(ReadText(Xpm("8 1 8 1", {"a c #F0A", ". c #123456", "b c #ABCDEF012", "c c #FFFF80007FFF", "d c RED",
                                     "e c light  Goldenrod", "f g gray50 m white", "g c None", "a.bcdefg"}),
                     img),
            0);
  EXPECT_EQ(Rgb(img), (std::vector<int>{0xF0, 0x00, 0xA0, 0x12, 0x34, 0x56, 0xAB, 0xDE, 0x01, 0xFF, 0x80, 0x7F, 255, 0, 0,
                                        238, 221, 130, 127, 127, 127, 0, 0, 0}));
  // The colour visual wins over the others; a value may have several words.
  ASSERT_EQ(ReadText(Xpm("2 1 2 2", {"aa m black c #010203", "bb s sym c dark slate gray", "aabb"}), img), 0);
  EXPECT_EQ(Rgb(img), (std::vector<int>{1, 2, 3, 47, 79, 79}));
  ImgFree(img);
}

TEST_F(XpmCodec, WhatItCannotReadFailsWhole) {
  Qimg img;
  const std::string good = Xpm("2 1 1 1", {"a c #000000", "aa"});
  ASSERT_EQ(ReadText(good, img), 0);
  for (const std::string& bad : std::vector<std::string>{
           Xpm("2 1 1 1", {"a c nosuchcolour", "aa"}),  // unknown name
           Xpm("2 1 1 1", {"a c #12345", "aa"}),        // 5 hex digits
           Xpm("2 1 1 1", {"a c #GG0000", "aa"}),
           Xpm("2 1 1 1", {"a s symbolic", "aa"}),      // no colour at all
           Xpm("2 1 1 1", {"a c", "aa"}),
           Xpm("2 1 1 1", {"a c #000000", "ab"}),       // undefined pixel
           Xpm("2 1 1 1", {"a c #000000", "a"}),        // short row
           Xpm("2 2 1 1", {"a c #000000", "aa"}),       // missing row
           Xpm("2 1 2 1", {"a c #000000", "a c #FFFFFF", "aa"}),  // a key twice
           Xpm("2 1 1 9", {"aaaaaaaaa c #000000", "aa"}),          // 9 characters a pixel
           Xpm("0 1 1 1", {"a c #000000", ""}),
           Xpm("2 1 1", {"a c #000000", "aa"}),
           Xpm("2 -1 1 1", {"a c #000000", "aa"}),
           // Sizes whose row-bytes product passes 64 bits (fuzz/crashers/xpm).
           Xpm("2147483647 2147483647 1 8", {"aaaaaaaa c #000000", "aaaaaaaa"}),
           Xpm("2147483647 2147483647 1 5", {"aaaaa c #000000", "aaaaa"}),
           good.substr(0, good.size() - 4),             // no closing brace
           std::string("static char *t[] = {\"2 1 1 1\", \"a c #000000\", \"aa\"};"),  // no XPM comment
           std::string("\x89PNG\r\n\x1a\n"),
           std::string(),
       }) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ReadText(bad, img), xpmInvalid);
  }
  EXPECT_EQ(ReadPicture(dir_ + "/missing.xpm", img), xpmOpenFailed);
  ImgFree(img);
}

TEST_F(XpmCodec, ThePixelReadKeepsToTheSizeItWasGiven) {
  const std::string name = dir_ + "/s.xpm";
  test::WriteFile(name, Xpm("3 2 1 1", {"a c #FFFFFF", "aaa", "aaa"}));
  XpmPicture d{0, 0, 0, nullptr, 0};
  ASSERT_EQ(Lib().Read(name.c_str(), &d), 0);
  EXPECT_EQ(d.Width, 3);
  EXPECT_EQ(d.Height, 2);
  EXPECT_EQ(d.Colors, 1);
  // The file changes between the two reads: the buffer made for 3 x 2 is never overrun.
  test::WriteFile(name, Xpm("30 2 1 1", {"a c #FFFFFF", std::string(30, 'a'), std::string(30, 'a')}));
  std::vector<uint8_t> buffer(3 * 2 * 3 + 1, 0xAB);
  d.Data = buffer.data();
  EXPECT_EQ(Lib().Read(name.c_str(), &d), xpmSizeMismatch);
  EXPECT_EQ(buffer.back(), 0xAB);
  EXPECT_EQ(Lib().Read(nullptr, &d), xpmBadArgument);
  EXPECT_EQ(Lib().Read(name.c_str(), nullptr), xpmBadArgument);
}

TEST_F(XpmCodec, RoundTripsAreExactAndNetpbmReadsThem) {
  for (int32_t w : {1, 2, 3, 300})
    for (int32_t h : {1, 40}) {
      SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
      Qimg src, back;
      ImgAlloc(src, w, h, 24);
      // Distinct colours everywhere at 300 x 40: 12000 of them need three characters a pixel.
      for (int64_t i = 0; i < static_cast<int64_t>(w) * h; ++i) {
        src.Data[3 * i] = static_cast<uint8_t>(i);
        src.Data[3 * i + 1] = static_cast<uint8_t>(i >> 8);
        src.Data[3 * i + 2] = static_cast<uint8_t>(i * 7);
      }
      const std::string name = dir_ + "/rt.xpm";
      XpmPicture d{w, h, 0, src.Data, 0};
      ASSERT_EQ(Lib().Write(name.c_str(), &d), 0);
      ASSERT_EQ(ReadPicture(name, back), 0);
      EXPECT_EQ(std::vector<uint8_t>(back.Data, back.Data + back.Size), std::vector<uint8_t>(src.Data, src.Data + src.Size));
      const std::string ppm = dir_ + "/rt.ppm";
      ASSERT_EQ(std::system(("xpmtoppm " + name + " 2>/dev/null | pamtopnm > " + ppm).c_str()), 0)
          << "netpbm is needed (scripts/install-deps.sh)";
      const std::string decoded = test::ReadFile(ppm);
      const size_t bytes = static_cast<size_t>(w) * h * 3;
      ASSERT_GE(decoded.size(), bytes);
      EXPECT_EQ(test::CompareWithRef(src, "rgb", decoded.substr(decoded.size() - bytes)), "");
      ImgFree(src);
      ImgFree(back);
    }
  // The characters a pixel grow with the colours: 1 up to 92, then 2, then 3.
  const std::string name = dir_ + "/rt.xpm";
  EXPECT_NE(test::ReadFile(name).find("\"300 40 12000 3 \""), std::string::npos);
}

TEST_F(XpmCodec, WriteFailuresAreReported) {
  uint8_t px[3] = {};
  XpmPicture d{1, 1, 0, px, 0};
  EXPECT_EQ(Lib().Write((dir_ + "/no/such/folder/x.xpm").c_str(), &d), xpmWriteFailed);
  XpmPicture none{1, 1, 0, nullptr, 0};
  EXPECT_EQ(Lib().Write((dir_ + "/x.xpm").c_str(), &none), xpmBadArgument);
  XpmPicture empty{0, 1, 0, px, 0};
  EXPECT_EQ(Lib().Write((dir_ + "/x.xpm").c_str(), &empty), xpmBadArgument);
}

TEST_F(XpmCodec, TruncatedFixturesFailAndDamagedOnesNeverCrash) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  for (const test::Fixture& f : test::ReadManifest("xpm")) {
    SCOPED_TRACE(f.Name);
    const std::string file = test::ReadFile(test::MediaPath("xpm/" + f.Name));
    // Cutting the closing "};" and line end is the least that loses the picture's end.
    for (size_t cut : {size_t{0}, size_t{5}, size_t{40}, file.size() / 3, file.size() / 2, file.size() - 3}) {
      Qimg img;
      EXPECT_NE(ReadText(file.substr(0, cut), img), 0) << "cut at " << cut;
      ImgFree(img);
    }
    int n = 0;
    for (const std::string& bad : test::Corrupted(file, 30, 37, 0)) {
      Qimg img;
      const int32_t r = ReadText(bad, img);
      EXPECT_TRUE(r == 0 || r == xpmInvalid) << "variant " << n << " gave " << r;
      ImgFree(img);
      ++n;
    }
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

}  // namespace
}  // namespace tavelo

// PNM unit: fixtures of ImageMagick and netpbm against FFmpeg's and netpbm's decode, several
// images in one file, sample ranges, comments, the exact bytes of a text save, round trips and
// damaged files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/services/memory.h"
#include "formats/units/ff_pnm.h"
#include "tests/formats/own_pictures_util.h"

namespace tavelo {
namespace {

using test::Bytes;
using test::ErrPair;
using test::TryWork;

// Opens the bytes of a file in memory and loads image frame; the handle stays open for checks.
struct MemPnm {
  std::string File;
  PnmHandle H;
  Qimg Img;
  ErrPair OpenResult{0, 0};

  explicit MemPnm(std::string file) : File(std::move(file)) {
    OpenResult = TryWork([&] { PnmOpenMem_(H, Bytes(File), static_cast<int64_t>(File.size())); });
  }
  ErrPair Load(int32_t frame) { return TryWork([&] { PnmLoad(H, Img, frame); }); }
  ~MemPnm() {
    PnmClose(H);
    ImgFree(Img);
  }
};

TEST(PnmFixtures, DecodeLikeFFmpegAndNetpbm) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  for (const test::Fixture& f : test::ReadManifest("pnm")) {
    SCOPED_TRACE(f.Name);
    PnmHandle h;
    Qimg img;
    ASSERT_EQ(TryWork([&] { PnmOpen(h, test::MediaPath("pnm/" + f.Name)); }), (ErrPair{0, 0}));
    const ErrPair loaded = TryWork([&] { PnmLoad(h, img, 1); });
    PnmClose(h);
    if (f.Unsupported) {
      // Bit maps and PAM files stop the scan at once: nothing to read, and no error until a load.
      EXPECT_EQ(h.Frames, 0);
      EXPECT_EQ(loaded, (ErrPair{7, 1}));
      continue;
    }
    ASSERT_EQ(loaded, (ErrPair{0, 0}));
    EXPECT_EQ(h.Frames, 1);
    EXPECT_EQ(img.Bpp, f.Refs[0].first == "gray" ? 8 : 24);
    for (const auto& [layout, file] : f.Refs) {
      SCOPED_TRACE(file);
      EXPECT_EQ(test::CompareWithRef(img, layout, test::ReadFile(test::MediaPath("pnm/" + file))), "");
    }
    ImgFree(img);
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(PnmFixtures, SeveralImagesInOneFile) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  PnmHandle h;
  ASSERT_EQ(TryWork([&] { PnmOpen(h, test::MediaPath("pnm/multi.ppm")); }), (ErrPair{0, 0}));
  // Three images of one size; the fourth, of another size, ends the list.
  EXPECT_EQ(h.Frames, 3);
  Qimg img;
  for (int32_t frame : {2, 1, 3}) {
    ASSERT_EQ(TryWork([&] { PnmLoad(h, img, frame); }), (ErrPair{0, 0}));
    EXPECT_EQ(h.CurrentFrame, frame);
    EXPECT_EQ(test::CompareWithRef(img, "rgb", test::ReadFile(test::MediaPath("pnm/multi-" + std::to_string(frame) + ".raw"))), "")
        << "frame " << frame;
  }
  // Frame numbers outside the file are limited to it.
  ASSERT_EQ(TryWork([&] { PnmLoad(h, img, 0); }), (ErrPair{0, 0}));
  EXPECT_EQ(h.CurrentFrame, 1);
  ASSERT_EQ(TryWork([&] { PnmLoad(h, img, 99); }), (ErrPair{0, 0}));
  EXPECT_EQ(h.CurrentFrame, 3);
  PnmClose(h);
  ImgFree(img);
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(PnmScan, LaterImagesEndTheListInsteadOfFailing) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  const std::string one = std::string("P5\n2 1\n255\n\x01\x02", 13);
  {
    MemPnm p(one + one + "garbage after the images");
    ASSERT_EQ(p.OpenResult, (ErrPair{0, 0}));
    EXPECT_EQ(p.H.Frames, 2);
  }
  {
    // Another range, text instead of binary, another kind, a truncated image.
    MemPnm p(one + std::string("P5\n2 1\n15\n\x01\x02", 12) + one);
    EXPECT_EQ(p.H.Frames, 1);
    MemPnm q(one + "P2\n2 1\n255\n1 2\n");
    EXPECT_EQ(q.H.Frames, 1);
    MemPnm r(one + "P6\n2 1\n255\nabcdef");
    EXPECT_EQ(r.H.Frames, 1);
    MemPnm t(one + std::string("P5\n2 1\n255\n\x01", 12));
    EXPECT_EQ(t.H.Frames, 1);
    MemPnm b(one + "P4\n8 1\n\xFF");
    EXPECT_EQ(b.H.Frames, 1);
  }
  {
    MemPnm p("Q5\n2 1\n255\n..");
    EXPECT_EQ(p.OpenResult, (ErrPair{7, 2}));
    EXPECT_EQ(p.H.File, 0);
    EXPECT_EQ(p.Load(1), (ErrPair{7, 1}));
  }
  {
    // Headers that cannot describe an image: nothing to read.
    for (const char* bad : {"P5\n0 1\n255\n", "P5\n2 1\n0\n", "P5\n2 1\n70000\n", "P5\n2 x\n255\n", "P5\n99999999999 1\n255\n", "", "P6"}) {
      MemPnm p(bad);
      EXPECT_EQ(p.OpenResult, (ErrPair{0, 0})) << bad;
      EXPECT_EQ(p.H.Frames, 0) << bad;
      EXPECT_EQ(p.Load(1), (ErrPair{7, 1})) << bad;
    }
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(PnmLoad, SampleRanges) {
  {
    // Up to 255 the samples move up by the range's shift: 15 gives 4.
    MemPnm p(std::string("P5\n2 2\n15\n\x00\x05\x0A\x0F", 14));
    ASSERT_EQ(p.Load(1), (ErrPair{0, 0}));
    EXPECT_EQ(p.H.Shift, 4);
    EXPECT_EQ(std::vector<uint8_t>(p.Img.Data, p.Img.Data + 4), (std::vector<uint8_t>{0, 80, 160, 240}));
    ASSERT_EQ(p.Img.Bpp, 8);
    EXPECT_EQ(p.Img.Palette[3 * 80], 80);
    EXPECT_EQ(p.Img.Palette[3 * 255 + 2], 255);
    // Colour samples move up by the same shift, binary (P6) as text (P3); stored B, G, R.
    MemPnm six(std::string("P6\n2 1\n15\n\x01\x02\x03\x0F\x0E\x0D", 17));
    MemPnm three("P3\n2 1\n15\n1 2 3 15 14 13");
    const std::vector<uint8_t> shifted{48, 32, 16, 208, 224, 240};
    for (MemPnm* m : {&six, &three}) {
      ASSERT_EQ(m->Load(1), (ErrPair{0, 0}));
      EXPECT_EQ(m->H.Shift, 4);
      EXPECT_EQ(std::vector<uint8_t>(m->Img.Data, m->Img.Data + 6), shifted);
    }
  }
  {
    // Above 255: two bytes a sample, scaled with rounding; values above the range count as it.
    MemPnm p(std::string("P5\n6 1\n65535\n\x00\x00\x00\x80\x01\x7F\x80\x00\xFF\xFF\x00\x01", 25));
    ASSERT_EQ(p.Load(1), (ErrPair{0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(p.Img.Data, p.Img.Data + 6), (std::vector<uint8_t>{0, 0, 1, 128, 255, 0}));
    MemPnm q(std::string("P5\n3 1\n1000\n\x00\x02\x01\xF4\xFF\xFF", 18));
    ASSERT_EQ(q.Load(1), (ErrPair{0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(q.Img.Data, q.Img.Data + 3), (std::vector<uint8_t>{1, 128, 255}));
    MemPnm t("P2\n3 1\n1000\n2 500 999");
    ASSERT_EQ(t.Load(1), (ErrPair{0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(t.Img.Data, t.Img.Data + 3), (std::vector<uint8_t>{1, 128, 255}));
  }
  {
    // Text: the last sample may end the file; a sample that is not a number is damage.
    MemPnm p("P3 1 1 255 10 20 30");
    ASSERT_EQ(p.Load(1), (ErrPair{0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(p.Img.Data, p.Img.Data + 3), (std::vector<uint8_t>{30, 20, 10}));
    MemPnm q("P2 2 1 255 7 x");
    EXPECT_EQ(q.Load(1), (ErrPair{7, 9}));
  }
}

// A text grey map with every kind of separator and comments between the samples.
std::string MessyP2(int w, int h, uint32_t seed, std::vector<uint8_t>& values) {
  static const char* kSeparators[] = {" ", "\t", "\n", "\r\n", "   ", " # a comment 123\n", "\r", " \t\n "};
  std::string text = "P2\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  values.clear();
  for (int i = 0; i < w * h; ++i) {
    seed = seed * 1103515245u + 12345u;
    const uint8_t v = static_cast<uint8_t>(seed >> 16);
    values.push_back(v);
    text += std::to_string(v);
    text += kSeparators[(seed >> 8) % 8];
  }
  return text;
}

TEST(PnmText, SeparatorsCommentsAndBufferEdgesFromFileAndMemory) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  std::vector<uint8_t> first, second;
  const std::string a = MessyP2(300, 50, 1, first), b = MessyP2(300, 50, 2, second);
  const std::string both = a + b;
  const std::string name = test::MakeTempDir("pnm-text") + "/messy.pgm";
  test::WriteFile(name, both);
  for (bool fromFile : {true, false}) {
    SCOPED_TRACE(fromFile ? "file" : "memory");
    PnmHandle h;
    Qimg img;
    ASSERT_EQ(TryWork([&] {
                if (fromFile)
                  PnmOpen(h, name);
                else
                  PnmOpenMem_(h, Bytes(both), static_cast<int64_t>(both.size()));
              }),
              (ErrPair{0, 0}));
    EXPECT_EQ(h.Frames, 2);
    ASSERT_EQ(TryWork([&] { PnmLoad(h, img, 2); }), (ErrPair{0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + img.Size), second);
    ASSERT_EQ(TryWork([&] { PnmLoad(h, img, 1); }), (ErrPair{0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(img.Data, img.Data + img.Size), first);
    PnmClose(h);
    ImgFree(img);
  }
  // Tokens longer than the limit count as several; a sample of 600 digits is damage.
  {
    MemPnm p("P2 2 1 255 " + std::string(600, '7') + " 5 ");
    EXPECT_EQ(p.Load(1), (ErrPair{7, 9}));
    MemPnm q("P2 3 1 255 1 " + std::string(600, '7') + "\n");
    EXPECT_EQ(q.H.Frames, 1);  // 512 digits, then 87 after the one the limit consumes: three samples
    EXPECT_EQ(q.Load(1), (ErrPair{7, 9}));
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(PnmSave, TextBytesAreExact) {
  Qimg img;
  ImgAlloc(img, 2, 1, 24);
  const uint8_t bgr[] = {3, 2, 1, 0, 100, 255};
  std::copy(bgr, bgr + 6, img.Data);
  const std::string name = test::MakeTempDir("pnm") + "/t.ppm";
  ASSERT_EQ(TryWork([&] { PnmWritePrepared_(name, img, false); }), (ErrPair{0, 0}));
  EXPECT_EQ(test::ReadFile(name), "P3\n2 1\n255\n1\n2\n3\n255\n100\n0\n");
  ASSERT_EQ(TryWork([&] { PnmWritePrepared_(name, img, true); }), (ErrPair{0, 0}));
  EXPECT_EQ(test::ReadFile(name), std::string("P6\n2 1\n255\n\x01\x02\x03\xFF\x64\x00", 17));
  ImgFree(img);
}

TEST(PnmRoundTrip, ExactAtNarrowAndWideSizes) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  const std::string dir = test::MakeTempDir("pnm-rt");
  for (int32_t w : {1, 2, 3, 300})
    for (bool binary : {true, false}) {
      SCOPED_TRACE("width " + std::to_string(w) + (binary ? " binary" : " text"));
      Qimg src, back;
      ImgAlloc(src, w, 3, 24);
      for (int64_t i = 0; i < src.Size; ++i) src.Data[i] = static_cast<uint8_t>(i * 71 + 5);
      const std::string name = dir + "/t.ppm";
      ASSERT_EQ(TryWork([&] { PnmWritePrepared_(name, src, binary); }), (ErrPair{0, 0}));
      PnmHandle h;
      ASSERT_EQ(TryWork([&] { PnmOpen(h, name); }), (ErrPair{0, 0}));
      ASSERT_EQ(TryWork([&] { PnmLoad(h, back, 1); }), (ErrPair{0, 0}));
      PnmClose(h);
      EXPECT_EQ(std::vector<uint8_t>(back.Data, back.Data + back.Size), std::vector<uint8_t>(src.Data, src.Data + src.Size));
      const std::string raw = dir + "/t.raw";
      ASSERT_EQ(std::system(("ffmpeg -v error -y -i " + name + " -f rawvideo -pix_fmt rgb24 " + raw).c_str()), 0)
          << "ffmpeg is needed (scripts/install-deps.sh)";
      EXPECT_EQ(test::CompareWithRef(src, "rgb", test::ReadFile(raw)), "");
      ImgFree(src);
      ImgFree(back);
    }
  EXPECT_EQ(MemCount(), memAtStart);
}

TEST(PnmHostile, TruncatedFixturesFailAndDamagedOnesNeverCrash) {
  const int32_t memAtStart = MemCount();  // what earlier work left is not this test's
  for (const test::Fixture& f : test::ReadManifest("pnm")) {
    if (f.Unsupported) continue;
    SCOPED_TRACE(f.Name);
    const std::string file = test::ReadFile(test::MediaPath("pnm/" + f.Name));
    const int64_t size = static_cast<int64_t>(file.size());
    // A cut inside the last number of a text file leaves a shorter number: cut whole samples.
    const bool text = file[1] == '2' || file[1] == '3';
    const int64_t last = text ? size - 16 : size - 1;
    for (int64_t cut : {int64_t{0}, int64_t{1}, int64_t{2}, int64_t{5}, int64_t{12}, size / 2, last}) {
      if (cut < 0 || cut >= size) continue;
      MemPnm p(file.substr(0, static_cast<size_t>(cut)));
      const ErrPair e = p.OpenResult != ErrPair{0, 0} ? p.OpenResult : p.Load(1);
      EXPECT_NE(e, (ErrPair{0, 0})) << "cut at " << cut;
    }
    int n = 0;
    for (const std::string& bad : test::Corrupted(file, 40, 29, 0)) {
      MemPnm p(bad);
      if (p.OpenResult == ErrPair{0, 0} && p.Load(1) == ErrPair{0, 0}) {
        EXPECT_GT(p.Img.Width * p.Img.Height, 0) << "variant " << n;
      }
      ++n;
    }
  }
  EXPECT_EQ(MemCount(), memAtStart);
}

}  // namespace
}  // namespace tavelo

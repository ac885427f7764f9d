// The look at RIFF files before FFmpeg reads them.
#include "ffreader/ff_riff_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "ffreader/ff_reader.h"
#include "tests/support/test_env.h"

namespace tavelo::ffreader {
namespace {

std::string Le32(uint32_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF), static_cast<char>((v >> 16) & 0xFF),
          static_cast<char>(v >> 24)};
}
std::string Chunk(const std::string& id, const std::string& data) {
  return id + Le32(static_cast<uint32_t>(data.size())) + data + (data.size() % 2 ? std::string(1, '\0') : "");
}
std::string List(const std::string& type, const std::string& chunks) { return Chunk("LIST", type + chunks); }
std::string Riff(const std::string& form, const std::string& chunks) { return Chunk("RIFF", form + chunks); }

// A PCM WAV header: mono, 8000 Hz, 16 bits.
std::string Fmt() {
  return Chunk("fmt ", std::string("\x01\x00\x01\x00", 4) + Le32(8000) + Le32(16000) + std::string("\x02\x00\x10\x00", 4));
}

bool Fits(const std::string& bytes) {
  static int n = 0;
  const std::string path = test::MakeTempDir("riff") + "/" + std::to_string(++n) + ".bin";
  test::WriteFile(path, bytes);
  return RiffInfoTagsFit(path);
}

TEST(RiffInfoTags, TagsWithinTheFileAreAccepted) {
  const std::string info = List("INFO", Chunk("ISFT", "Lavf59.27.100") + Chunk("INAM", "tune"));
  EXPECT_TRUE(Fits(Riff("WAVE", Fmt() + info + Chunk("data", std::string(400, '\x10')))));
  EXPECT_TRUE(Fits(Riff("WAVE", Fmt() + Chunk("data", std::string(400, '\x10')) + info)));
  // A recording cut short: the data and the list claim more than there is, the tags fit.
  std::string cut = Riff("WAVE", Fmt() + Chunk("data", std::string(4000, '\x10')) + info);
  EXPECT_TRUE(Fits(cut.substr(0, 200)));
  std::string listCut = Riff("WAVE", Fmt() + Chunk("data", "ab") + info);
  listCut.resize(listCut.size() - 6);
  EXPECT_TRUE(Fits(listCut));
  // Not RIFF at all, or too short to tell.
  EXPECT_TRUE(Fits("OggS and more"));
  EXPECT_TRUE(Fits("RIFF"));
}

TEST(RiffInfoTags, ATagClaimingMoreThanTheFileIsRefused) {
  // As the wav fuzz target found it: the list claims 3.7 GB, its second tag 451 MB.
  std::string found = Riff("WAVE", Fmt() + "LIST" + Le32(0xDD00001A) + "INFO" + Chunk("ISFT", "Lavf18.27.100") +
                                       "data" + Le32(0x1AE1DD82) + std::string(20, '\x92'));
  EXPECT_FALSE(Fits(found));
  // In an AVI the list may stand inside the header list; the movie data is not looked into.
  const std::string badInfo = List("INFO", "ISFT" + Le32(1u << 30) + "x");
  EXPECT_FALSE(Fits(Riff("AVI ", List("hdrl", Chunk("avih", std::string(56, '\0')) + badInfo)) +
                    std::string(64, '\0')));
  EXPECT_TRUE(Fits(Riff("AVI ", List("hdrl", Chunk("avih", std::string(56, '\0'))) +
                                    List("movi", Chunk("00dc", std::string(30, '\x01')) + badInfo))));
  // The same in an RF64 file, whose RIFF size says nothing.
  EXPECT_FALSE(Fits("RF64" + Le32(0xFFFFFFFF) + "WAVE" + Fmt() + badInfo + std::string(16, '\0')));

  // The reader refuses such a file with a message, before FFmpeg allocates anything for it.
  const std::string path = test::MakeTempDir("riff") + "/found.wav";
  test::WriteFile(path, found);
  std::string error;
  EXPECT_EQ(Reader::Open(path, OpenOptions{}, &error), nullptr);
  EXPECT_NE(error.find("INFO tag"), std::string::npos) << error;
}

// The same look tells the files that are RIFF AVI, which the reader opens with FFmpeg's AVI
// demuxer without probing for one.
TEST(RiffInfoTags, TellsRiffAviFiles) {
  const std::string header = List("hdrl", Chunk("avih", std::string(56, '\0')));
  const struct {
    std::string bytes;
    bool avi;
  } cases[] = {
      {Riff("AVI ", header), true},
      {Riff("AVI ", header + List("INFO", "ISFT" + Le32(1u << 30) + "x")), true},  // refused, still AVI
      {Riff("WAVE", Fmt() + Chunk("data", "ab")), false},
      {Riff("AVIX", header), false},
      {"RF64" + Le32(0xFFFFFFFF) + "AVI " + header, false},
      {"OggS and more", false},
  };
  const std::string dir = test::MakeTempDir("riff_avi");
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = dir + "/" + std::to_string(++n) + ".bin";
    test::WriteFile(path, c.bytes);
    bool avi = !c.avi;
    RiffInfoTagsFit(path, &avi);
    EXPECT_EQ(avi, c.avi) << n;
  }
}

}  // namespace
}  // namespace tavelo::ffreader

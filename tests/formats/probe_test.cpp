#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>

#include "core/media/img_basic.h"
#include "core/services/monitor.h"
#include "formats/units/ff_tga_pcx_bmp.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

struct ProbeRun {
  int Status = -1;
  std::string Out;
  std::string Err;
};

// Runs tavelo-probe with arguments (each quoted) and collects its output and exit status.
ProbeRun Probe(const std::string& args) {
  const std::string errFile = test::MakeTempDir("probe") + "/stderr";
  const std::string command = std::string("'") + TAVELO_PROBE + "' " + args + " 2>'" + errFile + "'";
  ProbeRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.Out.append(buffer, n);
  const int status = pclose(pipe);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.Err = test::ReadFile(errFile);
  return run;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) != 0 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return ~crc;
}

std::string SequenceCopy() {
  const std::string dir = test::MakeTempDir("seq");
  for (const auto& e : std::filesystem::directory_iterator(test::MediaPath("formats/seq")))
    std::filesystem::copy_file(e.path(), dir + "/" + e.path().filename().string());
  return dir;
}

TEST(Probe, DescribesANumberedSequenceAsKind2) {
  const std::string dir = SequenceCopy();
  const ProbeRun run = Probe("info " + Quote(dir + "/img0001.bmp"));
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find("format id: 3\n"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("kind: 2\n"), std::string::npos);
  EXPECT_NE(run.Out.find("width: 32\nheight: 24\nbits: 24\n"), std::string::npos);
  EXPECT_NE(run.Out.find("frame count: 5\n"), std::string::npos);
  EXPECT_NE(run.Out.find("video codec: Uncompressed, full frames\n"), std::string::npos);
  EXPECT_NE(run.Out.find("audio: none\n"), std::string::npos);
  EXPECT_NE(run.Out.find("failed: no\n"), std::string::npos);
}

TEST(Probe, ReadsEveryFrameOfASequence) {
  const std::string dir = SequenceCopy();
  const ProbeRun run = Probe("frames " + Quote(dir + "/img0001.bmp"));
  ASSERT_EQ(run.Status, 0) << run.Err;
  const std::regex line("frame ([0-9]+): 32x24 24 [0-9a-f]{8}\n");
  int frames = 0;
  for (std::sregex_iterator it(run.Out.begin(), run.Out.end(), line), end; it != end; ++it)
    EXPECT_EQ(std::stoi((*it)[1]), ++frames);
  EXPECT_EQ(frames, 5) << run.Out;
}

TEST(Probe, WritesFramesAsPpm) {
  const std::string dir = SequenceCopy();
  const std::string out = test::MakeTempDir("ppm");
  const ProbeRun run = Probe("frames " + Quote(dir + "/img0001.bmp") + " --first 2 --count 2 --out " + Quote(out));
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(std::count(run.Out.begin(), run.Out.end(), '\n'), 2);
  for (int n : {2, 3}) {
    const std::string ppm = test::ReadFile(out + "/frame_" + std::to_string(n) + ".ppm");
    const std::string head = "P6\n32 24\n255\n";
    ASSERT_EQ(ppm.substr(0, head.size()), head);
    const std::string rgb = ppm.substr(head.size());
    ASSERT_EQ(rgb.size(), 32u * 24 * 3);
    // The same pixels as the member file, top-down R, G, B; the printed checksum is theirs.
    Qimg img;
    ASSERT_EQ(MonitoredNoRaise([&] { DIBLoad_(dir + "/img000" + std::to_string(n) + ".bmp", img); }), 0);
    for (int64_t i = 0; i < 32 * 24; ++i) {
      ASSERT_EQ(static_cast<uint8_t>(rgb[3 * i]), img.Data[3 * i + 2]);
      ASSERT_EQ(static_cast<uint8_t>(rgb[3 * i + 2]), img.Data[3 * i]);
    }
    ImgFree(img);
    char expect[64];
    std::snprintf(expect, sizeof(expect), "frame %d: 32x24 24 %08x\n", n, Crc32(rgb));
    EXPECT_NE(run.Out.find(expect), std::string::npos) << run.Out;
  }
  EXPECT_FALSE(std::filesystem::exists(out + "/frame_1.ppm"));
  EXPECT_FALSE(std::filesystem::exists(out + "/frame_4.ppm"));
}

// Compressed sound read in many pieces is the sound FFmpeg decodes, with no piece read twice.
TEST(Probe, SoundReadsOnAsThePlayerDoes) {
  struct Case {
    const char* name;
    int maxDiff;
  };
  for (const Case c : {Case{"ima_ffmpeg", 0}, Case{"msadpcm_ffmpeg", 0}, Case{"mp3", 1}}) {
    SCOPED_TRACE(c.name);
    const std::string out = test::MakeTempDir("probe-sound") + "/out.wav";
    const ProbeRun run = Probe("sound " + Quote(test::MediaPath(std::string("wav/") + c.name + ".wav")) + " --out " + Quote(out));
    ASSERT_EQ(run.Status, 0) << run.Err;
    const std::string wav = test::ReadFile(out);
    const std::string reference = test::ReadFile(test::MediaPath(std::string("wav/") + c.name + ".pcm"));
    ASSERT_GT(wav.size(), 44u);
    ASSERT_GT(reference.size(), 65536u * 2);
    const std::string pcm = wav.substr(44);
    ASSERT_EQ(pcm.size(), reference.size());
    int worst = 0;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
      const int a = static_cast<int16_t>(static_cast<uint8_t>(pcm[i]) | (static_cast<uint8_t>(pcm[i + 1]) << 8));
      const int b = static_cast<int16_t>(static_cast<uint8_t>(reference[i]) | (static_cast<uint8_t>(reference[i + 1]) << 8));
      worst = std::max(worst, std::abs(a - b));
    }
    EXPECT_LE(worst, c.maxDiff);
  }
}

TEST(Probe, FailuresExitWithTheProgramsErrorText) {
  ProbeRun run = Probe("info /no/such/file.bmp");
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, "File not exist.\n");
  run = Probe("sound " + Quote(test::MediaPath("formats/im_24.bmp")));
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, "Movie format not supported.\n");
  EXPECT_EQ(Probe("explode x").Status, 2);
  EXPECT_EQ(Probe("frames x --count 0").Status, 2);
  EXPECT_EQ(Probe("info").Status, 2);
}

}  // namespace
}  // namespace tavelo

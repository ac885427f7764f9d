// The WAV unit over files made by ffmpeg and sox: the sample count ffprobe reports, the samples of
// FFmpeg's decode, seeks by block, the continue option, extra and odd-sized chunks, and damaged
// headers refused with the unit's errors.
#include "formats/units/ff_wav.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "formats/conform.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using namespace platform;

struct Outcome {
  int32_t cls = 0;
  int32_t code = 0;
};

template <class Work>
Outcome Try(Work&& work) {
  Outcome o;
  o.cls = MonitoredNoRaise(work);
  o.code = GetErrorCode();
  ClearError();
  return o;
}

std::string Media(const std::string& name) { return test::MediaPath("wav/" + name); }

long SampleCount(const std::string& name) { return std::atol(test::ReadFile(Media(name + ".samples")).c_str()); }

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
  return v;
}

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string Chunk(const std::string& id, const std::string& data) {
  std::string c = id;
  c.resize(8);
  Put32(c, 4, static_cast<uint32_t>(data.size()));
  c += data;
  if (data.size() & 1) c.push_back('\0');
  return c;
}

// The chunks of a RIFF WAVE file, in order, with their data.
std::vector<std::pair<std::string, std::string>> Chunks(const std::string& file) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t at = 12;
  while (at + 8 <= file.size()) {
    const uint32_t size = Le32(file, at + 4);
    out.emplace_back(file.substr(at, 4), file.substr(at + 8, size));
    at += 8 + size + (size & 1);
  }
  return out;
}

std::string Riff(const std::vector<std::pair<std::string, std::string>>& chunks) {
  std::string body = "WAVE";
  for (const auto& [id, data] : chunks) body += Chunk(id, data);
  return Chunk("RIFF", body);
}

class WavTest : public ::testing::Test {
 protected:
  void SetUp() override {
    baseline_ = MemCount();
    filesBaseline_ = FCount();
  }
  void TearDown() override {
    SndFree(snd_);
    EXPECT_EQ(MemCount(), baseline_);
    EXPECT_EQ(FCount(), filesBaseline_);
  }
  Outcome Open(const std::string& path) { return Try([&] { WAVOpen(h_, path); }); }
  void Close() { ASSERT_EQ(Try([&] { WAVClose(h_); }).cls, 0); }
  // The bytes of one load.
  std::string Load(int32_t pos, int32_t count, int32_t option) {
    const Outcome o = Try([&] { WAVLoad(h_, snd_, pos, count, option); });
    EXPECT_EQ(o.cls, 0) << o.code;
    return std::string(reinterpret_cast<const char*>(snd_.SndData),
                       static_cast<size_t>(snd_.samples) * snd_.Format.nBlockAlign);
  }
  // Everything from the start in runs of frames, continuing each time.
  std::string LoadAll(int32_t frames) {
    std::string all;
    int32_t pos = 0;
    for (int guard = 0; guard < 100000; ++guard) {
      const std::string piece = Load(pos, frames, 1);
      if (piece.empty()) break;
      all += piece;
      pos += snd_.samples;
    }
    return all;
  }

  WavHandle h_{};
  Qsnd snd_;
  int32_t baseline_ = 0;
  int32_t filesBaseline_ = 0;
};

struct Fixture {
  const char* name;
  uint16_t tag;
  int maxDiff;  // largest difference from FFmpeg's decode; 0: exact
};

void PrintTo(const Fixture& f, std::ostream* os) { *os << f.name; }

class WavFiles : public WavTest, public ::testing::WithParamInterface<Fixture> {};

TEST_P(WavFiles, CountAndSamplesMatchFfmpeg) {
  const Fixture& fx = GetParam();
  const std::string path = Media(std::string(fx.name) + ".wav");
  const long expected = SampleCount(fx.name);
  const std::string reference = test::ReadFile(Media(std::string(fx.name) + ".pcm"));
  ASSERT_GT(expected, 0);

  FFInfoRec info;
  ASSERT_EQ(Try([&] { WAVInfo(path, info); }).cls, 0);
  EXPECT_EQ(info.FormatId, 12);
  EXPECT_EQ(info.FileSize, static_cast<double>(test::ReadFile(path).size()));
  EXPECT_EQ(+info.Audio.SrcFormat.wFormatTag, fx.tag);
  EXPECT_TRUE(info.Audio.HasAudio);
  EXPECT_TRUE(info.Audio.AudioSupported);
  EXPECT_NE(info.Audio.CodecName, "Unknown codec");
  const WAVEFORMATEX pcm = info.Audio.PcmFormat;
  EXPECT_EQ(+pcm.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(+pcm.nChannels, +info.Audio.SrcFormat.nChannels);
  EXPECT_EQ(+pcm.nSamplesPerSec, +info.Audio.SrcFormat.nSamplesPerSec);
  ASSERT_EQ(reference.size(), static_cast<size_t>(expected) * pcm.nBlockAlign);
  // MPEG audio has no blocks: its length is estimated from the byte rate, within one frame.
  const bool mpeg = fx.tag == WAVE_FORMAT_MPEGLAYER3;
  if (mpeg)
    EXPECT_NEAR(info.Audio.Samples, expected, 1152);
  else
    EXPECT_EQ(info.Audio.Samples, expected);

  ASSERT_EQ(Open(path).cls, 0);
  for (int32_t frames : {4000, 777}) {
    SCOPED_TRACE(frames);
    const std::string all = LoadAll(frames);
    ASSERT_EQ(all.size(), reference.size());
    if (fx.maxDiff == 0) {
      EXPECT_TRUE(all == reference) << "samples differ from FFmpeg's decode";
    } else {
      int worst = 0;
      const auto* a = reinterpret_cast<const int16_t*>(all.data());
      const auto* b = reinterpret_cast<const int16_t*>(reference.data());
      for (size_t i = 0; i < all.size() / 2; ++i) worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
      EXPECT_LE(worst, fx.maxDiff);
    }
    // At the end a load gives nothing, and no error.
    EXPECT_TRUE(Load(h_.CurrentSample, 100, 1).empty());
    EXPECT_EQ(h_.CurrentSample, static_cast<int32_t>(expected));
  }
  Close();
}

INSTANTIATE_TEST_SUITE_P(
    Files, WavFiles,
    ::testing::Values(Fixture{"pcm8_mono", WAVE_FORMAT_PCM, 0}, Fixture{"pcm8_stereo", WAVE_FORMAT_PCM, 0},
                      Fixture{"pcm16_mono", WAVE_FORMAT_PCM, 0}, Fixture{"pcm16_stereo", WAVE_FORMAT_PCM, 0},
                      Fixture{"ima_ffmpeg", WAVE_FORMAT_IMA_ADPCM, 0}, Fixture{"ima_sox", WAVE_FORMAT_IMA_ADPCM, 0},
                      Fixture{"msadpcm_ffmpeg", WAVE_FORMAT_ADPCM, 0}, Fixture{"msadpcm_sox", WAVE_FORMAT_ADPCM, 0},
                      Fixture{"alaw", WAVE_FORMAT_ALAW, 0}, Fixture{"mulaw", WAVE_FORMAT_MULAW, 0},
                      Fixture{"gsm_ffmpeg", WAVE_FORMAT_GSM610, 0}, Fixture{"gsm_sox", WAVE_FORMAT_GSM610, 0},
                      Fixture{"mp3", WAVE_FORMAT_MPEGLAYER3, 1}, Fixture{"ext24_ffmpeg", WAVE_FORMAT_PCM, 0},
                      Fixture{"ext24_sox", WAVE_FORMAT_PCM, 0}, Fixture{"extfloat_ffmpeg", WAVE_FORMAT_IEEE_FLOAT, 1}),
    [](const ::testing::TestParamInfo<Fixture>& info) { return std::string(info.param.name); });

TEST_F(WavTest, SeeksLandOnBlocks) {
  // 10 000 blocks of one sample: a seek past the end lands on the last block.
  ASSERT_EQ(Open(Media("pcm_10000.wav")).cls, 0);
  EXPECT_EQ(h_.Samples, 10000);
  EXPECT_EQ(h_.SamplesPerBlock, 1.0);
  const std::string all = test::ReadFile(Media("pcm_10000.pcm"));
  ASSERT_EQ(Try([&] { WAVSeek(h_, 12345); }).cls, 0);
  EXPECT_EQ(h_.CurrentSample, 9999);
  EXPECT_EQ(Load(9999, 5, 1), all.substr(9999, 1));
  EXPECT_EQ(Load(250, 10, 0), all.substr(250, 10));
  Close();

  // IMA ADPCM: a seek lands at the start of the block that holds the position.
  ASSERT_EQ(Open(Media("ima_sox.wav")).cls, 0);
  const int32_t perBlock = static_cast<int32_t>(h_.SamplesPerBlock);
  EXPECT_EQ(h_.SamplesPerBlock, static_cast<double>(perBlock));
  EXPECT_GT(perBlock, 1);
  const std::string ref = test::ReadFile(Media("ima_sox.pcm"));  // 16-bit mono
  const int32_t pos = 3 * perBlock + 17;
  EXPECT_EQ(Load(pos, 20, 0), ref.substr(static_cast<size_t>(3 * perBlock) * 2, 40));
  EXPECT_EQ(h_.CurrentSample, pos + 20);

  // With the continue option a load reads on; without it, it seeks.
  EXPECT_EQ(Load(0, 100, 0), ref.substr(0, 200));
  EXPECT_EQ(Load(100, 50, 1), ref.substr(200, 100));
  EXPECT_EQ(Load(150, 50, 0), ref.substr(0, 100));  // back to the start of block 0
  // The continue option does not apply when the position is not where the last load ended.
  EXPECT_EQ(Load(perBlock, 10, 1), ref.substr(static_cast<size_t>(perBlock) * 2, 20));
  Close();
}

TEST_F(WavTest, ExtraChunksOddSizesAndTheEndOfTheData) {
  const std::string original = test::ReadFile(Media("pcm8_mono.wav"));
  const std::string pcm = test::ReadFile(Media("pcm8_mono.pcm"));
  auto chunks = Chunks(original);
  ASSERT_EQ(chunks.size(), 3u);  // fmt, LIST, data (odd-sized)
  ASSERT_EQ(chunks[1].first, "LIST");
  ASSERT_TRUE(chunks[2].second.size() & 1);
  const std::string dir = test::MakeTempDir("wav");

  // An odd-sized chunk before the format, another between format and data, and a LIST chunk
  // behind the data whose bytes must never play.
  auto extra = chunks;
  extra.insert(extra.begin(), {"junk", "abc"});
  extra.insert(extra.begin() + 2, {"odd ", std::string(7, 'x')});
  extra.emplace_back("LIST", "INFOICMT" + std::string("\x05\0\0\0noise", 9));
  test::WriteFile(dir + "/extra.wav", Riff(extra));
  ASSERT_EQ(Open(dir + "/extra.wav").cls, 0);
  EXPECT_EQ(h_.Samples, static_cast<int32_t>(pcm.size()));
  EXPECT_EQ(LoadAll(1000), pcm);
  Close();

  // A data chunk that claims more than the file holds is what is there.
  std::string cut = original;
  Put32(cut, cut.find("data") + 4, 0xFFFFFFF0u);
  test::WriteFile(dir + "/cut.wav", cut);
  ASSERT_EQ(Open(dir + "/cut.wav").cls, 0);
  EXPECT_EQ(h_.Samples, static_cast<int32_t>(pcm.size()) + 1);  // the pad byte counts as a sample
  EXPECT_EQ(LoadAll(5000).substr(0, pcm.size()), pcm);
  Close();

  // A format chunk larger than any format: its head is read, the rest stepped over.
  auto big = chunks;
  big[0].second += std::string(10000, '\0');
  test::WriteFile(dir + "/bigfmt.wav", Riff(big));
  ASSERT_EQ(Open(dir + "/bigfmt.wav").cls, 0);
  EXPECT_EQ(LoadAll(3000), pcm);
  Close();

  // A byte rate of 0 is completed from the rate and the block; an absurd one is not believed.
  for (uint32_t rate : {0u, 0xFFFFFFFFu}) {
    auto r = chunks;
    Put32(r[0].second, 8, rate);
    test::WriteFile(dir + "/rate.wav", Riff(r));
    ASSERT_EQ(Open(dir + "/rate.wav").cls, 0) << rate;
    EXPECT_LE(h_.ReadBytes, 16 << 20);
    EXPECT_EQ(LoadAll(3000), pcm) << rate;
    Close();
  }
}

TEST_F(WavTest, DamagedFilesAreRefused) {
  const std::string original = test::ReadFile(Media("pcm16_mono.wav"));
  const auto chunks = Chunks(original);
  const std::string dir = test::MakeTempDir("wav");
  struct Case {
    const char* what;
    std::string bytes;
    int32_t cls, code;
  };
  auto without = [&](const std::string& id) {
    auto c = chunks;
    c.erase(std::remove_if(c.begin(), c.end(), [&](const auto& x) { return x.first == id; }), c.end());
    return Riff(c);
  };
  auto zeroAlign = chunks;
  Put32(zeroAlign[0].second, 12, 0x00100000u);  // nBlockAlign 0, 16 bits
  auto longJunk = chunks;
  longJunk.insert(longJunk.begin() + 1, {"junk", "1234"});
  std::string longJunkFile = Riff(longJunk);
  Put32(longJunkFile, longJunkFile.find("junk") + 4, 0x7FFFFFF0u);
  std::string notWave = original;
  notWave.replace(8, 4, "AVI ");
  std::string notRiff = original;
  notRiff.replace(0, 4, "RIFX");
  const Case cases[] = {
      {"no format chunk", without("fmt "), ecWav, 1},
      {"no data chunk", without("data"), ecWav, 1},
      {"block alignment 0", Riff(zeroAlign), ecWav, 1},
      {"not WAVE", notWave, ecWav, 1},
      {"not RIFF", notRiff, ecWav, 1},
      {"empty file", std::string(), ecWav, 1},
      {"format cut short", original.substr(0, 30), ecWav, 1},
      {"a chunk runs past the end", longJunkFile, ecWav, 3},
  };
  for (const Case& c : cases) {
    test::WriteFile(dir + "/bad.wav", c.bytes);
    const Outcome o = Open(dir + "/bad.wav");
    EXPECT_EQ(o.cls, c.cls) << c.what;
    EXPECT_EQ(o.code, c.code) << c.what;
    EXPECT_EQ(h_.File, 0) << c.what;
    Try([&] { WAVClose(h_); });
  }
  const Outcome missing = Open(dir + "/missing.wav");
  EXPECT_EQ(missing.cls, ecWav);
  EXPECT_EQ(missing.code, 1);

  // A stored format nobody decodes opens without an error of its own, but is not playable.
  auto unknown = chunks;
  unknown[0].second[0] = '\x34';
  unknown[0].second[1] = '\x12';
  test::WriteFile(dir + "/unknown.wav", Riff(unknown));
  EXPECT_EQ(Open(dir + "/unknown.wav").cls, 0);
  EXPECT_FALSE(h_.AudioSupported);
  Close();
}

// PCM the conversion cannot take (made by tests/data/generate/odd_wav.sh) is refused when it
// opens, never reported as playable to fail at every load.
TEST_F(WavTest, PcmOfOddBitsOrBlocksIsNotSupported) {
  for (const char* name : {"pcm12.wav", "align6.wav"}) {
    SCOPED_TRACE(name);
    const std::string path = test::MediaPath(std::string("odd_wav/") + name);
    ASSERT_FALSE(test::ReadFile(path).empty());
    EXPECT_EQ(Open(path).cls, 0);
    EXPECT_FALSE(h_.AudioSupported);
    Close();
    FFInfoRec info;
    ASSERT_EQ(Try([&] { WAVInfo(path, info); }).cls, 0);
    EXPECT_FALSE(info.Audio.AudioSupported);
  }
}

// MPEG layer 3 as ffmpeg writes it by default has a byte rate of 0: its length comes from its
// frames, and every sample plays.
TEST_F(WavTest, Mp3WithoutByteRateCountsItsFrames) {
  const std::string path = test::MediaPath("odd_wav/mp3_vbr.wav");
  const long expected = std::atol(test::ReadFile(test::MediaPath("odd_wav/mp3_vbr.samples")).c_str());
  const std::string reference = test::ReadFile(test::MediaPath("odd_wav/mp3_vbr.pcm"));
  ASSERT_GT(expected, 0);
  FFInfoRec info;
  ASSERT_EQ(Try([&] { WAVInfo(path, info); }).cls, 0);
  EXPECT_TRUE(info.Audio.AudioSupported);
  EXPECT_EQ(info.Audio.Samples, expected);
  ASSERT_EQ(Open(path).cls, 0);
  const std::string all = LoadAll(4000);
  ASSERT_EQ(all.size(), reference.size());
  int worst = 0;
  const auto* a = reinterpret_cast<const int16_t*>(all.data());
  const auto* b = reinterpret_cast<const int16_t*>(reference.data());
  for (size_t i = 0; i < all.size() / 2; ++i) worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
  EXPECT_LE(worst, 1);
  Close();
}

TEST_F(WavTest, ThroughTheDispatcher) {
  const std::string path = Media("msadpcm_ffmpeg.wav");
  const std::string reference = test::ReadFile(Media("msadpcm_ffmpeg.pcm"));
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(path, info, 0, nullptr, nullptr));
  EXPECT_EQ(info.FormatId, 12);
  EXPECT_EQ(info.Kind, ukMovie);
  EXPECT_EQ(info.Description, "WAV, Windows Wave Sound");
  EXPECT_EQ(info.Audio.Samples, SampleCount("msadpcm_ffmpeg"));
  EXPECT_EQ(info.Audio.Bits, 16);
  EXPECT_FALSE(info.Video.HasVideo);
  UniHandle h;
  ASSERT_EQ(MonitoredNoRaise([&] { UniOpen(h, info); }), 0);
  std::string all;
  for (int32_t pos = 0; pos < info.Audio.Samples;) {
    ASSERT_EQ(MonitoredNoRaise([&] { UniSndLoad(h, snd_, pos, 5000, 1); }), 0);
    if (snd_.samples == 0) break;
    all.append(reinterpret_cast<const char*>(snd_.SndData), static_cast<size_t>(snd_.samples) * 4);
    pos += snd_.samples;
    EXPECT_EQ(h.CurrentSample, pos);
  }
  EXPECT_TRUE(all == reference);
  ASSERT_EQ(MonitoredNoRaise([&] { UniClose(h); }), 0);
}

TEST_F(WavTest, RandomDamageNeverCrashes) {
  const std::string dir = test::MakeTempDir("wav-random");
  std::mt19937 rng(4242);
  for (const char* name : {"ima_ffmpeg", "msadpcm_sox", "pcm8_mono", "gsm_ffmpeg"}) {
    const std::string original = test::ReadFile(Media(std::string(name) + ".wav"));
    for (int round = 0; round < 60; ++round) {
      std::string bytes = original;
      // Most hits land in the headers, where sizes and counts live.
      const int hits = 1 + static_cast<int>(rng() % 4);
      for (int k = 0; k < hits; ++k) {
        const size_t at = rng() % 3 == 0 ? rng() % bytes.size() : rng() % std::min<size_t>(bytes.size(), 120);
        bytes[at] = static_cast<char>(rng());
      }
      if (rng() % 4 == 0) bytes.resize(rng() % bytes.size());
      test::WriteFile(dir + "/r.wav", bytes);
      if (Open(dir + "/r.wav").cls == 0) {
        for (int32_t pos : {0, 5000, 300}) Try([&] { WAVLoad(h_, snd_, pos, 2000, 1); });
      }
      Try([&] { WAVClose(h_); });
    }
  }
}

}  // namespace
}  // namespace tavelo

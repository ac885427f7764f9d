// The MPEG unit's own rules (kinds, the frame-rate codes, sound names, the progress bridge) and
// its behaviour around the library, with a stand-in mpegcodec whose failures the test chooses:
// the extra bytes never reach the description's fields, failed reads are errors, a failed sound
// open gives the picture side back, library errors are reported after the call, a cancelled
// description fails the open, and the sound reads' trace lines.
#include "formats/units/ff_mpg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/conform.h"
#include "formats/ff_codec_libs.h"
#include "tests/formats/format_fixture.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

struct Outcome {
  int32_t cls = 0;
  int32_t code = 0;
  std::string text;
};

template <class Work>
Outcome Try(Work&& work) {
  Outcome o;
  o.cls = MonitoredNoRaise(work);
  o.code = GetErrorCode();
  o.text = GetErrorStoredText();
  ClearError();
  return o;
}

// ---- Rules ----

TEST(MpgRules, KindEdges) {
  // VCD: MPEG-1 in a system stream of video-CD packs, below 1214 kbit/s, 352 x 288 or 240.
  EXPECT_EQ(MpgKind_(0, 1, 1, 1213, 352, 288), 2);
  EXPECT_EQ(MpgKind_(0, 1, 1, 1214, 352, 288), 1);
  EXPECT_EQ(MpgKind_(0, 1, 1, 0, 352, 240), 2);
  EXPECT_EQ(MpgKind_(0, 0, 1, 1150, 352, 288), 1);
  EXPECT_EQ(MpgKind_(0, 1, 0, 1150, 352, 288), 1);
  EXPECT_EQ(MpgKind_(0, 1, 1, 1150, 352, 576), 1);
  // SVCD: MPEG-2 below 2440 kbit/s at 480 x 576 or 480.
  EXPECT_EQ(MpgKind_(1, 1, 1, 2439, 480, 576), 4);
  EXPECT_EQ(MpgKind_(1, 1, 1, 2440, 480, 576), 3);
  EXPECT_EQ(MpgKind_(1, 1, 1, 2000, 480, 480), 4);
  EXPECT_EQ(MpgKind_(1, 1, 0, 2000, 480, 576), 3);
  EXPECT_EQ(MpgKind_(1, 0, 1, 2000, 480, 576), 3);
  // DVD: MPEG-2 from 2500 to 8000 kbit/s at 720 x 576 or 480; the second flag is not needed.
  EXPECT_EQ(MpgKind_(1, 1, 0, 2500, 720, 576), 5);
  EXPECT_EQ(MpgKind_(1, 1, 1, 8000, 720, 480), 5);
  EXPECT_EQ(MpgKind_(1, 1, 0, 2499, 720, 576), 3);
  EXPECT_EQ(MpgKind_(1, 1, 0, 8001, 720, 576), 3);
  EXPECT_EQ(MpgKind_(1, 0, 0, 5000, 720, 576), 3);
  EXPECT_EQ(MpgKind_(1, 1, 0, 5000, 704, 576), 3);
  // An MPEG-1 stream at a DVD size is still MPEG-1.
  EXPECT_EQ(MpgKind_(0, 1, 1, 5000, 720, 576), 1);
  const char* names[] = {"MPEG (unknown)", "MPEG-1", "MPEG-VCD", "MPEG-2", "MPEG-SVCD", "MPEG-DVD", "MPEG (unknown)"};
  for (int32_t k = 0; k <= 6; ++k) EXPECT_EQ(MpgKindName_(k), names[k]) << k;
}

TEST(MpgRules, FrameRateCodes) {
  const double rates[] = {0.0, 24000.0 / 1001, 24.0, 25.0, 30000.0 / 1001, 30.0, 50.0, 60000.0 / 1001, 60.0};
  for (int32_t c = 0; c <= 8; ++c) EXPECT_DOUBLE_EQ(MpgFrameRate_(c), rates[c]) << c;
  EXPECT_DOUBLE_EQ(MpgFrameRate_(-3), 0.0);
  EXPECT_DOUBLE_EQ(MpgFrameRate_(15), 60.0);
}

// MPEG-2's frame-rate extension, as the library hands it on (bytes 2 and 3: n + 1, d + 1).
TEST(MpgRules, FrameRateExtensions) {
  const struct {
    int32_t code;
    uint8_t n1, d1;
    double rate;
  } cases[] = {{2, 0, 0, 24.0}, {2, 1, 2, 12.0}, {3, 1, 1, 25.0}, {5, 2, 1, 60.0}, {4, 1, 2, 15000.0 / 1001}};
  for (const auto& c : cases) {
    const uint8_t extra[8] = {3, 0, c.n1, c.d1, 0, 0, 0, 0};
    EXPECT_DOUBLE_EQ(MpgFrameRate_(c.code, extra), c.rate) << c.code << " " << int{c.n1} << "/" << int{c.d1};
  }
}

TEST(MpgRules, SoundNames) {
  MpgAudioInfo a{};
  a.StreamKind = kMpgKindMpegAudio;
  a.Layer = 3;
  EXPECT_EQ(MpgAudioName_(a), "MPEG-1, Layer-III (MP3)");
  a.Lsf = 1;
  a.Layer = 2;
  EXPECT_EQ(MpgAudioName_(a), "MPEG-2 LSF, Layer-II");
  a.Lsf = 0;
  a.Layer = 1;
  EXPECT_EQ(MpgAudioName_(a), "MPEG-1, Layer-I");
  a.Layer = 0;
  EXPECT_EQ(MpgAudioName_(a), "MPEG-1, Layer");
  a.StreamKind = kMpgKindAc3;
  EXPECT_EQ(MpgAudioName_(a), "AC3 compatible");
}

struct Seen {
  std::vector<FFProgressRec> recs;
  std::vector<std::string> texts;
  int cancelAt = -1;  // the call (from 0) that cancels
  bool raise = false;
};

int32_t Record(FFProgressRec* rec) {
  auto* seen = static_cast<Seen*>(rec->UserData);
  if (seen->raise) throw std::runtime_error("progress routine failed");
  seen->texts.push_back(rec->Text != nullptr ? rec->Text : "");
  if (static_cast<int>(seen->recs.size()) == seen->cancelAt) rec->Cancel = -1;
  seen->recs.push_back(*rec);
  return 0;
}

MpgLibProgress LibRec(MpgBridgeRec& bridge, int64_t done, int64_t total, double fraction, int32_t finished) {
  MpgLibProgress lib{};
  lib.Text = "file.mpg";
  lib.Done = done;
  lib.Total = total;
  lib.Fraction = fraction;
  lib.Finished = finished;
  lib.Stage = 1;
  lib.BridgeData = &bridge;
  return lib;
}

TEST(MpgRules, ProgressBridgeScalesPassesOfProgramStreams) {
  Seen seen;
  MpgBridgeRec b{};
  b.Type = kMpgTypeProgram;
  b.Scale = 0.4;
  b.Progress = &Record;
  b.ProgressData = &seen;
  // First pass: 0 to 40 percent; Finished is held back below 99 percent.
  MpgLibProgress lib = LibRec(b, 5 * (int64_t{1} << 40), 6 * (int64_t{1} << 40), 50.0, 1);
  MpgProgressBridge_(&lib);
  ASSERT_EQ(seen.recs.size(), 1u);
  EXPECT_FLOAT_EQ(seen.recs[0].Fraction, 20.0f);
  EXPECT_EQ(seen.recs[0].Finished, 0);
  EXPECT_EQ(lib.Finished, 0);
  // The counts are kilobytes, cut to 32 bits.
  EXPECT_EQ(seen.recs[0].Done, static_cast<int32_t>(static_cast<uint32_t>(5 * (int64_t{1} << 30))));
  EXPECT_EQ(seen.recs[0].Total, static_cast<int32_t>(static_cast<uint32_t>(6 * (int64_t{1} << 30))));
  EXPECT_EQ(seen.texts[0], "file.mpg");
  EXPECT_EQ(seen.recs[0].Stage, 1);
  EXPECT_EQ(b.State, 1);
  // A new total starts the second pass at 40 percent.
  lib = LibRec(b, 100, 2048, 100.0, 1);
  MpgProgressBridge_(&lib);
  EXPECT_EQ(b.State, 2);
  EXPECT_FLOAT_EQ(seen.recs[1].Fraction, 80.0f);
  EXPECT_EQ(seen.recs[1].Finished, 0);
  // The sound: 80 to 100 percent, and now the end counts.
  b.Offset = 80.0;
  b.Scale = 0.2;
  lib = LibRec(b, 2048, 2048, 100.0, 1);
  MpgProgressBridge_(&lib);
  EXPECT_FLOAT_EQ(seen.recs[2].Fraction, 100.0f);
  EXPECT_EQ(seen.recs[2].Finished, 1);
  EXPECT_EQ(lib.Finished, 1);
  EXPECT_EQ(b.Cancel, 0);
}

TEST(MpgRules, ProgressBridgeCarriesACancelBack) {
  Seen seen;
  seen.cancelAt = 1;
  MpgBridgeRec b{};
  b.Type = kMpgTypeSystem;
  b.Scale = 1.0;
  b.Progress = &Record;
  b.ProgressData = &seen;
  MpgLibProgress lib = LibRec(b, 0, 4096, 10.0, 0);
  MpgProgressBridge_(&lib);
  EXPECT_EQ(lib.Cancel, 0);
  lib = LibRec(b, 4096, 4096, 100.0, 1);
  MpgProgressBridge_(&lib);
  EXPECT_FLOAT_EQ(seen.recs[1].Fraction, 100.0f);
  EXPECT_EQ(seen.recs[1].Finished, 1);  // only program streams hold it back
  EXPECT_NE(lib.Cancel, 0);
  EXPECT_NE(b.Cancel, 0);
  // A routine that throws stops the work instead of unwinding through the library.
  seen.raise = true;
  MpgBridgeRec quiet = b;
  quiet.Cancel = 0;
  lib = LibRec(quiet, 0, 4096, 0.0, 0);
  MpgProgressBridge_(&lib);
  EXPECT_NE(quiet.Cancel, 0);
}

// ---- Around the library (the stand-in) ----

class MpgFake : public test::FormatTest {
 protected:
  void SetUp() override {
    test::FormatTest::SetUp();
    platform::SetLibraryFolder(TAVELO_FAKE_MPEG_DIR);
    FFLoadCodecLib(clMpeg);
    ASSERT_TRUE(FFCodecLibReady(clMpeg)) << platform::LastLibraryError();
    live_ = reinterpret_cast<int32_t (*)()>(dlsym(FFCodecLibrary(clMpeg).Module, "fake_mpg_live"));
    ASSERT_NE(live_, nullptr);
    file_ = test::MakeTempDir("mpg") + "/movie.mpg";
    test::WriteFile(file_, std::string(64, '\0'));
  }
  void TearDown() override {
    unsetenv("FAKE_MPG_MODE");
    ImgFree(img_);
    SndFree(snd_);
    EXPECT_EQ(live_ != nullptr ? live_() : 0, 0);
    test::FormatTest::TearDown();
  }
  void Mode(const char* mode) { setenv("FAKE_MPG_MODE", mode, 1); }
  Outcome Open(MpgHandle& h) {
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    return Try([&] { MpgOpen(h, file_, 0, nullptr, nullptr); });
  }
  // Runs work with the trace log on; the log's text.
  template <class Work>
  std::string Traced(Work&& work) {
    const std::string log = test::MakeTempDir("trace") + "/trace.txt";
    SetTraceFile(log);
    TraceStart("test");
    work();
    TraceStop();
    return test::ReadFile(log);
  }

  int32_t (*live_)() = nullptr;
  std::string file_;
  Qimg img_;
  Qsnd snd_;
};

TEST_F(MpgFake, ExtraBytesStayOutOfTheDescription) {
  FFInfoRec info;
  ASSERT_EQ(Try([&] { MpgInfo(file_, info, nullptr, nullptr); }).cls, 0);
  EXPECT_EQ(info.FormatId, fidMPEG);
  EXPECT_EQ(info.Video.Frames, 4);
  EXPECT_EQ(info.Video.Duration, 0.0);  // the dispatcher computes it
  EXPECT_EQ(info.Video.CodecName, "MPEG-1");
  EXPECT_EQ(info.Video.VideoSupported, -1);
  EXPECT_DOUBLE_EQ(info.Video.FrameRate, 25.0);
  EXPECT_EQ(info.MaxBytesPerSec, 1150000 / 8 + 64 * 1000 / 8);
  EXPECT_EQ(info.Audio.CodecName, "MPEG-1, Layer-II");
  EXPECT_EQ(info.Audio.Samples, 1000);
  EXPECT_EQ(info.Audio.PcmFormat.nBlockAlign, 2);

  UniInfoRec uni;
  ASSERT_TRUE(UniInfo(file_, uni, 0, nullptr, nullptr));
  EXPECT_EQ(uni.Video.Frames, 4);
  EXPECT_DOUBLE_EQ(uni.Video.Duration, 4 / 25.0);

  MpgHandle h;
  ASSERT_EQ(Open(h).cls, 0);
  for (uint8_t b : h.VideoExtra) EXPECT_EQ(b, 0xEE);
  EXPECT_EQ(h.FrameCount, 4);
  EXPECT_EQ(h.MpegKind, 1);
  MpgClose(h, 0, 0, 0);
}

TEST_F(MpgFake, ReadsInOrderSeekOtherwiseAndFailWithAnError) {
  MpgHandle h;
  ASSERT_EQ(Open(h).cls, 0);
  ASSERT_EQ(Try([&] { MpgImgLoad(h, img_, 1); }).cls, 0);
  EXPECT_EQ(img_.Data[0], 1);
  EXPECT_EQ(h.CurrentFrame, 1);
  ASSERT_EQ(Try([&] { MpgImgLoad(h, img_, 0); }).cls, 0);  // the next one
  EXPECT_EQ(img_.Data[0], 2);
  ASSERT_EQ(Try([&] { MpgImgLoad(h, img_, 4); }).cls, 0);
  EXPECT_EQ(img_.Data[0], 4);
  EXPECT_EQ(img_.Data[img_.Size - 1], 4);
  // Past the last frame, the sequential read fails: an error, not a picture of old bytes.
  Outcome o = Try([&] { MpgImgLoad(h, img_, 0); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 9);
  EXPECT_EQ(h.CurrentFrame, 4);
  o = Try([&] { MpgImgLoad(h, img_, 5); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 1);
  o = Try([&] { MpgImgLoad(h, img_, -1); });
  EXPECT_EQ(o.code, 1);
  ASSERT_EQ(Try([&] { MpgImgLoad(h, img_, 2); }).cls, 0);
  EXPECT_EQ(img_.Data[0], 2);
  MpgClose(h, 0, 0, 0);

  for (const char* mode : {"readfails", "seekfails"}) {
    Mode(mode);
    ASSERT_EQ(Open(h).cls, 0) << mode;
    o = Try([&] { MpgImgLoad(h, img_, 3); });
    EXPECT_EQ(o.cls, ecMovie) << mode;
    EXPECT_EQ(o.code, 9) << mode;
    MpgClose(h, 0, 0, 0);
  }
}

TEST_F(MpgFake, FailedSoundOpenGivesThePicturesBack) {
  Mode("audioopenfails");
  MpgHandle h;
  const Outcome o = Open(h);
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 6);
  EXPECT_EQ(live_(), 0);
  // Through the dispatcher too: the handle is freed and nothing stays open.
  UniInfoRec info;
  ASSERT_TRUE(UniInfo(file_, info, 0, nullptr, nullptr));
  UniHandle uh;
  EXPECT_NE(MonitoredNoRaise([&] { UniOpen(uh, info); }), 0);
  ClearError();
  EXPECT_EQ(live_(), 0);
}

TEST_F(MpgFake, LibraryErrorsAreReportedAfterTheCall) {
  Mode("videoerror");
  FFInfoRec info;
  const Outcome o = Try([&] { MpgInfo(file_, info, nullptr, nullptr); });
  // The picture description failed with the library's text, and so the sound counts as failed.
  EXPECT_EQ(o.cls, ecText);
  EXPECT_EQ(o.text, "fake video failure");
  EXPECT_EQ(info.Video.HasVideo, 0);
  EXPECT_EQ(info.Audio.HasAudio, 0);
  UniInfoRec uni;
  EXPECT_FALSE(UniInfo(file_, uni, 0, nullptr, nullptr));
  ClearWarning();
}

TEST_F(MpgFake, WithoutSoundTheMovieIsPicturesOnly) {
  Mode("noaudio");
  FFInfoRec info;
  ASSERT_EQ(Try([&] { MpgInfo(file_, info, nullptr, nullptr); }).cls, 0);
  EXPECT_EQ(info.FormatId, fidMPEG);
  EXPECT_EQ(info.Audio.HasAudio, 0);
  MpgHandle h;
  ASSERT_EQ(Open(h).cls, 0);
  EXPECT_EQ(h.AudioOpen, 0);
  const Outcome o = Try([&] { MpgSndLoad(h, snd_, 0, 10, 0); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 5);
  MpgClose(h, 0, 0, 0);
}

TEST_F(MpgFake, CancelledDescriptionFailsTheOpen) {
  Mode("cancel");
  Seen seen;
  seen.cancelAt = 1;
  FFInfoRec info;
  ASSERT_EQ(Try([&] { MpgInfo(file_, info, &Record, &seen); }).cls, 0);
  EXPECT_NE(info.Failed, 0);
  // The second report came with a new total: the bridge moved on to its second pass.
  ASSERT_EQ(seen.recs.size(), 2u);
  EXPECT_FLOAT_EQ(seen.recs[0].Fraction, 50.0f);
  EXPECT_FLOAT_EQ(seen.recs[1].Fraction, 90.0f);
  EXPECT_EQ(seen.recs[1].Total, 8);
  EXPECT_EQ(seen.recs[1].UserData, &seen);

  seen = Seen();
  seen.cancelAt = 0;
  MpgHandle h;
  std::memset(static_cast<void*>(&h), 0, sizeof h);
  const Outcome o = Try([&] { MpgOpen(h, file_, 0, &Record, &seen); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 6);
  // Through the dispatcher, the description stops at once and says so.
  seen = Seen();
  seen.cancelAt = 0;
  UniInfoRec uni;
  UniInfo(file_, uni, 0, &seen, &Record);
  EXPECT_NE(uni.Failed, 0);
}

TEST_F(MpgFake, SoundReadsAndTheirTraceLines) {
  MpgHandle h;
  ASSERT_EQ(Open(h).cls, 0);
  ASSERT_EQ(h.AudioOpen, -1);
  std::string log = Traced([&] { ASSERT_EQ(Try([&] { MpgSndLoad(h, snd_, 0, 100, 0); }).cls, 0); });
  EXPECT_EQ(snd_.samples, 100);
  EXPECT_EQ(h.AudioPos, 100);
  EXPECT_EQ(reinterpret_cast<int16_t*>(snd_.SndData)[99], 99);
  EXPECT_EQ(snd_.Format.nSamplesPerSec, 8000u);
  EXPECT_NE(log.find("MpgSndLoad: samples= 100\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("MpgSndLoad: audioPos= 100\r\n"), std::string::npos);
  EXPECT_NE(log.find("MpgSndLoad: snd.samples= 100\r\n"), std::string::npos);
  // Continuing reads do not seek; the end of the sound gives what is left.
  ASSERT_EQ(Try([&] { MpgSndLoad(h, snd_, 100, 950, 1); }).cls, 0);
  EXPECT_EQ(snd_.samples, 900);
  EXPECT_EQ(reinterpret_cast<int16_t*>(snd_.SndData)[0], 100);
  // Nothing asked, nothing read, and a line that says so.
  log = Traced([&] { ASSERT_EQ(Try([&] { MpgSndLoad(h, snd_, 10, 0, 0); }).cls, 0); });
  EXPECT_EQ(snd_.samples, 0);
  EXPECT_NE(log.find("!!! MpgSndLoad: samples= 0\r\n"), std::string::npos) << log;
  // A position the library cannot seek to.
  Outcome o;
  log = Traced([&] { o = Try([&] { MpgSndLoad(h, snd_, 2000, 10, 0); }); });
  EXPECT_EQ(o.cls, ecMovie);
  EXPECT_EQ(o.code, 7);
  EXPECT_NE(log.find("MPEG audio seek failed, sample 2,000 of 1,000"), std::string::npos) << log;
  MpgClose(h, 0, 0, 0);
  EXPECT_EQ(h.AudioOpen, 0);
}

}  // namespace
}  // namespace tavelo

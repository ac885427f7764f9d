// The DirectSound buffer routines on the null sink with a hand-moved clock: sizes, free space
// against the play cursor, wrap-around writes, silence bytes, volume mapping, stop and clear,
// lost buffers, writes bounded by the caller's data, and records without a buffer.
#include "player/dx8_audio_buf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "core/media/snd_basic.h"

namespace tavelo {
namespace {

using namespace platform;

std::atomic<int64_t> g_now{0};

WAVEFORMATEX Pcm(int32_t rate, int32_t channels, int32_t bits) {
  WAVEFORMATEX f{};
  SndWaveFmtSetPCM(f, rate, channels, bits);
  return f;
}

class AudioBuf : public testing::Test {
 protected:
  void SetUp() override {
    g_now = 5'000'000'000;
    SetNullSinkClock([] { return g_now.load(); });
    ASSERT_TRUE(DXAInit(nullptr));
  }
  void TearDown() override {
    DXABufDestroy(rec_);
    DXADone();
    SetNullSinkClock(nullptr);
  }
  static void Advance(double seconds) { g_now += static_cast<int64_t>(seconds * 1e9); }
  // The ring's bytes, read through the buffer itself.
  std::vector<uint8_t> Bytes() {
    void *p1 = nullptr, *p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    EXPECT_EQ(rec_.BufferObject->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER), DS_OK);
    std::vector<uint8_t> out(static_cast<uint8_t*>(p1), static_cast<uint8_t*>(p1) + n1);
    rec_.BufferObject->Unlock(p1, 0, nullptr, 0);
    return out;
  }
  int32_t Volume() {
    DsBufferStats s;
    EXPECT_TRUE(DsGetBufferStats(rec_.BufferObject, s));
    return s.Volume;
  }

  DXABufRec rec_;
};

TEST_F(AudioBuf, CreationGivesASilentFreshBufferOfTheAskedLength) {
  ASSERT_TRUE(DXABufCreate(rec_, Pcm(44100, 2, 16), 1.0));
  EXPECT_TRUE(DXABufIsValid(rec_));
  EXPECT_EQ(rec_.TotalBytes, 176400u);
  EXPECT_EQ(DXABufGetTotalSize(rec_, dxaBytes), 176400);
  EXPECT_EQ(DXABufGetTotalSize(rec_, dxaFrames), 44100);
  EXPECT_EQ(DXABufGetTotalSize(rec_, 7), 0);
  EXPECT_EQ(rec_.Volume.load(), 1000);
  EXPECT_NE(rec_.Fresh.load(), 0);
  // Fresh: the whole buffer is free although the cursor is at 0.
  EXPECT_EQ(DXABufGetFreeSize(rec_, dxaFrames), 44100);
  EXPECT_EQ(DXABufGetFilledSize(rec_, dxaBytes), 0);
  EXPECT_EQ(Bytes(), std::vector<uint8_t>(176400, 0));
  // A second create keeps the buffer it has.
  IDirectSoundBuffer* before = rec_.BufferObject;
  EXPECT_TRUE(DXABufCreate(rec_, Pcm(8000, 1, 8), 2.0));
  EXPECT_EQ(rec_.BufferObject, before);
}

TEST_F(AudioBuf, VolumeMapsToHundredthsOfADecibel) {
  ASSERT_TRUE(DXABufCreate(rec_, Pcm(22050, 1, 16), 1.0));
  DXABufSetVolume(rec_, 500);
  EXPECT_EQ(Volume(), -5000);
  DXABufSetVolume(rec_, 0);
  EXPECT_EQ(Volume(), -10000);
  DXABufSetVolume(rec_, 901);
  EXPECT_EQ(Volume(), -990);
  // Play applies the record's volume again.
  rec_.Volume.store(1000);
  ASSERT_TRUE(DXABufPlay(rec_));
  EXPECT_EQ(Volume(), 0);
}

TEST_F(AudioBuf, WritesWrapRoundTheEndAndFreeSpaceFollowsTheCursor) {
  ASSERT_TRUE(DXABufCreate(rec_, Pcm(1000, 1, 8), 1.0));  // 1000 bytes, one per frame
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 250);
  ASSERT_TRUE(DXABufFill(rec_, 800, data.data(), 800));
  EXPECT_EQ(rec_.WritePos.load(), 800u);
  EXPECT_EQ(rec_.Fresh.load(), 0);
  // Not playing: the cursor is at 0, so 200 bytes are free.
  EXPECT_EQ(DXABufGetFreeSize(rec_, dxaBytes), 200);
  ASSERT_TRUE(DXABufPlay(rec_));
  Advance(0.5);
  EXPECT_EQ(DXABufGetFreeSize(rec_, dxaBytes), 700);
  EXPECT_EQ(DXABufGetFilledSize(rec_, dxaFrames), 300);
  // 500 frames from 800: 200 at the end, 300 at the start.
  std::vector<uint8_t> more(500);
  for (size_t i = 0; i < more.size(); ++i) more[i] = static_cast<uint8_t>(200 + i % 50);
  ASSERT_TRUE(DXABufFill(rec_, 500, more.data(), 500));
  EXPECT_EQ(rec_.WritePos.load(), 300u);
  const std::vector<uint8_t> ring = Bytes();
  EXPECT_EQ(ring[799], data[799]);
  EXPECT_EQ(ring[800], more[0]);
  EXPECT_EQ(ring[999], more[199]);
  EXPECT_EQ(ring[0], more[200]);
  EXPECT_EQ(ring[299], more[499]);
  EXPECT_EQ(ring[300], data[300]);
  // The cursor is at 500 and the writer at 300: 200 free.
  EXPECT_EQ(DXABufGetFreeSize(rec_, dxaBytes), 200);
  DsBufferStats s;
  ASSERT_TRUE(DsGetBufferStats(rec_.BufferObject, s));
  EXPECT_EQ(s.Underruns, 0u);
  // A fill longer than the buffer writes one buffer's worth.
  std::vector<uint8_t> big(3000, 9);
  ASSERT_TRUE(DXABufFill(rec_, 3000, big.data(), 3000));
  EXPECT_EQ(rec_.WritePos.load(), 300u);
  EXPECT_EQ(Bytes(), std::vector<uint8_t>(1000, 9));
}

TEST_F(AudioBuf, SilenceIs0x80ForEightBitsAndZeroOtherwise) {
  ASSERT_TRUE(DXABufCreate(rec_, Pcm(1000, 1, 8), 1.0));
  EXPECT_EQ(Bytes(), std::vector<uint8_t>(1000, 0x80));
  std::vector<uint8_t> data(1000, 3);
  ASSERT_TRUE(DXABufFill(rec_, 1000, data.data(), 1000));
  rec_.WritePos.store(990);
  ASSERT_TRUE(DXABufFillSilence(rec_, 20));  // wraps
  const std::vector<uint8_t> ring = Bytes();
  EXPECT_EQ(ring[989], 3);
  EXPECT_EQ(ring[990], 0x80);
  EXPECT_EQ(ring[9], 0x80);
  EXPECT_EQ(ring[10], 3);
  EXPECT_TRUE(DXABufFillSilence(rec_, 0));
  EXPECT_TRUE(DXABufFillSilence(rec_, -5));
  EXPECT_EQ(rec_.WritePos.load(), 10u);
  DXABufDestroy(rec_);

  ASSERT_TRUE(DXABufCreate(rec_, Pcm(1000, 2, 16), 0.5));
  ASSERT_TRUE(DXABufFill(rec_, 500, std::vector<uint8_t>(2000, 0x55).data(), 2000));
  rec_.WritePos.store(0);
  ASSERT_TRUE(DXABufFillSilence(rec_, 100));
  const std::vector<uint8_t> ring16 = Bytes();
  EXPECT_EQ(ring16[399], 0x00);
  EXPECT_EQ(ring16[400], 0x55);
}

TEST_F(AudioBuf, FillNeverReadsPastTheCallersData) {
  ASSERT_TRUE(DXABufCreate(rec_, Pcm(1000, 2, 16), 1.0));  // 4 bytes a frame
  std::vector<uint8_t> data(50, 7);
  // 100 frames asked, 50 bytes held: 12 whole frames are written.
  ASSERT_TRUE(DXABufFill(rec_, 100, data.data(), 50));
  EXPECT_EQ(rec_.WritePos.load(), 48u);
  const std::vector<uint8_t> ring = Bytes();
  EXPECT_EQ(ring[47], 7);
  EXPECT_EQ(ring[48], 0);
  EXPECT_TRUE(DXABufFill(rec_, 100, nullptr, 400));  // nothing to write
  EXPECT_EQ(rec_.WritePos.load(), 48u);
}

TEST_F(AudioBuf, StopRewindsAndSilencesAPlayingBufferAndClearKeepsItPlaying) {
  ASSERT_TRUE(DXABufCreate(rec_, Pcm(1000, 1, 8), 1.0));
  std::vector<uint8_t> data(600, 1);
  ASSERT_TRUE(DXABufFill(rec_, 600, data.data(), 600));
  EXPECT_TRUE(DXABufStop(rec_));  // nothing to stop
  EXPECT_EQ(rec_.WritePos.load(), 600u);
  ASSERT_TRUE(DXABufPlay(rec_));
  Advance(0.2);
  DXABufClear(rec_);
  uint32_t status = 0;
  ASSERT_EQ(rec_.BufferObject->GetStatus(&status), DS_OK);
  EXPECT_NE(status & DSBSTATUS_PLAYING, 0u);
  EXPECT_NE(rec_.Fresh.load(), 0);
  EXPECT_EQ(rec_.WritePos.load(), 0u);
  EXPECT_EQ(DXABufGetFreeSize(rec_, dxaBytes), 1000);
  ASSERT_TRUE(DXABufFill(rec_, 600, data.data(), 600));
  Advance(0.1);
  EXPECT_EQ(DXABufGetFreeSize(rec_, dxaBytes), 500);  // cursor restarted from 0 at the clear
  EXPECT_TRUE(DXABufStop(rec_));
  ASSERT_EQ(rec_.BufferObject->GetStatus(&status), DS_OK);
  EXPECT_EQ(status & DSBSTATUS_PLAYING, 0u);
  EXPECT_NE(rec_.Fresh.load(), 0);
  EXPECT_EQ(Bytes(), std::vector<uint8_t>(1000, 0x80));
}

TEST_F(AudioBuf, LostBuffersAreRestoredOncePerCall) {
  ASSERT_TRUE(DXABufCreate(rec_, Pcm(1000, 1, 8), 1.0));
  std::vector<uint8_t> data(400, 1);
  ASSERT_TRUE(DXABufFill(rec_, 400, data.data(), 400));
  ASSERT_TRUE(DXABufPlay(rec_));
  Advance(0.1);
  NullSinkLoseBuffers(0);
  EXPECT_EQ(DXABufGetFreeSize(rec_, dxaBytes), 700);  // restored, then asked again
  NullSinkLoseBuffers(1);
  EXPECT_EQ(DXABufGetFreeSize(rec_, dxaBytes), 0);  // the restore failed
  EXPECT_EQ(DXABufGetFreeSize(rec_, dxaBytes), 700);
  NullSinkLoseBuffers(1);
  EXPECT_FALSE(DXABufFill(rec_, 100, data.data(), 100));
  EXPECT_EQ(rec_.WritePos.load(), 400u);
  EXPECT_TRUE(DXABufFill(rec_, 100, data.data(), 100));  // the stream goes on at the next refill
  EXPECT_EQ(rec_.WritePos.load(), 500u);
}

TEST(AudioBufWithoutBuffer, EveryRoutineAnswersFalseOrZero) {
  SetDsoundNoDevice(true);
  EXPECT_FALSE(DXAInit(nullptr));
  EXPECT_FALSE(DXAInitialized());
  DXABufRec rec;
  DXABufInitHandle(rec);
  EXPECT_FALSE(DXABufCreate(rec, Pcm(44100, 2, 16), 1.0));
  EXPECT_FALSE(DXABufIsValid(rec));
  std::vector<uint8_t> data(64, 1);
  EXPECT_FALSE(DXABufFill(rec, 16, data.data(), 64));
  EXPECT_FALSE(DXABufFillSilence(rec, 16));
  EXPECT_FALSE(DXABufPlay(rec));
  EXPECT_FALSE(DXABufStop(rec));
  EXPECT_FALSE(DXABufRestore(rec));
  EXPECT_EQ(DXABufGetFreeSize(rec, dxaFrames), 0);
  EXPECT_EQ(DXABufGetFilledSize(rec, dxaFrames), 0);
  EXPECT_EQ(DXABufGetTotalSize(rec, dxaBytes), 0);
  DXABufClear(rec);
  DXABufSetVolume(rec, 300);
  EXPECT_EQ(rec.Volume.load(), 300);
  DXABufDestroy(rec);
  SetDsoundNoDevice(false);

  // A device but a format no buffer can have: the record stays without a buffer.
  ASSERT_TRUE(DXAInit(nullptr));
  WAVEFORMATEX odd = Pcm(44100, 2, 16);
  odd.wFormatTag = 0x55;
  EXPECT_FALSE(DXABufCreate(rec, odd, 1.0));
  EXPECT_FALSE(DXABufFill(rec, 16, data.data(), 64));
  DXADone();
}

// Silence written last can be taken back while the device has not reached it, never closer to
// its cursor than the guard; the next write then lands there, and the sink hears it unbroken.
TEST_F(AudioBuf, TakeBackRewindsOverUnheardFramesAndKeepsTheGuard) {
  ASSERT_TRUE(DXABufCreate(rec_, Pcm(8000, 1, 16), 1.0));  // 8000 frames
  EXPECT_EQ(DXABufTakeBack(rec_, 100, 0), 0);              // fresh: nothing written to take back
  ASSERT_TRUE(DXABufPlay(rec_));
  ASSERT_TRUE(DXABufFillSilence(rec_, 4000));
  Advance(0.1);  // the cursor is at frame 800
  EXPECT_EQ(DXABufTakeBack(rec_, 1000, 400), 1000);
  EXPECT_EQ(rec_.WritePos.load(), 3000u * 2);
  EXPECT_EQ(DXABufTakeBack(rec_, 100000, 400), 1800);  // down to 800 + 400
  EXPECT_EQ(rec_.WritePos.load(), 1200u * 2);
  EXPECT_EQ(DXABufTakeBack(rec_, 10, 400), 0);
  std::vector<int16_t> sound(2000, 1000);
  ASSERT_TRUE(DXABufFill(rec_, 2000, sound.data(), 4000));
  Advance(0.3);  // past the end of the silence that was taken back, into the sound
  DsBufferStats stats;
  ASSERT_TRUE(DsGetBufferStats(rec_.BufferObject, stats));
  EXPECT_EQ(stats.Underruns, 0u);
  EXPECT_EQ(stats.LongestSilenceFrames, 1200u);  // frames 0..1199, then the sound
  // A cursor already past the write position leaves nothing to take back.
  Advance(1.0);
  EXPECT_EQ(DXABufTakeBack(rec_, 100, 0), 0);
}

}  // namespace
}  // namespace tavelo

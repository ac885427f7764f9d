// The DirectSound stand-in: the null sink's clock-driven cursor, two-region locks, status,
// volume, lost buffers, underrun accounting, buffer descriptions, and the mixer (its arithmetic
// directly, its thread through a capturing output).
#include "platform/dsound/dsound.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/dsound/ds_internal.h"

namespace tavelo::platform {
namespace {

std::atomic<int64_t> g_nowNs{0};

WAVEFORMATEX Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

DSBUFFERDESC Desc(const WAVEFORMATEX& f, uint32_t bytes) {
  DSBUFFERDESC d;
  d.dwSize = sizeof(DSBUFFERDESC);
  d.dwFlags = DSBCAPS_CTRLVOLUME | DSBCAPS_STICKYFOCUS | DSBCAPS_GETCURRENTPOSITION2;
  d.dwBufferBytes = bytes;
  d.lpwfxFormat = &f;
  return d;
}

// Writes bytes at offset through Lock/Unlock, byte i of the span getting value(i).
template <class F>
void WriteSpan(IDirectSoundBuffer* b, uint32_t offset, uint32_t bytes, F value) {
  void *p1 = nullptr, *p2 = nullptr;
  uint32_t n1 = 0, n2 = 0;
  ASSERT_EQ(b->Lock(offset, bytes, &p1, &n1, &p2, &n2, 0), DS_OK);
  for (uint32_t i = 0; i < n1; ++i) static_cast<uint8_t*>(p1)[i] = value(i);
  for (uint32_t i = 0; i < n2; ++i) static_cast<uint8_t*>(p2)[i] = value(n1 + i);
  ASSERT_EQ(b->Unlock(p1, n1, p2, n2), DS_OK);
}

std::vector<uint8_t> ReadAll(IDirectSoundBuffer* b, uint32_t size) {
  void *p1 = nullptr, *p2 = nullptr;
  uint32_t n1 = 0, n2 = 0;
  EXPECT_EQ(b->Lock(0, 0, &p1, &n1, &p2, &n2, DSBLOCK_ENTIREBUFFER), DS_OK);
  std::vector<uint8_t> out(static_cast<uint8_t*>(p1), static_cast<uint8_t*>(p1) + n1);
  EXPECT_EQ(n2, 0u);
  EXPECT_EQ(b->Unlock(p1, 0, nullptr, 0), DS_OK);
  EXPECT_EQ(out.size(), size);
  return out;
}

class NullSink : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(DsNullSinkSelected());
    g_nowNs = 1'000'000'000;
    SetNullSinkClock([] { return g_nowNs.load(); });
    DsResetSinkTotals();
    ASSERT_EQ(DirectSoundCreate(nullptr, &ds_, nullptr), DS_OK);
    ASSERT_EQ(ds_->SetCooperativeLevel(nullptr, DSSCL_PRIORITY), DS_OK);
  }
  void TearDown() override {
    if (ds_ != nullptr) ds_->Release();
    SetNullSinkClock(nullptr);
  }
  IDirectSoundBuffer* Make(const WAVEFORMATEX& f, uint32_t bytes) {
    const DSBUFFERDESC d = Desc(f, bytes);
    IDirectSoundBuffer* b = nullptr;
    EXPECT_EQ(ds_->CreateSoundBuffer(&d, &b, nullptr), DS_OK);
    return b;
  }
  static void Advance(double seconds) { g_nowNs += static_cast<int64_t>(seconds * 1e9); }

  IDirectSound* ds_ = nullptr;
};

TEST_F(NullSink, PlayCursorFollowsTheClockInWholeFramesAndLoops) {
  const WAVEFORMATEX f = Pcm(44100, 2, 16);
  IDirectSoundBuffer* b = Make(f, 176400);
  uint32_t play = 99, write = 99, status = 99;
  ASSERT_EQ(b->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 0u);
  Advance(0.5);  // not playing: nothing moves
  ASSERT_EQ(b->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 0u);
  ASSERT_EQ(b->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, 0u);

  ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  ASSERT_EQ(b->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  Advance(0.25);
  ASSERT_EQ(b->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 44100u);  // 11025 frames of 4 bytes
  // 1 ms is 44.1 frames: the cursor stays on a frame boundary.
  Advance(0.001);
  ASSERT_EQ(b->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 44100u + 44 * 4);
  EXPECT_EQ(play % 4, 0u);
  // Past the end it wraps round.
  Advance(1.0);
  ASSERT_EQ(b->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, (11025u + 44100u + 44u) * 4 % 176400u);

  ASSERT_EQ(b->Stop(), DS_OK);
  uint32_t stopped = 0;
  ASSERT_EQ(b->GetCurrentPosition(&stopped, nullptr), DS_OK);
  Advance(0.3);
  ASSERT_EQ(b->GetCurrentPosition(&play, nullptr), DS_OK);
  EXPECT_EQ(play, stopped);
  ASSERT_EQ(b->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, 0u);

  // A new position, then play again from there.
  ASSERT_EQ(b->SetCurrentPosition(4002), DS_OK);  // rounded down to its frame
  ASSERT_EQ(b->GetCurrentPosition(&play, nullptr), DS_OK);
  EXPECT_EQ(play, 4000u);
  ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  Advance(0.01);
  ASSERT_EQ(b->GetCurrentPosition(&play, nullptr), DS_OK);
  EXPECT_EQ(play, 4000u + 441 * 4);
  EXPECT_EQ(b->SetCurrentPosition(176400), DSERR_INVALIDPARAM);

  DsBufferStats s;
  ASSERT_TRUE(DsGetBufferStats(b, s));
  EXPECT_EQ(s.PlayedFrames, 11025u + 44u + 44100u + 441u);
  EXPECT_EQ(DsGetSinkTotals().PlayedFrames, s.PlayedFrames);
  EXPECT_EQ(b->Release(), 0u);
}

TEST_F(NullSink, LocksSplitAtTheEndOfTheRing) {
  const WAVEFORMATEX f = Pcm(8000, 1, 8);
  IDirectSoundBuffer* b = Make(f, 1000);
  WriteSpan(b, 0, 1000, [](uint32_t) { return uint8_t{7}; });
  void *p1 = nullptr, *p2 = nullptr;
  uint32_t n1 = 0, n2 = 0;
  ASSERT_EQ(b->Lock(900, 300, &p1, &n1, &p2, &n2, 0), DS_OK);
  EXPECT_EQ(n1, 100u);
  EXPECT_EQ(n2, 200u);
  ASSERT_NE(p2, nullptr);
  // The regions show what the ring holds.
  EXPECT_EQ(static_cast<uint8_t*>(p1)[0], 7);
  EXPECT_EQ(static_cast<uint8_t*>(p2)[199], 7);
  // One lock at a time.
  void *q1 = nullptr, *q2 = nullptr;
  uint32_t m1 = 0, m2 = 0;
  EXPECT_EQ(b->Lock(0, 10, &q1, &m1, &q2, &m2, 0), DSERR_INVALIDCALL);
  for (uint32_t i = 0; i < n1; ++i) static_cast<uint8_t*>(p1)[i] = static_cast<uint8_t>(i);
  for (uint32_t i = 0; i < n2; ++i) static_cast<uint8_t*>(p2)[i] = static_cast<uint8_t>(100 + i);
  ASSERT_EQ(b->Unlock(p1, n1, p2, n2), DS_OK);
  const std::vector<uint8_t> all = ReadAll(b, 1000);
  EXPECT_EQ(all[900], 0);
  EXPECT_EQ(all[999], 99);
  EXPECT_EQ(all[0], 100);
  EXPECT_EQ(all[199], static_cast<uint8_t>(299));
  EXPECT_EQ(all[200], 7);
  EXPECT_EQ(all[899], 7);

  // A lock that does not wrap gives no second region.
  ASSERT_EQ(b->Lock(10, 20, &p1, &n1, &p2, &n2, 0), DS_OK);
  EXPECT_EQ(n1, 20u);
  EXPECT_EQ(n2, 0u);
  EXPECT_EQ(p2, nullptr);
  EXPECT_EQ(b->Unlock(p1, 21, nullptr, 0), DSERR_INVALIDPARAM);  // more than was locked
  ASSERT_EQ(b->Unlock(p1, 20, nullptr, 0), DS_OK);
  EXPECT_EQ(b->Unlock(p1, 20, nullptr, 0), DSERR_INVALIDPARAM);  // nothing locked

  // Bad spans.
  EXPECT_EQ(b->Lock(1000, 1, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(b->Lock(0, 1001, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(b->Lock(0, 0, &p1, &n1, &p2, &n2, 0), DSERR_INVALIDPARAM);
  EXPECT_EQ(b->Lock(990, 20, &p1, &n1, nullptr, nullptr, 0), DSERR_INVALIDPARAM);
  b->Release();
}

TEST_F(NullSink, NewBuffersHoldSilenceOfTheirDepth) {
  IDirectSoundBuffer* b8 = Make(Pcm(8000, 1, 8), 64);
  IDirectSoundBuffer* b16 = Make(Pcm(8000, 2, 16), 64);
  EXPECT_EQ(ReadAll(b8, 64), std::vector<uint8_t>(64, 0x80));
  EXPECT_EQ(ReadAll(b16, 64), std::vector<uint8_t>(64, 0x00));
  b8->Release();
  b16->Release();
}

TEST_F(NullSink, VolumeAndPlayRules) {
  IDirectSoundBuffer* b = Make(Pcm(22050, 1, 16), 4410);
  EXPECT_EQ(b->SetVolume(-5000), DS_OK);
  DsBufferStats s;
  ASSERT_TRUE(DsGetBufferStats(b, s));
  EXPECT_EQ(s.Volume, -5000);
  EXPECT_EQ(b->SetVolume(-10001), DSERR_INVALIDPARAM);
  EXPECT_EQ(b->SetVolume(1), DSERR_INVALIDPARAM);
  EXPECT_EQ(b->Play(0, 0, 0), DSERR_UNSUPPORTED);
  b->Release();

  // Without the volume capability the volume cannot be set.
  const WAVEFORMATEX f = Pcm(22050, 1, 16);
  DSBUFFERDESC d = Desc(f, 4410);
  d.dwFlags = DSBCAPS_GETCURRENTPOSITION2;
  ASSERT_EQ(ds_->CreateSoundBuffer(&d, &b, nullptr), DS_OK);
  EXPECT_EQ(b->SetVolume(0), DSERR_CONTROLUNAVAIL);
  b->Release();
  EXPECT_NEAR(ds::VolumeGain(-600), 0.501187, 1e-5);
  EXPECT_EQ(ds::VolumeGain(DSBVOLUME_MIN), 0.0f);
  EXPECT_EQ(ds::VolumeGain(0), 1.0f);
}

TEST_F(NullSink, BadDescriptionsAreRefused) {
  IDirectSoundBuffer* b = reinterpret_cast<IDirectSoundBuffer*>(1);
  WAVEFORMATEX f = Pcm(44100, 2, 16);
  DSBUFFERDESC d = Desc(f, 4000);
  EXPECT_EQ(ds_->CreateSoundBuffer(nullptr, &b, nullptr), DSERR_INVALIDPARAM);
  EXPECT_EQ(b, nullptr);
  d.dwSize = 20;
  EXPECT_EQ(ds_->CreateSoundBuffer(&d, &b, nullptr), DSERR_INVALIDPARAM);
  d = Desc(f, 4002);  // not whole frames
  EXPECT_EQ(ds_->CreateSoundBuffer(&d, &b, nullptr), DSERR_INVALIDPARAM);
  d = Desc(f, 0);
  EXPECT_EQ(ds_->CreateSoundBuffer(&d, &b, nullptr), DSERR_INVALIDPARAM);
  f.nBlockAlign = 3;
  d = Desc(f, 3000);
  EXPECT_EQ(ds_->CreateSoundBuffer(&d, &b, nullptr), DSERR_BADFORMAT);
  f = Pcm(44100, 2, 12);
  d = Desc(f, 3000);
  EXPECT_EQ(ds_->CreateSoundBuffer(&d, &b, nullptr), DSERR_BADFORMAT);
  f = Pcm(44100, 0, 16);
  d = Desc(f, 3000);
  EXPECT_EQ(ds_->CreateSoundBuffer(&d, &b, nullptr), DSERR_BADFORMAT);
  f = Pcm(44100, 2, 16);
  f.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  d = Desc(f, 4000);
  EXPECT_EQ(ds_->CreateSoundBuffer(&d, &b, nullptr), DSERR_BADFORMAT);
}

TEST_F(NullSink, LostBuffersFailUntilRestoredAndComeBackSilent) {
  IDirectSoundBuffer* b = Make(Pcm(8000, 1, 8), 800);
  WriteSpan(b, 0, 800, [](uint32_t i) { return static_cast<uint8_t>(i); });
  ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  NullSinkLoseBuffers(1);
  uint32_t play = 0, status = 0;
  void *p1 = nullptr, *p2 = nullptr;
  uint32_t n1 = 0, n2 = 0;
  EXPECT_EQ(b->GetCurrentPosition(&play, nullptr), DSERR_BUFFERLOST);
  EXPECT_EQ(b->Lock(0, 10, &p1, &n1, &p2, &n2, 0), DSERR_BUFFERLOST);
  ASSERT_EQ(b->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING | DSBSTATUS_BUFFERLOST);
  EXPECT_EQ(b->Restore(), DSERR_BUFFERLOST);  // the one failing restore
  EXPECT_EQ(b->Restore(), DS_OK);
  EXPECT_EQ(b->Restore(), DS_OK);  // nothing to restore
  ASSERT_EQ(b->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  // The stream goes on: the cursor kept moving, the memory is silence.
  Advance(0.01);
  ASSERT_EQ(b->GetCurrentPosition(&play, nullptr), DS_OK);
  EXPECT_EQ(play, 80u);
  EXPECT_EQ(ReadAll(b, 800), std::vector<uint8_t>(800, 0x80));
  b->Release();
}

TEST_F(NullSink, UnderrunsAreCountedWhenTheCursorPassesTheLastWrite) {
  const WAVEFORMATEX f = Pcm(1000, 1, 16);  // 2000 bytes a second
  IDirectSoundBuffer* b = Make(f, 2000);
  WriteSpan(b, 0, 1000, [](uint32_t) { return uint8_t{1}; });  // half a second
  ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  Advance(0.4);
  DsBufferStats s;
  ASSERT_TRUE(DsGetBufferStats(b, s));
  EXPECT_EQ(s.Underruns, 0u);
  Advance(0.2);  // 100 ms past the written half
  ASSERT_TRUE(DsGetBufferStats(b, s));
  EXPECT_EQ(s.Underruns, 1u);
  EXPECT_EQ(s.UnderrunFrames, 100u);
  Advance(0.1);  // still starving: the same underrun goes on
  ASSERT_TRUE(DsGetBufferStats(b, s));
  EXPECT_EQ(s.Underruns, 1u);
  EXPECT_EQ(s.UnderrunFrames, 200u);
  // The writer catches up ahead of the cursor (at 0.7 s = byte 1400), then falls behind again.
  WriteSpan(b, 1400, 400, [](uint32_t) { return uint8_t{2}; });
  Advance(0.15);
  ASSERT_TRUE(DsGetBufferStats(b, s));
  EXPECT_EQ(s.Underruns, 1u);
  Advance(0.1);
  ASSERT_TRUE(DsGetBufferStats(b, s));
  EXPECT_EQ(s.Underruns, 2u);
  EXPECT_EQ(s.PlayedFrames, 950u);
  const DsSinkTotals t = DsGetSinkTotals();
  EXPECT_EQ(t.Underruns, 2u);
  EXPECT_EQ(t.PlayedFrames, 950u);
  b->Release();
}

TEST(DirectSoundDevice, NoDeviceFailsCreation) {
  SetDsoundNoDevice(true);
  IDirectSound* ds = reinterpret_cast<IDirectSound*>(1);
  EXPECT_EQ(DirectSoundCreate(nullptr, &ds, nullptr), DSERR_NODRIVER);
  EXPECT_EQ(ds, nullptr);
  SetDsoundNoDevice(false);
  ASSERT_EQ(DirectSoundCreate(nullptr, &ds, nullptr), DS_OK);
  ds->Release();
  EXPECT_EQ(DirectSoundCreate(reinterpret_cast<const void*>(8), &ds, nullptr), DSERR_INVALIDPARAM);
}

// The real sinks: on a machine without a server or a device (as here) creation fails cleanly and
// at once; where there is one, a buffer plays on it.
TEST(DirectSoundDevice, RealSinksOpenOrFailCleanly) {
  unsetenv("TAVELO_AUDIO");
  IDirectSound* ds = nullptr;
  const HRESULT r = DirectSoundCreate(nullptr, &ds, nullptr);
  if (r == DS_OK) {
    const WAVEFORMATEX f = Pcm(44100, 2, 16);
    const DSBUFFERDESC d = Desc(f, 176400);
    IDirectSoundBuffer* b = nullptr;
    ASSERT_EQ(ds->CreateSoundBuffer(&d, &b, nullptr), DS_OK);
    EXPECT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    EXPECT_EQ(b->Stop(), DS_OK);
    b->Release();
    ds->Release();
  } else {
    EXPECT_EQ(r, DSERR_NODRIVER);
    EXPECT_EQ(ds, nullptr);
  }
  setenv("TAVELO_AUDIO", "null", 1);
}

// ---- The mixer ----

// A buffer on a device without a thread, mixed by hand.
struct ManualBuffer {
  explicit ManualBuffer(const WAVEFORMATEX& f, uint32_t bytes) : format(f) {
    const DSBUFFERDESC d = Desc(format, bytes);
    buffer = new ds::Buffer(std::make_shared<ds::Device>(), d);
  }
  ~ManualBuffer() { buffer->Release(); }
  WAVEFORMATEX format;
  ds::Buffer* buffer;
};

TEST(DirectSoundMixer, ResamplesMonoToStereoWithInterpolation) {
  ManualBuffer m(Pcm(24000, 1, 8), 100);  // half the device rate
  WriteSpan(m.buffer, 0, 100, [](uint32_t i) { return static_cast<uint8_t>(128 + i); });
  ASSERT_EQ(m.buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  std::vector<float> acc(2 * 10, 0.0f);
  m.buffer->MixInto(acc.data(), 10, 48000);
  for (int i = 0; i < 10; ++i) {
    // Device frame i lies at source frame i / 2: halfway frames are the mean of two neighbours.
    const float expected = (i / 2 + (i % 2) * 0.5f) / 128.0f;
    EXPECT_FLOAT_EQ(acc[2 * i], expected) << i;
    EXPECT_FLOAT_EQ(acc[2 * i + 1], expected) << i;
  }
  uint32_t play = 0, write = 0;
  ASSERT_EQ(m.buffer->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 5u);
  // Mixing wraps round the ring.
  std::vector<float> more(2 * 200, 0.0f);
  m.buffer->MixInto(more.data(), 200, 48000);
  ASSERT_EQ(m.buffer->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 5u);
  EXPECT_FLOAT_EQ(more[2 * 190], 0.0f);  // source frame 100 = frame 0 again
}

TEST(DirectSoundMixer, StereoPassesThroughScaledByTheVolume) {
  ManualBuffer m(Pcm(48000, 2, 16), 400);
  WriteSpan(m.buffer, 0, 400, [](uint32_t i) {
    // Left frames hold 1000 x frame, right frames -2000.
    const uint32_t frame = i / 4;
    const int16_t v = static_cast<int16_t>((i % 4) < 2 ? 1000 * static_cast<int>(frame) : -2000);
    return static_cast<uint8_t>((static_cast<uint16_t>(v) >> (8 * (i % 2))) & 0xFF);
  });
  ASSERT_EQ(m.buffer->SetVolume(-600), DS_OK);
  ASSERT_EQ(m.buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  std::vector<float> acc(2 * 4, 0.0f);
  m.buffer->MixInto(acc.data(), 4, 48000);
  const float g = ds::VolumeGain(-600);
  for (int i = 0; i < 4; ++i) {
    EXPECT_FLOAT_EQ(acc[2 * i], 1000.0f * i / 32768.0f * g);
    EXPECT_FLOAT_EQ(acc[2 * i + 1], -2000.0f / 32768.0f * g);
  }
  // Stopped buffers add nothing and keep their cursor.
  ASSERT_EQ(m.buffer->Stop(), DS_OK);
  std::vector<float> quiet(2 * 4, 0.0f);
  m.buffer->MixInto(quiet.data(), 4, 48000);
  EXPECT_EQ(quiet, std::vector<float>(8, 0.0f));
  uint32_t play = 0;
  ASSERT_EQ(m.buffer->GetCurrentPosition(&play, nullptr), DS_OK);
  EXPECT_EQ(play, 16u);
}

TEST(DirectSoundMixer, SurroundChannelsFoldIntoLeftAndRight) {
  ManualBuffer m(Pcm(48000, 4, 16), 64);
  // Channels 0..3 hold 4000, 8000, 12000, 16000.
  WriteSpan(m.buffer, 0, 64, [](uint32_t i) {
    const int16_t v = static_cast<int16_t>(4000 * (1 + (i / 2) % 4));
    return static_cast<uint8_t>((static_cast<uint16_t>(v) >> (8 * (i % 2))) & 0xFF);
  });
  ASSERT_EQ(m.buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  std::vector<float> acc(2, 0.0f);
  m.buffer->MixInto(acc.data(), 1, 48000);
  EXPECT_FLOAT_EQ(acc[0], 8000.0f / 32768.0f);
  EXPECT_FLOAT_EQ(acc[1], 12000.0f / 32768.0f);
}

// An output that keeps what it is given.
class CaptureOutput : public ds::Output {
 public:
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int16_t> frames;
    bool fail = false;
  };
  explicit CaptureOutput(std::shared_ptr<Shared> s) : s_(std::move(s)) {}
  bool Write(const int16_t* f, int32_t count) override {
    std::lock_guard<std::mutex> lock(s_->m);
    if (s_->fail) return false;
    s_->frames.insert(s_->frames.end(), f, f + 2 * count);
    s_->cv.notify_all();
    return true;
  }
  int64_t DelayNs() override { return 0; }
  void Interrupt() override {}

 private:
  std::shared_ptr<Shared> s_;
};

TEST(DirectSoundMixer, TheMixerThreadFeedsTheOutput) {
  unsetenv("TAVELO_AUDIO");
  auto shared = std::make_shared<CaptureOutput::Shared>();
  ds::SetOutputFactory([shared] { return std::make_unique<CaptureOutput>(shared); });
  IDirectSound* ds = nullptr;
  ASSERT_EQ(DirectSoundCreate(nullptr, &ds, nullptr), DS_OK);
  const WAVEFORMATEX f = Pcm(48000, 2, 16);
  const DSBUFFERDESC d = Desc(f, 48000 * 4);
  IDirectSoundBuffer* b = nullptr;
  ASSERT_EQ(ds->CreateSoundBuffer(&d, &b, nullptr), DS_OK);
  // A constant 0.25 on both sides.
  WriteSpan(b, 0, 48000 * 4, [](uint32_t i) { return static_cast<uint8_t>(i % 2 == 0 ? 0x00 : 0x20); });
  ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  {
    std::unique_lock<std::mutex> lock(shared->m);
    ASSERT_TRUE(shared->cv.wait_for(lock, std::chrono::seconds(20), [&] {
      for (int16_t v : shared->frames)
        if (v != 0) return true;
      return false;
    }));
    size_t i = 0;
    while (shared->frames[i] == 0) ++i;
    EXPECT_EQ(shared->frames[i], 8192);
    // A failing output: the mixer goes on keeping time without it.
    shared->fail = true;
  }
  uint32_t first = 0, later = 0;
  ASSERT_EQ(b->GetCurrentPosition(&first, nullptr), DS_OK);
  for (int i = 0; i < 2000 && later == first; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(b->GetCurrentPosition(&later, nullptr), DS_OK);
  }
  EXPECT_NE(later, first);
  b->Release();
  ds->Release();
  ds::SetOutputFactory(nullptr);
  setenv("TAVELO_AUDIO", "null", 1);
}

}  // namespace
}  // namespace tavelo::platform

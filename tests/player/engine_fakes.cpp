#include "engine_fakes.h"

#include <chrono>
#include <thread>

#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "player/med_engine.h"
#include "player/med_threads.h"

namespace tavelo::test {

namespace {

// While a file with pictures plays, its video thread drives the time: the audio thread's reads
// and sleeps leave the clock alone. Two threads moving one clock by their own sleeps would make
// it leap under each other's feet, which no real clock does.
bool Passive() {
  QMedBasicThread* t = QMedBasicThread::Current();
  return t != nullptr && t->ThreadKind == QMedBasicThread::kAudio && t->Engine->VideoRunning.load() != 0;
}

}  // namespace

double FakeClock::Seconds() {
  const bool passive = Passive();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!frozen_ && !passive) now_ += tick_;
  return now_;
}

void FakeClock::AwaitSoundTurn(double step) {
  QMedBasicThread* t = QMedBasicThread::Current();
  if (t == nullptr || t->ThreadKind != QMedBasicThread::kVideo) return;
  // Bounded: a machine that holds the audio thread back longer than this makes the test see it.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < limit) {
    if (t->Terminated() || t->Engine->AudioRunning.load() == 0) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (frozen_ || now_ + step - soundTurn_ <= 0.1 + 1e-9) return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

void FakeClock::Spend(double seconds) {
  while (seconds > 1e-9) {
    const double step = seconds < 0.01 ? seconds : 0.01;
    AwaitSoundTurn(step);
    Advance(step);
    seconds -= step;
  }
}

void FakeClock::Sleep(int32_t ms) {
  const bool passive = Passive();
  QMedBasicThread* t = QMedBasicThread::Current();
  if (!passive) AwaitSoundTurn(ms / 1000.0);
  bool idle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (t != nullptr && t->ThreadKind == QMedBasicThread::kAudio) soundTurn_ = now_;
    idle = frozen_ || passive;
    if (!idle) now_ += ms / 1000.0;
  }
  // Lets the other threads run, as a real sleep would.
  if (idle)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  else
    std::this_thread::yield();
}

void FakeClock::SleepUntil(double when, const std::function<bool()>& cut) {
  QMedBasicThread* t = QMedBasicThread::Current();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (t != nullptr && t->ThreadKind == QMedBasicThread::kVideo) videoWakes_.push_back(when);
  }
  if (t != nullptr && t->ThreadKind == QMedBasicThread::kVideo && onVideoSleep_) onVideoSleep_();
  for (;;) {
    if (cut && cut()) return;
    double step;
    bool idle;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (now_ >= when) return;
      step = when - now_ < 0.01 ? when - now_ : 0.01;
      idle = frozen_ || Passive();
    }
    if (idle) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    AwaitSoundTurn(step);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // The last step lands on `when` exactly, whatever rounding the steps gathered.
      if (when - now_ <= 0.01)
        now_ = now_ > when ? now_ : when;
      else
        now_ += 0.01;
    }
    std::this_thread::yield();
  }
}

void FakeClock::Freeze(bool frozen) {
  std::lock_guard<std::mutex> lock(mutex_);
  frozen_ = frozen;
}

void FakeClock::Advance(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ += seconds;
}

double FakeClock::Now() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

std::vector<double> FakeClock::VideoWakes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return videoWakes_;
}

int16_t FakeSample(int32_t n) { return static_cast<int16_t>((n * 7) % 20000 - 10000); }

namespace {

FakeFile* Find(FakeMedia& m, const std::string& name) {
  auto it = m.Files.find(name);
  return it == m.Files.end() ? nullptr : &it->second;
}

bool Info(const std::string& fileName, UniInfoRec& info, int32_t options, void*, FFProgressProc) {
  FakeMedia& m = FakeMedia::Get();
  std::lock_guard<std::mutex> lock(m.Mutex);
  info = UniInfoRec();
  const FakeFile* f = Find(m, fileName);
  if (f == nullptr) return false;
  if (f->InfoWarningClass != 0) {
    SetWarning(f->InfoWarningClass, f->InfoWarningCode, __LINE__);
    return false;
  }
  info.FormatId = 6;
  info.Kind = ukMovie;
  info.FileName = fileName;
  if (f->Frames > 0) {
    info.Video.HasVideo = -1;
    info.Video.VideoSupported = -1;
    info.Video.Frames = f->Frames;
    info.Video.FrameRate = f->FrameRate;
    info.Video.Width = f->Width;
    info.Video.Height = f->Height;
    info.Video.Bpp = 24;
    info.Video.BytesPP = 3;
  }
  if (f->Samples > 0) {
    info.Audio.HasAudio = -1;
    info.Audio.AudioSupported = -1;
    SndWaveFmtSetPCM(info.Audio.PcmFormat, f->Rate, f->Channels, f->Bits);
    info.Audio.Samples = f->Samples;
    info.Audio.SampleRate = f->Rate;
    info.Audio.Channels = f->Channels;
    info.Audio.Bits = f->Bits;
    info.Audio.BlockAlign = info.Audio.PcmFormat.nBlockAlign;
  }
  return true;
}

void Open(UniHandle& h, const UniInfoRec& info) {
  FakeMedia& m = FakeMedia::Get();
  std::lock_guard<std::mutex> lock(m.Mutex);
  const FakeFile* f = Find(m, info.FileName);
  if (f == nullptr || f->OpenFails) throw EMon("Invalid movie format.");
  m.Open = info.FileName;
  h.FormatId = info.FormatId;
  h.Kind = info.Kind;
  h.FileName = info.FileName;
}

void ImgLoad(UniHandle&, Qimg& img, int32_t frame, int32_t) {
  FakeMedia& m = FakeMedia::Get();
  FakeFile f;
  FakeClock* clock;
  bool jump;
  {
    std::lock_guard<std::mutex> lock(m.Mutex);
    f = m.Files.at(m.Open);
    clock = m.Clock;
    const int32_t k = f.KeyEvery < 1 ? 1 : f.KeyEvery;
    jump = !m.LoadLog.empty() && frame != m.LoadLog.back() + 1 && (frame - 1) % k != 0;
    m.LoadLog.push_back(frame);
  }
  const double cost = f.LoadCost + (jump ? f.JumpCost : 0) + (frame == f.SlowFrame ? f.SlowCost : 0);
  if (clock != nullptr && cost > 0) clock->Spend(cost);
  if (clock != nullptr) {
    std::lock_guard<std::mutex> lock(m.Mutex);
    m.LoadEndLog.push_back(clock->Now());
  }
  if (f.Bad.count(frame) != 0) throw EMon("Error reading frame.");
  if (frame < 1 || frame > f.Frames) throw EMon("End of movie reached.");
  if (f.Empty.count(frame) != 0) {
    ImgFree(img);
    return;
  }
  ImgAlloc(img, f.Width, f.Height, 24);
  // Every pixel holds the frame number: blue its low byte, green its high byte.
  for (int32_t y = 0; y < f.Height; ++y) {
    uint8_t* row = img.Data + static_cast<int64_t>(y) * f.Width * 3;
    for (int32_t x = 0; x < f.Width; ++x) {
      row[3 * x] = static_cast<uint8_t>(frame & 0xFF);
      row[3 * x + 1] = static_cast<uint8_t>(frame >> 8);
      row[3 * x + 2] = 0x40;
    }
    if (f.SlowRows) std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
}

void SndLoad(UniHandle&, Qsnd& snd, int32_t pos, int32_t count, int32_t) {
  FakeMedia& m = FakeMedia::Get();
  FakeFile f;
  {
    std::lock_guard<std::mutex> lock(m.Mutex);
    f = m.Files.at(m.Open);
    ++m.SoundReadCount;
  }
  snd.samples = 0;
  const int32_t n = std::min(count, f.Samples - pos);
  if (n <= 0) return;
  WAVEFORMATEX fmt{};
  SndWaveFmtSetPCM(fmt, f.Rate, f.Channels, f.Bits);
  if (f.SoundCutAt > 0 && pos + n > f.SoundCutAt) {
    // The monitor frame gives back the block made inside it when the read fails.
    Framed("FakeMedia.SndLoad", [&] {
      SndFree(snd);
      _sndalloc_(snd, static_cast<int64_t>(n) * fmt.nBlockAlign, __LINE__, "FakeMedia.SndLoad.snd");
      RaiseError(ecFile, 3, __LINE__);
    });
  }
  _sndalloc_(snd, static_cast<int64_t>(n) * fmt.nBlockAlign, __LINE__, "FakeMedia.SndLoad.snd");
  snd.Format = fmt;
  snd.samples = n;
  for (int32_t i = 0; i < n; ++i)
    for (int32_t c = 0; c < f.Channels; ++c) {
      uint8_t* p = snd.SndData + (static_cast<int64_t>(i) * f.Channels + c) * (f.Bits / 8);
      const int16_t v = FakeSample(pos + i);
      if (f.Bits == 8) {
        p[0] = static_cast<uint8_t>(128 + v / 256);
      } else {
        p[0] = static_cast<uint8_t>(v & 0xFF);
        p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
      }
    }
}

int32_t NearestKeyFrame(UniHandle&, int32_t frame, int32_t direction) {
  FakeMedia& m = FakeMedia::Get();
  std::lock_guard<std::mutex> lock(m.Mutex);
  const FakeFile& f = m.Files.at(m.Open);
  if (frame < 1) frame = 1;
  if (frame > f.Frames) return f.Frames;
  const int32_t k = f.KeyEvery < 1 ? 1 : f.KeyEvery;
  const int32_t before = (frame - 1) / k * k + 1;
  if (direction == -1) return before;
  const int32_t after = before == frame ? frame : before + k;
  return after > f.Frames ? f.Frames : after;
}

void Close(UniHandle& h) {
  FakeMedia& m = FakeMedia::Get();
  std::lock_guard<std::mutex> lock(m.Mutex);
  if (h.Kind != ukUnknown) ++m.CloseCount;
  SndFree(h.Snd);
  h.Kind = ukUnknown;
  h.FormatId = 0;
  m.Open.clear();
}

const MediaAccess g_access{&Info, &Open, &ImgLoad, &SndLoad, &NearestKeyFrame, &Close};

}  // namespace

FakeMedia& FakeMedia::Get() {
  static FakeMedia media;
  return media;
}

const MediaAccess& FakeMedia::Access() { return g_access; }

void FakeMedia::Reset(FakeClock* clock) {
  std::lock_guard<std::mutex> lock(Mutex);
  Clock = clock;
  Files.clear();
  Open.clear();
  LoadLog.clear();
  LoadEndLog.clear();
  SoundReadCount = 0;
  CloseCount = 0;
}

void FakeMedia::Add(const std::string& name, const FakeFile& file) {
  std::lock_guard<std::mutex> lock(Mutex);
  Files[name] = file;
}

std::vector<int32_t> FakeMedia::Loads() {
  std::lock_guard<std::mutex> lock(Mutex);
  return LoadLog;
}

int32_t FakeMedia::SoundReads() {
  std::lock_guard<std::mutex> lock(Mutex);
  return SoundReadCount;
}

int32_t FakeMedia::Closes() {
  std::lock_guard<std::mutex> lock(Mutex);
  return CloseCount;
}

}  // namespace tavelo::test

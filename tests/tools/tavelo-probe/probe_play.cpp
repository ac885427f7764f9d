// tavelo-probe play FILE [--seconds S] [--seek T] [--seek-while-playing T1,T2,...]
//
// Plays a file in a playback engine, as the player does, with an offscreen display and the null
// sound sink, and reports how it went:
//   frames shown: N of M         pictures the video thread put on the display (M in the file)
//   frames skipped: K            pictures passed over between the first and the last one shown
//   pictures painted: P of H     pictures a paint of the display window drew, of the H the video
//                                thread handed to it (updates that come faster than the window
//                                is painted merge: the pictures between never reach it)
//   measured frame rate: X fps (file: Y fps)
//   sound frames delivered: D of E   the file's sound the engine wrote into the sound buffer
//                                (silence not counted), of the sound from the start position on
//   stale sound frames: F        sound written after a seek that belongs before it: the old
//                                position going on, or sound from before the seek's target
//   seeks followed by their sound: A of B   seeks while playing after which sound from the
//                                target on was written
//   underruns: U                 times the sink ran past the sound written
//   longest silence: L ms        the longest silence the sink played between sounds
//   largest picture-to-sound offset: Z ms   between a picture put on show and the sound heard,
//                                up to the first seek while playing
//   ended: end of media | stopped after S s
// --seek T starts at T seconds; --seconds S stops after S seconds; --seek-while-playing seeks to
// T1, T2, ... in turn while the file plays, one seek every 3 seconds from the start. Each step is
// counted from the one before it (a seek 3 s after the previous seek, the stop as long after the
// last seek as the schedule puts it), so a main loop held up by a loaded machine never crowds a
// seek and the stop together; a stop due while a seek's sound is still to come waits for it, 10 s
// at the most.
#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "core/services/errors.h"
#include "formats/conform.h"
#include "formats/ff_tables.h"
#include "platform/dsound/dsound.h"
#include "player/dx8_audio_buf.h"
#include "player/med_engine.h"
#include "player/med_threads.h"

using namespace tavelo;

namespace {

using Clock = std::chrono::steady_clock;

// The seconds between two seeks of --seek-while-playing.
constexpr double kSeekEvery = 3.0;
// How long the stop waits past its time for the sound of a seek still pending.
constexpr double kSeekGrace = 10.0;

struct PlayStats {
  QMedEngine* Engine = nullptr;
  double FrameRate = 0;
  double SampleRate = 0;
  std::mutex Lock;
  int64_t StartSample = -1;  // where the first sound written began (after Play chose its start)
  int64_t Delivered = 0;     // sound frames written
  int64_t Stale = 0;
  int64_t Expected = -1;      // the sample that continues the sound written last
  bool SeekPending = false;   // a seek was made and no sound from its position was written yet
  int64_t SeekSample = 0;     // the seek's target
  int64_t OldExpected = -1;   // what continued the sound before the seek
  bool Seeked = false;        // a seek while playing was made
  int Seeks = 0;              // seeks while playing made
  int SeeksAnswered = 0;      // of them, those after which sound from the target on was written
  int64_t Shown = 0;
  int32_t FirstFrame = -1, LastFrame = -1;
  Clock::time_point SecondTime, LastTime;
  double MaxOffset = -1;  // seconds; -1 when never measured
};

// Runs on the worker threads: only the video thread's reports come right after a new picture
// went to the display.
void OnPosition(void* data) {
  auto& s = *static_cast<PlayStats*>(data);
  QMedBasicThread* thread = QMedBasicThread::Current();
  if (thread == nullptr || thread->ThreadKind != QMedBasicThread::kVideo) return;
  const int32_t frame = s.Engine->LoadedFrame.load();
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(s.Lock);
  if (frame == s.LastFrame) return;
  ++s.Shown;
  if (s.FirstFrame < 0) s.FirstFrame = frame;
  // The first picture goes up at once, the others when they are due (up to half a period early):
  // the rate is measured from the second one on.
  if (s.Shown == 2) s.SecondTime = now;
  s.LastFrame = frame;
  s.LastTime = now;
  if (s.SampleRate > 0 && !s.Seeked && s.StartSample >= 0 && s.Engine->AudioRunning.load() != 0) {
    // The sink plays the buffer from the start position on: what it has played is what is heard.
    const int64_t heard = static_cast<int64_t>(platform::DsGetSinkTotals().PlayedFrames);
    if (heard < s.Engine->Description.Audio.Samples - s.StartSample) {
      const double offset = std::fabs(frame / s.FrameRate - (s.StartSample + heard) / s.SampleRate);
      s.MaxOffset = std::max(s.MaxOffset, offset);
    }
  }
}

// Runs on the audio thread (and in Play) after every write into the sound buffer.
void OnSoundWritten(void* data, int32_t first, int32_t samples, int32_t) {
  auto& s = *static_cast<PlayStats*>(data);
  if (samples <= 0) return;
  std::lock_guard<std::mutex> lock(s.Lock);
  if (s.StartSample < 0) s.StartSample = first;
  s.Delivered += samples;
  if (s.SeekPending) {
    if (first == s.OldExpected) {
      // The old position going on after the seek.
      s.Stale += samples;
      s.OldExpected += samples;
      return;
    }
    s.SeekPending = false;
    if (first < s.SeekSample)
      s.Stale += samples;  // from before the target
    else
      ++s.SeeksAnswered;
  } else if (s.Expected >= 0 && first < s.Expected) {
    s.Stale += samples;  // sound written a second time
  }
  s.Expected = first + samples;
}

bool NumberArg(const char* text, double lo, double& value) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != 0 || !std::isfinite(v) || v < lo || v > 1e7) return false;
  value = v;
  return true;
}

int Usage() {
  std::fprintf(stderr, "usage: tavelo-probe play FILE [--seconds S] [--seek T] [--seek-while-playing T1,T2,...]\n");
  return 2;
}

// "T1,T2,...": times in seconds, none negative.
bool TimesArg(const std::string& text, std::vector<double>& times) {
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    double t = 0;
    if (!NumberArg(text.substr(at, comma - at).c_str(), 0, t)) return false;
    times.push_back(t);
    at = comma + 1;
  }
  return !times.empty();
}

}  // namespace

int ProbePlay(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string file = argv[2];
  double seconds = -1, seek = -1;
  std::vector<double> seeks;
  for (int i = 3; i < argc; i += 2) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    if (arg == "--seconds") {
      if (!NumberArg(argv[i + 1], 0.001, seconds)) return Usage();
    } else if (arg == "--seek") {
      if (!NumberArg(argv[i + 1], 0, seek)) return Usage();
    } else if (arg == "--seek-while-playing") {
      seeks.clear();
      if (!TimesArg(argv[i + 1], seeks)) return Usage();
    } else {
      return Usage();
    }
  }
  // Headless: no screen and no speakers are needed.
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("TAVELO_AUDIO", "null", 1);
  QApplication app(argc, argv);
  FFTablesUnitInit();
  ConformUnitInit();
  DX8AudioBufUnitInit();
  int status = 0;
  {
    QWidget window;
    window.resize(640, 480);
    QMedEngine engine(&window);
    engine.CreateDisplay(&window, 0, 0, 640, 480);
    // Shown (offscreen), so that the display's paints run as they do on a screen.
    window.show();
    PlayStats stats;
    stats.Engine = &engine;
    engine.OnPosition = {&OnPosition, &stats};
    engine.OnSoundWritten = {&OnSoundWritten, &stats};
    engine.FileOpen(file);
    if (engine.TakeLastError() == 0) {
      std::fprintf(stderr, "%s\n", engine.GetLastErrorText().c_str());
      status = 1;
    } else {
      if (seek >= 0) engine.SeekTime(seek);
      stats.FrameRate = engine.FrameRate.load();
      if (engine.HasAudio != 0) stats.SampleRate = engine.Description.Audio.SampleRate;
      platform::DsResetSinkTotals();
      const Clock::time_point start = Clock::now();
      engine.Play();
      // A run has its threads until the main loop below cleans them up, also one that already
      // ended (a single picture is shown and done at once).
      if (engine.TakeLastError() == 0 || (engine.VideoThread == nullptr && engine.AudioThread == nullptr)) {
        const std::string why = engine.GetLastErrorText();
        std::fprintf(stderr, "%s\n", why.empty() ? "the file does not play" : why.c_str());
        status = 1;
      } else {
        bool stopped = false;
        size_t nextSeek = 0;
        double seekAt = kSeekEvery;
        // After the last seek the stop comes as long after it as the schedule puts it.
        const double afterLastSeek = seconds - kSeekEvery * static_cast<double>(seeks.size());
        double stopAt = seconds;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
          const double ran = std::chrono::duration<double>(Clock::now() - start).count();
          if (nextSeek < seeks.size() && ran >= seekAt && engine.IsPlaying()) {
            const double t = seeks[nextSeek++];
            seekAt = ran + kSeekEvery;
            if (nextSeek == seeks.size() && afterLastSeek > 0) stopAt = std::max(stopAt, ran + afterLastSeek);
            // Marked after the seek: what the audio thread writes from then on is judged by it.
            engine.SeekTime(t);
            std::lock_guard<std::mutex> lock(stats.Lock);
            stats.Seeked = true;
            ++stats.Seeks;
            stats.SeekPending = true;
            stats.SeekSample = engine.TimeToSample(t);
            stats.OldExpected = stats.Expected;
          }
          if (seconds > 0 && !stopped && ran >= stopAt) {
            bool pending = false;
            {
              std::lock_guard<std::mutex> lock(stats.Lock);
              pending = stats.SeekPending;
            }
            // The sound of the last seek follows its first picture, which under a sanitizer can
            // take seconds to decode: the stop waits for it a while.
            if (!pending || ran >= stopAt + kSeekGrace) {
              engine.Stop();
              stopped = true;
            }
          }
          if (!engine.IsPlaying() && engine.VideoThread == nullptr && engine.AudioThread == nullptr) app.quit();
        });
        poll.start(5);
        app.exec();
        const platform::DsSinkTotals sink = platform::DsGetSinkTotals();
        const int64_t frames = engine.HasVideo != 0 ? engine.Description.Video.Frames : 0;
        std::lock_guard<std::mutex> lock(stats.Lock);
        const int64_t span = stats.FirstFrame < 0 ? 0 : stats.LastFrame - stats.FirstFrame + 1;
        std::printf("frames shown: %lld of %lld\n", static_cast<long long>(stats.Shown), static_cast<long long>(frames));
        std::printf("frames skipped: %lld\n", static_cast<long long>(std::max<int64_t>(span - stats.Shown, 0)));
        if (engine.Display != nullptr)
          std::printf("pictures painted: %llu of %llu\n",
                      static_cast<unsigned long long>(engine.Display->Painted.load()),
                      static_cast<unsigned long long>(engine.Display->Handed.load()));
        const double elapsed = std::chrono::duration<double>(stats.LastTime - stats.SecondTime).count();
        if (stats.Shown > 2 && elapsed > 0)
          std::printf("measured frame rate: %.3f fps (file: %.3f fps)\n", (stats.Shown - 2) / elapsed, stats.FrameRate);
        else
          std::printf("measured frame rate: n/a (file: %.3f fps)\n", stats.FrameRate);
        // The sound from the start position that Play chose (it starts again from 0 at the end).
        const int64_t soundFrames =
            engine.HasAudio != 0 ? engine.Description.Audio.Samples - std::max<int64_t>(stats.StartSample, 0) : 0;
        std::printf("sound frames delivered: %lld of %lld\n", static_cast<long long>(stats.Delivered),
                    static_cast<long long>(soundFrames));
        std::printf("stale sound frames: %lld\n", static_cast<long long>(stats.Stale));
        std::printf("seeks followed by their sound: %d of %d\n", stats.SeeksAnswered, stats.Seeks);
        std::printf("underruns: %u\n", sink.Underruns);
        std::printf("longest silence: %.1f ms\n", static_cast<double>(sink.LongestSilenceNs) / 1e6);
        if (stats.MaxOffset >= 0)
          std::printf("largest picture-to-sound offset: %.1f ms\n", stats.MaxOffset * 1000);
        else
          std::printf("largest picture-to-sound offset: n/a\n");
        if (stopped)
          std::printf("ended: stopped after %g s\n", seconds);
        else
          std::printf("ended: end of media\n");
      }
    }
    engine.OnPosition = {};
    engine.OnSoundWritten = {};
  }
  DX8AudioBufUnitDone();
  ConformUnitDone();
  return status;
}

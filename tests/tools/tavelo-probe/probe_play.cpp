// tavelo-probe play FILE [--seconds S] [--seek T]
//
// Plays a file in a playback engine, as the player does, with an offscreen display and the null
// sound sink, and reports how it went:
//   frames shown: N of M         pictures the video thread put on the display (M in the file)
//   frames skipped: K            pictures passed over between the first and the last one shown
//   measured frame rate: X fps (file: Y fps)
//   sound frames delivered: D of E   sound the sink played while the file's sound lasted
//   underruns: U                 times the sink ran past the sound written
//   largest picture-to-sound offset: Z ms   between a picture put on show and the sound heard
//   ended: end of media | stopped after S s
// --seek T starts at T seconds; --seconds S stops after S seconds.
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

struct PlayStats {
  QMedEngine* Engine = nullptr;
  double FrameRate = 0;
  double SampleRate = 0;
  int64_t StartSample = 0;
  int64_t SoundFrames = 0;  // sound from the start position to the end
  std::mutex Lock;
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
  if (s.SampleRate > 0 && s.Engine->AudioRunning.load() != 0) {
    // The sink plays the buffer from the start position on: what it has played is what is heard.
    const int64_t heard = static_cast<int64_t>(platform::DsGetSinkTotals().PlayedFrames);
    if (heard < s.SoundFrames) {
      const double offset = std::fabs(frame / s.FrameRate - (s.StartSample + heard) / s.SampleRate);
      s.MaxOffset = std::max(s.MaxOffset, offset);
    }
  }
}

bool NumberArg(const char* text, double lo, double& value) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != 0 || !std::isfinite(v) || v < lo || v > 1e7) return false;
  value = v;
  return true;
}

int Usage() {
  std::fprintf(stderr, "usage: tavelo-probe play FILE [--seconds S] [--seek T]\n");
  return 2;
}

}  // namespace

int ProbePlay(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string file = argv[2];
  double seconds = -1, seek = -1;
  for (int i = 3; i < argc; i += 2) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    if (arg == "--seconds") {
      if (!NumberArg(argv[i + 1], 0.001, seconds)) return Usage();
    } else if (arg == "--seek") {
      if (!NumberArg(argv[i + 1], 0, seek)) return Usage();
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
    PlayStats stats;
    stats.Engine = &engine;
    engine.OnPosition = {&OnPosition, &stats};
    engine.FileOpen(file);
    if (engine.TakeLastError() == 0) {
      std::fprintf(stderr, "%s\n", engine.GetLastErrorText().c_str());
      status = 1;
    } else {
      if (seek >= 0) engine.SeekTime(seek);
      stats.FrameRate = engine.FrameRate.load();
      if (engine.HasAudio != 0) {
        stats.SampleRate = engine.Description.Audio.SampleRate;
        stats.StartSample = engine.CurrentSample.load();
        stats.SoundFrames = engine.Description.Audio.Samples - stats.StartSample;
      }
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
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
          if (seconds > 0 && !stopped && std::chrono::duration<double>(Clock::now() - start).count() >= seconds) {
            engine.Stop();
            stopped = true;
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
        const double elapsed = std::chrono::duration<double>(stats.LastTime - stats.SecondTime).count();
        if (stats.Shown > 2 && elapsed > 0)
          std::printf("measured frame rate: %.3f fps (file: %.3f fps)\n", (stats.Shown - 2) / elapsed, stats.FrameRate);
        else
          std::printf("measured frame rate: n/a (file: %.3f fps)\n", stats.FrameRate);
        const int64_t delivered = std::min<int64_t>(static_cast<int64_t>(sink.PlayedFrames), stats.SoundFrames);
        std::printf("sound frames delivered: %lld of %lld\n", static_cast<long long>(delivered),
                    static_cast<long long>(stats.SoundFrames));
        std::printf("underruns: %u\n", sink.Underruns);
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
  }
  DX8AudioBufUnitDone();
  ConformUnitDone();
  return status;
}

#include "fuzz/support/media_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/media/img_basic.h"
#include "core/media/snd_basic.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "formats/conform.h"
#include "formats/ff_tables.h"
#include "formats/units/ff_gif.h"
#include "fuzz/support/fuzz_env.h"

namespace tavelo::fuzz {

namespace {

constexpr int32_t kMaxSequentialFrames = 12;
// Pixels delivered per input, after the first frame: every frame read costs about its size (a
// decode, conversions, copies), and an input of a few hundred bytes may describe 4096 x 4096.
constexpr int64_t kPixelBudget = int64_t{24} << 20;
constexpr int32_t kMaxSoundReads = 16;
constexpr int32_t kSoundChunk = 8192;
constexpr int32_t kMaxFailures = 3;

// TAVELO_FUZZ_TRACE=1 tells on standard error what each step did (for looking at one input).
bool Tracing() {
  static const bool on = std::getenv("TAVELO_FUZZ_TRACE") != nullptr;
  return on;
}

void Say(const std::string& text) {
  if (Tracing()) std::fprintf(stderr, "[drive] %s\n", text.c_str());
}

std::string Dims(int64_t w, int64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

void CheckPicture(const Qimg& img, const UniInfoRec* info, const std::string& what) {
  if (!ImgAssigned(img)) Broken(what + ": a load that succeeded delivered no picture");
  if (img.Width < 1 || img.Height < 1) Broken(what + ": the picture is " + Dims(img.Width, img.Height));
  const bool depthKnown = img.Bpp == 8 || img.Bpp == 15 || img.Bpp == 16 || img.Bpp == 24 || img.Bpp == 32;
  if (!depthKnown || img.BytesPP != (img.Bpp + 7) / 8)
    Broken(what + ": depth " + std::to_string(img.Bpp) + " with " + std::to_string(img.BytesPP) + " bytes per pixel");
  const int64_t bytes = static_cast<int64_t>(img.Width) * img.Height * img.BytesPP;
  if (img.Size < bytes) Broken(what + ": " + std::to_string(img.Size) + " bytes hold a picture of " + std::to_string(bytes));
  Touch(img.Data, bytes);
  // The player sizes its display from the description.
  if (info != nullptr && (img.Width != info->Video.Width || img.Height != info->Video.Height))
    Broken(what + ": the picture is " + Dims(img.Width, img.Height) + ", the description said " +
           Dims(info->Video.Width, info->Video.Height));
}

void CheckAlpha(const Qimg& alpha, const Qimg& img, const std::string& what) {
  if (!ImgAssigned(alpha) || alpha.Bpp != 8 || alpha.Width != img.Width || alpha.Height != img.Height)
    Broken(what + ": the alpha picture does not match the picture");
  Touch(alpha.Data, static_cast<int64_t>(alpha.Width) * alpha.Height);
}

bool LoadFrame(UniHandle& h, Qimg& img, Qimg* alpha, int32_t frame, const UniInfoRec& info) {
  const std::string what = "frame " + std::to_string(frame);
  if (MonitoredNoRaise([&] { UniImgLoad_(h, img, frame, alpha, 0); }) != 0) {
    Say(what + ": " + GetErrorMessage());
    ClearError();
    return false;
  }
  Say(what + ": " + Dims(img.Width, img.Height) + " at " + std::to_string(img.Bpp) + " bits");
  CheckPicture(img, &info, what);
  if (alpha != nullptr) CheckAlpha(*alpha, img, what);
  return true;
}

// True when sound was delivered.
bool LoadSound(UniHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option, const UniInfoRec& info) {
  const std::string what = "sound at " + std::to_string(pos);
  if (MonitoredNoRaise([&] { UniSndLoad(h, snd, pos, count, option); }) != 0) {
    Say(what + ": " + GetErrorMessage());
    ClearError();
    return false;
  }
  Say(what + ": " + std::to_string(snd.samples) + " frames");
  if (snd.samples < 0 || snd.samples > count)
    Broken(what + ": " + std::to_string(snd.samples) + " frames delivered for " + std::to_string(count) + " asked");
  if (snd.samples == 0) return false;
  if (SndWaveFmtCompare(&snd.Format, &info.Audio.PcmFormat) != 0)
    Broken(what + ": the sound is delivered in another format than the description's");
  const int64_t bytes = static_cast<int64_t>(snd.samples) * snd.Format.nBlockAlign;
  if (snd.Format.nBlockAlign == 0 || bytes > snd.Allocated)
    Broken(what + ": " + std::to_string(snd.Allocated) + " bytes hold " + std::to_string(snd.samples) + " frames");
  Touch(snd.SndData, bytes);
  return true;
}

void ReadFrames(UniHandle& h, const UniInfoRec& info, Qimg& img, Qimg& alpha) {
  const FFVideoPart& v = info.Video;
  const int64_t pixels = std::max<int64_t>(static_cast<int64_t>(v.Width) * v.Height, 1);
  const int32_t frames = std::max(v.Frames, 1);
  const int64_t affordable = std::clamp<int64_t>(kPixelBudget / pixels, 1, kMaxSequentialFrames);
  int64_t spent = 0;
  int32_t failures = 0;
  // Every read after the first is paid from the budget.
  auto load = [&](int32_t frame, Qimg* a) {
    if (spent > 0 && spent + pixels > kPixelBudget) return;
    spent += pixels;
    if (!LoadFrame(h, img, a, frame, info)) ++failures;
  };
  for (int32_t n = 1; n <= std::min<int64_t>(frames, affordable) && failures < kMaxFailures; ++n)
    load(n, n == 1 ? &alpha : nullptr);
  // Seeking as the slider does: the key frame before the point, then the point itself. Reading
  // up to a frame may decode every frame before it, so only points within reach are visited.
  for (const int32_t target : {frames / 2, frames}) {
    if (target < 2 || target > affordable * 4 || failures >= kMaxFailures) continue;
    const int32_t key = UniNearestKeyFrame(h, target, -1);
    ClearError();
    if (key >= 1 && key <= frames) load(key, nullptr);
    load(target, nullptr);
    UniNearestKeyFrame(h, target, 1);
    ClearError();
  }
  // Back to the start, and the numbers outside the frames.
  load(1, &alpha);
  load(frames + 1, nullptr);
  load(0, nullptr);
}

void ReadSound(UniHandle& h, const UniInfoRec& info, Qsnd& snd) {
  const FFAudioPart& a = info.Audio;
  if (a.AudioSupported == 0) {
    // The program's own answer to a sound it cannot play.
    LoadSound(h, snd, 0, kSoundChunk, 0, info);
    return;
  }
  // Playback: runs that continue where the last one ended (option bit 0).
  int32_t pos = 0;
  for (int32_t i = 0; i < kMaxSoundReads; ++i) {
    if (!LoadSound(h, snd, pos, kSoundChunk, i == 0 ? 0 : 1, info)) break;
    pos += snd.samples;
  }
  // Seeks: the middle, across the end, at the end, past it and before the start.
  const int32_t samples = std::max(a.Samples, 0);
  LoadSound(h, snd, samples / 2, kSoundChunk, 0, info);
  LoadSound(h, snd, std::max(samples - 10, 0), kSoundChunk, 0, info);
  LoadSound(h, snd, samples, kSoundChunk, 0, info);
  LoadSound(h, snd, samples + 1000, kSoundChunk, 0, info);
  LoadSound(h, snd, -1, 64, 0, info);
}

}  // namespace

void DriveMediaFile(const std::string& path, const MediaDrive& how) {
  Qimg img, alpha;
  Qsnd snd;
  if (how.StillLoad) {
    const int32_t loaded = MonitoredNoRaise([&] { ImgLoad(path, img, kNoFormat, &alpha); });
    Say(loaded == 0 ? "still picture: " + Dims(img.Width, img.Height) : "still picture: " + GetErrorMessage());
    if (loaded == 0) {
      CheckPicture(img, nullptr, "still picture");
      CheckAlpha(alpha, img, "still picture");
    }
    ClearError();
  }

  UniInfoRec info;
  const bool described = UniInfo(path, info, seqDetect, nullptr, nullptr);
  Say(described ? "described: format " + std::to_string(info.FormatId) + ", kind " + std::to_string(info.Kind) + ", " +
                      Dims(info.Video.Width, info.Video.Height) + ", " + std::to_string(info.Video.Frames) +
                      " frames, " + std::to_string(info.Audio.Samples) + " samples"
                : "not described: " + ErrorText(GetWarningClass(), GetWarningCode()));
  if (described) {
    UniHandle h;
    const int32_t opened = MonitoredNoRaise([&] { UniOpen(h, info); });
    Say(opened == 0 ? "opened" : "not opened: " + GetErrorMessage());
    if (opened == 0) {
      if (info.Video.HasVideo != 0) ReadFrames(h, info, img, alpha);
      if (info.Audio.HasAudio != 0) ReadSound(h, info, snd);
    }
    ClearError();
    MonitoredNoRaise([&] { UniClose(h); });
  }
  ClearError();
  ClearWarning();
  ImgFree(img);
  ImgFree(alpha);
  SndFree(snd);
}

void DriveMediaInput(const std::string& name, const uint8_t* data, size_t size, const MediaDrive& how) {
  // Each input is judged on its own: the GIF unit's scan of the last input (same name, maybe the
  // same size within one tick of the file clock) must not stand in for this one.
  GIFDropCacheForTest();
  InputScope scope;
  DriveMediaFile(WriteInput(name, data, size), how);
}

}  // namespace tavelo::fuzz

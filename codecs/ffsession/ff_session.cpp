#include "codecs/ffsession/ff_session.h"

#include <cstdio>

namespace tavelo::ffsession {

bool ReadHead(const char* fileName, size_t n, std::vector<uint8_t>& head) {
  head.clear();
  if (fileName == nullptr) return false;
  FILE* f = std::fopen(fileName, "rb");
  if (f == nullptr) return false;
  try {
    head.resize(n);
  } catch (...) {
    std::fclose(f);
    return false;
  }
  const size_t got = std::fread(head.data(), 1, n, f);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  head.resize(got);
  return !failed;
}

int32_t Clamp32(int64_t v) {
  if (v > 0x7FFFFFFF) return 0x7FFFFFFF;
  if (v < -0x7FFFFFFF) return -0x7FFFFFFF;
  return static_cast<int32_t>(v);
}

bool Session::Open(const char* fileName, bool video, bool audio) {
  R.reset();
  VideoOk = AudioOk = false;
  NextFrame = AudioPos = 0;
  if (fileName == nullptr) return false;
  ffreader::OpenOptions options;
  options.Video = video;
  options.Audio = audio;
  try {
    R = ffreader::Reader::Open(fileName, options);
  } catch (...) {
    R.reset();
  }
  return R != nullptr;
}

bool Session::Adopt(std::shared_ptr<ffreader::Reader> reader) {
  R = std::move(reader);
  VideoOk = AudioOk = false;
  NextFrame = AudioPos = 0;
  return R != nullptr;
}

int32_t Session::Width() const { return VideoOk ? R->Video().Width : 0; }
int32_t Session::Height() const { return VideoOk ? R->Video().Height : 0; }
int32_t Session::FrameCount() const { return VideoOk ? Clamp32(R->Video().FrameCount) : 0; }
double Session::FrameRate() const { return VideoOk ? R->Video().FrameRate : 0.0; }
int32_t Session::SampleRate() const { return AudioOk ? R->Audio().SampleRate : 0; }
int32_t Session::Channels() const { return AudioOk ? R->Audio().Channels : 0; }
int32_t Session::SampleCount() const { return AudioOk ? Clamp32(R->Audio().SampleCount) : 0; }

bool Session::ReadNextFrame(void* pixels) {
  if (!VideoOk || pixels == nullptr || NextFrame >= FrameCount()) return false;
  if (!R->ReadFrame(NextFrame, static_cast<uint8_t*>(pixels), static_cast<ptrdiff_t>(Width()) * 3)) return false;
  ++NextFrame;
  return true;
}

bool Session::SeekFrame(int64_t index) {
  if (!VideoOk || index < 0 || index >= FrameCount()) return false;
  NextFrame = index;
  return true;
}

int64_t Session::ReadSound(void* buffer, int64_t count) {
  if (!AudioOk || buffer == nullptr || count < 0) return -1;
  if (count == 0) return 0;
  const int64_t got = R->ReadAudio(AudioPos, static_cast<int16_t*>(buffer), count);
  if (got < 0) return -1;
  AudioPos += got;
  return got;
}

bool Session::SeekSound(int64_t pos) {
  if (!AudioOk || pos < 0 || pos > SampleCount()) return false;
  AudioPos = pos;
  return true;
}

}  // namespace tavelo::ffsession

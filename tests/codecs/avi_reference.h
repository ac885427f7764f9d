// What FFmpeg's own tools say about the movie fixtures of tests/data/generate/avi.sh: the probe
// values, the decoded pictures and the decoded sound, for the readers' tests to compare with.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace tavelo::test {

// The fixtures, with whether their pictures are stored without loss (pixel-identical decodes)
// and whether they have sound.
struct AviFixture {
  const char* Name;
  const char* File;
  bool Lossless;
  bool HasSound;
};

inline const std::vector<AviFixture>& AviFixtures() {
  static const std::vector<AviFixture> list = {
      {"raw_bgr24", "raw_bgr24.avi", true, true},   {"raw_pal8", "raw_pal8.avi", true, true},
      {"raw_rgb555", "raw_rgb555.avi", true, true}, {"raw_bgra", "raw_bgra.avi", true, false},
      {"mjpeg", "mjpeg.avi", false, true},          {"mpeg4", "mpeg4.avi", false, true},
      {"msmpeg4v3", "msmpeg4v3.avi", false, true},  {"msvideo1", "msvideo1.avi", false, false},
      {"cinepak", "cinepak.avi", false, false},     {"zmbv", "zmbv.avi", true, false},
      {"mpeg4_aac", "mpeg4_aac.avi", false, true},  {"mpeg4_pcm", "mpeg4_pcm.mkv", false, true},
  };
  return list;
}

inline std::string AviPath(const std::string& file) { return MediaPath("avi/" + file); }

// The key=value lines of <name>.probe; fails the test when the file is missing.
inline std::map<std::string, std::string> AviProbe(const std::string& name) {
  std::map<std::string, std::string> values;
  const std::string text = ReadFile(AviPath(name + ".probe"));
  if (text.empty()) ADD_FAILURE() << "missing probe file for " << name;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    at = end + 1;
  }
  return values;
}

inline int64_t ProbeInt(const std::map<std::string, std::string>& probe, const std::string& key) {
  auto it = probe.find(key);
  if (it == probe.end()) {
    ADD_FAILURE() << "probe value missing: " << key;
    return -1;
  }
  return std::strtoll(it->second.c_str(), nullptr, 0);
}

// "num/den" as a double.
inline double ProbeRate(const std::map<std::string, std::string>& probe, const std::string& key) {
  auto it = probe.find(key);
  if (it == probe.end()) {
    ADD_FAILURE() << "probe value missing: " << key;
    return -1;
  }
  const double num = std::strtod(it->second.c_str(), nullptr);
  const size_t slash = it->second.find('/');
  const double den = slash == std::string::npos ? 1.0 : std::strtod(it->second.c_str() + slash + 1, nullptr);
  return den != 0 ? num / den : 0.0;
}

// FFmpeg's decode of every frame, as packed B, G, R rows.
inline std::string AviReferenceFrames(const std::string& name) {
  const std::string frames = ReadFile(AviPath(name + ".bgr24"));
  if (frames.empty()) ADD_FAILURE() << "missing reference frames for " << name;
  return frames;
}

// FFmpeg's decode of the sound, interleaved 16-bit.
inline std::vector<int16_t> AviReferenceSound(const std::string& name) {
  const std::string bytes = ReadFile(AviPath(name + ".s16"));
  if (bytes.empty()) ADD_FAILURE() << "missing reference sound for " << name;
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

inline int64_t AviReferenceSampleCount(const std::string& name) {
  const std::string text = ReadFile(AviPath(name + ".samples"));
  if (text.empty()) ADD_FAILURE() << "missing sample count for " << name;
  return std::strtoll(text.c_str(), nullptr, 10);
}

// Numbers one a line.
inline std::vector<int64_t> ReadNumbers(const std::string& path) {
  std::vector<int64_t> values;
  const std::string text = ReadFile(path);
  if (text.empty()) ADD_FAILURE() << "missing or empty: " << path;
  const char* p = text.c_str();
  char* end = nullptr;
  for (long long v = std::strtoll(p, &end, 10); end != p; v = std::strtoll(p, &end, 10)) {
    values.push_back(v);
    p = end;
  }
  return values;
}

// Which of FFmpeg's decoded pictures (an index into <name>.bgr24) frame shows. AVI streams
// time their pictures in frames, and a frame without data shows the picture before it; other
// containers count pictures.
inline int64_t AviReferencePicture(const std::string& name, const std::string& file, int64_t frame) {
  const auto pts = ReadNumbers(AviPath(name + ".pts"));
  if (file.size() < 4 || file.compare(file.size() - 4, 4, ".avi") != 0) return frame;
  int64_t index = 0;
  for (size_t i = 0; i < pts.size(); ++i)
    if (pts[i] <= frame) index = static_cast<int64_t>(i);
  return index;
}

// The frame numbers of the key frames (the AVI fixtures time their packets in frames).
inline std::vector<int64_t> AviKeyFrames(const std::string& name) { return ReadNumbers(AviPath(name + ".keys")); }

// The largest difference between two pictures of the same size, per channel byte; -1 when the
// sizes differ.
inline int MaxChannelDifference(const uint8_t* a, const uint8_t* b, size_t bytes) {
  int worst = 0;
  for (size_t i = 0; i < bytes; ++i) {
    const int d = std::abs(int{a[i]} - int{b[i]});
    if (d > worst) worst = d;
  }
  return worst;
}

// FFmpeg's decode of a file's pictures, every decoded picture packed in pixelFormat (as ffmpeg
// names it); fails the test when ffmpeg is missing or fails.
inline std::string FFmpegDecodePictures(const std::string& path, const std::string& pixelFormat) {
  const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -i '" + path +
                              "' -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt " + pixelFormat + " - 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run ffmpeg";
    return {};
  }
  std::string out;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = pclose(pipe);
  if (status != 0) ADD_FAILURE() << "ffmpeg failed (is it installed?): " << out.substr(0, 400);
  return out;
}

// What ffprobe says of a file's first picture stream (and first sound stream, keys prefixed
// "audio_"): key=value pairs, as in the .probe files.
inline std::map<std::string, std::string> FFprobeValues(const std::string& path) {
  std::map<std::string, std::string> values;
  for (const char* part : {"v:0 -show_entries stream=nb_frames,r_frame_rate,width,height",
                           "a:0 -show_entries stream=sample_rate,channels,codec_tag"}) {
    const std::string command = std::string("ffprobe -v error -select_streams ") + part +
                                " -of default=noprint_wrappers=1 '" + path + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
      ADD_FAILURE() << "cannot run ffprobe";
      return values;
    }
    char line[512];
    const bool audio = part[0] == 'a';
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      std::string s(line);
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      const size_t eq = s.find('=');
      if (eq != std::string::npos) values[(audio ? "audio_" : "") + s.substr(0, eq)] = s.substr(eq + 1);
    }
    if (pclose(pipe) != 0) ADD_FAILURE() << "ffprobe failed (is it installed?) on " << path;
  }
  return values;
}

}  // namespace tavelo::test

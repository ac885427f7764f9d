// A small RIFF WAVE reader for the sound tests: the format record (at least 18 bytes, zero
// padded like the WAV unit keeps it) and the data chunk of a fixture file.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/wave_format.h"
#include "tests/support/test_env.h"

namespace tavelo::test {

struct WavFile {
  std::vector<uint8_t> fmt;   // the "fmt " chunk, at least 18 bytes
  std::vector<uint8_t> data;  // the "data" chunk
  const platform::WAVEFORMATEX* Format() const {
    return reinterpret_cast<const platform::WAVEFORMATEX*>(fmt.data());
  }
};

inline uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

// Fails the calling test when the file is missing or not a RIFF WAVE file with both chunks.
inline WavFile ReadWav(const std::string& path) {
  WavFile w;
  const std::string s = ReadFile(path);
  if (s.size() < 12 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 4, "WAVE") != 0) {
    ADD_FAILURE() << "not a WAV file: " << path;
    return w;
  }
  size_t at = 12;
  while (at + 8 <= s.size()) {
    const std::string id = s.substr(at, 4);
    const uint64_t size = Le32(s, at + 4);
    const size_t body = at + 8;
    const size_t end = static_cast<size_t>(std::min<uint64_t>(body + size, s.size()));
    if (id == "fmt ") w.fmt.assign(s.begin() + body, s.begin() + end);
    if (id == "data") w.data.assign(s.begin() + body, s.begin() + end);
    at = body + size + (size & 1);
  }
  if (w.fmt.size() < 18) w.fmt.resize(18, 0);
  EXPECT_FALSE(w.data.empty()) << "no data chunk in " << path;
  return w;
}

// FFmpeg's decode of a fixture (<name>.s16) as 16-bit samples.
inline std::vector<int16_t> ReadS16(const std::string& path) {
  const std::string s = ReadFile(path);
  EXPECT_FALSE(s.empty()) << "missing " << path;
  std::vector<int16_t> v(s.size() / 2);
  if (!v.empty()) std::memcpy(v.data(), s.data(), v.size() * 2);
  return v;
}

}  // namespace tavelo::test

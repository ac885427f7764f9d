// Helpers for the tests of the picture formats we decode ourselves: the fixture manifests written
// by tests/data/generate/{sgi,sunras,pnm,xpm}.sh, comparison of a decoded picture with an
// independent decoder's raw output, and hostile variants of a file.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/media/img_basic.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "tests/support/test_env.h"

namespace tavelo::test {

struct Fixture {
  std::string Name;
  bool Unsupported = false;
  std::vector<std::pair<std::string, std::string>> Refs;  // (layout, file name)
};

// The fixtures of one topic. Fails the test when the manifest is missing or empty.
inline std::vector<Fixture> ReadManifest(const std::string& topic) {
  std::vector<Fixture> list;
  std::istringstream in(ReadFile(MediaPath(topic + "/manifest.txt")));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    Fixture f;
    std::string ref;
    if (!(words >> f.Name)) continue;
    while (words >> ref) {
      if (ref == "unsupported") {
        f.Unsupported = true;
        continue;
      }
      const size_t colon = ref.find(':');
      f.Refs.emplace_back(ref.substr(0, colon), ref.substr(colon + 1));
    }
    list.push_back(f);
  }
  EXPECT_FALSE(list.empty()) << "no fixtures for " << topic << ": did " << topic << ".sh run?";
  return list;
}

struct Rgba {
  int R, G, B, A;
};

// Pixel (x, y) of a picture of 8 (through its palette), 24 or 32 bits; alpha 255 without one.
inline Rgba PictureRgba(const Qimg& img, int64_t x, int64_t y) {
  const uint8_t* p = img.Data + (y * img.Width + x) * img.BytesPP;
  if (img.BytesPP == 1) return {img.Palette[3 * p[0] + 2], img.Palette[3 * p[0] + 1], img.Palette[3 * p[0]], 255};
  return {p[2], p[1], p[0], img.BytesPP == 4 ? p[3] : 255};
}

// Compares img with a reference decode of the given layout (gray, rgb, rgba; with "16" two
// bytes a sample, most significant first, of which the high byte counts). Alpha is compared when
// both have it. Empty when they agree, else where they first differ.
inline std::string CompareWithRef(const Qimg& img, const std::string& layout, const std::string& ref) {
  const int channels = layout.rfind("gray", 0) == 0 ? 1 : layout.rfind("rgba", 0) == 0 ? 4 : 3;
  const int bytes = layout.find("16") != std::string::npos ? 2 : 1;
  const int64_t pixels = static_cast<int64_t>(img.Width) * img.Height;
  if (static_cast<int64_t>(ref.size()) != pixels * channels * bytes)
    return "reference holds " + std::to_string(ref.size()) + " bytes for " + std::to_string(img.Width) + " x " +
           std::to_string(img.Height) + " " + layout;
  auto sample = [&](int64_t i, int c) { return static_cast<uint8_t>(ref[static_cast<size_t>((i * channels + c) * bytes)]); };
  for (int64_t i = 0; i < pixels; ++i) {
    const Rgba got = PictureRgba(img, i % img.Width, i / img.Width);
    Rgba want{};
    if (channels == 1) {
      want = {sample(i, 0), sample(i, 0), sample(i, 0), got.A};
    } else {
      want = {sample(i, 0), sample(i, 1), sample(i, 2), channels == 4 && img.BytesPP == 4 ? sample(i, 3) : got.A};
    }
    if (got.R != want.R || got.G != want.G || got.B != want.B || got.A != want.A) {
      std::ostringstream s;
      s << "pixel (" << i % img.Width << "," << i / img.Width << ") is " << got.R << "," << got.G << "," << got.B
        << "," << got.A << " but the reference has " << want.R << "," << want.G << "," << want.B << "," << want.A;
      return s.str();
    }
  }
  return "";
}

// Runs work in a no-raise frame; the (class, code) it left, (0, 0) on success.
struct ErrPair {
  int32_t cls;
  int32_t code;
  bool operator==(const ErrPair& o) const { return cls == o.cls && code == o.code; }
  bool operator!=(const ErrPair& o) const { return !(*this == o); }
};
inline std::ostream& operator<<(std::ostream& os, const ErrPair& e) { return os << "(" << e.cls << "," << e.code << ")"; }

template <class Work>
ErrPair TryWork(Work&& work) {
  MonitoredNoRaise(std::forward<Work>(work));
  return {GetErrorClass(), GetErrorCode()};
}

inline const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Copies of a file with random bytes changed (seeded, so a failure can be replayed); the first
// protect bytes stay as they are when asked, so the damage reaches the data behind a header.
inline std::vector<std::string> Corrupted(const std::string& file, int count, uint32_t seed, size_t protect = 0) {
  std::vector<std::string> out;
  std::mt19937 rng(seed);
  for (int k = 0; k < count && file.size() > protect; ++k) {
    std::string copy = file;
    const int changes = 1 + static_cast<int>(rng() % 8);
    for (int c = 0; c < changes; ++c) {
      const size_t at = protect + rng() % (file.size() - protect);
      copy[at] = static_cast<char>(rng() & 0xFF);
    }
    out.push_back(copy);
  }
  return out;
}

}  // namespace tavelo::test

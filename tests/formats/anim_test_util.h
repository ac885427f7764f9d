// Shared by the GIF and FLIC tests: running a routine in a no-raise frame, the folder of the
// built codec libraries, and pictures as comparable colours.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/media/img_basic.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "tests/support/test_env.h"

namespace tavelo::test {

// Runs work in a no-raise frame and gives the error class and code it ended with.
inline std::pair<int32_t, int32_t> Outcome(const std::function<void()>& work) {
  ClearError();
  MonitoredNoRaise(work);
  const std::pair<int32_t, int32_t> r{GetErrorClass(), GetErrorCode()};
  ClearError();
  return r;
}

// An error class and code, as Outcome gives them.
inline std::pair<int32_t, int32_t> Err(int32_t cls, int32_t code) { return {cls, code}; }

// <build>/codecs: the test data lie in <build>/test-data.
inline std::string BuiltCodecDir() {
  std::string data = MediaPath("x");
  data.resize(data.rfind('/'));            // <build>/test-data
  return data.substr(0, data.rfind('/')) + "/codecs";
}

// A picture as one 0x00RRGGBB word per pixel (8-bit through its palette; 24 and 32 bits direct).
inline std::vector<uint32_t> Colours(const Qimg& img) {
  std::vector<uint32_t> out(static_cast<size_t>(img.Width) * img.Height);
  for (size_t i = 0; i < out.size(); ++i) {
    const uint8_t* p = img.Data + i * img.BytesPP;
    const uint8_t* c = img.Bpp == 8 ? img.Palette.data() + 3 * p[0] : p;
    out[i] = static_cast<uint32_t>(c[2]) | (static_cast<uint32_t>(c[1]) << 8) | (static_cast<uint32_t>(c[0]) << 16);
  }
  return out;
}

inline std::vector<uint8_t> Indices(const Qimg& img) { return std::vector<uint8_t>(img.Data, img.Data + img.Size); }

}  // namespace tavelo::test

// Colour-word helpers.
#include "core/media/color_utils.h"

#include <atomic>

#include "core/services/basic.h"

namespace tavelo {

namespace {

constexpr uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); }

// The classic desktop scheme, by system colour number.
constexpr uint32_t kClassicColors[31] = {
    Rgb(212, 208, 200), Rgb(58, 110, 165),  Rgb(10, 36, 106),   Rgb(128, 128, 128), Rgb(212, 208, 200),
    Rgb(255, 255, 255), Rgb(0, 0, 0),       Rgb(0, 0, 0),       Rgb(0, 0, 0),       Rgb(255, 255, 255),
    Rgb(212, 208, 200), Rgb(212, 208, 200), Rgb(128, 128, 128), Rgb(10, 36, 106),   Rgb(255, 255, 255),
    Rgb(212, 208, 200), Rgb(128, 128, 128), Rgb(128, 128, 128), Rgb(0, 0, 0),       Rgb(212, 208, 200),
    Rgb(255, 255, 255), Rgb(64, 64, 64),    Rgb(212, 208, 200), Rgb(0, 0, 0),       Rgb(255, 255, 225),
    Rgb(0, 0, 0),       Rgb(0, 0, 128),     Rgb(166, 202, 240), Rgb(192, 192, 192), Rgb(49, 106, 197),
    Rgb(236, 233, 216)};

uint32_t ClassicSysColor(int32_t index) {
  return index >= 0 && index < 31 ? kClassicColors[index] : 0;
}

std::atomic<SysColorSource> sysColorSource{ClassicSysColor};

}  // namespace

void SetSysColorSource(SysColorSource source) { sysColorSource.store(source != nullptr ? source : ClassicSysColor); }

uint32_t ColorRGB(int32_t color) {
  if (color < 0) return sysColorSource.load()(color & 0xFF);
  return static_cast<uint32_t>(color);
}

uint32_t SwapRB(uint32_t v) { return (v & 0xFF00FF00u) | ((v & 0xFF) << 16) | ((v >> 16) & 0xFF); }

uint32_t ColorToPixel(uint32_t color) { return SwapRB(color); }

void SplitColor(uint32_t color, uint8_t& r, uint8_t& g, uint8_t& b, uint8_t& a) {
  r = static_cast<uint8_t>(color);
  g = static_cast<uint8_t>(color >> 8);
  b = static_cast<uint8_t>(color >> 16);
  a = static_cast<uint8_t>(color >> 24);
}

uint32_t Pix555ToColor(uint16_t word) {
  const uint32_t b5 = word & 0x1F, g5 = (word >> 5) & 0x1F, r5 = (word >> 10) & 0x1F;
  return (0xFFu << 24) | ((b5 << 3) << 16) | ((g5 << 3) << 8) | (r5 << 3);
}

uint32_t Pix565ToColor(uint16_t word) {
  const uint32_t b5 = word & 0x1F, g6 = (word >> 5) & 0x3F, r5 = (word >> 11) & 0x1F;
  return (0xFFu << 24) | ((b5 << 3) << 16) | ((g6 << 2) << 8) | (r5 << 3);
}

uint32_t BlendColor(uint32_t c1, uint32_t c2, double t) {
  uint32_t result = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const long double a = (c1 >> shift) & 0xFF, b = (c2 >> shift) & 0xFF;
    int64_t v = FpuRound(a * (1 - static_cast<long double>(t)) + b * t);
    // A factor outside 0..1 must not spill into the neighbouring byte.
    if (v < 0) v = 0;
    if (v > 255) v = 255;
    result |= static_cast<uint32_t>(v) << shift;
  }
  return result;
}

}  // namespace tavelo

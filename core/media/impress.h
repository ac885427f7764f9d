// Picture adjustments (unit Impress): saturation, and brightness, contrast and gamma per channel
// through 256-entry tone tables, plus blending one picture over another through an alpha picture.
// They run through the operation framework (codes 26, 3, 5 and 14), so an 8-bit picture is
// adjusted through its palette and keeps its pixel indices.
#pragma once
#include <array>
#include <cstdint>

#include "core/media/img_basic.h"

namespace tavelo {

// New value by old value.
using ToneTable = std::array<uint8_t, 256>;
using ToneCalc = void (*)(double value, ToneTable& table);

// amount in percent, -100 (grey) .. 100.
void ImgSaturation(Qimg& src, Qimg& dest, int32_t amount);
// Three tone tables made by calc from r, g and b, applied to the red, green and blue bytes.
void AutoTune_(int32_t code, Qimg& src, Qimg& dest, double r, double g, double b, ToneCalc calc);
void ImgBrightness(Qimg& src, Qimg& dest, int32_t r, int32_t g, int32_t b);  // -100..100
void ImgContrast(Qimg& src, Qimg& dest, int32_t r, int32_t g, int32_t b);    // -100..100
void ImgGamma(Qimg& src, Qimg& dest, double r, double g, double b);          // 0.01..5

void IdentityCalc_(ToneTable& table);
void BrightnessCalc_(double value, ToneTable& table);
void ContrastCalc_(double value, ToneTable& table);
void GammaCalc_(double value, ToneTable& table);

// out := background with overlay blended in at (x, y), the coverage of each pixel being the last
// byte of alpha's pixel. Background and overlay must be 24 or 32-bit, alpha 8, 24 or 32-bit and of
// overlay's size; otherwise nothing happens. out may be any of the three records.
void ImgBlend(Qimg& overlay, Qimg& alpha, Qimg& background, Qimg& out, int32_t x, int32_t y);

}  // namespace tavelo

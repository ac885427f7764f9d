// Colour-word helpers (unit ColorUtils). A colour word holds red in byte 0, green in byte 1, blue in
// byte 2 and, where meant, alpha in byte 3; picture pixels hold B, G, R(, A) in memory order.
#pragma once
#include <cstdint>

namespace tavelo {

// A colour with its system-colour form resolved: a negative colour (high byte 0x80 or 0xFF)
// names system colour number (color and 0xFF).
uint32_t ColorRGB(int32_t color);
// The colour as a pixel word of the picture record (B, G, R byte order).
uint32_t ColorToPixel(uint32_t color);
uint32_t SwapRB(uint32_t v);  // bytes 0 and 2 exchanged
void SplitColor(uint32_t color, uint8_t& r, uint8_t& g, uint8_t& b, uint8_t& a);
uint32_t Pix555ToColor(uint16_t word);
uint32_t Pix565ToColor(uint16_t word);
// Each byte round(c1 x (1 - t) + c2 x t).
uint32_t BlendColor(uint32_t c1, uint32_t c2, double t);

// Where the system colours come from. The default is the classic desktop scheme; the interface
// kit installs the toolkit's own. index is 0..30; the result is a colour word.
using SysColorSource = uint32_t (*)(int32_t index);
void SetSysColorSource(SysColorSource source);

}  // namespace tavelo

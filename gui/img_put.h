// Drawing picture records on a device (unit ImgBasic): through DIB transfers, with the picture's
// palette realised on palette devices (no screen on Linux is one; see platform/gdi/gdi.h), and
// picture records from the device's bitmaps. The display window paints every frame through
// ImgPutEx.
#pragma once
#include <cstdint>

#include "core/media/img_basic.h"
#include "platform/gdi/gdi.h"

namespace tavelo {

struct ImgRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// True when dc draws through a palette (RC_PALETTE).
bool IsPaletteDC(platform::HDC dc);
// Realises palette on a palette device: it replaces the program-wide palette and is selected into
// dc. Nothing on other devices.
void PalPut(const QimgPalette& palette, platform::HDC dc);
// The program-wide palette (nullptr before the first PalPut on a palette device).
platform::HPALETTE ProgramPalette();

// Draws the srcRect part of img at (destX, destY), stretched to destW x destH unless either is 0.
// srcRect is corrected in place to lie inside the picture (a negative x or y becomes 0; a width or
// height below 1 means the rest of the picture). On a palette device a picture that is not 8-bit
// is first reduced to 8 bits with ditherMode (the ImgTo8bit modes).
void ImgPutEx(Qimg& img, ImgRect& srcRect, platform::HDC dc, int32_t destX, int32_t destY, int32_t destW,
              int32_t destH, int32_t ditherMode);
void ImgPut(Qimg& img, platform::HDC dc, int32_t x, int32_t y);

// img := the picture of a bitmap. False (img untouched) when the handle is not a bitmap.
bool HBitmapToQimg(platform::HBITMAP bitmap, Qimg& img);

}  // namespace tavelo

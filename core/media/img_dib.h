// Picture records from device-independent bitmaps and raw pixel buffers, and the small colour
// helpers of the drawing code (unit ImgBasic). Pure data: the drawing itself, which needs a
// device, is in gui/img_put.h.
#pragma once
#include <cstdint>

#include "core/media/img_basic.h"

namespace tavelo {

// Bytes in one DIB row: ((bpp + 7) div 8 x |width| + 3) and not 3.
int32_t DibLineBytes(int32_t bpp, int32_t width);

// img := a width x height picture of bpp bits copied from bits, whose rows are stride bytes apart
// and run top-down or bottom-up. A stride shorter than a row fails with (7, 2).
void MakeQimg(Qimg& img, const void* bits, int32_t width, int32_t height, int32_t bpp, int32_t stride, bool topDown);

// img := the picture of a packed DIB (a BITMAPINFOHEADER, its colour table or bit-field masks,
// then the rows). 8, 16 (5-5-5, or 5-6-5 by its bit-field masks), 24 and 32-bit DIBs of either
// row order are read; a header shorter than 40 bytes fails with (7, 4), a width below 1 or a
// height of 0 with (7, 2), other depths and compressed DIBs with (7, 1). When dibBytes is not
// negative it is the size of the whole block, and a DIB that does not fit fails with (7, 9).
void DibToQimg(Qimg& img, const void* packedDib, int64_t dibBytes = -1);

// r + g shl 8 + b shl 16 + a shl 24.
uint32_t MakeRGBA(uint8_t r, uint8_t g, uint8_t b, uint8_t a);
// The three low bytes of colour.
void SplitRGB(uint8_t& r, uint8_t& g, uint8_t& b, uint32_t colour);
// Writes count 3-byte pixels to dest. A srcStep of 3 or more reads 3 bytes every srcStep bytes; a
// srcStep below 3 reads 5-5-5 words and widens them by shifting. swapRB exchanges bytes 0 and 2.
void RowTo24(bool swapRB, int32_t srcStep, int32_t count, void* dest, const void* src);

}  // namespace tavelo

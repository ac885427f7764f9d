// The bitmap bridge, toolkit half (unit Pictor): picture records into the toolkit's bitmaps
// (QImage), alpha masks and button bitmaps from toolkit graphics, alpha drawing, layered drawing
// with a shadow, tints, solid fills and clipped text. The record half is core/media/pictor.h.
//
// The toolkit's pixel formats map to bit depths as QImage formats: Indexed8 8, RGB555 15, RGB16 16,
// BGR888 24, ARGB32 32 (B, G, R, A in memory, not premultiplied). A null image stands for the
// device format.
#pragma once
#include <QImage>

#include <cstdint>
#include <string>

#include "core/media/img_basic.h"
#include "core/media/pictor.h"
#include "platform/gdi/gdi.h"

class QPainter;

namespace tavelo {

// 0 for the device format (a null image's), 8, 15, 16 or 32 for those formats, 24 for any other.
int32_t PixelFormatToBits(QImage::Format format);
// Indexed8, RGB555, RGB16 and BGR888 for 8, 15, 16 and 24; ARGB32 for everything else.
QImage::Format BitsToPixelFormat(int32_t bits);

// bitmap := a copy of pic in the matching format (8-bit pictures with their palette). Nothing when
// pic is not allocated or bitmap is nullptr.
void PicToBitmap(const Qimg& pic, QImage* bitmap);
// The five button bitmaps (masked, shadow, hot, pressed, disabled) of a toolkit graphic; false
// when the graphic is empty or too small.
bool PicMakeButtonBitmaps(const QImage& graphic, QImage* masked, QImage* shadow, QImage* a, QImage* b,
                          QImage* disabled, uint32_t colour);
// dst := bitmap when it has 32 bits, else bitmap with alpha 0 where its colour is within 5 of its
// bottom-left pixel's.
void PicMakeAlphaBitmap(const QImage& bitmap, QImage& dst);
// Draws src onto dst at (x, y) through src's alpha (a src of another depth is drawn as it is),
// clipped to dst.
void PicAlphaDraw(const QImage& src, QImage& dst, int32_t x, int32_t y);
// Draws shadow (when it has a picture) centred on bitmap's place and offset by (dx, dy), then
// bitmap at (x, y), both through their alpha.
void PicDrawLayered(const QImage& bitmap, int32_t x, int32_t y, const QImage& shadow, int32_t dx, int32_t dy,
                    QImage& dst);
// Tints rect (clipped to bitmap) toward colour by colour's alpha (byte 3): 0 nothing, 255 a fill.
void PicTintRect(QImage& bitmap, const TRect& rect, uint32_t colour);
// Fills a rectangle of a device with a solid colour.
void PicFillRect(platform::HDC dc, int32_t x, int32_t y, int32_t width, int32_t height, uint32_t colour);
// Draws text into rect in colour on a transparent background, ending a line that does not fit
// with an ellipsis; the painter's pen is restored.
void PicDrawText(QPainter& canvas, const TRect& rect, uint32_t colour, const std::string& text);

}  // namespace tavelo

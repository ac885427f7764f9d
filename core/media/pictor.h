// The bitmap bridge, picture-record half (unit Pictor): fitting and clipping helpers, single
// channels, alpha from a key colour, blurred drop shadows and the state pictures of picture
// buttons. The half that works on the toolkit's bitmaps is in gui/pictor_bitmap.h.
//
// Colours passed here are words with red in byte 0, green in byte 1, blue in byte 2 and, where an
// alpha is meant, alpha in byte 3; picture pixels are B, G, R(, A). Unsuitable pictures (empty,
// wrong depth, mismatched sizes) make the routines do nothing.
#pragma once
#include <cstdint>

#include "core/media/img_basic.h"

namespace tavelo {

// The toolkit's rectangle: right and bottom are outside it.
struct TRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Right = 0;
  int32_t Bottom = 0;
};

struct TSize {
  int32_t Width = 0;
  int32_t Height = 0;
};

// Fits w x h into a boxW x boxH box keeping the aspect. Without always a picture that fits keeps
// its size and is centred. Inputs below 1 count as 1, so an empty picture or a minimised window's
// box of 0 gives a 1-pixel answer rather than a division by zero.
void PicFitSize(int32_t w, int32_t h, int32_t boxW, int32_t boxH, bool always, bool& changed, int32_t& offX,
                int32_t& offY, int32_t& outW, int32_t& outH);
// The part of a w x h rectangle at (x, y) that lies inside an areaW x areaH area: where it lands
// (dstX, dstY), its size (visW, visH; both 0 when nothing is visible) and where it starts in the
// rectangle (srcX, srcY).
void PicClip(int32_t x, int32_t y, int32_t w, int32_t h, int32_t areaW, int32_t areaH, int32_t& dstX, int32_t& dstY,
             int32_t& visW, int32_t& visH, int32_t& srcX, int32_t& srcY);
// The size of a rectangle; negative extents become 0.
TSize PicRectSize(const TRect& r);
// Compares the sizes of a and b: -1 when both sides of a are smaller, 0 when none is larger, else 1.
int32_t PicRectCompare(const TRect& a, const TRect& b);

// Sets count pixels from pixel index firstPixel (both limited to the picture) to ColorToPixel
// (colour): 8-bit the low byte, 15/16-bit the low word, 24-bit three bytes, 32-bit the word.
void PicFillPixels(Qimg& pic, int32_t firstPixel, int32_t count, uint32_t colour);
// The colour of a pixel (red in byte 0; alpha 255 except at 32 bits); $7FFFFFFF outside the
// picture or for a picture of another depth.
uint32_t PicGetPixel(const Qimg& pic, int32_t x, int32_t y);
constexpr uint32_t kPicNoPixel = 0x7FFFFFFF;
bool PicIsEmpty(const Qimg& pic);
// The same record, or two records over the same pixel buffer.
bool PicSame(const Qimg& a, const Qimg& b);

// The working-destination pair that lets a routine take the same record as source and
// destination. Mode 1: a src different from dest is copied into dest and the work runs on dest
// alone. Mode 2: when dest is nullptr or the same picture as src, a new record becomes the working
// destination (temp = 1); a working destination whose size differs from src's is allocated like
// src. PicInputDone copies a temporary working record into dest (src when dest is nullptr) and
// frees it.
void PicInputAlloc(int32_t mode, Qimg* src, Qimg* dest, Qimg*& srcOut, Qimg*& work, int32_t& temp);
void PicInputDone(int32_t temp, Qimg* src, Qimg* dest, Qimg*& work);

// Byte srcByte of every src pixel into byte dstByte of every dst pixel.
void PicCopyChannel(const Qimg& src, Qimg& dst, int32_t srcByte, int32_t dstByte);
// dst := an 8-bit grey picture of src's size holding that byte of every pixel.
void PicExtractChannel(Qimg& src, Qimg& dst, int32_t byte);
// Scales one byte of every pixel by percent (-100..10000; 0 changes nothing).
void PicScaleChannel(Qimg& pic, int32_t byte, int32_t percent);
// Passes one byte of every pixel through the gamma table of gamma.
void PicGammaChannel(Qimg& pic, int32_t byte, double gamma);
// dest := src as 32 bits, alpha 0 where each of R, G and B is within tolerance of the key colour's,
// else 255.
void PicMakeTransparent(Qimg& src, Qimg& dest, uint32_t key, int32_t tolerance);
// Blurs an 8-bit picture with radius passes of a 3 x 3 kernel (centre counted twice); the picture
// grows by radius on every side, the outside counting as border.
void PicSoften(Qimg& src8, Qimg& dest, int32_t radius, int32_t border);
// shadow := a 32-bit picture of colour whose alpha is the blurred coverage of src (its alpha at 32
// bits, the picture itself at 8), weakened below strength 100 and strengthened above.
void PicMakeShadow(Qimg& src, Qimg& shadow, uint32_t colour, int32_t blur, int32_t strength);
// masked := src with alpha (32-bit as it is, else from the bottom-left pixel's colour, tolerance 5).
void PicMakeAlpha_(Qimg& src, Qimg& masked);
// The state pictures of a picture button: the masked picture, its shadow in colour, two copies for
// the hot and pressed faces, and a disabled face at a fifth of the alpha. False for pictures under
// 4 x 4.
bool PicMakeButtonFaces(Qimg& src, Qimg& masked, Qimg& shadow, Qimg& a, Qimg& b, Qimg& disabled, uint32_t colour);

}  // namespace tavelo

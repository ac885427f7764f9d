// Colour reduction (unit PalOpt): a 15, 16, 24 or 32-bit picture (or an 8-bit one, re-mapped) to
// an 8-bit picture with an optimised palette of up to 256 colours.
//
// One work block holds a 64 x 64 x 64 cell table that is first the colour histogram (6 bits per
// channel) and, after the reduction, the inverse colour map (cell -> palette index). The palette
// comes from a weighted box split over the histogram (red, green and blue weighted 30², 59² and
// 11² everywhere); the remap runs without dithering, with ordered dithering ("lite") or with damped
// error diffusion ("heavy").
//
// The work block is one global, so only one reduction runs at a time: ConvTo8bit holds PalLock()
// for its whole run. Code that calls the steps (PalInit .. PalDone) itself must hold it too.
#pragma once
#include <cstdint>
#include <mutex>

#include "core/media/img_basic.h"

namespace tavelo {

constexpr int32_t kPalCells = 64 * 64 * 64;

struct PalBox {
  int32_t Min0 = 0, Max0 = 0, Min1 = 0, Max1 = 0, Min2 = 0, Max2 = 0;  // axis 0 red, 1 green, 2 blue
  int32_t Ext0 = 0, Ext1 = 0, Ext2 = 0;
  int32_t Spread = 0;  // Ext0² x 900 + Ext1² x 3481 + Ext2² x 121
  double Var0 = 0, Var1 = 0, Var2 = 0;
  int32_t Mid0 = 0, Mid1 = 0, Mid2 = 0;
};

struct PalQuantWork {
  // Index r6 + g6 x 64 + b6 x 4096. While counting: pixel count - 1 (-1 empty); after the
  // reduction: the palette index of the cell's colour (-1: not yet known).
  int32_t Cells[kPalCells];
  int32_t Distinct;
  uint8_t Palette[768];  // B, G, R
  int32_t Correction[256];
  int32_t BoxCount;
  PalBox Boxes[256];
  int32_t Wanted;
};

// Remap modes of PalRemap and ConvTo8bit (ImgTo8bit numbers the two dithering kinds the other way
// round: see ImgDitherToRemapMode).
enum : int32_t {
  prmPlain = 0,
  prmLite = 1,   // ordered dithering
  prmHeavy = 2,  // damped error diffusion
};

std::mutex& PalLock();
// The current work block (nullptr outside PalInit .. PalDone).
PalQuantWork* PalWork();

void PalInit();
void PalDone();
void PalClearVars();
void PalCountColors(const Qimg& src);
void PalReduce(int32_t count);
// Remaps src into dest8 (which may be src) with the result palette.
void PalRemap(Qimg& src, Qimg& dest8, int32_t mode);
int32_t FindNearest(int32_t r, int32_t g, int32_t b, int32_t count, const uint8_t* palette);

// The whole reduction: PalInit, PalCountColors, PalReduce (256), PalRemap, PalDone.
void ConvTo8bit(Qimg& src, Qimg& dest8, int32_t mode);

}  // namespace tavelo

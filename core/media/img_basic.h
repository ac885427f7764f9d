// The picture record and its operations (unit ImgBasic).
//
// Qimg is the one picture record of the program: every format unit reads into it, the engine keeps
// its current frame in one, and every picture operation takes and gives records of this form.
// Rows run top-down and are packed without gaps; channels are in B, G, R(, A) order; 15-bit
// pixels are little-endian words 0RRRRRGGGGGBBBBB, 16-bit pixels RRRRRGGGGGGBBBBB; 8-bit pixels
// are indices into Palette (256 entries of B, G, R).
//
// The pixel buffer is a tracked memory block found through the address of the record's Data
// field, so a record is never copied or moved by value: ImgCopy makes a second buffer and ImgXchg
// moves buffers between records together with their bookkeeping.
//
// Every operation runs through one framework: an operation descriptor (QimgInfo) says at which
// depth an operation works, whether it may write into its own source and whether an 8-bit
// picture is handled through its palette; a conversion context (QimgCtx) prepared by ImgInitEx
// converts the source to that depth and allocates the destination; ImgDone finishes.
#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace tavelo {

// 256 entries of 3 bytes: blue, green, red.
using QimgPalette = std::array<uint8_t, 768>;

struct Qimg {
  uint8_t* Data = nullptr;  // tracked block; its owner variable is this field
  int32_t Size = 0;         // bytes in the buffer: BytesPP x Width x Height
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPP = 0;  // (Bpp + 7) div 8
  int32_t Bpp = 0;      // 8 (palette indices), 15, 16, 24 or 32
  int32_t XRes = 0;     // resolution a loader took from the file, 0 when none
  int32_t YRes = 0;
  QimgPalette Palette{};
  int32_t DataExt = 0;  // non-zero: counts as holding a picture without a tracked buffer of its own

  Qimg() = default;
  Qimg(const Qimg&) = delete;
  Qimg& operator=(const Qimg&) = delete;
};

// ---- The record (allocation, copies, exchange) ----

// Allocates or resizes img's buffer for width x height pixels of bpp bits (tracked, kind 'C',
// owner "(ImgAlloc):" + tag) and sets the dimensions; XRes, YRes and DataExt become 0; the palette
// and the pixel bytes are left as they are. A width or height below 1, or a buffer that would pass
// the 32-bit size limit, fails with (5, 5); a depth other than 8, 15, 16, 24 or 32 with (7, 1).
// The depths a picture record holds: 8 (palette), 15 and 16 (5-5-5, 5-6-5), 24 and 32 bits.
constexpr bool ImgDepthValid(int32_t bpp) { return bpp == 8 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32; }

// A new buffer is zero-filled unless zeroed is false (for loaders that write every pixel).
void _imgalloc_(Qimg& img, int32_t width, int32_t height, int32_t bpp, int32_t line, const std::string& tag,
                bool zeroed = true);
void ImgAlloc(Qimg& img, int32_t width, int32_t height, int32_t bpp);
void ImgClear(Qimg& img);  // zeroes the record, frees nothing
void ImgFree(Qimg& img);
bool ImgAssigned(const Qimg& img);
void ImgSetDims(Qimg& img, int32_t width, int32_t height, int32_t bpp);
void ImgCopyInfo(const Qimg& src, Qimg& dest);
void ImgCopyPalette(const Qimg& src, Qimg& dest);
void ImgCopyData(const Qimg& src, Qimg& dest);
void ImgCopy(const Qimg& src, Qimg& dest);
void ImgXchg(Qimg& a, Qimg& b);

// ---- Operation descriptors and conversion contexts ----

struct QimgRange {
  int32_t Min = 0;
  int32_t Max = 0;
};

struct QimgParam {
  double Min = 0;
  double Max = 0;
  double Default = 0;
};

constexpr int32_t kQimgMaxParams = 16;

struct QimgInfo {
  int32_t OpCode = 0;
  QimgRange Ranges[4];
  int32_t WorkBpp[6] = {};  // for a source of 8, 15, 16, 24, 32 and any other depth
  int32_t InPlace = 0;      // booleans: -1 true, 0 false
  int32_t PalOK = 0;
  int32_t HasParams = 0;
  int32_t DestToWork = 0;
  int32_t DestKeepsBpp = 0;
  int32_t ParamCount = 0;
  QimgParam Params[kQimgMaxParams];
};

struct QimgCtx {
  int32_t TempUsed = 0;
  int32_t PalMode = 0;
  int32_t Src8 = 0;
  int32_t SwapBack = 0;
  int32_t SrcLine = 0, DestLine = 0;
  int32_t SrcTotal = 0, DestTotal = 0;
  int32_t SrcCount = 0, DestCount = 0;
  int32_t SrcPixels = 0, DestPixels = 0;
  int32_t SrcBytes = 0, DestBytes = 0;
  int32_t Width = 0, Height = 0;
  int32_t UnitBytes = 0;
  Qimg* Src = nullptr;
  Qimg* Dest = nullptr;
  Qimg Work;
  uint8_t* SrcP = nullptr;
  uint8_t* DestP = nullptr;

  QimgCtx() = default;
  QimgCtx(const QimgCtx&) = delete;
  QimgCtx& operator=(const QimgCtx&) = delete;
};

// Operation codes that have routines.
enum : int32_t {
  opBrightness = 3,
  opContrast = 5,
  opVFlip = 13,
  opGamma = 14,
  opSaturation = 26,
  opSwapRB = 30,
  opSprite = 38,
  opResize = 39,
  opInsert = 43,
};

void ImgInitInfo(QimgInfo& info);
// Sets the working depth for one source depth (8, 15, 16, 24, 32, anything else); a source depth
// of 0 sets all six, and there a working depth of 0 means "the source's own depth".
void ImgInfoSetBpp(QimgInfo& info, int32_t srcBpp, int32_t workBpp);
void ImgInfoSetParam(QimgInfo& info, int32_t index, double min, double max, double def);
void ImgInfoSetParams(QimgInfo& info, int32_t first, int32_t last, double min, double max, double def);
void ImgInfoAllowPal8(QimgInfo& info);
void ImgInfo(QimgInfo& info, int32_t code);
// Index into WorkBpp for a source depth.
int32_t ImgInfoBppIndex(int32_t bpp);

void ImgInitEx(const QimgInfo& info, QimgCtx& ctx, Qimg* src, Qimg* dest, int32_t width, int32_t height);
void ImgInit(const QimgInfo& info, QimgCtx& ctx, Qimg* src, Qimg* dest);
void ImgDone(QimgCtx& ctx);

// ---- Depth conversion ----

// Converts src into dest (which may be src) at bpp (8, 15, 16, 24 or 32; anything else copies).
// mode is the ImgTo8bit mode used when bpp is 8.
void ImgConvBppEx(Qimg& src, Qimg& dest, int32_t bpp, int32_t mode);
void ImgConvBpp(Qimg& src, Qimg& dest, int32_t bpp);

// ImgTo8bit modes. Note that the colour reduction's own remap modes (PalRemap) number the two
// dithering kinds the other way round; ImgDitherToRemapMode is the one place that translates.
enum : int32_t {
  itmPlain = 0,  // colour reduction without dithering
  itmHeavy = 1,  // colour reduction with damped error diffusion
  itmLight = 2,  // colour reduction with ordered dithering
  itmGray = 3,   // grey levels (B + G + R) div 3
};
int32_t ImgDitherToRemapMode(int32_t imgTo8bitMode);
void ImgTo8bit(Qimg& src, Qimg& dest8, int32_t mode);

// Palette helpers.
void PalSetGray(QimgPalette& palette);     // entry i = (i, i, i)
void PalSetGrayInv(QimgPalette& palette);  // entry i = (255 - i) in all three channels

// ---- Geometry and placement ----

void ImgFlipV(Qimg& src, Qimg& dest);
// Nearest-neighbour resize. A width or height below 1 fails with (5, 5).
void ImgResize(Qimg& src, Qimg& dest, int32_t width, int32_t height);
void ImgSwapRB(Qimg& src, Qimg& dest);

// Places a width x height part of src, from (srcX, srcY), into dest at (x, y). Code 43 copies,
// code 38 copies the pixels that differ from key. src and dest must be different records.
void AutoPut_(int32_t code, Qimg& src, Qimg& dest, int32_t srcX, int32_t srcY, int32_t width,
              int32_t height, int32_t x, int32_t y, uint32_t key);
void ImgInsert(Qimg& src, Qimg& dest, int32_t x, int32_t y);
void ImgSprite(Qimg& src, Qimg& dest, int32_t x, int32_t y, uint32_t key);

}  // namespace tavelo

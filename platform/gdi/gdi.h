// The drawing stand-in: device contexts, device-independent bitmaps, stretching, memory contexts,
// palettes and solid fills, the calls the picture drawing and the bitmap bridge make, drawn
// through Qt's raster engine.
//
// A device context draws onto one of:
//  - a QPainter that the caller has open (a widget's paint event);
//  - a QImage. A true-colour image is drawn with a QPainter for each call. An image in
//    QImage::Format_Indexed8 is a palette device: its colour table is the system palette and its
//    pixels are system-palette indices. No screen on Linux is a palette device, so only such an
//    image (made by a test) takes the palette path of the drawing code;
//  - a bitmap selected into a memory context (CreateCompatibleDC), read by BitBlt and StretchBlt.
//
// Coordinates are the device's pixels, y growing downwards. The source rectangle of the DIB
// transfers (SetDIBitsToDevice, StretchDIBits) is measured from the lower-left corner of the
// picture as it is shown, whatever the row order of the DIB: ySrc = picture height - top - height
// selects the rows from "top" down.
//
// Handles are checked: a handle that is not live makes a call fail (0 / false), never crash.
// Drawing runs on the thread that paints (the main thread); the handle tables are locked so a
// stray call from another thread cannot corrupt them.
#pragma once
#include <cstdint>
#include <string>

#include "platform/dib/dib.h"

class QImage;
class QPainter;

namespace tavelo::platform {

struct GdiDc;
struct GdiObject;
using HDC = GdiDc*;
using HGDIOBJ = GdiObject*;
using HBITMAP = GdiObject*;
using HPALETTE = GdiObject*;
using HBRUSH = GdiObject*;
using COLORREF = uint32_t;  // red in byte 0, green in byte 1, blue in byte 2

struct RECT {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

// GetDeviceCaps indexes and RASTERCAPS bits.
enum : int32_t { BITSPIXEL = 12, SIZEPALETTE = 104, RASTERCAPS = 38 };
enum : int32_t { RC_BITBLT = 1, RC_PALETTE = 0x100, RC_DI_BITMAP = 0x80, RC_STRETCHBLT = 0x800, RC_STRETCHDIB = 0x2000 };
// Raster operation: only plain copies are drawn.
enum : uint32_t { SRCCOPY = 0x00CC0020 };
// System palette use.
enum : uint32_t { SYSPAL_ERROR = 0, SYSPAL_STATIC = 1, SYSPAL_NOSTATIC = 2 };
// The colour a palette call could not use.
constexpr uint32_t GDI_ERROR = 0xFFFFFFFF;

// Options of a device context made over an image. RefuseDibTransfers makes SetDIBitsToDevice and
// StretchDIBits draw nothing and return 0, as some devices do; it lets tests reach the drawing
// code's fallback through a memory context.
struct DcOptions {
  bool RefuseDibTransfers = false;
};

// ---- Device contexts ----
// target must outlive the context; it is not owned.
HDC CreateImageDC(QImage* target, DcOptions options = {});
HDC CreatePainterDC(QPainter* painter);
// A memory context compatible with dc (or with the screen when dc is nullptr). It draws nothing
// itself; it is the source of BitBlt and StretchBlt through the bitmap selected into it.
HDC CreateCompatibleDC(HDC dc);
bool DeleteDC(HDC dc);
int32_t GetDeviceCaps(HDC dc, int32_t index);

// Selects a bitmap (memory contexts only; a bitmap is in at most one context) or a brush.
// Returns the object it replaced, nullptr on failure.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
// Fails (false) for a bitmap still selected into a context; a palette or brush is first taken out
// of every context that uses it.
bool DeleteObject(HGDIOBJ object);

// ---- Palettes ----
HPALETTE CreatePalette(const LOGPALETTE* logPalette);
// Returns the palette it replaced (a context starts with the stock default palette).
HPALETTE SelectPalette(HDC dc, HPALETTE palette, bool forceBackground);
// Maps the selected palette into the device's colours; the number of entries mapped (0 on a
// device without a palette, GDI_ERROR for a bad context).
uint32_t RealizePalette(HDC dc);
uint32_t SetSystemPaletteUse(HDC dc, uint32_t use);
// The entries of a palette (for tests and the bitmap bridge); the number copied.
uint32_t GetPaletteEntries(HPALETTE palette, uint32_t start, uint32_t count, PALETTEENTRY* entries);

// ---- DIB transfers ----
// info points to a header followed by its colour table: RGBQUADs (DIB_RGB_COLORS), 16-bit
// indices into the selected palette (DIB_PAL_COLORS, 8-bit DIBs), or the three BI_BITFIELDS masks
// (16-bit: 5-6-5 only). 8, 16, 24 and 32-bit DIBs are drawn. Only the whole picture is accepted
// as a band (startScan 0, scanLines = its height). Returns the number of scan lines drawn,
// 0 when nothing was drawn.
int32_t SetDIBitsToDevice(HDC dc, int32_t xDest, int32_t yDest, int32_t width, int32_t height, int32_t xSrc,
                          int32_t ySrc, uint32_t startScan, uint32_t scanLines, const void* bits,
                          const BITMAPINFO* info, uint32_t usage);
// Stretches with nearest-neighbour sampling; only SRCCOPY. The source rectangle must lie inside
// the picture.
int32_t StretchDIBits(HDC dc, int32_t xDest, int32_t yDest, int32_t destWidth, int32_t destHeight, int32_t xSrc,
                      int32_t ySrc, int32_t srcWidth, int32_t srcHeight, const void* bits, const BITMAPINFO* info,
                      uint32_t usage, uint32_t rop);

// ---- Bitmaps ----
// A DIB section: the caller writes the pixels through *bits (rows bottom-up for a positive
// height, top-down for a negative one; each row padded to 4 bytes). With DIB_PAL_COLORS the
// colour table is taken from the palette selected into dc.
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, uint32_t usage, void** bits, void* section,
                         uint32_t offset);
// A device-dependent bitmap of 8, 16, 24 or 32 bits per pixel; rows top-down, padded to 4 bytes.
// bits (may be nullptr) holds the first content in that layout.
HBITMAP CreateBitmap(int32_t width, int32_t height, uint32_t planes, uint32_t bitCount, const void* bits);
// A bitmap of a toolkit image: a bottom-up DIB section of 8 (indexed), 16 (5-6-5), 24 or 32 bits.
// A 5-5-5 image becomes 24 bits (a 16-bit bitmap reads as 5-6-5), any other format 32 bits with
// its alpha. What the toolkit's graphics hand out as handles.
HBITMAP CreateBitmapFromImage(const QImage& image);
// Fills a BITMAP record. bmHeight is negative for a top-down DIB section; bmBits is nullptr for a
// device-dependent bitmap. Returns the bytes written, 0 on failure.
int32_t GetObjectA(HGDIOBJ object, int32_t size, BITMAP* out);
// Copies up to size bytes of the bitmap's rows, top-down with rows padded to 4 bytes; returns the
// bytes copied.
int32_t GetBitmapBits(HBITMAP bitmap, int32_t size, void* bits);
// Copies scan lines of a bitmap into bits in the layout info asks for (the bitmap's own depth,
// BI_RGB; bottom-up for a positive height). Fills the colour table of an 8-bit request. Returns
// the lines copied.
int32_t GetDIBits(HDC dc, HBITMAP bitmap, uint32_t startScan, uint32_t scanLines, void* bits, BITMAPINFO* info,
                  uint32_t usage);
// The colour table of the 8-bit DIB section selected into dc; the number of entries copied.
uint32_t GetDIBColorTable(HDC dc, uint32_t start, uint32_t count, RGBQUAD* colors);

// ---- Blits and fills ----
bool BitBlt(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src, int32_t xSrc, int32_t ySrc,
            uint32_t rop);
bool StretchBlt(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src, int32_t xSrc, int32_t ySrc,
                int32_t srcWidth, int32_t srcHeight, uint32_t rop);
HBRUSH CreateSolidBrush(COLORREF color);
bool FillRect(HDC dc, const RECT* rect, HBRUSH brush);

// Live handles, for leak checks in tests.
int32_t GdiLiveObjects();
int32_t GdiLiveDCs();

}  // namespace tavelo::platform

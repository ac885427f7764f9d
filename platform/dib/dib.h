// Device-independent bitmap records: the in-memory layout of a packed DIB (a BITMAPINFOHEADER,
// an optional colour table, then the pixel rows) as picture files, movie frames and the drawing
// stand-in exchange them. Pure data, no toolkit: the media library and the format units use it.
#pragma once
#include <cstdint>

namespace tavelo::platform {

struct BITMAPINFOHEADER {
  uint32_t biSize = 0;
  int32_t biWidth = 0;
  int32_t biHeight = 0;  // negative: rows run top-down
  uint16_t biPlanes = 0;
  uint16_t biBitCount = 0;
  uint32_t biCompression = 0;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};

struct RGBQUAD {
  uint8_t rgbBlue = 0;
  uint8_t rgbGreen = 0;
  uint8_t rgbRed = 0;
  uint8_t rgbReserved = 0;
};

// A header with room for a full colour table: 256 RGBQUADs, 256 palette-index words
// (DIB_PAL_COLORS) or the three BI_BITFIELDS masks all fit in bmiColors.
struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[256];
};

// The GDI description of a bitmap (GetObject).
struct BITMAP {
  int32_t bmType = 0;
  int32_t bmWidth = 0;
  int32_t bmHeight = 0;
  int32_t bmWidthBytes = 0;
  uint16_t bmPlanes = 0;
  uint16_t bmBitsPixel = 0;
  void* bmBits = nullptr;  // nullptr for a device-dependent bitmap
};

struct PALETTEENTRY {
  uint8_t peRed = 0;
  uint8_t peGreen = 0;
  uint8_t peBlue = 0;
  uint8_t peFlags = 0;
};

struct LOGPALETTE {
  uint16_t palVersion = 0;
  uint16_t palNumEntries = 0;
  PALETTEENTRY palPalEntry[256];
};

static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER is 40 bytes");
static_assert(sizeof(BITMAPINFO) == 1064, "the header block is 1064 bytes");
static_assert(sizeof(RGBQUAD) == 4, "RGBQUAD is 4 bytes");
static_assert(sizeof(LOGPALETTE) == 4 + 256 * 4, "LOGPALETTE holds 256 entries after its two words");

// biCompression values.
enum : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3 };

// Colour-table usage of the DIB calls.
enum : uint32_t { DIB_RGB_COLORS = 0, DIB_PAL_COLORS = 1 };

// Palette entry flags.
enum : uint8_t { PC_RESERVED = 1, PC_EXPLICIT = 2, PC_NOCOLLAPSE = 4 };

// Bytes in one DIB row: rows are padded to 4 bytes.
inline int64_t DibRowBytes(int32_t bitCount, int32_t width) {
  const int64_t w = width < 0 ? -static_cast<int64_t>(width) : width;
  return ((bitCount + 7) / 8 * w + 3) & ~int64_t{3};
}

}  // namespace tavelo::platform

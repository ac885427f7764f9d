// The TIFF unit (FF_TIF, FormatId 10): reads the first picture of a TIFF file and writes TIFF
// pictures through libtiff, which the codec library tiffcodec.dll carries together with its two
// calls that hand libtiff's messages to the unit (they become class-1 warnings: a library message
// never fails a call by itself).
//
// Pictures whose samples lie together (one plane) as grey, palette or RGB data of 1, 8 or 16 bits
// are read line by line and keep their kind: 8-bit palette or grey pictures, 24 or 32 bits. Every
// other layout libtiff can render (separate planes, tiles, YCbCr, CMYK, 2 and 4 bits, ...) goes
// through libtiff's RGBA reader and arrives as 24 bits, or 32 when the file has an alpha sample.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/img_basic.h"
#include "formats/conform.h"

struct tiff;

namespace tavelo {

// The unit's record of one open file (zeroed by TIFOpen_, TIFCreate_ and TIFClose_).
struct TIFRec {
  tiff* Handle = nullptr;
  int32_t Height = 0;
  int32_t Width = 0;
  int32_t ScanlineSize = 0;
  uint16_t BitsPerSample = 0;
  uint16_t SamplesPerPixel = 0;
  uint16_t Compression = 0;
  uint16_t ResolutionUnit = 0;
  float XResolution = 0;  // dots per inch
  float YResolution = 0;
  uint16_t Photometric = 0;
  bool ByScanline = false;  // the layout can be read line by line
  uint16_t PlanarConfig = 0;
  bool HasAlpha = false;  // an extra sample is alpha (associated or not)
  bool AssocAlpha = false;  // ... associated: the colours are stored multiplied by it
  bool ByRGBA = false;    // not line by line, but libtiff's RGBA reader may render it
};

// 16 when any of the first count entries of the three arrays is 256 or more, else 8.
int32_t checkpal_(int32_t count, const uint16_t* red, const uint16_t* green, const uint16_t* blue);

void TIFOpen_(TIFRec& rec, const std::string& fileName);
void TIFCreate_(TIFRec& rec, const std::string& fileName);
void TIFClose_(TIFRec& rec);

void TIFLoad(const std::string& fileName, Qimg& img);
void TIFSave(const std::string& fileName, const Qimg& img, const FFVideoOpts& opts);
void TIFInfo(const std::string& fileName, FFInfoRec& info);

// The loader pair: binds tiffcodec.dll, withdrawing format 10 when it or an export is missing.
void TIFDllLoad();
void TIFDllFree();

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kTiffUnit;

}  // namespace tavelo

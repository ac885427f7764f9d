// Raw single pictures of high-speed cameras (unit FF_BAY, format 16: ".bay", ".tp2"): 8-bit sensor
// values, one per pixel, in a Bayer colour mosaic or monochrome, followed by a 1024-byte trailer
// naming the camera, its speed setting and the picture size. A file of exactly 307200 bytes is a
// headerless 640 x 480 mosaic.
//
// BayDecode turns a mosaic into B, G, R pixels; the Cine unit uses it for its colour sensors too.
// It interpolates each colour over the 3 x 3 neighbourhood of a padded copy of the mosaic, then
// raises the saturation by 1.4 through a table built once per process.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/img_basic.h"
#include "formats/conform.h"

namespace tavelo {

constexpr int64_t kBayHeaderlessSize = 307200;  // 640 x 480, no trailer
constexpr int32_t kBayTrailerSize = 1024;

struct BayHandle {
  int32_t File = 0;
  int32_t Supported = 0;  // bool32: BytesPP is not 0
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPP = 0;  // 3 colour, 1 monochrome, 0 unknown
  int32_t Pattern = 0;  // mosaic code (BayDecode)
  int32_t Layout = 0;   // 1 raster order, 0 the older cell order
  int64_t FileSize = 0;
  double FrameRate = 0;
  char Camera[3] = {};  // two characters
};

// Mosaic codes: the 2 x 2 cell top-left, top-right, bottom-left, bottom-right.
enum : int32_t {
  bayBGGR = 0,
  bayGRBG = 1,
  bayRGGB = 2,
  bayGBRG = 3,
  bayMono = 4,
  bayCine5 = 5,  // the Cine unit's colour sensors: the cell's rows alternate from cell to cell
  bayCine6 = 6,
};

// Fills h (file fields untouched) from the file size and, unless the file is the headerless
// kind, its last 1024 bytes. Errors: (7, 2) "Invalid image format." for an unknown mark, an
// older file of an unknown size, or a picture smaller than 1 pixel (2 for colour) either way.
void BayParseTrailer_(const uint8_t* trailer, int64_t fileSize, BayHandle& h);

// src (width x height bytes) into dest: 3 bytes (B, G, R) a pixel, or for pattern 4 the bytes
// unchanged. layout 0 first rearranges the older cell order into raster order. A picture
// smaller than 2 pixels either way (other than a raster monochrome one) fails with (7, 2); an
// unknown pattern with (7, 1). Odd widths and heights copy the last decoded column and row.
void BayDecode(const uint8_t* src, uint8_t* dest, int32_t width, int32_t layout, int32_t pattern, int32_t height);

// Older files: each 2 x 2 cell as 4 bytes (top-left, top-right, bottom-left, bottom-right), cells
// left to right along each pair of rows. Writes raster order; width and height must be even.
void FixCmpsData(const uint8_t* src, uint8_t* dest, int32_t width, int32_t height);

// Colours a raster mosaic of pattern 0 to 3, 5 or 6 (width and height at least 2). fast lets
// patterns 0 to 3 take the SSSE3 path where the processor has it; both give the same bytes.
void BayColor_(const uint8_t* src, uint8_t* dest, int32_t width, int32_t pattern, int32_t height, bool fast = true);

// The saturation table: entry (a, v) at a x 256 + v = clamp(round(a + (v - a) x 1.4), 0, 255).
const uint8_t* BayRemapTable_();

// The codec name the description shows: the camera code ("EK" is "HR" or "HRC", "ML" is "HG"),
// then " (monochrome)" or " (color)".
std::string BayCodecName_(const BayHandle& h);

void BayOpen_(BayHandle& h, const std::string& fileName);
void BayClose_(BayHandle& h);
void BayInfo(const std::string& fileName, FFInfoRec& info);
void BayLoad(const std::string& fileName, Qimg& img);
// The same for a whole file held in memory.
void BayLoadMem_(const uint8_t* data, int64_t size, Qimg& img);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kBayUnit;

}  // namespace tavelo

// The built-in still codecs of the dispatcher unit: Truevision TGA (FormatId 1), ZSoft PCX (2)
// and Windows BMP/DIB (3). Each has an open routine that reads and checks the header into a
// common reader record, an Info routine, a load routine and a save routine; no codec library.
//
// Everything read from a file is checked before it is used: sizes are computed in 64 bits, runs
// and literals are clipped to the picture, and data that ends before the picture is complete is
// an error ("Image data corrupted."), never a partial read of memory.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/img_basic.h"
#include "formats/conform.h"

namespace tavelo {

// The reader record the open routines fill.
struct ConFileRec {
  int32_t Handle = 0;  // tracked file
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPP = 0;  // (Bpp + 7) div 8
  int32_t Bpp = 0;      // the depth the picture is delivered in
  int32_t FileBpp = 0;  // the depth stored in the file
  int32_t XRes = 0;     // dots per inch
  int32_t YRes = 0;
  int64_t FileSize = 0;
  int64_t PalOffset = 0;
  int64_t PalSize = 0;  // bytes
  int64_t DataOffset = 0;
  uint8_t* CmpsData = nullptr;  // tracked buffer of the packed data
  int64_t CmpsSize = 0;
  int32_t PalEntrySize = 0;  // bytes per stored palette entry
  int32_t PalFirst = 0;      // first palette index
  int64_t RowBytes = 0;      // bytes of one stored row (PCX: one whole scan line, every plane)
  int64_t ImageBytes = 0;    // RowBytes x Height
  bool Compressed = false;
  bool Supported = false;
  bool BottomUp = false;
  bool IsCore = false;       // BMP with the 12-byte core header
  // Particulars of one format.
  int32_t ImageType = 0;     // TGA
  bool RightToLeft = false;  // TGA: rows stored right to left
  int32_t Planes = 0;        // PCX
  int32_t PlaneBits = 0;     // PCX: bits per pixel in one plane
  int32_t LineBytes = 0;     // PCX: bytes of one plane of a scan line
  uint8_t HeaderPalette[48] = {};  // PCX: 16 entries R, G, B
  int32_t Compression = 0;   // BMP
  uint32_t Masks[4] = {};    // BMP bit fields read through the masks: red, green, blue, alpha (0: none)
  bool ByMasks = false;      // BMP: pixels are taken apart by Masks

  ConFileRec() = default;
  ConFileRec(const ConFileRec&) = delete;  // CmpsData is tracked by this field
  ConFileRec& operator=(const ConFileRec&) = delete;
};

void TGAOpen_(const std::string& fileName, ConFileRec& f);
void TGAInfo(const std::string& fileName, FFInfoRec& info);
void TGALoad_(const std::string& fileName, Qimg& img);
void TGASave_(const std::string& fileName, const Qimg& img, bool rle);

void PCXOpen_(const std::string& fileName, ConFileRec& f);
void PCXInfo(const std::string& fileName, FFInfoRec& info);
void PCXLoad_(const std::string& fileName, Qimg& img);
void PCXSave_(const std::string& fileName, const Qimg& img, const FFVideoOpts& opts);

void DIBOpen_(const std::string& fileName, ConFileRec& f);
void DIBInfo(const std::string& fileName, FFInfoRec& info);
void DIBLoad_(const std::string& fileName, Qimg& img);
void DIBSave_(const std::string& fileName, const Qimg& img, const FFVideoOpts& opts);

// Unpacks one PCX scan line of count bytes from src[pos..len), moving pos; a run that passes the
// end of the line is cut there. False when the data ends first.
bool PCXunCmps_(const uint8_t* src, int64_t len, int64_t& pos, uint8_t* dst, int64_t count);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kTgaUnit;
extern const FFUnit kPcxUnit;
extern const FFUnit kBmpUnit;

}  // namespace tavelo

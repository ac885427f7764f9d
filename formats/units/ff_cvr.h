// Unit FF_CVR: Cine files of high-speed cameras (format id 20, ".cin", ".cine"; read only), through
// the codec library cinecodec.dll. The library delivers each frame's stored data at 8 bits per
// sample; the unit colours mosaic frames with BayDecode (the Bayer raw unit) and then applies the
// picture settings stored in the file: saturation, gamma, brightness and contrast. No sound; every
// frame is a key frame.
#pragma once
#include <cstdint>
#include <string>

#include "codecs/cinecodec/cinecodec.h"
#include "core/media/img_basic.h"
#include "formats/conform.h"

namespace tavelo {

// The unit's open-file record (the dispatcher allocates it zeroed and frees it after CvrClose).
// The dispatcher views FrameCount, CurrentFrame and KeyFrame (always true: every frame stands
// alone); the current sample and the stop flag are constants.
struct CvrHandle {
  CvrHandleLib Lib;      // the library's handle
  int32_t Width;
  int32_t Height;
  int32_t BytesPP;       // of the delivered picture
  int32_t Bpp;           // of the delivered picture: 24 for mosaic frames
  int32_t StoredBits;    // as stored in the file
  int32_t StoredBytesPP; // bytes per pixel of what the library delivers
  int32_t Gamma;
  int32_t Saturation;
  int32_t Brightness;
  int32_t Contrast;
  int32_t Codec;         // the library's codec code (cinecodec.h)
  int32_t FrameCount;
  int32_t FrameRate;
  int32_t CurrentFrame;  // the frame read last, from 1
  int32_t KeyFrame;      // bool: always true
};

// The codec name of a codec code ("" when it has none).
std::string CvrCodecName_(int32_t codec);
// True for the codes the unit can turn into pictures.
bool CvrCodecKnown_(int32_t codec);
// The gamma value the picture adjustment receives for a stored setting (0: no gamma step).
// Positive settings brighten (1 + s / 100); negative ones darken by the reciprocal of the same
// amount (1 / (1 - s / 100)), so -50 and 50 undo each other.
double CvrGamma_(int32_t setting);

void CvrOpen(CvrHandle& h, const std::string& fileName);
// Reads frame (from 1). A seek or read the library refuses is (12, 9) "Cannot read from movie
// file."; a codec the unit cannot picture is (12, 5) "Movie format not supported.".
void CvrLoad(CvrHandle& h, Qimg& img, int32_t frame);
void CvrClose(CvrHandle& h);
void CvrInfo(const std::string& fileName, FFInfoRec& info);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kCineUnit;

}  // namespace tavelo

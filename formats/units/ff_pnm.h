// Portable anymap files (unit FF_PNM, format 15): grey maps (P2 text, P5 binary) and pixel maps
// (P3 text, P6 binary), also several images one after another in one file, which the dispatcher
// plays as a movie. Written as P3 or P6.
//
// Opening scans the whole file once and notes where each image's samples begin; an image that
// does not match the first (size, depth, sample range, text or binary), a truncated image and
// anything that is not a further P2/P3/P5/P6 header end the list of images. Bit maps (P1, P4) and
// PAM files (P7) are not read: their scan stops at once, so they open with no image.
//
// Samples: with a maximum value up to 255 a sample is stored as (value and 255) shl Shift, which
// widens small ranges to 8 bits by their top bit; with a maximum value above 255 the samples are
// two bytes (most significant first) in binary files and are scaled to 0..255 with rounding.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/img_basic.h"
#include "formats/conform.h"

namespace tavelo {

// Text files are read (and all files written) through a buffer of this size: large enough that
// the read calls, not the parsing, stay the small part of a load.
constexpr int32_t kPnmBufferSize = 64 * 1024;

struct PnmHandle {
  int32_t File = 0;   // tracked file handle; 0 when reading from memory
  int32_t Ascii = 0;  // bool32: P2 or P3
  int32_t Valid = 0;  // bool32: at least one image that can be read
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BytesPP = 0;
  int32_t Bpp = 0;  // 8 for P2/P5, 24 for P3/P6, 0 for any other type
  int32_t Frames = 0;
  int32_t Shift = 0;
  int64_t FileSize = 0;
  int64_t* FramePos = nullptr;  // tracked table: where each image's samples begin
  int32_t FramePosCapacity = 0;
  int32_t MaxVal = 0;       // of the first image
  int32_t SampleBytes = 0;  // bytes per binary sample: 1, or 2 when MaxVal is above 255
  uint8_t Buffer[kPnmBufferSize];
  const uint8_t* BufData = nullptr;  // the buffer's bytes: Buffer, or a window on Mem
  int32_t BufCount = 0;  // bytes in the buffer
  int32_t BufPos = 0;    // read position in the buffer
  int64_t FilePos = 0;   // bytes consumed so far
  int64_t ReadPos = 0;   // where the next refill reads from
  int32_t CurrentFrame = 0;  // the image read last, from 1
  int32_t End = 0;           // bool32: a refill found nothing more
  // A file held in memory instead of an open file (PnmOpenMem_).
  const uint8_t* Mem = nullptr;
  int64_t MemSize = 0;
};

// Opens fileName and scans its images. A first magic that does not begin with "P" fails with
// (7, 2) "Invalid image format.".
void PnmOpen(PnmHandle& h, const std::string& fileName);
// The same over size bytes at data, which must stay valid until PnmClose.
void PnmOpenMem_(PnmHandle& h, const uint8_t* data, int64_t size);
// Reads image frame (from 1; limited to the images there are) into img: 8 bits with a grey
// palette or 24 bits. Not valid: (7, 1) "Image format not supported.".
void PnmLoad(PnmHandle& h, Qimg& img, int32_t frame);
void PnmClose(PnmHandle& h);
// Describes a PNM file (format 15): its first image and how many there are.
void PnmInfo(const std::string& fileName, FFInfoRec& info);
// Writes img at 24 bits as P6 (binary) or P3 (text, one value per line).
void PnmSave(const std::string& fileName, const Qimg& img, bool binary);

// The writing itself, for a 24-bit picture.
void PnmWritePrepared_(const std::string& fileName, const Qimg& img, bool binary);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kPnmUnit;

}  // namespace tavelo

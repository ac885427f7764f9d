// The FLIC unit (FF_FLC, FormatId 5, ".flc" and ".fli"): FLI and FLC animations read by our own
// decoder, without a codec library. Frames are 8-bit pictures with a palette. Each frame is built
// from the one before by the FLIC delta chunks, so reading is strictly in order: going back means
// starting again from the first frame.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/img_basic.h"

namespace tavelo {

struct FFInfoRec;

inline constexpr const char* kFlcCodecName = "RLE + pixel difference from previous frame";

// Sub-chunk kinds.
enum : int32_t {
  flcColor256 = 4,   // palette, 256 levels
  flcDeltaFlc = 7,   // word-oriented delta (FLC)
  flcColor64 = 11,   // palette, 64 levels
  flcDeltaFli = 12,  // byte-oriented delta (FLI)
  flcBlack = 13,
  flcByteRun = 15,
  flcCopy = 16,
};

constexpr uint16_t kFliMagic = 0xAF11;
constexpr uint16_t kFlcMagic = 0xAF12;
constexpr uint16_t kFlcFrameChunk = 0xF1FA;

// The handle. A plain record: all zero is a valid closed handle (the dispatcher allocates it
// zeroed), and FLCOpen zeroes it again. Booleans are -1 true, 0 false.
struct FlcHandle {
  uint8_t Header[128] = {};  // as stored: size, magic, frames, width, height, depth, flags, speed...
  int32_t File = 0;          // tracked file, 0 when none
  int32_t Current = 0;       // frames decoded so far
  int64_t FileSize = 0;
  int32_t PalChanged = 0;  // the frame read last carried a palette chunk (the key-frame flag)
  double FrameRate = 0;
  uint8_t* ImgData = nullptr;  // tracked: the frame buffer, Width x Height indices
  int32_t Width = 0, Height = 0, RowBytes = 0, Size = 0;
  uint8_t Palette[768] = {};  // B, G, R
  int32_t Frames = 0;         // the header's frame count
  int32_t Writing = 0;        // never set: no routine opens a FLIC file for writing (the stop flag)
};

using FLCRec = FlcHandle;

void FLCOpen(FlcHandle& flc, const std::string& fileName);
// Reads the next frame; skip decodes it into the frame buffer without delivering a picture.
void FLCLoadNext(FlcHandle& flc, Qimg& img, bool skip);
// Delivers frame (from 1), starting again from the first frame when it lies behind.
void FLCLoad(FlcHandle& flc, Qimg& img, int32_t frame);
void FLCRewind(FlcHandle& flc);
void FLCClose(FlcHandle& flc);
void FLCInfo(const std::string& fileName, FFInfoRec& info);

// ---- Pieces over byte buffers ----

// The frame rate the header's speed gives: 1/70 s units for a ".fli" name, milliseconds otherwise.
double FLCFrameRate_(int32_t speed, const std::string& fileName);
// Palette packets of a colour chunk's data into palette (B, G, R); sixBit multiplies by 4.
// Writing stops at entry 255 and at the end of the data.
void FLCGetPal_(const uint8_t* data, int64_t len, uint8_t* palette, bool sixBit);
// Applies one packed sub-chunk (delta FLC, delta FLI, byte run) to a width x height frame. Every
// line and packet is clipped to the line and the frame; the end of the data ends decoding.
void FLCunCmps_(int32_t type, const uint8_t* data, int64_t len, uint8_t* frame, int32_t width, int32_t height);
// Applies the sub-chunks of one frame chunk's body (after its 16-byte header) to the frame
// buffer and palette. Returns 0, or 2 when a sub-chunk is smaller than its header or runs past
// the body; sets palChanged when a colour chunk was met.
int32_t FLCDecodeFrame_(const uint8_t* body, int64_t len, int32_t subChunks, uint8_t* frame, int32_t width,
                        int32_t height, uint8_t* palette, bool& palChanged);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kFlcUnit;

}  // namespace tavelo

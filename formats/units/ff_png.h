// The PNG unit (FF_PNG, FormatId 9): reads and writes PNG pictures through libpng, which the codec
// library pngcodec.dll carries. Pictures load as 8 bits (palette and grey, with their palette),
// 24 bits (RGB) or 32 bits (RGB and grey with alpha), 16-bit samples stripped to their high byte;
// pictures save as palette, RGB or RGB with alpha pictures at 8 bits per sample.
//
// libpng reports a failure by calling our error routine, which returns through the jump buffer of
// the open-file state to the unit; no C++ exception ever passes through libpng, and the error is
// raised only once libpng's frames are gone. Reading and writing go through libpng's io pointer to
// this call's own state, so two pictures may be read or written at once on different threads.
#pragma once
#include <csetjmp>
#include <cstdint>
#include <string>
#include <vector>

#include "core/media/img_basic.h"
#include "formats/conform.h"

// libpng's structure types, without its header.
struct png_struct_def;
struct png_info_def;

namespace tavelo {

// The state of one open PNG file (zeroed on open and close).
struct PNGState {
  int32_t Handle = 0;  // tracked file (reading)
  png_struct_def* Png = nullptr;
  png_info_def* Info = nullptr;
  bool Writing = false;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t BitDepth = 0;   // as stored in the file
  int32_t ColorType = 0;  // as stored in the file
  int32_t Channels = 0;   // samples per pixel in the file (palette pictures: 1)
  int32_t XRes = 0;       // dots per inch, 0 when the file gives none
  int32_t YRes = 0;
  int32_t Interlace = 0;
  int32_t Compression = 0;
  int32_t Filter = 0;
  // Return path of libpng's errors: the routine that called into libpng set Jump; the error
  // routine stores the message and jumps back there.
  std::jmp_buf Jump;
  char Message[256] = {};
  // The encoded file while writing (written to disk once libpng is done).
  std::vector<uint8_t> Out;

  PNGState() = default;
  PNGState(const PNGState&) = delete;  // libpng holds its address as the io pointer
  PNGState& operator=(const PNGState&) = delete;
};

void PNGOpen_(PNGState& state, const std::string& fileName);
// Destroys the libpng structures and closes the file; safe on a state in any condition.
void PNGClose_(PNGState& state);

void PNGLoad(const std::string& fileName, Qimg& img);
void PNGSave(const std::string& fileName, const Qimg& img, const FFVideoOpts& opts);
void PNGInfo(const std::string& fileName, FFInfoRec& info);

// The loader pair: binds pngcodec.dll, withdrawing format 9 when it or an export is missing.
void PNGDllLoad();
void PNGDllFree();

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kPngUnit;

}  // namespace tavelo

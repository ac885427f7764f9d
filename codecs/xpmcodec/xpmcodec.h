// The XPM codec library (xpmcodec.so): reads and writes X PixMap pictures as 24-bit pixels,
// top-down, in the order B, G, R. Its two C exports are all the XPM unit binds; no C++ exception
// ever leaves them.
#pragma once
#include <cstdint>

extern "C" {

// The picture descriptor handed to both calls.
struct XpmPicture {
  int32_t Width;
  int32_t Height;
  int32_t Colors;  // filled by ReadXpm: the number of colours the file defines
  uint8_t* Data;   // Width x Height x 3 bytes, or none
  int32_t Reserved;  // 0
};

// Results.
enum : int32_t {
  xpmOk = 0,
  xpmOpenFailed = 1,   // the file cannot be opened or read
  xpmInvalid = 2,      // not an XPM picture this library can read, or a damaged one
  xpmSizeMismatch = 3, // the file's size differs from the descriptor's (pixels requested)
  xpmNoMemory = 4,
  xpmBadArgument = 5,
  xpmWriteFailed = 6,
};

// With Data none: fills Width, Height and Colors from the file. With Data set: the file must be
// Width x Height (the size the buffer was made for, else xpmSizeMismatch) and its pixels are
// written to Data. 0 on success.
using ReadXpmProc = int32_t (*)(const char* fileName, XpmPicture* picture);
// Writes Width x Height pixels from Data as an XPM file. 0 on success.
using WriteXpmProc = int32_t (*)(const char* fileName, const XpmPicture* picture);

}  // extern "C"

// cinecodec.dll: our own reader of the Cine files of high-speed cameras. Five C exports: describe a
// file, open it, pick a frame, read it, close it.
//
// The file layout it reads (all numbers little-endian):
//   file header (44 bytes): "CI", header size, compression (0 plain pixels, 1 JPEG, 2 raw sensor
//     data), version 1, first image number, total image count, first image index, image count,
//     and the offsets of the bitmap header, the setup block and the image-offset table;
//   bitmap header (40 bytes, as in a device-independent bitmap): width, height (rows bottom-up
//     unless the setup's vertical-flip flag is set), planes 1, bits per pixel 8, 16, 24 or 48,
//     compression 0 (rows without padding, or padded to 4 bytes when the image holds them);
//   setup block: mark "ST" at 140 and its length at 142; the vertical-flip flag at 760, the frame
//     rate at 768 (the 16-bit rate at 0 when that is 0), the colour-filter pattern at 808, the
//     brightness, contrast and gamma settings at 812, 816 and 820, the significant bits per
//     sample at 896 and, in setups of at least 6020 bytes, the saturation factor (float) at 6016;
//   image-offset table: one 64-bit file offset per image, each pointing at an annotation block
//     (its 32-bit size first, the image's byte count in its last 4 bytes) followed by the image.
//
// What a read delivers, top-down and without padding, always 8 bits per sample: plain grey
// pictures as 8-bit values (with a grey palette), plain colour pictures as B, G, R bytes, raw sensor
// data as the 8-bit mosaic. Samples stored in 16 bits are scaled down by their significant bits.
//
// No call throws; a bad or closed handle fails quietly.
#pragma once
#include <cstdint>

extern "C" {

// The codec codes cvr_info reports: what a frame's data is and how the unit colours it.
enum : int32_t {
  kCvrPlain = 0,      // grey or B, G, R pixels
  kCvrJpeg = 1,       // JPEG-compressed frames (described, not read: every read fails)
  kCvrVri = 2,        // raw mosaic, colour-filter pattern 1 (G B / R G, alternating cell by cell)
  kCvrVriV6 = 3,      // raw mosaic, colour-filter pattern 2 (B G / G R, alternating cell by cell)
  kCvrBayer = 4,      // raw mosaic, colour-filter pattern 3 (G B / R G)
  kCvrUnknown = 255,  // raw mosaic of a pattern without a code here: not readable
};

using CvrHandleLib = void*;

// Describes a file. Every output is zeroed first. width, height: the picture; storedBits: the bits
// per pixel stored in the file; bitsPerPixel and bytesPerPixel: what cvr_read delivers (8 and 1, or
// 24 and 3); codec: a code above; frameCount; frameRate (frames per second); saturation (percent,
// -100..100, from the setup's factor: 1.0 is 0), gamma, brightness and contrast (the setup's own
// numbers, 0 neutral). Non-zero when the file is a Cine file this reader understands.
int32_t cvr_info(const char* fileName, int32_t* width, int32_t* height, int32_t* storedBits, int32_t* bitsPerPixel,
                 int32_t* bytesPerPixel, int32_t* codec, int32_t* frameCount, int32_t* frameRate,
                 int32_t* saturation, int32_t* gamma, int32_t* brightness, int32_t* contrast);

// Opens a file for reading; nullptr when it cannot be opened or described.
CvrHandleLib cvr_open(const char* fileName);

// The next read delivers frame frameIndex (from 0). Non-zero on success; an index outside the
// file fails and changes nothing.
int32_t cvr_seek(CvrHandleLib handle, int32_t frameIndex);

// Reads the current frame into buffer (width x height x bytesPerPixel bytes) and moves on to the
// next one. palette (768 bytes: B, G, R per entry), when given, receives a grey palette for 8-bit
// deliveries. Non-zero on success; on failure the buffer may hold part of the frame.
int32_t cvr_read(CvrHandleLib handle, void* buffer, uint8_t* palette);

void cvr_close(CvrHandleLib handle);

// The export types, for the loader that binds them by name.
using cvr_info_t = int32_t (*)(const char*, int32_t*, int32_t*, int32_t*, int32_t*, int32_t*, int32_t*, int32_t*,
                               int32_t*, int32_t*, int32_t*, int32_t*, int32_t*);
using cvr_open_t = CvrHandleLib (*)(const char*);
using cvr_seek_t = int32_t (*)(CvrHandleLib, int32_t);
using cvr_read_t = int32_t (*)(CvrHandleLib, void*, uint8_t*);
using cvr_close_t = void (*)(CvrHandleLib);

}  // extern "C"

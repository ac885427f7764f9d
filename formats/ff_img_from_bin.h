// Packed-picture blobs (unit FFBasic): the pictures built into the program (the picture shown
// when nothing is loaded, the player's button pictures) are stored packed in memory and unpacked
// by a codec library: method 7 by zmvcodec.dll (zmv_decode), method 8 by jpegcodec.dll.
//
// Blob layout, all integers 32-bit little-endian, no padding:
//   0 Width, 4 Height, 8 Bpp (8, 15, 16, 24 or 32), 12 PackedSize (bytes of packed data),
//   16 Param (passed to zmv_decode), 20 Method (7 or 8),
//   24 palette: only for method 7 at 8 bits, 768 bytes B, G, R in the picture record's order,
//   then the packed data (24 or 792).
#pragma once
#include <cstdint>

#include "core/media/img_basic.h"

namespace tavelo {

constexpr int32_t kBinHeaderSize = 24;
constexpr int32_t kBinPaletteSize = 768;
enum : int32_t { kBinMethodZmv = 7, kBinMethodJpeg = 8 };

// Makes img from a blob: true when the whole picture was unpacked. False (img stays allocated, no
// error is raised) when the blob's header is not one of a picture, the method is unknown, the
// library of its method is missing, or the library cannot unpack the data into exactly the
// picture the header describes.
bool ImgFromBin(const void* blob, Qimg& img);

}  // namespace tavelo

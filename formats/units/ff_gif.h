// The GIF unit (FF_GIF, FormatId 4): GIF87a and GIF89a files read by our own LZW decoder, composed
// frame by frame with frame delays, transparency and the disposal methods. gifcodec.dll (a library
// with giflib's writing interface) is bound for writing only; reading never needs it.
//
// Frames are time slots: with d the smallest non-zero delay of all images, the rate is 100 / d
// frames per second and each image lasts round(delay / d) slots (an image with delay 0 one slot).
// Slots are delivered in order; going back rewinds to the first image, unless every image stands
// alone (`Simple`), when the image that holds the slot is decoded directly.
//
// The picture is composed on a canvas that the handle owns, so it survives between calls whatever
// record the caller hands in. Pictures are 8-bit with the current image's palette. A file whose
// images mix palettes while earlier pixels stay visible (local colour tables over partial or
// transparent images) cannot be shown right through one palette: such a file (`Deep`) is composed
// in 24 bits as well and delivered at 24 bits per pixel.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/img_basic.h"

namespace tavelo {

struct FFInfoRec;

// The codec name GIFInfo reports.
inline constexpr const char* kGifCodecName = "Variable-Length-Code LZW (Lempel-Ziv & Welch)";

// One image of the file, as the scan found it.
struct GifImagePos {
  int64_t Pos = 0;      // where the image's graphic control extension (or its descriptor) begins
  int64_t DescPos = 0;  // the image descriptor (',')
  int64_t DataPos = 0;  // the minimum code size byte
  int64_t DataEnd = 0;  // just past the data's terminator (the end of the file when it has none)
  int32_t Slots = 0;    // time slots the image lasts
  int32_t Delay = 0;    // hundredths of a second
  int32_t Left = 0, Top = 0, W = 0, H = 0;
  int32_t Disposal = 0;
  int32_t Transparent = -1;  // the index when the transparency flag is set, else -1
  int32_t LocalColors = 0;   // entries of the local colour table, 0 without one
  int32_t Interlaced = 0;    // bool
};

constexpr int32_t kGifNameMax = 4096;

// The handle. A plain record: all zero is a valid closed handle (the dispatcher allocates it
// zeroed), and GIFOpen zeroes it again. Booleans are -1 true, 0 false.
struct GifHandle {
  int32_t Width = 0, Height = 0;  // the logical screen
  int32_t BytesPP = 0, Bpp = 0;   // 1 and 8; 3 and 24 when Deep
  int32_t Frames = 0;             // time slots
  int32_t Count = 0;              // images in the file
  int32_t Delivered = 0;          // slots delivered since the last rewind
  int32_t Next = 0;               // index of the next image to decode
  int32_t Hold = 0;               // slots the current image still stays
  double FrameRate = 0;
  int64_t FileSize = 0;
  int64_t FileAge = 0;     // modification time, nanoseconds
  int32_t Background = 0;  // the screen's background index, -1 without a global colour table
  int32_t Transparent = -1;
  int32_t Left = 0, Top = 0, W = 0, H = 0;  // the last image's rectangle
  uint8_t* PrevImg = nullptr;               // tracked: the area saved for disposal 3
  int32_t Disposal = 0;                     // of the last image
  int32_t PalChanged = 0;  // the frame delivered last brought another palette than the one before
  int32_t Partial = 0;     // some image after the first does not cover the screen
  int32_t Simple = 0;      // every image covers the screen opaquely and no disposal is 3 or more
  int32_t Deep = 0;        // composed and delivered at 24 bits (see above)
  int32_t Transparency = 0;  // some image has a transparent index: the canvas keeps a coverage plane
  int32_t KeyFrame = 0;    // the frame delivered last does not depend on earlier images
  int32_t Current = 0;     // index of the image shown now, -1 before the first
  int32_t HasGlobal = 0;   // a global colour table was read
  uint8_t Palette[768] = {};      // the global palette, B, G, R
  uint8_t CurPalette[768] = {};   // the palette of the image shown now
  char FileName[kGifNameMax] = {};
  GifImagePos* Pos = nullptr;  // tracked: one entry per image
  int32_t PosCapacity = 0;
  uint8_t* Canvas = nullptr;    // tracked: Width x Height indices (then as many coverage bytes)
  uint8_t* Canvas24 = nullptr;  // tracked, Deep only: Width x Height x 3 bytes B, G, R
  int32_t File = 0;             // tracked file, 0 when none
  int32_t Writing = 0;          // bool: opened for writing (then the stop flag: no frames)
  void* WriteHandle = nullptr;  // the library's write handle
};

using GIFRec = GifHandle;

// ---- The unit's routines ----

// firstOnly reads only the first image (ImgLoad); otherwise the whole file is scanned, or the
// cached scan of the same unchanged file is taken.
void GIFOpen(GifHandle& gif, const std::string& fileName, bool firstOnly);
// Delivers the next slot into img (8 or 24 bits, screen size). With alpha: an 8-bit grey picture
// of the screen's size, 255 where an image has drawn an opaque pixel and 0 where the screen shows
// through (nothing drawn there yet, or disposed of to the background); all 255 in a file without
// transparency.
void GIFLoadNext(GifHandle& gif, Qimg& img, Qimg* alpha);
// Delivers slot frame (from 1).
void GIFLoad(GifHandle& gif, Qimg& img, int32_t frame, Qimg* alpha);
void GIFClose(GifHandle& gif);
void GIFInfo(const std::string& fileName, FFInfoRec& info, bool full);
// The library: gifcodec.dll with giflib's writing calls. Without it GIF leaves the write table
// only. GIFDllFree also drops the cached scan.
void GIFDllLoad();
void GIFDllFree();

// ---- Pieces over byte buffers ----

// Decodes one image's packed data: data[0] is the minimum code size, the data sub-blocks follow
// (a length of 0 ends them; so does the end of the buffer). Fills out[0 .. outLen). Returns 0
// when the picture was filled (or the end code came first, leaving the rest as it was);
// kGifDataEnded when the data ran out before the picture was full (decoding ends there, the rest
// is left as it was); else 9: a minimum code size outside 1..11, a code past the next free
// entry, a code with no earlier code to build on, or output past the picture. produced, when
// given, receives the pixels written. tables must hold kGifLzwTableBytes bytes.
constexpr int64_t kGifLzwTableBytes = 4096 * (8 + 2);
constexpr int32_t kGifDataEnded = 1;
int32_t GIFDecodeLZW_(const uint8_t* data, int64_t len, uint8_t* out, int64_t outLen, uint8_t* tables,
                      int64_t* produced = nullptr);

// The row of the screen that row r of an interlaced image of h rows belongs to.
int32_t GIFInterlacedRow_(int32_t r, int32_t h);

// Works out the slots from the delays: returns the frame rate, sets each image's Slots and the
// total in frames (false when it passes the 32-bit range).
bool GIFMakeSlots_(GifImagePos* images, int32_t count, double& frameRate, int64_t& frames);

// Test seams: how many full scans GIFOpen has made (the cache spares them), and the cache dropped.
int32_t GIFScanCountForTest();
void GIFDropCacheForTest();

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kGifUnit;

}  // namespace tavelo

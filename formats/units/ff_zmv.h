// Unit FF_ZMV: the maker's own audio-video format ZMV (format id 7, ".zmv", read only).
//
// Two generations, told apart by the header's version field. Version 97 and below is read here:
// a paged frame index, frame records of palette and picture chunks, pictures cut into strips that
// are stored or coded for the strip decoder (zmv_bit_decode.h), and sound as a chain of PCM
// blocks. Above 97 every read goes through the codec library zmvcodec.dll.
//
// Frames are decoded in order from a key frame (frames 1, K + 1, 2K + 1 ...; with K = 0 only
// frame 1): a coded strip changes only what differs from the previous frame, so a load continues
// from the picture it delivered last, and goes back to the key frame only when the target lies
// behind the read position, a key frame lies between, or the picture no longer holds the previous
// frame (another record, a reallocated buffer, a failed load).
//
// Every value taken from the file that reaches a size, an offset or a loop is checked: a frame
// record, chunk, palette range or strip outside its bounds is refused with (12, 3) "Cannot
// decompress movie image data."; a sound chain whose next-block offsets do not increase, or whose
// block lies past the end of the file, ends there.
#pragma once
#include <cstdint>
#include <string>

#include "codecs/zmvcodec/zmvcodec.h"
#include "core/media/img_basic.h"
#include "core/media/snd_basic.h"
#include "formats/conform.h"

namespace tavelo {

// At most this many frames are addressable through the index (256 pages of 256 entries).
constexpr int32_t kZmvMaxFrames = 65536;

struct ZmvIndexEntry {
  int32_t Offset;  // file offset of the frame record
  int32_t Size;    // bytes of the record to read first
  int32_t Flags;   // bit 0: the record holds a palette chunk
};

// The unit's open-file record. The dispatcher allocates it (zeroed) and frees it after ZMVClose;
// ZMVOpen zeroes it again. The dispatcher views Frames, NextFrame (the current frame), SndPos (the
// current sample), PalChanged (the key-frame flag) and Stop.
struct ZmvHandle {
  zmv_lib_handle* Lib;  // the library's handle (version above 97)
  int32_t HeaderSize;
  int32_t Version;
  int32_t Width;
  int32_t Height;
  int32_t BytesPP;
  int32_t Flags;  // bit 0 FAST tokens, bit 1 difference prediction
  int32_t Frames;
  int32_t KeyInterval;
  double FrameRate;
  int32_t SoundFlags;  // bit 2 stereo; bits 0 and 1 both set: 16-bit
  int32_t SampleRate;
  int32_t SoundOffset;  // the first sound block, 0: none
  int32_t Unused;
  int32_t Samples;
  int32_t BitsPP;
  int32_t Directory[256];
  ZmvIndexEntry Page[256];
  int32_t File;     // tracked file (own reading), 0: none
  int32_t CurPage;  // the index page held, -1: none
  int32_t FrameBytes;
  int32_t NextFrame;  // index of the frame the next sequential read delivers
  double FileSize;
  uint8_t* PredictImg;  // the difference buffer (FrameBytes), from the first predicted strip
  int32_t Predict;      // bool: header flags bit 1
  int32_t PalChanged;   // bool: a palette was applied during the last load
  // Sound: one block held, the byte position in it, the next block's offset.
  uint8_t* AudioBuf;
  int32_t AudioBufSize;
  int32_t AudioBufPos;
  int32_t NextBlock;
  int32_t BlockOffset;   // the block held (the chain must move forward from it)
  int32_t ChainSamples;  // sample frames up to the end of the block held
  int32_t SndPos;        // where the next sequential sound read continues
  WAVEFORMATEX Format;   // the PCM delivered
  int32_t SoundOk;       // bool: the sound format is usable PCM
  int32_t ByLibrary;     // bool
  int32_t LibCodec;      // the library's codec code
  int32_t Stop;          // bool: never set by this unit
  // What the picture record holds: valid only right after a complete load into that record.
  const Qimg* LastImg;
  const uint8_t* LastData;
  int32_t PicValid;
  // The palette search's memory: frames 1 .. PalKnownTo were searched; the palette in force there
  // is the chunk of frame PalFoundAt (0: none): PalCount colours (R, G, B) from entry PalFirst.
  int32_t PalKnownTo;
  int32_t PalFoundAt;
  int32_t PalFirst;
  int32_t PalCount;
  uint8_t PalColors[768];
};

void ZMVOpen(ZmvHandle& h, const std::string& fileName);
// Delivers frame (from 1) into img, which must be the record that received the previous frame.
void ZMVImgLoad(ZmvHandle& h, Qimg& img, int32_t frame);
// The key frame before the frame (direction -1) or at/after it (other directions).
int32_t ZMVNearestKeyFrame(ZmvHandle& h, int32_t frame, int32_t direction);
// Reads count sample frames from pos; options bit 0: continue without seeking when pos equals
// SndPos.
void ZMVSndLoad(ZmvHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t options);
void ZMVClose(ZmvHandle& h);
void ZMVInfo(const std::string& fileName, FFInfoRec& info);
void ZMVDllLoad();
void ZMVDllFree();

// Internal.
void ZMVImgLoadNext(ZmvHandle& h, Qimg& img);
void ZMVUpdateVP_(ZmvHandle& h, int32_t frame);
bool ZMVGetPal(ZmvHandle& h, QimgPalette& palette, int32_t fromFrame, int32_t toFrame);
void ZMVSndSeek(ZmvHandle& h, int32_t sample);

}  // namespace tavelo

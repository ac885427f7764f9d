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
// A load that starts again at a key frame first gives an 8-bit picture the palette that playing in
// order from frame 1 leaves before that key frame (palette chunks may cover part of the palette
// only): the chunks of the frames before it that the index marks as holding one are collected
// newest first until every entry is known, and entries that no chunk sets stay black, as in a
// fresh picture record. So a seek delivers exactly the picture and the palette that playing in
// order delivers.
//
// The sound block chain is indexed once at open (block offsets and running sample counts), so a
// sound seek is a binary search and one block read, and sequential reads step through the same
// index.
//
// Every value taken from the file that reaches a size, an offset or a loop is checked: a frame
// record, chunk, palette range or strip outside its bounds is refused with (12, 3) "Cannot
// decompress movie image data."; the sound chain ends at a block whose next block does not lie
// behind its own data, or whose data lie past the end of the file, so the index cannot loop and
// holds at most one entry per 16 bytes of file.
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

// One block of the sound chain: its file offset and the sample frames up to its end.
struct ZmvSoundBlock {
  int32_t Offset;
  int32_t End;
};

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
  // Sound: the chain's index (SndBlocks entries, made at open), one block held, the byte position
  // in it, and the index entry a sequential read loads next (SndBlocks: the chain is used up).
  ZmvSoundBlock* SndIndex;
  int32_t SndBlocks;
  uint8_t* AudioBuf;
  int32_t AudioBufSize;
  int32_t AudioBufPos;
  int32_t NextBlock;
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
  // 8-bit pictures: a palette chunk stands in the palette the picture record holds (since the
  // last start at a key frame), and the palette after frames 1 .. PalCacheFrame (0: none kept),
  // taken at a start and when a load passes the frame before a key frame, so that the next start
  // searches no further back than that.
  int32_t PalInForce;
  int32_t PalCacheFrame;
  int32_t PalCacheAny;
  QimgPalette PalCache;
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
// Sets palette to the palette in force after frames 1 .. frame (0: none) as playing in order
// gives it; true when any palette chunk stands in it.
bool ZMVGetPal(ZmvHandle& h, QimgPalette& palette, int32_t frame);
void ZMVSndSeek(ZmvHandle& h, int32_t sample);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kZmvUnit;

}  // namespace tavelo

// Unit FF_WAV: RIFF WAVE sound files (format id 12, ".wav", read only).
//
// The file is walked with the multimedia file stand-in (core/mmio): the "fmt " and "data"
// chunks are found inside the RIFF chunk, stepping over any other chunk and its pad byte. A stored
// format that is not PCM is turned into the PCM format the audio conversion stand-in suggests, and
// converted while loading through the conversion stream and SndLoad (core/media/snd_basic.h).
//
// Loads read the data chunk one block-aligned second at a time and never beyond its end: a chunk
// that follows the data (a trailing "LIST" chunk) is never played, and a data size that claims
// more than the file holds is cut to what is there. Positions are counted in sample frames of
// the PCM delivered; a seek lands at the start of the stored block that holds the position.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/snd_basic.h"
#include "formats/conform.h"
#include "core/mmio/mmio.h"

namespace tavelo {

// The unit's open-file record. The dispatcher allocates it (zeroed) and frees it after WAVClose;
// WAVOpen zeroes it again. The dispatcher views CurrentSample and Stop.
struct WavHandle {
  platform::HMMIO File;
  platform::MMCKINFO Data;  // the data chunk (its size cut to the file)
  // InFormat is the stored format (a tracked block of at least 18 bytes), OutFormat the PCM
  // delivered; SourceRead counts stored blocks read, SourceTotal the blocks of the data chunk.
  SndLoadState State;
  int32_t CurrentSample;  // the sample frame the next load delivers
  int32_t Samples;        // the length in PCM sample frames
  double SamplesPerBlock;
  int32_t Stop;  // bool: never set by this unit
  int32_t Reserved;
  int32_t AudioSupported;  // bool: true after a successful open
  AcmConvCtx Conv;
  int32_t Restart;   // bool: the conversion must be started before the next load
  int64_t DataEnd;   // the file offset behind the data chunk's last byte
  int32_t ReadBytes;  // stored bytes one read takes: about one second, whole blocks
};

void WAVInfo(const std::string& fileName, FFInfoRec& info);
void WAVOpen(WavHandle& h, const std::string& fileName);
// Reads count sample frames from pos; option bit 0 (value 1): continue without seeking when pos
// equals the current sample.
void WAVLoad(WavHandle& h, Qsnd& snd, int32_t pos, int32_t count, int32_t option);
void WAVSeek(WavHandle& h, int32_t pos);
void WAVClose(WavHandle& h);

// Internal.
void WAVAbort_(WavHandle& h);
// Finds the chunk the flags ask for (platform::MMIO_FINDCHUNK: chunk.ckid; MMIO_FINDRIFF or
// MMIO_FINDLIST: that id with form type chunk.fccType) among the chunks that follow, inside
// parent, reading over the others. 0 when found, else the result of the descend that failed.
platform::MMRESULT FindChunkAndKeepExtras_(platform::HMMIO mmio, platform::MMCKINFO& chunk,
                                           const platform::MMCKINFO* parent, uint32_t flags);
// Reads bytes of the file into a scratch block and drops them; a short read is (13, 3).
void ReadIntoExtra_(platform::HMMIO mmio, int64_t bytes);
// The reader of SndLoad: one second of stored data, whole blocks, never past the data chunk.
void WAVLoad_(void* source, void*& buffer, int32_t wantedBytes, int32_t& dataBytes, int32_t& sourceBytes);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kWavUnit;

}  // namespace tavelo

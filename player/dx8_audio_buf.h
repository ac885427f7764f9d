// The DirectSound buffer routines (unit DX8AudioBuf): one sound device for the process and a
// streaming secondary buffer per playing engine, which loops while the audio thread keeps writing
// behind its play cursor.
//
// The record keeps its own write position: the space between the last byte written and the play
// cursor is free, and the device's write cursor is not used. Right after creation or a clear the
// record is Fresh and the whole buffer counts as free although the cursor is at 0.
//
// Every routine answers false (or 0) for a record whose buffer was never made, so an engine whose
// buffer could not be created plays silently.
//
// Threads: create, destroy and volume run on the main thread, the fills, free size, play, stop
// and clear on the audio thread; the main thread also reads the filled size for the played
// position. The fields the audio thread changes while the main thread reads them are atomic.
#pragma once
#include <atomic>
#include <cstdint>

#include "base/wave_format.h"
#include "platform/dsound/dsound.h"

namespace tavelo {

using platform::WAVEFORMATEX;

struct DXABufRec {
  platform::IDirectSoundBuffer* BufferObject = nullptr;
  int32_t Valid = 0;  // bool32: the buffer was created
  std::atomic<int32_t> Fresh{0};  // bool32: nothing written since the last clear
  std::atomic<uint32_t> WritePos{0};  // next byte to write, 0 .. TotalBytes - 1
  double Seconds = 0;
  uint32_t TotalBytes = 0;
  WAVEFORMATEX Format{};
  std::atomic<int32_t> Volume{0};  // 0 .. 1000

  DXABufRec() = default;
  DXABufRec(const DXABufRec&) = delete;  // the buffer object is owned by the record
  DXABufRec& operator=(const DXABufRec&) = delete;
};

// Sizes in bytes (unit 0) or sample frames (unit 1).
enum : int32_t { dxaBytes = 0, dxaFrames = 1 };

// The unit's start-up (raises the start-up counter: the binding of the sound interface) and its
// end (releases the sound device when an engine left it).
void DX8AudioBufUnitInit();
void DX8AudioBufUnitDone();

// Makes the process's sound device (releasing one made before), owned by window (the top
// window when nullptr), at the priority level. False without a sound device.
bool DXAInit(void* window);
void DXADone();
bool DXAInitialized();

void DXABufInitHandle(DXABufRec& rec);
bool DXABufIsValid(const DXABufRec& rec);
// A looping buffer of seconds of format, silent and Fresh, at full volume. Only with a sound
// device and a record that holds no buffer yet.
bool DXABufCreate(DXABufRec& rec, const WAVEFORMATEX& format, double seconds);
void DXABufDestroy(DXABufRec& rec);
// v in 0..1000: 1000 is full level, 0 is -100 dB.
void DXABufSetVolume(DXABufRec& rec, int32_t v);
bool DXABufPlay(DXABufRec& rec);
// Stops a playing buffer and clears it (rewound and silent).
bool DXABufStop(DXABufRec& rec);
// Play cursor and write position back to 0, the whole buffer silent, Fresh; the buffer keeps
// playing when it played.
void DXABufClear(DXABufRec& rec);
bool DXABufRestore(DXABufRec& rec);
int32_t DXABufGetTotalSize(const DXABufRec& rec, int32_t unit);
int32_t DXABufGetFreeSize(DXABufRec& rec, int32_t unit);
int32_t DXABufGetFilledSize(DXABufRec& rec, int32_t unit);
// Writes frames sample frames of data at the write position (wrapping round the end), but never
// more than the buffer holds nor more than dataBytes, the bytes data really holds.
bool DXABufFill(DXABufRec& rec, int32_t frames, const void* data, int64_t dataBytes);
// Writes frames sample frames of silence: 0x80 for 8-bit sound, 0 otherwise.
bool DXABufFillSilence(DXABufRec& rec, int32_t frames);
// Takes back up to frames of the frames written last and not yet handed to the device: the write
// position moves back over them, never closer than guardFrames to the device's write cursor, so
// the next write replaces them before they are heard. Answers the frames taken back.
int32_t DXABufTakeBack(DXABufRec& rec, int32_t frames, int32_t guardFrames);

}  // namespace tavelo

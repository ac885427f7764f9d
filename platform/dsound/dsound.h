// The DirectSound calls the player makes: one sound device per process and streaming secondary
// buffers that loop while the audio thread writes behind their play cursor.
//
// A buffer is a ring of PCM bytes with a play cursor that advances in real time while it plays.
// Writes go through Lock/Unlock, which hand out at most two regions (the second one when the
// locked span wraps past the end of the ring). Volume is an attenuation in hundredths of a
// decibel, -10000 (silence) to 0 (full level).
//
// Where the sound goes:
//  - TAVELO_AUDIO=null: a sink of our own that plays nothing and moves every cursor by its clock
//    (steady_clock unless a test sets one). For tests, CI and machines without sound; it can also
//    simulate the loss of buffer memory.
//  - otherwise one mixer thread mixes every playing buffer into a PulseAudio stream, or into
//    ALSA's default device when no PulseAudio server answers. With neither, DirectSoundCreate
//    fails with DSERR_NODRIVER and the program carries on without sound.
//
// The calls are safe from any thread; a buffer serializes its own calls.
#pragma once
#include <cstdint>
#include <functional>

#include "base/wave_format.h"

namespace tavelo::platform {

using HRESULT = int32_t;

enum : HRESULT {
  DS_OK = 0,
  DSERR_GENERIC = static_cast<HRESULT>(0x80004005),
  DSERR_UNSUPPORTED = static_cast<HRESULT>(0x80004001),
  DSERR_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E),
  DSERR_INVALIDPARAM = static_cast<HRESULT>(0x80070057),
  DSERR_CONTROLUNAVAIL = static_cast<HRESULT>(0x8878001E),
  DSERR_INVALIDCALL = static_cast<HRESULT>(0x88780032),
  DSERR_BADFORMAT = static_cast<HRESULT>(0x88780064),
  DSERR_NODRIVER = static_cast<HRESULT>(0x88780078),
  DSERR_BUFFERLOST = static_cast<HRESULT>(0x88780096),
};

// Buffer capabilities (DSBUFFERDESC.dwFlags). Without CTRLVOLUME, SetVolume is refused.
enum : uint32_t {
  DSBCAPS_CTRLVOLUME = 0x00000080,
  DSBCAPS_STICKYFOCUS = 0x00004000,
  DSBCAPS_GETCURRENTPOSITION2 = 0x00010000,
};
enum : uint32_t { DSBPLAY_LOOPING = 0x00000001 };
enum : uint32_t { DSBSTATUS_PLAYING = 0x00000001, DSBSTATUS_BUFFERLOST = 0x00000002, DSBSTATUS_LOOPING = 0x00000004 };
enum : uint32_t { DSBLOCK_FROMWRITECURSOR = 0x00000001, DSBLOCK_ENTIREBUFFER = 0x00000002 };
enum : uint32_t { DSSCL_NORMAL = 1, DSSCL_PRIORITY = 2 };
enum : int32_t { DSBVOLUME_MIN = -10000, DSBVOLUME_MAX = 0 };
enum : uint32_t { DSBSIZE_MIN = 4, DSBSIZE_MAX = 0x0FFFFFFF };

struct DSBUFFERDESC {
  uint32_t dwSize = 0;  // sizeof(DSBUFFERDESC)
  uint32_t dwFlags = 0;
  uint32_t dwBufferBytes = 0;  // a whole number of the format's blocks
  uint32_t dwReserved = 0;
  const WAVEFORMATEX* lpwfxFormat = nullptr;  // PCM: 1 to 8 channels of 8, 16, 24 or 32 bits
  uint8_t guid3DAlgorithm[16] = {};
};

class IDirectSoundBuffer {
 public:
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
  // The play cursor (the byte being heard) and the write cursor (the first byte that may still
  // be written safely).
  virtual HRESULT GetCurrentPosition(uint32_t* playCursor, uint32_t* writeCursor) = 0;
  virtual HRESULT GetStatus(uint32_t* status) = 0;
  // Hands out the bytes from offset on as one or two regions; they stay valid until Unlock.
  // One lock may be outstanding at a time.
  virtual HRESULT Lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2,
                       uint32_t* bytes2, uint32_t flags) = 0;
  // Only looping play is offered.
  virtual HRESULT Play(uint32_t reserved, uint32_t priority, uint32_t flags) = 0;
  virtual HRESULT SetCurrentPosition(uint32_t position) = 0;
  virtual HRESULT SetVolume(int32_t volume) = 0;
  virtual HRESULT Stop() = 0;
  // Commits what was written into the regions of the outstanding lock (the counts written, at
  // most the sizes Lock gave).
  virtual HRESULT Unlock(void* region1, uint32_t bytes1, void* region2, uint32_t bytes2) = 0;
  virtual HRESULT Restore() = 0;

 protected:
  virtual ~IDirectSoundBuffer() = default;
};

class IDirectSound {
 public:
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
  virtual HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, void* outer) = 0;
  // Accepted and kept; the level changes nothing on this desktop.
  virtual HRESULT SetCooperativeLevel(void* window, uint32_t level) = 0;

 protected:
  virtual ~IDirectSound() = default;
};

// device must be nullptr (the default device); outer must be nullptr.
HRESULT DirectSoundCreate(const void* device, IDirectSound** ds, void* outer);

// ---- Figures for the developer tools and the tests ----

struct DsBufferStats {
  uint64_t PlayedFrames = 0;    // frames consumed while playing, since the buffer was made
  uint32_t Underruns = 0;       // times the cursor ran past the last byte written
  uint64_t UnderrunFrames = 0;  // frames played that were never written
  // The longest run of silent frames (every byte the silence byte) played between sounds: a run
  // still going on (the silence after the end) does not count until sound follows it.
  uint64_t LongestSilenceFrames = 0;
  int32_t Volume = 0;
  bool Lost = false;
};
bool DsGetBufferStats(IDirectSoundBuffer* buffer, DsBufferStats& stats);

// Totals over every buffer of the process, live or released, since the last reset.
struct DsSinkTotals {
  uint64_t PlayedFrames = 0;
  uint32_t Underruns = 0;
  uint64_t UnderrunFrames = 0;
  int64_t LongestSilenceNs = 0;  // the longest silence between sounds of any one buffer
};
DsSinkTotals DsGetSinkTotals();
void DsResetSinkTotals();

// The sink that TAVELO_AUDIO selects is "null".
bool DsNullSinkSelected();

// ---- Test seams ----

// The null sink's clock in nanoseconds; an empty function restores steady_clock.
using DsClock = std::function<int64_t()>;
void SetNullSinkClock(DsClock clock);
// Every buffer of the null sink loses its memory (its bytes become silence, and the calls that
// touch them fail with DSERR_BUFFERLOST until Restore); the next failingRestores calls of Restore
// fail too.
void NullSinkLoseBuffers(int32_t failingRestores);
// Makes DirectSoundCreate fail as on a machine without any sound device.
void SetDsoundNoDevice(bool noDevice);

}  // namespace tavelo::platform

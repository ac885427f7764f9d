#include "player/dx8_audio_buf.h"

#include <algorithm>
#include <cstring>

#include "core/services/basic.h"
#include "core/services/text_utils.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"

namespace tavelo {

using namespace platform;

namespace {

// The process's sound device. Made and released on the main thread only.
IDirectSound* g_sound = nullptr;
void* g_window = nullptr;
bool g_initialized = false;

bool IsEightBit(const DXABufRec& rec) { return rec.Format.wBitsPerSample == 8; }

// Locks bytes at the write position, restoring a lost buffer once.
bool LockAtWritePos(DXABufRec& rec, uint32_t bytes, void*& p1, uint32_t& n1, void*& p2, uint32_t& n2) {
  const uint32_t at = static_cast<uint32_t>(IntClamp(static_cast<int32_t>(rec.WritePos.load()), 0,
                                                     static_cast<int32_t>(rec.TotalBytes) - 1));
  rec.WritePos.store(at);
  HRESULT r = rec.BufferObject->Lock(at, bytes, &p1, &n1, &p2, &n2, 0);
  if (r == DSERR_BUFFERLOST) {
    if (!DXABufRestore(rec)) return false;
    r = rec.BufferObject->Lock(at, bytes, &p1, &n1, &p2, &n2, 0);
  }
  return r == DS_OK;
}

// Commits a write of bytes and moves the write position past it.
bool UnlockAndAdvance(DXABufRec& rec, void* p1, uint32_t n1, void* p2, uint32_t n2, uint32_t bytes) {
  const HRESULT r = rec.BufferObject->Unlock(p1, n1, p2, n2);
  rec.WritePos.store(static_cast<uint32_t>((static_cast<uint64_t>(rec.WritePos.load()) + bytes) % rec.TotalBytes));
  rec.Fresh.store(0);
  return r == DS_OK;
}

// The play and write cursors, restoring a lost buffer once.
bool CursorPositions(DXABufRec& rec, uint32_t& play, uint32_t& write) {
  HRESULT r = rec.BufferObject->GetCurrentPosition(&play, &write);
  if (r == DSERR_BUFFERLOST) {
    if (!DXABufRestore(rec)) return false;
    r = rec.BufferObject->GetCurrentPosition(&play, &write);
  }
  return r == DS_OK;
}

// frames in bytes, limited to the buffer.
uint32_t FrameBytes(const DXABufRec& rec, int32_t frames) {
  const int32_t bytes = FFMulPositive(frames, rec.Format.nBlockAlign);
  return static_cast<uint32_t>(IntClamp(bytes, 0, static_cast<int32_t>(rec.TotalBytes)));
}

}  // namespace

void DX8AudioBufUnitInit() {
  CountInitPart();
  // The stand-in is linked in: there is no library to bind by name.
}

void DX8AudioBufUnitDone() { DXADone(); }

bool DXAInit(void* window) {
  TraceScope trace("DX8AudioBuf.DXAInit");
  try {
    DXADone();
    g_window = window != nullptr ? window : GetTopWindowHandle();
    IDirectSound* ds = nullptr;
    if (DirectSoundCreate(nullptr, &ds, nullptr) == DS_OK && ds != nullptr) {
      g_sound = ds;
      g_initialized = true;
      g_sound->SetCooperativeLevel(g_window, DSSCL_PRIORITY);  // the result changes nothing
    }
    return g_sound != nullptr;
  } catch (...) {
    return false;
  }
}

void DXADone() {
  TraceScope trace("DX8AudioBuf.DXADone");
  if (!g_initialized) return;
  if (g_sound != nullptr) g_sound->Release();
  g_sound = nullptr;
  g_initialized = false;
}

bool DXAInitialized() { return g_initialized; }

void DXABufInitHandle(DXABufRec& rec) {
  rec.BufferObject = nullptr;
  rec.Valid = 0;
}

bool DXABufIsValid(const DXABufRec& rec) { return rec.Valid != 0 && rec.BufferObject != nullptr; }

bool DXABufCreate(DXABufRec& rec, const WAVEFORMATEX& format, double seconds) {
  TraceScope trace("DX8AudioBuf.DXABufCreate");
  if (!g_initialized || g_sound == nullptr) return false;
  if (DXABufIsValid(rec)) return true;
  DXABufInitHandle(rec);
  rec.Format = format;
  rec.Format.cbSize = 0;
  rec.Seconds = seconds;
  rec.TotalBytes = static_cast<uint32_t>(FFRoundProduct3(format.nBlockAlign, format.nSamplesPerSec, seconds));
  // A ring of whole frames, so the cursor and every write stay on frame boundaries.
  if (format.nBlockAlign > 0) rec.TotalBytes -= rec.TotalBytes % format.nBlockAlign;
  DSBUFFERDESC desc;
  desc.dwSize = sizeof(DSBUFFERDESC);
  desc.dwFlags = DSBCAPS_CTRLVOLUME | DSBCAPS_STICKYFOCUS | DSBCAPS_GETCURRENTPOSITION2;
  desc.dwBufferBytes = rec.TotalBytes;
  desc.lpwfxFormat = &rec.Format;
  IDirectSoundBuffer* buffer = nullptr;
  const HRESULT r = g_sound->CreateSoundBuffer(&desc, &buffer, nullptr);
  rec.Valid = (r == DS_OK && buffer != nullptr) ? -1 : 0;
  rec.BufferObject = rec.Valid != 0 ? buffer : nullptr;
  rec.Volume.store(1000);
  DXABufClear(rec);
  return DXABufIsValid(rec);
}

void DXABufDestroy(DXABufRec& rec) {
  TraceScope trace("DX8AudioBuf.DXABufDestroy");
  // Released also after the device went: the buffer keeps what it needs of it, and is not leaked.
  if (!DXABufIsValid(rec)) return;
  DXABufStop(rec);
  rec.BufferObject->Release();
  DXABufInitHandle(rec);
}

void DXABufSetVolume(DXABufRec& rec, int32_t v) {
  TraceScope trace("DX8AudioBuf.DXABufSetVolume");
  rec.Volume.store(v);
  if (DXABufIsValid(rec)) rec.BufferObject->SetVolume(MapRange(v, 0, 1000, -10000, 0));
}

bool DXABufPlay(DXABufRec& rec) {
  TraceScope trace("DX8AudioBuf.DXABufPlay");
  if (!DXABufIsValid(rec)) return false;
  if (rec.BufferObject->Play(0, 0, DSBPLAY_LOOPING) != DS_OK) return false;
  DXABufSetVolume(rec, rec.Volume.load());
  return true;
}

bool DXABufStop(DXABufRec& rec) {
  TraceScope trace("DX8AudioBuf.DXABufStop");
  if (!DXABufIsValid(rec)) return false;
  uint32_t status = 0;
  if (rec.BufferObject->GetStatus(&status) != DS_OK || (status & DSBSTATUS_PLAYING) == 0) return true;
  const bool ok = rec.BufferObject->Stop() == DS_OK;
  DXABufClear(rec);
  return ok;
}

void DXABufClear(DXABufRec& rec) {
  TraceScope trace("DX8AudioBuf.DXABufClear");
  if (!DXABufIsValid(rec)) return;
  rec.BufferObject->SetCurrentPosition(0);
  rec.Fresh.store(-1);
  rec.WritePos.store(0);
  DXABufFillSilence(rec, DXABufGetTotalSize(rec, dxaFrames));
  rec.Fresh.store(-1);
  rec.WritePos.store(0);
}

bool DXABufRestore(DXABufRec& rec) {
  TraceScope trace("DX8AudioBuf.DXABufRestore");
  if (!DXABufIsValid(rec)) return false;
  return rec.BufferObject->Restore() == DS_OK;
}

int32_t DXABufGetTotalSize(const DXABufRec& rec, int32_t unit) {
  if (!DXABufIsValid(rec)) return 0;
  if (unit == dxaBytes) return static_cast<int32_t>(rec.TotalBytes);
  if (unit == dxaFrames) return static_cast<int32_t>(rec.TotalBytes / IntMax(rec.Format.nBlockAlign, 1));
  return 0;
}

int32_t DXABufGetFreeSize(DXABufRec& rec, int32_t unit) {
  TraceScope trace("DX8AudioBuf.DXABufGetFreeSize");
  if (!DXABufIsValid(rec)) return 0;
  uint32_t free = 0;
  if (rec.Fresh.load() != 0) {
    free = rec.TotalBytes;
  } else {
    uint32_t play = 0, write = 0;
    if (!CursorPositions(rec, play, write)) return 0;
    const uint32_t at = rec.WritePos.load();
    free = at > play ? rec.TotalBytes - (at - play) : play - at;
  }
  if (unit == dxaFrames) free /= IntMax(rec.Format.nBlockAlign, 1);
  return static_cast<int32_t>(free);
}

int32_t DXABufGetFilledSize(DXABufRec& rec, int32_t unit) {
  TraceScope trace("DX8AudioBuf.DXABufGetFilledSize");
  if (!DXABufIsValid(rec)) return 0;
  const int32_t filled = static_cast<int32_t>(rec.TotalBytes) - DXABufGetFreeSize(rec, dxaBytes);
  return unit == dxaFrames ? filled / IntMax(rec.Format.nBlockAlign, 1) : filled;
}

bool DXABufFill(DXABufRec& rec, int32_t frames, const void* data, int64_t dataBytes) {
  TraceScope trace("DX8AudioBuf.DXABufFill");
  if (!DXABufIsValid(rec)) return false;
  uint32_t bytes = FrameBytes(rec, frames);
  // Never read past the caller's data: only its whole frames are written.
  if (data == nullptr || dataBytes <= 0) bytes = 0;
  if (static_cast<int64_t>(bytes) > dataBytes)
    bytes = static_cast<uint32_t>(dataBytes - dataBytes % IntMax(rec.Format.nBlockAlign, 1));
  if (bytes == 0) return true;
  void *p1 = nullptr, *p2 = nullptr;
  uint32_t n1 = 0, n2 = 0;
  if (!LockAtWritePos(rec, bytes, p1, n1, p2, n2)) return false;
  std::memcpy(p1, data, n1);
  if (p2 != nullptr && n2 > 0) std::memcpy(p2, static_cast<const uint8_t*>(data) + n1, n2);
  return UnlockAndAdvance(rec, p1, n1, p2, n2, bytes);
}

bool DXABufFillSilence(DXABufRec& rec, int32_t frames) {
  TraceScope trace("DX8AudioBuf.DXABufFillSilence");
  if (!DXABufIsValid(rec)) return false;
  const uint32_t bytes = FrameBytes(rec, frames);
  if (bytes == 0) return true;
  void *p1 = nullptr, *p2 = nullptr;
  uint32_t n1 = 0, n2 = 0;
  if (!LockAtWritePos(rec, bytes, p1, n1, p2, n2)) return false;
  const uint8_t silence = IsEightBit(rec) ? 0x80 : 0x00;
  std::memset(p1, silence, n1);
  if (p2 != nullptr && n2 > 0) std::memset(p2, silence, n2);
  return UnlockAndAdvance(rec, p1, n1, p2, n2, bytes);
}

int32_t DXABufTakeBack(DXABufRec& rec, int32_t frames, int32_t guardFrames) {
  TraceScope trace("DX8AudioBuf.DXABufTakeBack");
  if (!DXABufIsValid(rec) || frames <= 0 || rec.Fresh.load() != 0) return 0;
  uint32_t play = 0, write = 0;
  if (!CursorPositions(rec, play, write)) return 0;
  const uint32_t block = static_cast<uint32_t>(IntMax(rec.Format.nBlockAlign, 1));
  const uint32_t at = rec.WritePos.load();
  // Bytes written ahead of the device's write cursor: those it has not taken yet.
  const uint32_t ahead = (at + rec.TotalBytes - write) % rec.TotalBytes;
  // A cursor that already ran past the write position leaves nothing to take back.
  if (ahead > (at + rec.TotalBytes - play) % rec.TotalBytes) return 0;
  const uint64_t guard = static_cast<uint64_t>(IntMax(guardFrames, 0)) * block;
  if (ahead <= guard) return 0;
  uint64_t back = static_cast<uint64_t>(frames) * block;
  back = std::min<uint64_t>(back, ahead - guard);
  back -= back % block;
  if (back == 0) return 0;
  rec.WritePos.store(static_cast<uint32_t>((at + rec.TotalBytes - back) % rec.TotalBytes));
  return static_cast<int32_t>(back / block);
}

}  // namespace tavelo

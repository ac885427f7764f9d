// The secondary buffer: a ring of PCM bytes, a play cursor that moves in real time while the
// buffer plays, two-region locks, volume, status and the loss of its memory.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/dsound/ds_internal.h"

namespace tavelo::platform::ds {

float VolumeGain(int32_t volume) {
  if (volume <= DSBVOLUME_MIN) return 0.0f;
  if (volume >= DSBVOLUME_MAX) return 1.0f;
  return static_cast<float>(std::pow(10.0, volume / 2000.0));
}

HRESULT Buffer::Check(const DSBUFFERDESC* desc) {
  if (desc == nullptr || desc->dwSize != sizeof(DSBUFFERDESC) || desc->lpwfxFormat == nullptr)
    return DSERR_INVALIDPARAM;
  const WAVEFORMATEX& f = *desc->lpwfxFormat;
  const uint32_t bits = f.wBitsPerSample;
  if (f.wFormatTag != WAVE_FORMAT_PCM || f.nChannels < 1 || f.nChannels > 8 ||
      (bits != 8 && bits != 16 && bits != 24 && bits != 32) || f.nSamplesPerSec < 100 ||
      f.nSamplesPerSec > 384000 || f.nBlockAlign != f.nChannels * bits / 8)
    return DSERR_BADFORMAT;
  if (desc->dwBufferBytes < DSBSIZE_MIN || desc->dwBufferBytes > DSBSIZE_MAX ||
      desc->dwBufferBytes % f.nBlockAlign != 0)
    return DSERR_INVALIDPARAM;
  return DS_OK;
}

Buffer::Buffer(std::shared_ptr<Device> device, const DSBUFFERDESC& desc)
    : device_(std::move(device)),
      format_(*desc.lpwfxFormat),
      flags_(desc.dwFlags),
      size_(desc.dwBufferBytes),
      block_(desc.lpwfxFormat->nBlockAlign) {
  format_.cbSize = 0;
  data_.assign(size_, SilenceByte());
  device_->Add(this);
}

Buffer::~Buffer() { device_->Remove(this); }

uint32_t Buffer::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

uint32_t Buffer::Release() {
  const uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

void Buffer::SyncLocked() {
  if (!playing_ || !device_->Clocked()) return;
  const int64_t elapsed = device_->NowNs() - startNs_;
  if (elapsed <= 0) return;
  // Whole frames only, so the cursor always sits on a frame boundary.
  const __int128 frames = static_cast<__int128>(elapsed) * format_.nSamplesPerSec / 1000000000;
  const uint64_t target = startPos_ + static_cast<uint64_t>(frames) * block_;
  if (target > pos_) AdvanceLocked(target - pos_);
}

void Buffer::AdvanceLocked(uint64_t bytes) {
  const uint64_t before = pos_;
  pos_ += bytes;
  const uint64_t frames = bytes / block_;
  stats_.PlayedFrames += frames;
  uint32_t newUnderruns = 0;
  uint64_t starvedFrames = 0;
  if (pos_ > written_) {
    // The cursor ran past the last byte written: what it played there is stale.
    starvedFrames = (pos_ - std::max(before, written_)) / block_;
    if (!starving_) {
      starving_ = true;
      newUnderruns = 1;
    }
  }
  stats_.Underruns += newUnderruns;
  stats_.UnderrunFrames += starvedFrames;
  AddSinkTotals(frames, newUnderruns, starvedFrames);
  // What was heard: runs of silence between sounds.
  const uint8_t silence = SilenceByte();
  for (uint64_t f = 0; f < frames; ++f) {
    const uint64_t at = (before + f * block_) % size_;
    bool silent = true;
    for (uint32_t i = 0; i < block_ && silent; ++i) silent = data_[(at + i) % size_] == silence;
    if (silent) {
      ++silentRun_;
    } else if (silentRun_ > 0) {
      if (silentRun_ > stats_.LongestSilenceFrames) {
        stats_.LongestSilenceFrames = silentRun_;
        NoteSinkSilence(static_cast<int64_t>(silentRun_ * 1000000000 / format_.nSamplesPerSec));
      }
      silentRun_ = 0;
    }
  }
}

HRESULT Buffer::GetCurrentPosition(uint32_t* playCursor, uint32_t* writeCursor) {
  std::lock_guard<std::mutex> lock(mutex_);
  SyncLocked();
  if (lost_) return DSERR_BUFFERLOST;
  uint64_t heard = pos_;
  if (playing_) {
    // What the mixer took is still on its way to the speaker; the cursor shows what is heard,
    // never a position from before this play began.
    const int64_t delayNs = device_->DelayNs();
    if (delayNs > 0) {
      const __int128 frames = static_cast<__int128>(delayNs) * format_.nSamplesPerSec / 1000000000;
      const uint64_t back = std::min<uint64_t>(static_cast<uint64_t>(frames) * block_, pos_ - startPos_);
      heard = pos_ - back;
    }
  }
  if (playCursor != nullptr) *playCursor = static_cast<uint32_t>(heard % size_);
  if (writeCursor != nullptr) *writeCursor = static_cast<uint32_t>(pos_ % size_);
  return DS_OK;
}

HRESULT Buffer::GetStatus(uint32_t* status) {
  if (status == nullptr) return DSERR_INVALIDPARAM;
  std::lock_guard<std::mutex> lock(mutex_);
  SyncLocked();
  uint32_t s = 0;
  if (playing_) s |= DSBSTATUS_PLAYING | DSBSTATUS_LOOPING;
  if (lost_) s |= DSBSTATUS_BUFFERLOST;
  *status = s;
  return DS_OK;
}

HRESULT Buffer::Lock(uint32_t offset, uint32_t bytes, void** region1, uint32_t* bytes1, void** region2,
                     uint32_t* bytes2, uint32_t flags) {
  if (region1 == nullptr || bytes1 == nullptr) return DSERR_INVALIDPARAM;
  std::lock_guard<std::mutex> lock(mutex_);
  SyncLocked();
  if (locked_) return DSERR_INVALIDCALL;
  if (lost_) return DSERR_BUFFERLOST;
  if ((flags & DSBLOCK_FROMWRITECURSOR) != 0) offset = static_cast<uint32_t>(pos_ % size_);
  if ((flags & DSBLOCK_ENTIREBUFFER) != 0) bytes = size_;
  if (offset >= size_ || bytes == 0 || bytes > size_) return DSERR_INVALIDPARAM;
  const uint32_t first = std::min(bytes, size_ - offset);
  const uint32_t second = bytes - first;
  // A wrapping lock needs somewhere to put its second region.
  if (second > 0 && (region2 == nullptr || bytes2 == nullptr)) return DSERR_INVALIDPARAM;
  staging_.resize(bytes);
  std::memcpy(staging_.data(), data_.data() + offset, first);
  if (second > 0) std::memcpy(staging_.data() + first, data_.data(), second);
  locked_ = true;
  lockOffset_ = offset;
  lockBytes_ = bytes;
  *region1 = staging_.data();
  *bytes1 = first;
  if (region2 != nullptr) *region2 = second > 0 ? staging_.data() + first : nullptr;
  if (bytes2 != nullptr) *bytes2 = second;
  return DS_OK;
}

HRESULT Buffer::Unlock(void* region1, uint32_t bytes1, void* region2, uint32_t bytes2) {
  std::lock_guard<std::mutex> lock(mutex_);
  SyncLocked();
  if (!locked_ || region1 != staging_.data()) return DSERR_INVALIDPARAM;
  const uint32_t first = std::min(lockBytes_, size_ - lockOffset_);
  const uint32_t second = lockBytes_ - first;
  if (bytes1 > first || (bytes2 > 0 && (region2 != staging_.data() + first || bytes2 > second)) ||
      (bytes2 > 0 && bytes1 < first))
    return DSERR_INVALIDPARAM;
  locked_ = false;
  if (lost_) return DS_OK;  // the memory went while it was locked: nothing to commit
  std::memcpy(data_.data() + lockOffset_, staging_.data(), bytes1);
  if (bytes2 > 0) std::memcpy(data_.data(), staging_.data() + first, bytes2);
  // The written span as a position from the cursor on: writes land ahead of the cursor.
  const uint64_t n = static_cast<uint64_t>(bytes1) + bytes2;
  if (n > 0) {
    const uint64_t ahead = (lockOffset_ + size_ - pos_ % size_) % size_;
    written_ = std::max(written_, pos_ + ahead + n);
    if (written_ > pos_) starving_ = false;
  }
  return DS_OK;
}

HRESULT Buffer::Play(uint32_t reserved, uint32_t priority, uint32_t flags) {
  if (reserved != 0 || priority != 0) return DSERR_INVALIDPARAM;
  if ((flags & DSBPLAY_LOOPING) == 0) return DSERR_UNSUPPORTED;
  std::lock_guard<std::mutex> lock(mutex_);
  SyncLocked();
  if (lost_) return DSERR_BUFFERLOST;
  if (!playing_) {
    playing_ = true;
    startPos_ = pos_;
    startNs_ = device_->NowNs();
    phase_ = 0;
  }
  return DS_OK;
}

HRESULT Buffer::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  SyncLocked();
  playing_ = false;
  return DS_OK;
}

HRESULT Buffer::SetCurrentPosition(uint32_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  SyncLocked();
  if (position >= size_) return DSERR_INVALIDPARAM;
  position -= position % block_;
  pos_ = pos_ - pos_ % size_ + position;
  // Nothing written can lie more than one lap ahead of the cursor.
  written_ = std::min(written_, pos_ + size_);
  startPos_ = pos_;
  startNs_ = device_->NowNs();
  phase_ = 0;
  return DS_OK;
}

HRESULT Buffer::SetVolume(int32_t volume) {
  if ((flags_ & DSBCAPS_CTRLVOLUME) == 0) return DSERR_CONTROLUNAVAIL;
  if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX) return DSERR_INVALIDPARAM;
  std::lock_guard<std::mutex> lock(mutex_);
  volume_ = volume;
  return DS_OK;
}

HRESULT Buffer::Restore() {
  std::lock_guard<std::mutex> lock(mutex_);
  SyncLocked();
  if (!lost_) return DS_OK;
  if (!ConsumeFailingRestore()) lost_ = false;
  return lost_ ? DSERR_BUFFERLOST : DS_OK;
}

void Buffer::Lose() {
  std::lock_guard<std::mutex> lock(mutex_);
  SyncLocked();
  lost_ = true;
  std::fill(data_.begin(), data_.end(), SilenceByte());
}

DsBufferStats Buffer::Stats() {
  std::lock_guard<std::mutex> lock(mutex_);
  SyncLocked();
  DsBufferStats s = stats_;
  s.Volume = volume_;
  s.Lost = lost_;
  return s;
}

float Buffer::SampleLocked(uint64_t frame, int32_t channel) const {
  const uint64_t at = (frame * block_ + static_cast<uint64_t>(channel) * (format_.wBitsPerSample / 8)) % size_;
  const uint8_t* p = data_.data() + at;
  switch (format_.wBitsPerSample) {
    case 8:
      return (static_cast<int32_t>(p[0]) - 128) / 128.0f;
    case 16:
      return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8))) / 32768.0f;
    case 24: {
      const int32_t v = static_cast<int32_t>((static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                                             (static_cast<uint32_t>(p[2]) << 24)) >>
                        8;
      return v / 8388608.0f;
    }
    default: {
      int32_t v;
      std::memcpy(&v, p, 4);
      return static_cast<float>(v / 2147483648.0);
    }
  }
}

void Buffer::MixInto(float* acc, int32_t count, uint32_t deviceRate) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!playing_ || count <= 0) return;
  const double step = static_cast<double>(format_.nSamplesPerSec) / deviceRate;
  const float gain = lost_ ? 0.0f : VolumeGain(volume_);
  const int32_t channels = format_.nChannels;
  const uint64_t frames = size_ / block_;
  uint64_t frame = (pos_ % size_) / block_;
  uint64_t consumed = 0;
  double phase = phase_;
  for (int32_t i = 0; i < count; ++i) {
    if (gain > 0.0f) {
      const uint64_t next = (frame + 1) % frames;
      float left = 0, right = 0;
      if (channels == 1) {
        const float a = SampleLocked(frame, 0), b = SampleLocked(next, 0);
        left = right = a + (b - a) * static_cast<float>(phase);
      } else {
        // Even channels to the left, odd ones to the right, averaged: a stereo file passes
        // unchanged and a surround file keeps its centre and rear channels.
        int32_t nl = 0, nr = 0;
        for (int32_t c = 0; c < channels; ++c) {
          const float a = SampleLocked(frame, c), b = SampleLocked(next, c);
          const float v = a + (b - a) * static_cast<float>(phase);
          if (c % 2 == 0) {
            left += v;
            ++nl;
          } else {
            right += v;
            ++nr;
          }
        }
        left /= static_cast<float>(nl);
        right /= static_cast<float>(nr);
      }
      acc[2 * i] += left * gain;
      acc[2 * i + 1] += right * gain;
    }
    phase += step;
    while (phase >= 1.0) {
      phase -= 1.0;
      frame = (frame + 1) % frames;
      ++consumed;
    }
  }
  phase_ = phase;
  if (consumed > 0) AdvanceLocked(consumed * block_);
}

}  // namespace tavelo::platform::ds

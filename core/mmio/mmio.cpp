#include "core/mmio/mmio.h"

#include <cstdio>
#include <limits>

#include "core/services/errors.h"
#include "core/services/files.h"

namespace tavelo::platform {

namespace {

// The tracked-file routines report a failure through the error state, which would unwind the
// caller's monitor frame; these calls answer with result codes instead, as the system's do. The
// error lock silences the reporting for the length of one call.
class QuietErrors {
 public:
  QuietErrors() : wasLocked_(ErrorsLocked()) { LockErrors(); }
  ~QuietErrors() {
    if (!wasLocked_) UnlockErrors();
  }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  bool wasLocked_;
};

bool IsOpen(HMMIO h) { return h > 0 && h != kBadHandle && !FName(h).empty(); }

bool ReadAll(HMMIO h, void* buffer, int64_t count) {
  int64_t done = 0;
  return FTryRead(h, buffer, count, done);
}

bool WriteAll(HMMIO h, const void* buffer, int64_t count) {
  QuietErrors quiet;
  return FWrite(h, buffer, count) == 0;
}

bool SeekTo(HMMIO h, int64_t position) {
  if (position < 0) return false;
  QuietErrors quiet;
  return FSeek(h, position) == 0;
}

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool HasFormType(FOURCC id) { return id == FOURCC_RIFF || id == FOURCC_LIST; }

// Behind the chunk's data and its pad byte.
int64_t ChunkEnd(const MMCKINFO& ck) {
  return static_cast<int64_t>(ck.dwDataOffset) + ck.cksize + (ck.cksize & 1);
}

// Reads the chunk header at the current position; limit is the end of the parent's data.
MMRESULT ReadHeader(HMMIO h, MMCKINFO& ck, int64_t limit) {
  const int64_t pos = FPos(h);
  if (pos < 0 || pos + 8 > limit || pos + 8 > std::numeric_limits<uint32_t>::max()) return MMIOERR_CHUNKNOTFOUND;
  uint8_t header[8];
  if (!ReadAll(h, header, 8)) return MMIOERR_CHUNKNOTFOUND;
  ck.ckid = Get32(header);
  ck.cksize = Get32(header + 4);
  ck.fccType = 0;
  ck.dwDataOffset = static_cast<uint32_t>(pos + 8);
  ck.dwFlags = 0;
  if (HasFormType(ck.ckid)) {
    uint8_t type[4];
    if (pos + 12 > limit || !ReadAll(h, type, 4)) return MMIOERR_CHUNKNOTFOUND;
    ck.fccType = Get32(type);
  }
  return 0;
}

}  // namespace

HMMIO mmioOpenA(const char* fileName, MMIOINFO* info, uint32_t flags) {
  if (fileName == nullptr || info != nullptr) return 0;
  int32_t mode = 0;
  switch (flags & 3) {
    case MMIO_READ: mode = fmRead; break;
    case MMIO_WRITE: mode = fmWrite; break;
    default: mode = fmRead | fmWrite; break;
  }
  if (flags & MMIO_CREATE) mode |= fmCreate;
  int32_t handle = kBadHandle;
  int32_t code = 0;
  {
    QuietErrors quiet;
    code = FOpen(handle, fileName, mode);
  }
  return code == 0 ? handle : 0;
}

MMRESULT mmioClose(HMMIO h, uint32_t /*flags*/) {
  if (!IsOpen(h)) return kMmioInvalidHandle;
  FClose(h);
  // The tracked close reports a failed close as a warning of its own.
  return (GetWarningClass() == ecFile && GetWarningCode() == 8) ? static_cast<MMRESULT>(MMIOERR_CANNOTCLOSE) : 0;
}

int32_t mmioRead(HMMIO h, void* buffer, int32_t count) {
  if (!IsOpen(h) || count < 0 || (buffer == nullptr && count > 0)) return -1;
  if (count == 0) return 0;
  int64_t done = 0;
  FTryRead(h, buffer, count, done);
  return static_cast<int32_t>(done);
}

int32_t mmioWrite(HMMIO h, const void* buffer, int32_t count) {
  if (!IsOpen(h) || count < 0 || (buffer == nullptr && count > 0)) return -1;
  if (count == 0) return 0;
  return WriteAll(h, buffer, count) ? count : -1;
}

int32_t mmioSeek(HMMIO h, int32_t offset, int32_t origin) {
  if (!IsOpen(h)) return -1;
  int64_t base = 0;
  switch (origin) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = FPos(h); break;
    case SEEK_END: base = FSize(h); break;
    default: return -1;
  }
  const int64_t target = base + offset;
  if (target < 0 || target > std::numeric_limits<int32_t>::max() || !SeekTo(h, target)) return -1;
  return static_cast<int32_t>(target);
}

MMRESULT mmioFlush(HMMIO h, uint32_t /*flags*/) { return IsOpen(h) ? 0 : kMmioInvalidHandle; }

MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags) {
  if (!IsOpen(h) || ck == nullptr) return kMmioInvalidHandle;
  const int64_t limit = parent != nullptr ? static_cast<int64_t>(parent->dwDataOffset) + parent->cksize
                                          : std::numeric_limits<int64_t>::max();
  const FOURCC wantId = ck->ckid;
  const FOURCC wantType = ck->fccType;
  for (;;) {
    MMCKINFO found{};
    const MMRESULT r = ReadHeader(h, found, limit);
    if (r != 0) return r;
    bool match = true;
    if (flags & MMIO_FINDCHUNK) match = found.ckid == wantId;
    else if (flags & MMIO_FINDRIFF) match = found.ckid == FOURCC_RIFF && found.fccType == wantType;
    else if (flags & MMIO_FINDLIST) match = found.ckid == FOURCC_LIST && found.fccType == wantType;
    if (match) {
      *ck = found;
      return 0;
    }
    // Every step moves at least 8 bytes on, so the search ends at the limit or the file's end.
    if (!SeekTo(h, ChunkEnd(found))) return MMIOERR_CHUNKNOTFOUND;
  }
}

MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, uint32_t /*flags*/) {
  if (!IsOpen(h) || ck == nullptr) return kMmioInvalidHandle;
  if (ck->dwFlags & MMIO_DIRTY) {
    // A chunk written through mmioCreateChunk: its size is what was written since.
    const int64_t size = FPos(h) - static_cast<int64_t>(ck->dwDataOffset);
    if (size < 0 || size > std::numeric_limits<uint32_t>::max()) return MMIOERR_CANNOTWRITE;
    if (static_cast<uint32_t>(size) != ck->cksize) {
      uint8_t field[4];
      Put32(field, static_cast<uint32_t>(size));
      if (!SeekTo(h, static_cast<int64_t>(ck->dwDataOffset) - 4) || !WriteAll(h, field, 4)) return MMIOERR_CANNOTWRITE;
      ck->cksize = static_cast<uint32_t>(size);
    }
    if (size & 1) {
      const uint8_t pad = 0;
      if (!SeekTo(h, static_cast<int64_t>(ck->dwDataOffset) + size) || !WriteAll(h, &pad, 1)) return MMIOERR_CANNOTWRITE;
    }
    ck->dwFlags &= ~static_cast<uint32_t>(MMIO_DIRTY);
  }
  return SeekTo(h, ChunkEnd(*ck)) ? 0 : static_cast<MMRESULT>(MMIOERR_CANNOTSEEK);
}

MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, uint32_t flags) {
  if (!IsOpen(h) || ck == nullptr) return kMmioInvalidHandle;
  if (flags & MMIO_CREATERIFF) ck->ckid = FOURCC_RIFF;
  else if (flags & MMIO_CREATELIST) ck->ckid = FOURCC_LIST;
  const int64_t pos = FPos(h);
  if (pos < 0 || pos + 8 > std::numeric_limits<uint32_t>::max()) return MMIOERR_CANNOTWRITE;
  uint8_t header[12];
  Put32(header, ck->ckid);
  Put32(header + 4, ck->cksize);
  Put32(header + 8, ck->fccType);
  const int64_t bytes = HasFormType(ck->ckid) ? 12 : 8;
  if (!WriteAll(h, header, bytes)) return MMIOERR_CANNOTWRITE;
  ck->dwDataOffset = static_cast<uint32_t>(pos + 8);
  ck->dwFlags = MMIO_DIRTY;
  return 0;
}

}  // namespace tavelo::platform

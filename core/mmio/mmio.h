// Multimedia file input/output: RIFF chunk navigation and plain reads, writes and seeks, for the
// WAV unit. Written from what that unit expects of the system's calls of the same names.
//
// A handle is the number of a tracked file (core/services/files.h), so a failed monitor frame
// closes what it opened and the leak report lists it; 0 is no handle. The stand-in keeps no
// buffer of its own: every call works on the file position directly, and mmioFlush has nothing
// to write. None of the calls reports through the error state or unwinds a monitor frame: like
// the system's, they answer with a result code (0 on success) or a byte count (-1 on failure).
//
// Chunks follow the RIFF rules: an 8-byte header {id, size}, then size bytes of data, then one pad
// byte when size is odd. "RIFF" and "LIST" chunks begin their data with a form type; their data
// offset is that of the form type, and descending into them leaves the position behind it.
#pragma once
#include <cstdint>

namespace tavelo::platform {

using MMRESULT = uint32_t;
using FOURCC = uint32_t;
using HMMIO = int32_t;

// Result codes.
enum : MMRESULT {
  MMIOERR_BASE = 256,
  MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1,
  MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3,
  MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4,
  MMIOERR_CANNOTREAD = MMIOERR_BASE + 5,
  MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6,
  MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7,
  MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9,
};
// What the calls answer for a handle that is not open (the system's invalid-handle code).
constexpr MMRESULT kMmioInvalidHandle = 5;

// mmioOpenA flags: the access, and MMIO_CREATE to create or truncate.
enum : uint32_t {
  MMIO_READ = 0x00000000,
  MMIO_WRITE = 0x00000001,
  MMIO_READWRITE = 0x00000002,
  MMIO_CREATE = 0x00001000,
};

// mmioDescend search flags, mmioCreateChunk kinds and the dirty mark of a created chunk.
enum : uint32_t {
  MMIO_FINDCHUNK = 0x0010,
  MMIO_FINDRIFF = 0x0020,
  MMIO_FINDLIST = 0x0040,
  MMIO_CREATERIFF = 0x0020,
  MMIO_CREATELIST = 0x0040,
  MMIO_DIRTY = 0x10000000,
};

// The chunk information, 20 bytes as the system lays it out.
struct MMCKINFO {
  FOURCC ckid;
  uint32_t cksize;
  FOURCC fccType;
  uint32_t dwDataOffset;
  uint32_t dwFlags;
};
static_assert(sizeof(MMCKINFO) == 20, "the chunk information is 20 bytes");

// The system's extended open record; the stand-in takes none (pass nullptr).
struct MMIOINFO;

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
  return static_cast<FOURCC>(static_cast<uint8_t>(a)) | (static_cast<FOURCC>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<FOURCC>(static_cast<uint8_t>(c)) << 16) | (static_cast<FOURCC>(static_cast<uint8_t>(d)) << 24);
}
constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');

// Opens a file; 0 when it cannot be opened (info must be nullptr).
HMMIO mmioOpenA(const char* fileName, MMIOINFO* info, uint32_t flags);
// Closes the file: 0, MMIOERR_CANNOTCLOSE or kMmioInvalidHandle.
MMRESULT mmioClose(HMMIO h, uint32_t flags);
// Bytes read (0 at the end of the file), -1 on failure.
int32_t mmioRead(HMMIO h, void* buffer, int32_t count);
// Bytes written, -1 on failure.
int32_t mmioWrite(HMMIO h, const void* buffer, int32_t count);
// origin is SEEK_SET, SEEK_CUR or SEEK_END (<cstdio>). The new position, -1 on failure (a
// position before the start or past 32 bits).
int32_t mmioSeek(HMMIO h, int32_t offset, int32_t origin);
// Nothing is buffered: 0, or kMmioInvalidHandle.
MMRESULT mmioFlush(HMMIO h, uint32_t flags);

// Reads the chunk header at the current position into ck. Without a search flag that chunk is the
// answer; MMIO_FINDCHUNK looks for ck->ckid, MMIO_FINDRIFF and MMIO_FINDLIST for a "RIFF" or
// "LIST" chunk with form type ck->fccType, stepping over other chunks (and their pad bytes). With a
// parent the search stays inside the parent's data. MMIOERR_CHUNKNOTFOUND when no (further) chunk
// header fits.
MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags);
// Leaves a chunk: a chunk made by mmioCreateChunk (MMIO_DIRTY) gets its true size written back
// and a pad byte when the size is odd; the position then moves behind the chunk and its pad byte.
MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, uint32_t flags);
// Writes a chunk header (and with MMIO_CREATERIFF or MMIO_CREATELIST the id "RIFF" or "LIST"
// and the form type) at the current position; ck is filled and marked MMIO_DIRTY.
MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, uint32_t flags);

}  // namespace tavelo::platform

// The Video for Windows calls the AVI unit makes: AVI files and their streams, raw sample reads,
// key-frame search and frame decompression into packed device-independent bitmaps. The files are
// read by our own RIFF AVI reader (avi_riff.h: idx1 and OpenDML indexes, frames stored top-down
// or bottom-up); compressed frames are decoded through libavcodec (the shared FFmpeg reader's
// decoder layer). Our own declarations, in the layout the callers expect.
//
// Files, streams and decompression objects are reference-counted handles; a stream keeps its
// file alive. None of these calls throws. Results are HRESULT-style codes: 0 for success, a
// negative AVIERR_* code for failure.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/dib/dib.h"

namespace tavelo::platform {

using HRESULT = int32_t;

struct AviFileRec;
struct AviStreamRec;
struct AviGetFrameRec;
using PAVIFILE = AviFileRec*;
using PAVISTREAM = AviStreamRec*;
using PGETFRAME = AviGetFrameRec*;

// Error codes: MAKE_AVIERR(n) = 0x80044000 + n.
constexpr HRESULT MakeAviErr(int32_t n) { return static_cast<HRESULT>(0x80044000u + static_cast<uint32_t>(n)); }
constexpr HRESULT AVIERR_OK = 0;
constexpr HRESULT AVIERR_UNSUPPORTED = MakeAviErr(101);
constexpr HRESULT AVIERR_BADFORMAT = MakeAviErr(102);
constexpr HRESULT AVIERR_MEMORY = MakeAviErr(103);
constexpr HRESULT AVIERR_INTERNAL = MakeAviErr(104);
constexpr HRESULT AVIERR_BADFLAGS = MakeAviErr(105);
constexpr HRESULT AVIERR_BADPARAM = MakeAviErr(106);
constexpr HRESULT AVIERR_BADSIZE = MakeAviErr(107);
constexpr HRESULT AVIERR_BADHANDLE = MakeAviErr(108);
constexpr HRESULT AVIERR_FILEREAD = MakeAviErr(109);
constexpr HRESULT AVIERR_FILEOPEN = MakeAviErr(111);
constexpr HRESULT AVIERR_NOCOMPRESSOR = MakeAviErr(113);
constexpr HRESULT AVIERR_READONLY = MakeAviErr(114);
constexpr HRESULT AVIERR_NODATA = MakeAviErr(115);
constexpr HRESULT AVIERR_BUFFERTOOSMALL = MakeAviErr(116);
// The class id names no handler that is installed.
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);

// A class id (GUID) as the handler argument of AVIFileOpen takes it.
struct CLSID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
// The default AVI file handler, {00020000-0000-0000-C000-000000000046}: the one handler there is.
constexpr CLSID CLSID_AVIFile = {0x00020000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// AVIFileOpen modes: only reading is served.
enum : uint32_t { OF_READ = 0, OF_WRITE = 1, OF_READWRITE = 2, OF_CREATE = 0x1000 };

// Stream types as four-character codes, lowest byte first.
constexpr uint32_t streamtypeVIDEO = 0x73646976;  // "vids"
constexpr uint32_t streamtypeAUDIO = 0x73647561;  // "auds"
constexpr uint32_t streamtypeTEXT = 0x73747874;   // "txts"
constexpr uint32_t streamtypeMIDI = 0x7364696D;   // "mids"

// AVIStreamRead's sample count that reads as many whole samples as fit in the buffer.
constexpr int32_t AVISTREAMREAD_CONVENIENT = -1;

// AVIStreamFindSample flags.
enum : int32_t {
  FIND_NEXT = 0x0001,
  FIND_PREV = 0x0004,
  FIND_FROM_START = 0x0008,
  FIND_KEY = 0x0010,
  FIND_ANY = 0x0020,
};

#pragma pack(push, 4)
struct RECT {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// File information: 172 bytes, the file type as 16-bit characters.
struct AVIFILEINFOW {
  uint32_t dwMaxBytesPerSec;
  uint32_t dwFlags;
  uint32_t dwCaps;
  uint32_t dwStreams;
  uint32_t dwSuggestedBufferSize;
  uint32_t dwWidth;
  uint32_t dwHeight;
  uint32_t dwScale;
  uint32_t dwRate;
  uint32_t dwLength;
  uint32_t dwEditCount;
  char16_t szFileType[64];
};

// Stream information: 204 bytes, the name as 16-bit characters.
struct AVISTREAMINFOW {
  uint32_t fccType;
  uint32_t fccHandler;
  uint32_t dwFlags;
  uint32_t dwCaps;
  uint16_t wPriority;
  uint16_t wLanguage;
  uint32_t dwScale;
  uint32_t dwRate;
  uint32_t dwStart;
  uint32_t dwLength;
  uint32_t dwInitialFrames;
  uint32_t dwSuggestedBufferSize;
  uint32_t dwQuality;
  uint32_t dwSampleSize;
  RECT rcFrame;
  uint32_t dwEditCount;
  uint32_t dwFormatChangeCount;
  char16_t szName[64];
};
#pragma pack(pop)
static_assert(sizeof(AVIFILEINFOW) == 172, "the file information record is 172 bytes");
static_assert(sizeof(AVISTREAMINFOW) == 204, "the stream information record is 204 bytes");

// AVIFILEINFOW.dwCaps
enum : uint32_t { AVIFILECAPS_CANREAD = 0x0001, AVIFILECAPS_ALLKEYFRAMES = 0x0010, AVIFILECAPS_NOCOMPRESSION = 0x0020 };
// AVIFILEINFOW.dwFlags (from the main header)
enum : uint32_t { AVIFILEINFO_HASINDEX = 0x0010, AVIFILEINFO_ISINTERLEAVED = 0x0100 };

// Counts calls to AVIFileInit; the reader works whether or not it was called.
void AVIFileInit();
void AVIFileExit();

// Not of the Windows interface: starts reading the layout (headers and index) of an AVI file on
// a thread of its own, for an AVIFileOpen of the same unchanged file soon after to take (it
// waits for the reading when it comes first). Does nothing when the layout is kept already or
// the file cannot be opened.
void AviFilePrefetch(const char* fileName);

// Opens an AVI file for reading. handler: nullptr or CLSID_AVIFile.
HRESULT AVIFileOpen(PAVIFILE* file, const char* fileName, uint32_t mode, const CLSID* handler);
// Drops one reference; the file closes with its last reference (streams hold one each).
uint32_t AVIFileRelease(PAVIFILE file);
uint32_t AVIFileAddRef(PAVIFILE file);
// The lParam-th stream (from 0) of type fccType (0: any type). AVIERR_NODATA when there is none.
HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, uint32_t fccType, int32_t lParam);
// Copies min(size, 172) bytes of the file's information.
HRESULT AVIFileInfoW(PAVIFILE file, AVIFILEINFOW* info, int32_t size);

HRESULT AVIStreamInfoW(PAVISTREAM stream, AVISTREAMINFOW* info, int32_t size);
// The stream's format (a BITMAPINFOHEADER with its colour table or codec data for pictures, a
// WAVEFORMATEX of at least 18 bytes for sound). format == nullptr asks for the size only; else
// min(*size, format size) bytes are copied. *size receives the format's full size.
HRESULT AVIStreamReadFormat(PAVISTREAM stream, int32_t position, void* format, int32_t* size);
// Reads raw samples from start on. samples == AVISTREAMREAD_CONVENIENT reads as many whole
// samples as fit in the buffer; any other count is cut to what fits. With buffer == nullptr only
// the bytes needed are reported. AVIERR_BUFFERTOOSMALL when not one sample fits; reading at or
// past the end gives 0 bytes and 0 samples.
HRESULT AVIStreamRead(PAVISTREAM stream, int32_t start, int32_t samples, void* buffer, int32_t bufferSize,
                      int32_t* bytesRead, int32_t* samplesRead);
// The stream's length in samples (frames of a picture stream); -1 for a bad stream.
int32_t AVIStreamLength(PAVISTREAM stream);
int32_t AVIStreamStart(PAVISTREAM stream);
// The sample found from position by flags (FIND_KEY or FIND_ANY, with FIND_PREV, FIND_NEXT or
// FIND_FROM_START); FIND_PREV and FIND_NEXT include position itself. -1 when there is none.
int32_t AVIStreamFindSample(PAVISTREAM stream, int32_t position, int32_t flags);
uint32_t AVIStreamRelease(PAVISTREAM stream);
uint32_t AVIStreamAddRef(PAVISTREAM stream);

// A decompression object for a picture stream. wanted: nullptr for the decoder's own depth
// (8 with a palette, 16 for 5-5-5, 24 or 32), or a header asking for 8, 15/16, 24 or 32 bits at
// the stream's size. nullptr when the stream cannot be decompressed (or not to that format).
PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, const BITMAPINFOHEADER* wanted);
// The packed DIB of frame position (header, 256-entry colour table for 8 bits, rows bottom-up
// padded to 4 bytes), owned by the object until the next call; nullptr when the frame cannot be
// decoded or the position is outside the stream.
void* AVIStreamGetFrame(PGETFRAME getFrame, int32_t position);
// Our own addition, for callers that keep pictures in memory of their own: frame position written
// straight into dest, width x height (the stream's size) at bits per pixel (the depth
// AVIStreamGetFrame delivers; 15 stands for its 16-bit 5-5-5), rows top-down stride bytes apart,
// with no bitmap made; for 8 bits, colours (when given) receives the 256-entry colour table
// (B, G, R, 0). False when the frame cannot be decoded or not into that layout.
bool AVIStreamGetFrameInto(PGETFRAME getFrame, int32_t position, int32_t width, int32_t height, int32_t bits,
                           void* dest, ptrdiff_t stride, uint8_t* colours);
HRESULT AVIStreamGetFrameClose(PGETFRAME getFrame);

// For tests: the file, stream and decompression objects now alive.
int32_t AviLiveObjects();

}  // namespace tavelo::platform

// The installable-compressor calls of Video for Windows that the program makes to learn a video
// codec's name: ICOpen in query mode, ICGetInfo and ICClose. The "installed compressors" are the
// video decoders of libavcodec, found by their four-character code through FFmpeg's table of AVI
// codec tags (letters compared without regard to case); a code that no decoder serves does not
// open. Our own declarations, in the layout the callers expect.
#pragma once
#include <cstdint>

namespace tavelo::platform {

struct IcRec;
using HIC = IcRec*;

enum : uint32_t { ICMODE_QUERY = 4 };

// The compressor description record: 568 bytes, texts as 16-bit characters.
struct ICINFO {
  uint32_t dwSize;
  uint32_t fccType;
  uint32_t fccHandler;
  uint32_t dwFlags;
  uint32_t dwVersion;
  uint32_t dwVersionICM;
  char16_t szName[16];
  char16_t szDescription[128];
  char16_t szDriver[128];
};
static_assert(sizeof(ICINFO) == 568, "the compressor description record is 568 bytes");

// The type code "vidc" (bytes v, i, d, c from the low byte up).
constexpr uint32_t kIcTypeVideo = 0x63646976;

// A handle for the compressor of fccHandler, or nullptr when none is installed for it.
HIC ICOpen(uint32_t fccType, uint32_t fccHandler, uint32_t wMode);
// Fills up to cb bytes of *info; returns the bytes filled (0 for a bad handle or record).
uint32_t ICGetInfo(HIC hic, ICINFO* info, uint32_t cb);
// 0 on success.
int32_t ICClose(HIC hic);

}  // namespace tavelo::platform

#include "platform/vfw/vfw_ic.h"

#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace tavelo::platform {

struct IcRec {
  uint32_t fccType = 0;
  uint32_t fccHandler = 0;
  const AVCodecDescriptor* descriptor = nullptr;
};

namespace {

void CopyWide(char16_t* dest, size_t capacity, const char* text) {
  size_t i = 0;
  // Codec descriptions are ASCII; anything else is shown as '?' rather than mis-decoded.
  for (; text != nullptr && text[i] != 0 && i + 1 < capacity; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    dest[i] = c < 128 ? static_cast<char16_t>(c) : u'?';
  }
  dest[i] = 0;
}

}  // namespace

HIC ICOpen(uint32_t fccType, uint32_t fccHandler, uint32_t wMode) {
  if (fccType != kIcTypeVideo || fccHandler == 0) return nullptr;
  const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
  const AVCodecID id = av_codec_get_id(tables, fccHandler);
  if (id == AV_CODEC_ID_NONE || avcodec_find_decoder(id) == nullptr) return nullptr;
  IcRec* rec = new (std::nothrow) IcRec;
  if (rec == nullptr) return nullptr;
  rec->fccType = fccType;
  rec->fccHandler = fccHandler;
  rec->descriptor = avcodec_descriptor_get(id);
  (void)wMode;
  return rec;
}

uint32_t ICGetInfo(HIC hic, ICINFO* info, uint32_t cb) {
  if (hic == nullptr || info == nullptr || cb == 0) return 0;
  ICINFO full;
  std::memset(&full, 0, sizeof(full));
  full.dwSize = sizeof(ICINFO);
  full.fccType = hic->fccType;
  full.fccHandler = hic->fccHandler;
  full.dwVersionICM = 0x0104;
  if (hic->descriptor != nullptr) {
    CopyWide(full.szName, 16, hic->descriptor->name);
    CopyWide(full.szDescription, 128, hic->descriptor->long_name);
  }
  CopyWide(full.szDriver, 128, "libavcodec");
  const uint32_t n = cb < sizeof(ICINFO) ? cb : static_cast<uint32_t>(sizeof(ICINFO));
  std::memcpy(info, &full, n);
  return n;
}

int32_t ICClose(HIC hic) {
  delete hic;
  return 0;
}

}  // namespace tavelo::platform

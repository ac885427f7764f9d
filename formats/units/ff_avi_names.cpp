#include "formats/units/ff_avi_names.h"

#include "core/services/basic.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "platform/acm/acm.h"
#include "platform/fpu/fpu.h"
#include "platform/vfw/vfw_ic.h"

namespace tavelo {

namespace {

std::string UpperCode(uint32_t code) {
  std::string s;
  FourCCToStr(code, s);
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

// Every call into the compressor layer runs with a freshly reset floating-point unit and leaves
// it reset, whatever the decoder did to it.
using platform::FpuGuarded;

std::string NarrowText(const char16_t* text, size_t capacity) {
  std::string out;
  for (size_t i = 0; i < capacity && text[i] != 0; ++i) {
    const char16_t c = text[i];
    out += c < 128 ? static_cast<char>(c) : '?';
  }
  return out;
}

}  // namespace

bool AVIChk4FullFrames_(uint32_t code) {
  if (code == 0) return true;
  const std::string s = UpperCode(code);
  return s == "DIB " || s == "RAW " || s == "RGB ";
}

bool AVIChk4Video1_(uint32_t code) {
  const std::string s = UpperCode(code);
  return s == "MSVC" || s == "CRAM" || s == "WHAM";
}

void VfwGetVideoName(uint32_t code, std::string& name) {
  TraceScope trace("FF_AVI.VfwGetVideoName");
  name.clear();
  bool found = false;
  BeginMonitor();
  try {
    if (AVIChk4FullFrames_(code)) {
      name = "Full frames, uncompressed";
      found = true;
    } else {
      if (AVIChk4Video1_(code)) code = FFMakeRGBA('m', 's', 'v', 'c');
      platform::HIC hic =
          FpuGuarded([&] { return platform::ICOpen(platform::kIcTypeVideo, code, platform::ICMODE_QUERY); });
      if (hic != nullptr) {
        platform::ICINFO info{};
        const uint32_t got = FpuGuarded([&] { return platform::ICGetInfo(hic, &info, sizeof(info)); });
        if (got != 0) {
          name = NarrowText(info.szDescription, 128);
          found = true;
        }
        FpuGuarded([&] { return platform::ICClose(hic); });
      }
    }
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  if (name.empty() || !found) name = "Unknown codec";
}

void AcmGetAudioName(int32_t driver, int32_t tag, std::string& name) {
  name = "Unknown codec";
  if (tag == 1) {
    name = "PCM, uncompressed";
  } else if (tag >= 2) {
    platform::ACMFORMATTAGDETAILSA details{};
    details.cbStruct = sizeof(details);
    details.dwFormatTag = static_cast<uint32_t>(tag);
    if (platform::acmFormatTagDetailsA(nullptr, &details, platform::ACM_FORMATTAGDETAILSF_FORMATTAG) == 0) {
      details.szFormatTag[platform::kAcmFormatTagChars - 1] = 0;
      name = details.szFormatTag;
    }
  }
  (void)driver;
}

}  // namespace tavelo

#include "formats/ff_img_from_bin.h"

#include <cstring>

#include "codecs/jpegcodec/jpegcodec.h"
#include "codecs/zmvcodec/zmvcodec.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "platform/fpu/fpu.h"

namespace tavelo {

namespace {

int32_t Le32_(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
}

// Leaves the frame without an error: the result is false, img stays as it is.
[[noreturn]] void Leave_() {
  AbortMonitor();
  throw EMon("");  // AbortMonitor throws unless the monitor is suspended; leave all the same
}

// The same, with the reason logged as a warning.
[[noreturn]] void Refuse_(int32_t code, int32_t line) {
  SetWarning(ecImage, code, line);
  Leave_();
}

}  // namespace

bool ImgFromBin(const void* blob, Qimg& img) {
  TraceScope trace("FFBasic.ImgFromBin");
  bool made = false;
  BeginMonitor();
  try {
    if (blob == nullptr) Refuse_(4, __LINE__);
    const auto* b = static_cast<const uint8_t*>(blob);
    // The header is read into values of our own: the blob is constant data of the program.
    const int32_t width = Le32_(b), height = Le32_(b + 4), bpp = Le32_(b + 8);
    const int32_t packedSize = Le32_(b + 12), param = Le32_(b + 16), method = Le32_(b + 20);
    const bool depthOk = bpp == 8 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32;
    if (width < 1 || height < 1 || !depthOk || !FFPictureFits(width, height, (bpp + 7) / 8)) Refuse_(4, __LINE__);
    if (method != kBinMethodZmv && method != kBinMethodJpeg) Refuse_(1, __LINE__);
    _imgalloc_(img, width, height, bpp, __LINE__, "FFBasic.ImgFromBin.img");
    ImgSetDims(img, width, height, bpp);
    const uint8_t* data = b + kBinHeaderSize;

    if (method == kBinMethodZmv) {
      auto decode = reinterpret_cast<zmv_decode_fn>(FFCodecProcByName_(clZmv, "zmv_decode"));
      // zmvcodec.dll is missing (ZMV left the write table with it).
      if (!FFCanSave(fidZMV) || decode == nullptr) Leave_();
      if (bpp == 8) {
        std::memcpy(img.Palette.data(), data, kBinPaletteSize);
        data += kBinPaletteSize;
      }
      const int32_t result = platform::FpuGuarded([&] { return decode(img.Data, data, width, height, bpp, param); });
      if (result != 0) Refuse_(9, __LINE__);
    } else {
      auto read = reinterpret_cast<jpg_read_file_fn>(FFCodecProcByName_(clJpeg, "jpg_read_file"));
      if (read == nullptr || packedSize < 1) Refuse_(8, __LINE__);
      // The picture's buffer as allocated: the library refuses a picture of any other size.
      int32_t w = width, h = height, bytesPP = (bpp + 7) / 8, xRes = 0, yRes = 0;
      const int32_t result = platform::FpuGuarded(
          [&] { return read(nullptr, data, packedSize, img.Data, &w, &h, &bytesPP, &xRes, &yRes); });
      if (result != 0) Refuse_(9, __LINE__);
      ImgSetDims(img, w, h, bytesPP * 8);
      // The library gives grey or R, G, B; the record holds a palette or B, G, R.
      if (bytesPP == 1)
        PalSetGray(img.Palette);
      else
        ImgSwapRB(img, img);
    }
    made = true;
  } catch (...) {
    CatchException();
  }
  EndMonitor();
  return made;
}

}  // namespace tavelo

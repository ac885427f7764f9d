#include "formats/units/ff_cvr.h"

#include <algorithm>
#include <cstring>

#include "core/media/impress.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "formats/ff_unit.h"
#include "formats/units/ff_bay.h"

namespace tavelo {

namespace {

// The library's calls the unit makes.
struct CvrApi {
  cvr_open_t Open;
  cvr_read_t Read;
  cvr_seek_t Seek;
  cvr_close_t Close;
  cvr_info_t Info;
};

thread_local FFCodecBinding<CvrApi> t_binding;

bool BindCvr_(CvrApi& api) {
  bool all = true;
  all = FFBind_(clCine, api.Open, "cvr_open") && all;
  all = FFBind_(clCine, api.Read, "cvr_read") && all;
  all = FFBind_(clCine, api.Seek, "cvr_seek") && all;
  all = FFBind_(clCine, api.Close, "cvr_close") && all;
  all = FFBind_(clCine, api.Info, "cvr_info") && all;
  return all;
}

// The bound calls. The formats of a library that did not load are withdrawn; a call that still
// arrives is refused.
const CvrApi& Api_() {
  if (!t_binding.Refresh(clCine, BindCvr_)) SetError(ecMovie, 5, __LINE__);
  return t_binding.Calls;
}

// Mosaic frames come out of BayDecode as 24-bit colour.
bool IsMosaic(int32_t codec) { return codec == kCvrVri || codec == kCvrVriV6 || codec == kCvrBayer; }

int32_t MosaicPattern(int32_t codec) {
  switch (codec) {
    case kCvrVri: return bayCine5;
    case kCvrVriV6: return bayCine6;
    default: return bayGBRG;
  }
}

}  // namespace

std::string CvrCodecName_(int32_t codec) {
  switch (codec) {
    case kCvrJpeg: return "JPEG encoded";
    case kCvrVri: return "VRI encoded";
    case kCvrVriV6: return "VRI-V6 encoded";
    case kCvrBayer: return "Bayer encoded";
    default: return std::string();
  }
}

bool CvrCodecKnown_(int32_t codec) { return codec >= kCvrPlain && codec <= kCvrBayer; }

double CvrGamma_(int32_t setting) {
  if (setting > 0) return 1.0 + setting / 100.0;
  if (setting < 0) return 1.0 / (1.0 - setting / 100.0);
  return 0.0;
}

void CvrOpen(CvrHandle& h, const std::string& fileName) {
  Framed("FF_CVR.CvrOpen", [&] {
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    const CvrApi& api = Api_();
    api.Info(fileName.c_str(), &h.Width, &h.Height, &h.StoredBits, &h.Bpp, &h.StoredBytesPP, &h.Codec, &h.FrameCount,
             &h.FrameRate, &h.Saturation, &h.Gamma, &h.Brightness, &h.Contrast);
    if (IsMosaic(h.Codec)) h.Bpp = 24;
    h.BytesPP = (h.Bpp + 7) / 8;
    h.KeyFrame = -1;
    h.Lib = api.Open(fileName.c_str());
    if (h.Lib == nullptr) SetError(ecMovie, 6, __LINE__);
  });
}

void CvrLoad(CvrHandle& h, Qimg& img, int32_t frame) {
  uint8_t* tempDataP = nullptr;
  Framed("FF_CVR.CvrLoad", [&] {
    if (!CvrCodecKnown_(h.Codec)) SetError(ecMovie, 5, __LINE__);
    const CvrApi& api = Api_();
    if (api.Seek(h.Lib, frame - 1) == 0) SetError(ecMovie, 9, __LINE__);
    const int64_t delivered = static_cast<int64_t>(h.Width) * h.Height * h.StoredBytesPP;
    // A mosaic is one byte per pixel; anything else would not fill the picture.
    if (IsMosaic(h.Codec) && h.StoredBytesPP != 1) SetError(ecMovie, 5, __LINE__);
    // A picture too large to make is refused before it is allocated (FFPictureFits).
    if (!FFPictureFits(h.Width, h.Height, std::max(h.BytesPP, h.StoredBytesPP))) RaiseError(ecImage, 4, __LINE__);
    _memalloc_(tempDataP, delivered, __LINE__, "FF_CVR.CvrLoad.tempDataP", mkFresh);
    _imgalloc_(img, h.Width, h.Height, h.Bpp, __LINE__, "FF_CVR.CvrLoad.img");
    if (api.Read(h.Lib, tempDataP, img.Palette.data()) == 0) SetError(ecMovie, 9, __LINE__);
    h.CurrentFrame = frame;
    if (IsMosaic(h.Codec)) {
      BayDecode(tempDataP, img.Data, h.Width, 1, MosaicPattern(h.Codec), h.Height);
    } else {
      // Only what the library delivered is copied; a picture larger than that is black beyond it.
      const int64_t n = std::min<int64_t>(img.Size, delivered);
      std::memcpy(img.Data, tempDataP, static_cast<size_t>(n));
      if (img.Size > n) std::memset(img.Data + n, 0, static_cast<size_t>(img.Size - n));
    }
    MemFree(tempDataP);
    ImgSaturation(img, img, h.Saturation);
    const double g = CvrGamma_(h.Gamma);
    if (g != 0.0) ImgGamma(img, img, g, g, g);
    ImgBrightness(img, img, h.Brightness, h.Brightness, h.Brightness);
    ImgContrast(img, img, h.Contrast, h.Contrast, h.Contrast);
  });
}

void CvrClose(CvrHandle& h) {
  Framed("FF_CVR.CvrClose", [&] {
    const CvrApi* api = t_binding.Get(clCine, BindCvr_);
    if (api != nullptr && h.Lib != nullptr) api->Close(h.Lib);
    std::memset(static_cast<void*>(&h), 0, sizeof h);
  });
}

void CvrInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("FF_CVR.CvrInfo", [&] {
    const CvrApi& api = Api_();
    info.FormatId = fidCINE;
    info.FileSize = FSizeByName(fileName);
    FFVideoPart& v = info.Video;
    int32_t bytesPP = 0, frameRate = 0, unused[4] = {};
    api.Info(fileName.c_str(), &v.Width, &v.Height, &v.OrigBpp, &v.Bpp, &bytesPP, &v.CodecId, &v.Frames, &frameRate,
             &unused[0], &unused[1], &unused[2], &unused[3]);
    if (IsMosaic(v.CodecId)) v.Bpp = 24;
    v.FrameRate = frameRate;
    v.BytesPP = (v.Bpp + 7) / 8;
    v.CodecName = CvrCodecName_(v.CodecId);
    v.HasVideo = v.Width > 0 ? -1 : 0;
    v.VideoSupported = v.Width > 0 && CvrCodecKnown_(v.CodecId) ? -1 : 0;
  });
}

// ---- The dispatcher's entries ----

const FFUnit kCineUnit = {
    .Kind = fuMovie,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { CvrInfo(name, info); },
    .StateName = "CVR",
    .StateSize = static_cast<int64_t>(sizeof(CvrHandle)),
    .NewState = FFNewState<CvrHandle>,
    .Open = [](void* s, const std::string& name, FFProgressProc, void*) { CvrOpen(FFStateOf<CvrHandle>(s), name); },
    .ImgLoad = [](void* s, Qimg& img, int32_t frame, Qimg*) { CvrLoad(FFStateOf<CvrHandle>(s), img, frame); },
    .NearestKeyFrame = FFEveryFrameKey,
    .Close = [](void* s, int32_t, int32_t, int32_t) { CvrClose(FFStateOf<CvrHandle>(s)); },
    .View = [](const void* s) {
      const CvrHandle& h = FFStateOf<CvrHandle>(s);
      return FFMovieView{h.FrameCount, h.CurrentFrame, 0, h.KeyFrame, 0};
    },
};

}  // namespace tavelo

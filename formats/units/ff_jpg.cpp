#include "formats/units/ff_jpg.h"

#include "codecs/jpegcodec/jpegcodec.h"
#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "formats/ff_unit.h"
#include "platform/fpu/fpu.h"

namespace tavelo {

namespace {

struct JpgApi {
  jpg_info_file_fn Info;
  jpg_read_file_fn Read;
  jpg_write_file_fn Write;
};

thread_local FFCodecBinding<JpgApi> t_binding;

bool BindJpg_(JpgApi& api) {
  bool all = true;
  all = FFBind_(clJpeg, api.Info, "jpg_info_file") && all;
  all = FFBind_(clJpeg, api.Read, "jpg_read_file") && all;
  all = FFBind_(clJpeg, api.Write, "jpg_write_file") && all;
  return all;
}

// The bound calls, or "Invalid image format." when jpegcodec.dll is missing.
const JpgApi& Api_() {
  if (!t_binding.Refresh(clJpeg, BindJpg_)) SetError(ecImage, 2, __LINE__);
  return t_binding.Calls;
}

// Every call into the library runs between two resets of the floating-point unit.
using platform::FpuGuarded;

}  // namespace

void JPGInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("FF_JPG.JPGInfo", [&] {
    const JpgApi& api = Api_();
    FFVideoPart& v = info.Video;
    int32_t width = 0, height = 0, bytesPP = 0, xRes = 0, yRes = 0;
    if (FpuGuarded([&] { return api.Info(fileName.c_str(), &width, &height, &bytesPP, &xRes, &yRes); }) != 0)
      SetError(ecImage, 8, __LINE__);
    v.Width = width;
    v.Height = height;
    v.BytesPP = bytesPP;
    v.XRes = xRes;
    v.YRes = yRes;
    info.FormatId = fidJPEG;
    info.FileSize = FSizeByName(fileName);
    v.OrigBpp = v.Bpp = bytesPP * 8;
    v.Frames = 1;
    v.CodecName = "JFIF 1.02";
    v.HasVideo = v.VideoSupported = width > 0 ? -1 : 0;
  });
}

void JPGLoad(const std::string& fileName, Qimg& img) {
  Framed("FF_JPG.JPGLoad", [&] {
    const JpgApi& api = Api_();
    FFInfoRec described;
    JPGInfo(fileName, described);
    const FFVideoPart& d = described.Video;
    _imgalloc_(img, d.Width, d.Height, d.Bpp, __LINE__, "FF_JPG.JPGLoad.img");
    // The library fills only a buffer of the size it has just described for this file, going on
    // from the header it read for the description, and gives colour in the record's B, G, R.
    int32_t width = 0, height = 0, bytesPP = 0, xRes = 0, yRes = 0;
    const int32_t read = FpuGuarded([&] {
      return api.Read(fileName.c_str(), nullptr, JPG_READ_BGR, img.Data, &width, &height, &bytesPP, &xRes, &yRes);
    });
    // A file cut short (a partial download) shows what was decoded, its loss logged, as the
    // other picture readers do.
    if (read == JPG_WARN_CUT_OFF)
      SetWarning(ecImage, 9, __LINE__);
    else if (read != 0)
      SetError(ecImage, 8, __LINE__);
    ImgSetDims(img, width, height, bytesPP * 8);
    img.XRes = xRes;
    img.YRes = yRes;
    if (bytesPP == 1) PalSetGray(img.Palette);
  });
}

void JPGSave(const std::string& fileName, const Qimg& img, const FFVideoOpts& opts) {
  Framed("FF_JPG.JPGSave", [&] {
    const JpgApi& api = Api_();
    FFSavePrep prep;
    FFInit(fidJPEG, prep, img, 1);
    const Qimg& p = *prep.Picture;
    if (p.BytesPP != 3) SetError(ecImage, 1, __LINE__);
    const int64_t bytes = static_cast<int64_t>(p.Width) * p.Height * 3;
    uint8_t* rgb = nullptr;
    _memalloc_(rgb, bytes, __LINE__, "FF_JPG.JPGSave.tmpData", mkFresh);
    for (int64_t i = 0; i < bytes; i += 3) {
      rgb[i] = p.Data[i + 2];
      rgb[i + 1] = p.Data[i + 1];
      rgb[i + 2] = p.Data[i];
    }
    const int64_t truncated = FpuTrunc(opts.Quality);
    const auto quality = static_cast<int32_t>(truncated < 0 ? 0 : (truncated > 100 ? 100 : truncated));
    FFSafeSave_(fileName, [&](const std::string& temp) {
      if (FpuGuarded([&] {
            return api.Write(temp.c_str(), rgb, p.Width, p.Height, opts.XRes, opts.YRes, quality);
          }) != 0)
        SetError(ecImage, 11, __LINE__);
    });
    MemFree(rgb);
    FFFree(prep);
  });
}

void JPGDllLoad() { FFLoadCodecLib(clJpeg); }
void JPGDllFree() { FFFreeCodecLib(clJpeg); }

// ---- The dispatcher's entries ----

const FFUnit kJpegUnit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { JPGInfo(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { JPGLoad(name, img); },
    .Save = [](const std::string& name, const Qimg& img, FFVideoOpts& opts) { JPGSave(name, img, opts); },
    .SaveDefaults = [](FFVideoOpts& opts) { opts.Quality = 85.0; },
    .CodecName = [](const FFVideoOpts& opts, std::string& out) {
      out = "JPEG Quality: " + std::to_string(FFIntPart(opts.Quality)) + "%";
    },
};

}  // namespace tavelo

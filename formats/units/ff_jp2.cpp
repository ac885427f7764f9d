#include "formats/units/ff_jp2.h"

#include <cstring>

#include "codecs/jp2codec/jp2codec.h"
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

struct Jp2Api {
  jp2_info_fn Info;
  jp2_read_fn Read;
  jp2_write_fn Write;
};

thread_local FFCodecBinding<Jp2Api> t_binding;

bool BindJp2_(Jp2Api& api) {
  bool all = true;
  all = FFBind_(clJp2, api.Info, "jp2_info") && all;
  all = FFBind_(clJp2, api.Read, "jp2_read") && all;
  all = FFBind_(clJp2, api.Write, "jp2_write") && all;
  return all;
}

// The bound calls, or "Invalid image format." when jp2codec.dll is missing.
const Jp2Api& Api_() {
  if (!t_binding.Refresh(clJp2, BindJp2_)) SetError(ecImage, 2, __LINE__);
  return t_binding.Calls;
}

// Every call into the library runs between two resets of the floating-point unit.
using platform::FpuGuarded;

}  // namespace

void JP2Info(const std::string& fileName, FFInfoRec& info) {
  Framed("FF_JP2.JP2Info", [&] {
    const Jp2Api& api = Api_();
    FFVideoPart& v = info.Video;
    int32_t width = 0, height = 0, bytesPP = 0;
    char kind[8] = {};
    if (FpuGuarded([&] { return api.Info(fileName.c_str(), &width, &height, &bytesPP, kind); }) == 0)
      SetError(ecImage, 8, __LINE__);
    kind[sizeof kind - 1] = 0;
    info.FormatId = fidJP2;
    info.FileSize = FSizeByName(fileName);
    v.Width = width;
    v.Height = height;
    v.BytesPP = bytesPP;
    v.OrigBpp = v.Bpp = bytesPP * 8;
    v.Frames = 1;
    if (std::strcmp(kind, "jp2") == 0)
      v.CodecName = "JPEG-2000 JP2 File Format";
    else if (std::strcmp(kind, "jpc") == 0)
      v.CodecName = "JPEG-2000 Code Stream";
    else
      v.CodecName = "Unknown";
    v.HasVideo = v.VideoSupported = width > 0 ? -1 : 0;
  });
}

void JP2Load(const std::string& fileName, Qimg& img) {
  Framed("FF_JP2.JP2Load", [&] {
    const Jp2Api& api = Api_();
    FFInfoRec described;
    JP2Info(fileName, described);
    const FFVideoPart& d = described.Video;
    _imgalloc_(img, d.Width, d.Height, d.Bpp, __LINE__, "FF_JP2.JP2Load.img");
    // The library fills only a buffer of the size it has just described for this file.
    if (FpuGuarded([&] { return api.Read(fileName.c_str(), img.Data); }) == 0) SetError(ecImage, 8, __LINE__);
    if (img.Bpp == 8) PalSetGray(img.Palette);
  });
}

void JP2Save(const std::string& fileName, const Qimg& img, int32_t rate) {
  Framed("FF_JP2.JP2Save", [&] {
    const Jp2Api& api = Api_();
    FFSavePrep prep;
    FFInit(fidJP2, prep, img, 1);
    const Qimg& p = *prep.Picture;
    if (p.BytesPP != 3) SetError(ecImage, 1, __LINE__);
    // The library picks the container by the name's extension, so the temporary file keeps the
    // target's; otherwise this is the safe save every writer makes (FFSafeSave_).
    const std::string temp = FFSaveTempName_(fileName) + FFFileExt_(fileName);
    try {
      if (FpuGuarded([&] { return api.Write(temp.c_str(), p.Data, p.Width, p.Height, rate / 10000.0); }) == 0)
        SetError(ecImage, 11, __LINE__);
      FFSaveCommit_(temp, fileName);
    } catch (...) {
      FFSaveDiscard_(temp);
      throw;
    }
    FFFree(prep);
  });
}

void JP2DllLoad() { FFLoadCodecLib(clJp2); }
void JP2DllFree() { FFFreeCodecLib(clJp2); }

// ---- The dispatcher's entries ----

namespace {

// Digits of value with "," every three digits.
std::string GroupThousands(int64_t value) {
  const bool negative = value < 0;
  std::string digits = std::to_string(negative ? -value : value);
  std::string out;
  const int n = static_cast<int>(digits.size());
  for (int i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return negative ? "-" + out : out;
}

}  // namespace

const FFUnit kJp2Unit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { JP2Info(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { JP2Load(name, img); },
    // The rate in ten-thousandths: the integer part of the quality.
    .Save =
        [](const std::string& name, const Qimg& img, FFVideoOpts& opts) {
          const int64_t rate = FpuTrunc(opts.Quality);
          JP2Save(name, img, static_cast<int32_t>(rate < 0 ? 0 : (rate > 2147483647 ? 2147483647 : rate)));
        },
    .SaveDefaults = [](FFVideoOpts& opts) { opts.Quality = 1000.0; },
    .CodecName = [](const FFVideoOpts& opts, std::string& out) {
      out = "JPEG-2000 Rate: " + GroupThousands(FFIntPart(opts.Quality)) + " of 10,000";
    },
};

}  // namespace tavelo

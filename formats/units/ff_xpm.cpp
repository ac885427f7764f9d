// X PixMap pictures through the XPM codec library (unit FF_XPM).
#include "formats/units/ff_xpm.h"

#include "codecs/xpmcodec/xpmcodec.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "formats/ff_unit.h"

namespace tavelo {

namespace {

struct XpmApi {
  ReadXpmProc Read;
  WriteXpmProc Write;
};

thread_local FFCodecBinding<XpmApi> t_binding;

bool BindXpm_(XpmApi& api) {
  bool all = true;
  all = FFBind_(clXpm, api.Read, "ReadXpm") && all;
  all = FFBind_(clXpm, api.Write, "WriteXpm") && all;
  return all;
}

// The library's calls, none when it did not load whole (its format is then withdrawn, but a
// caller may still name format 17 itself).
const XpmApi* Api_() { return t_binding.Get(clXpm, BindXpm_); }

// The size of the picture in fileName; (7, 8) when the library cannot read it.
XpmPicture ReadSize(const XpmApi* api, const std::string& fileName, int32_t line) {
  XpmPicture d{0, 0, 0, nullptr, 0};
  if (api == nullptr || api->Read(fileName.c_str(), &d) != 0) RaiseError(ecImage, 8, line);
  return d;
}

}  // namespace

void XPMInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("FF_XPM.XPMInfo", [&] {
    const XpmPicture d = ReadSize(Api_(), fileName, __LINE__);
    info.FormatId = fidXPM;
    int32_t file = 0;
    FOpen(file, fileName, fmRead);
    info.FileSize = static_cast<double>(FSize(file));
    FClose(file);
    info.Video.Width = d.Width;
    info.Video.Height = d.Height;
    info.Video.BytesPP = 3;
    info.Video.OrigBpp = info.Video.Bpp = 24;
    info.Video.Frames = 1;
    info.Video.HasVideo = d.Width > 0 ? -1 : 0;
    info.Video.VideoSupported = info.Video.HasVideo;
  });
}

void XPMLoad(const std::string& fileName, Qimg& img) {
  Framed("FF_XPM.XPMLoad", [&] {
    const XpmApi* api = Api_();
    XpmPicture d = ReadSize(api, fileName, __LINE__);
    // A picture too large to make is refused before it is allocated (FFPictureFits).
    if (!FFPictureFits(d.Width, d.Height, 3)) RaiseError(ecImage, 4, __LINE__);
    _imgalloc_(img, d.Width, d.Height, 24, __LINE__, "FF_XPM.XPMLoad.img");
    // The library fills exactly the size it was asked about; a file that changed in between is
    // refused by it, not written past the picture.
    d.Data = img.Data;
    d.Reserved = 0;
    if (api->Read(fileName.c_str(), &d) != 0) RaiseError(ecImage, 8, __LINE__);
  });
}

void XPMSave(const std::string& fileName, const Qimg& img) {
  Framed("FF_XPM.XPMSave", [&] {
    const XpmApi* api = Api_();
    if (api == nullptr) RaiseError(ecImage, 11, __LINE__);
    FFSavePrep prep;
    FFInit(fidXPM, prep, img, 1);
    const Qimg& p = *prep.Picture;
    FFSafeSave_(fileName, [&](const std::string& temp) {
      const XpmPicture d{p.Width, p.Height, 0, p.Data, 0};
      if (api->Write(temp.c_str(), &d) != 0) RaiseError(ecImage, 11, __LINE__);
    });
    FFFree(prep);
  });
}

// ---- The dispatcher's entries ----

const FFUnit kXpmUnit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { XPMInfo(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { XPMLoad(name, img); },
    .Save = [](const std::string& name, const Qimg& img, FFVideoOpts&) { XPMSave(name, img); },
    .CodecName = [](const FFVideoOpts&, std::string& out) { out = "Uncompressed, full frames"; },
};

}  // namespace tavelo

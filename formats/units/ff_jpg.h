// The JPEG unit (FF_JPG, FormatId 8): reads and writes JPEG pictures through the codec library
// jpegcodec.dll (libjpeg-turbo). Grey files load as 8-bit pictures with a grey palette, every
// other file as 24 bits; pictures are always written at 24 bits. The floating-point unit is reset
// around every call into the library.
#pragma once
#include <string>

#include "core/media/img_basic.h"
#include "formats/conform.h"

namespace tavelo {

void JPGLoad(const std::string& fileName, Qimg& img);
void JPGSave(const std::string& fileName, const Qimg& img, const FFVideoOpts& opts);
void JPGInfo(const std::string& fileName, FFInfoRec& info);

// The loader pair: binds jpegcodec.dll, withdrawing format 8 when it or an export is missing.
void JPGDllLoad();
void JPGDllFree();

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kJpegUnit;

}  // namespace tavelo

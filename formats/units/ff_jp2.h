// The JPEG 2000 unit (FF_JP2, FormatId 23): reads JP2 files and bare code streams and writes
// either (by the name's extension) through the codec library jp2codec.dll (OpenJPEG). Pictures
// load as 8-bit grey (with a grey palette), 24 or 32 bits; they are written at 24 bits. The
// floating-point unit is reset around every call into the library.
#pragma once
#include <cstdint>
#include <string>

#include "core/media/img_basic.h"
#include "formats/conform.h"

namespace tavelo {

void JP2Load(const std::string& fileName, Qimg& img);
// rate: ten-thousandths of the uncompressed size (10000 and more: lossless).
void JP2Save(const std::string& fileName, const Qimg& img, int32_t rate);
void JP2Info(const std::string& fileName, FFInfoRec& info);

// The loader pair: binds jp2codec.dll, withdrawing format 23 when it or an export is missing.
void JP2DllLoad();
void JP2DllFree();

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kJp2Unit;

}  // namespace tavelo

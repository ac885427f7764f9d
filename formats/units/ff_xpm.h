// X PixMap pictures (unit FF_XPM, format 17: ".xpm" and ".pm" read, ".xpm" written) through the
// codec library xpmcodec.dll and its two exports, ReadXpm and WriteXpm. The unit parses nothing
// itself: it asks the library for the size, makes a 24-bit picture of that size and has the
// library fill it; saving hands the library a 24-bit picture.
#pragma once
#include <string>

#include "core/media/img_basic.h"
#include "formats/conform.h"

namespace tavelo {

// A file the library cannot read fails with (7, 8) "Cannot open image file.".
void XPMInfo(const std::string& fileName, FFInfoRec& info);
void XPMLoad(const std::string& fileName, Qimg& img);
// Saves at 24 bits; a failed write is (7, 11) "Cannot create image file.".
void XPMSave(const std::string& fileName, const Qimg& img);

// The dispatcher's entries (formats/ff_unit.h).
struct FFUnit;
extern const FFUnit kXpmUnit;

}  // namespace tavelo

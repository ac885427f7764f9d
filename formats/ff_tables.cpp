#include "formats/ff_tables.h"

#include "core/services/basic.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_unit.h"
#include "formats/units/ff_avi.h"
#include "formats/units/ff_bay.h"
#include "formats/units/ff_cvr.h"
#include "formats/units/ff_flc.h"
#include "formats/units/ff_gif.h"
#include "formats/units/ff_jp2.h"
#include "formats/units/ff_jpg.h"
#include "formats/units/ff_mpg.h"
#include "formats/units/ff_ogg.h"
#include "formats/units/ff_png.h"
#include "formats/units/ff_pnm.h"
#include "formats/units/ff_ras.h"
#include "formats/units/ff_sgi.h"
#include "formats/units/ff_tga_pcx_bmp.h"
#include "formats/units/ff_tif.h"
#include "formats/units/ff_wav.h"
#include "formats/units/ff_wmv.h"
#include "formats/units/ff_xpm.h"
#include "formats/units/ff_zmv.h"

namespace tavelo {

namespace {

const FFFormatRec kLoadRows[kLoadFormatCount] = {
    {7, 26, ".zmv", "ZMV", "Zoned Motion Video", "ZMV, Zoned Motion Video"},
    {4, 11, ".gif.giff", "GIF", "Graphics Interchange Format", "GIF, Graphics Interchange Format"},
    {3, 9, ".bmp.dib.rle", "BMP", "Windows Device Independent Bitmap", "BMP/DIB, Windows Device Independent Bitmap"},
    {5, 10, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
    {14, 9, ".ras.sun.im1.rast", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
    {13, 9, ".rgb.rgba.bw.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"},
    {15, 11, ".pnm.ppm.pgm", "PNM", "Portable Image", "PNM, Portable Image"},
    {2, 9, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
    {9, 9, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
    {6, 26, ".avi.ivf.divx", "AVI", "Windows Audio Video Interleaved", "AVI, Windows Audio Video Interleaved"},
    {12, 20, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
    {8, 9, ".jpg.jpeg.jif.jfif.J.jpe", "JPEG", "Joint Photographic Experts Group", "JPEG, Joint Photographic Experts Group"},
    {10, 9, ".tif.tiff.tim", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"},
    {11, 26, ".mpg.mpeg.m1v.m2v.dat.vob.mpe", "MPEG", "Moving Pictures Experts Group", "MPEG, Moving Pictures Experts Group"},
    {1, 9, ".tga.targa", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
    {16, 9, ".bay.tp2", "BAY", "Bayer Image", "BAY, Bayer Image"},
    {17, 9, ".xpm.pm", "XPM", "X PixMap", "XPM, X PixMap"},
    {18, 20, ".mp3.mp2.m2a.mpa", "MPA", "MPEG Audio Layer I/II/III", "MPA, MPEG Audio Layer I/II/III"},
    {21, 20, ".ac3", "AC3", "Dolby Digital Compatible", "AC3, Dolby Digital Compatible"},
    {27, 26, ".ogv.ogg", "OGV", "Ogg Video/Audio", "OGV, Ogg Video/Audio"},
    {19, 20, ".ogg.oga", "OGA", "Ogg Audio", "OGA, Ogg Audio"},
    {20, 10, ".cin.cine", "CINE", "Vision Research Cine", "CINE, Vision Research Cine"},
    {23, 9, ".jp2.jpc.j2k.j2c", "JP2", "JPEG-2000 Image", "JP2, JPEG-2000 Image"},
    {25, 26, ".wmv.wm", "WMV", "Windows Media Video / Audio", "WMV, Windows Media Video / Audio"},
    {26, 20, ".wma", "WMA", "Windows Media Audio", "WMA, Windows Media Audio"},
};

const FFFormatRec kSaveRows[kSaveFormatCount] = {
    {21, 20, ".ac3", "AC3", "Dolby Digital Compatible", "AC3, Dolby Digital Compatible"},
    {6, 26, ".avi.divx", "AVI", "Windows Audio Video Interleaved", "AVI, Windows Audio Video Interleaved"},
    {3, 9, ".bmp.dib", "BMP", "Windows Device Independent Bitmap", "BMP/DIB, Windows Device Independent Bitmap"},
    {5, 10, ".flc", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
    {4, 10, ".gif", "GIF", "Graphics Interchange Format", "GIF, Graphics Interchange Format"},
    {7, 26, ".zmv", "ZMV", "Zoned Motion Video", "ZMV, Zoned Motion Video"},
    {23, 9, ".jp2.jpc", "JP2", "JPEG-2000 Image", "JP2, JPEG-2000 Image"},
    {8, 9, ".jpg.jpeg", "JPEG", "Joint Photographic Experts Group", "JPEG, Joint Photographic Experts Group"},
    {11, 26, ".mpg.mpeg.m1v.dat", "MPEG", "Moving Pictures Experts Group", "MPEG, Moving Pictures Experts Group"},
    {18, 20, ".mp2", "MPA", "MPEG Audio Layer II", "MP2, MPEG Audio Layer II"},
    {27, 26, ".ogv", "OGV", "Ogg Video/Audio", "OGV, Ogg Video/Audio"},
    {19, 20, ".ogg.oga", "OGA", "Ogg Audio", "OGA, Ogg Audio"},
    {2, 9, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
    {9, 9, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
    {15, 9, ".ppm.pnm", "PPM", "Portable PixelMap", "PPM, Portable PixelMap"},
    {14, 9, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
    {13, 9, ".rgb.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"},
    {1, 9, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
    {10, 9, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"},
    {12, 20, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
    {26, 20, ".wma", "WMA", "Windows Media Audio", "WMA, Windows Media Audio"},
    {25, 26, ".wmv.wm", "WMV", "Windows Media Video / Audio", "WMV, Windows Media Video / Audio"},
    {17, 9, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"},
};

// The unit that serves each format id (formats/ff_unit.h): what the dispatcher calls. Blanking a
// row above withdraws a format from lookups and filters, not its unit; ids 22 and 24 have a unit
// but no row.
struct UnitRow {
  int32_t FormatId;
  const FFUnit* Unit;
};
const UnitRow kUnitRows[] = {
    {fidTGA, &kTgaUnit},    {fidPCX, &kPcxUnit},        {fidBMP, &kBmpUnit},       {fidGIF, &kGifUnit},
    {fidFLIC, &kFlcUnit},   {fidAVI, &kAviUnit},        {fidZMV, &kZmvUnit},       {fidJPEG, &kJpegUnit},
    {fidPNG, &kPngUnit},    {fidTIFF, &kTiffUnit},      {fidMPEG, &kMpegUnit},     {fidWAV, &kWavUnit},
    {fidSGI, &kSgiUnit},    {fidRAS, &kRasUnit},        {fidPNM, &kPnmUnit},       {fidBAY, &kBayUnit},
    {fidXPM, &kXpmUnit},    {fidMPA, &kMpegAudioUnit},  {fidOGA, &kOggAudioUnit},  {fidCINE, &kCineUnit},
    {fidAC3, &kMpegAudioUnit}, {fidMP4, &kMpeg4Unit},   {fidJP2, &kJp2Unit},       {fidMPEGX, &kMpegXUnit},
    {fidWMV, &kWmvUnit},    {fidWMA, &kWmaUnit},        {fidOGV, &kOggVideoUnit},
};

template <size_t N>
void CopyRows(const FFFormatRec (&from)[N], FFFormatRec (&to)[N]) {
  for (size_t i = 0; i < N; ++i) to[i] = from[i];
}

FFFormatRec g_loadWork[2][kLoadFormatCount];
FFFormatRec g_saveWork[2][kSaveFormatCount];

// Blanks the first row with the id in rows[0..count); returns its index or -1.
int BlankFirst(FFFormatRec* rows, int count, int32_t formatId) {
  for (int i = 0; i < count; ++i) {
    if (rows[i].FormatId == formatId) {
      rows[i] = FFFormatRec();
      return i;
    }
  }
  return -1;
}

}  // namespace

FFFormatRec FFLoadFormats[kLoadFormatCount] = {
    kLoadRows[0],  kLoadRows[1],  kLoadRows[2],  kLoadRows[3],  kLoadRows[4],
    kLoadRows[5],  kLoadRows[6],  kLoadRows[7],  kLoadRows[8],  kLoadRows[9],
    kLoadRows[10], kLoadRows[11], kLoadRows[12], kLoadRows[13], kLoadRows[14],
    kLoadRows[15], kLoadRows[16], kLoadRows[17], kLoadRows[18], kLoadRows[19],
    kLoadRows[20], kLoadRows[21], kLoadRows[22], kLoadRows[23], kLoadRows[24],
};
FFFormatRec FFSaveFormats[kSaveFormatCount] = {
    kSaveRows[0],  kSaveRows[1],  kSaveRows[2],  kSaveRows[3],  kSaveRows[4],  kSaveRows[5],
    kSaveRows[6],  kSaveRows[7],  kSaveRows[8],  kSaveRows[9],  kSaveRows[10], kSaveRows[11],
    kSaveRows[12], kSaveRows[13], kSaveRows[14], kSaveRows[15], kSaveRows[16], kSaveRows[17],
    kSaveRows[18], kSaveRows[19], kSaveRows[20], kSaveRows[21], kSaveRows[22],
};

void FFInitTables() {
  for (int i = 0; i < kLoadFormatCount; ++i) g_loadWork[0][i] = g_loadWork[1][i] = FFLoadFormats[i];
  for (int i = 0; i < kSaveFormatCount; ++i) g_saveWork[0][i] = g_saveWork[1][i] = FFSaveFormats[i];
}

void FFTablesUnitInit() {
  CountInitPart();
  FFInitTables();
}

void FFDisableFormat(int32_t formatId, int32_t which) {
  if ((which & ffRead) != 0) {
    const int i = BlankFirst(FFLoadFormats, kLoadFormatCount, formatId);
    if (i >= 0) g_loadWork[0][i] = FFFormatRec();
  }
  if ((which & ffWrite) != 0) {
    const int i = BlankFirst(FFSaveFormats, kSaveFormatCount, formatId);
    if (i >= 0) g_saveWork[0][i] = FFFormatRec();
  }
}

const FFUnit* FFUnitById(int32_t formatId) {
  for (const UnitRow& row : kUnitRows)
    if (row.FormatId == formatId) return row.Unit;
  return nullptr;
}

void FFBeforeWriteTable() { WmvCheckCanWrite(); }

bool FFGetFormatByIndex(FFFormatRec& rec, int32_t index, int32_t which) {
  if (which == ffWrite) {
    FFBeforeWriteTable();
    if (index < 0 || index >= kSaveFormatCount) return false;
    rec = FFSaveFormats[index];
    return true;
  }
  if (index < 0 || index >= kLoadFormatCount) return false;
  rec = FFLoadFormats[index];
  return true;
}

bool FFGetFormatById(FFFormatRec& rec, int32_t formatId, int32_t which) {
  const FFFormatRec* rows = FFLoadFormats;
  int count = kLoadFormatCount;
  if (which == ffWrite) {
    FFBeforeWriteTable();
    rows = FFSaveFormats;
    count = kSaveFormatCount;
  }
  // A blanked row has id 0; asking for id 0 must not find it.
  if (formatId < 1) return false;
  for (int i = 0; i < count; ++i) {
    if (rows[i].FormatId == formatId) {
      rec = rows[i];
      return true;
    }
  }
  return false;
}

const FFFormatRec& FFWorkingRow(int32_t which, int copy, int32_t index) {
  static const FFFormatRec kEmpty;
  if (copy < 0 || copy > 1) return kEmpty;
  if (which == ffWrite) return index >= 0 && index < kSaveFormatCount ? g_saveWork[copy][index] : kEmpty;
  return index >= 0 && index < kLoadFormatCount ? g_loadWork[copy][index] : kEmpty;
}

void FFRestoreTablesForTest() {
  CopyRows(kLoadRows, FFLoadFormats);
  CopyRows(kSaveRows, FFSaveFormats);
  FFInitTables();
}

}  // namespace tavelo

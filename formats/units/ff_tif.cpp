#include "formats/units/ff_tif.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "codecs/tiffcodec/tiffcodec.h"
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

namespace tavelo {

namespace {

constexpr int64_t kMaxPictureBytes = 0x7FFFFFFF;

// The libtiff calls the unit makes, bound by name from tiffcodec.dll.
struct TiffApi {
  decltype(&TIFFOpen) Open;
  decltype(&TIFFClose) Close;
  decltype(&TIFFGetField) GetField;
  decltype(&TIFFGetFieldDefaulted) GetFieldDefaulted;
  decltype(&TIFFScanlineSize) ScanlineSize;
  decltype(&TIFFReadScanline) ReadScanline;
  decltype(&TIFFReadRGBAImage) ReadRGBAImage;
  decltype(&TIFFReadTile) ReadTile;
  decltype(&TIFFTileSize) TileSize;
  decltype(&TIFFSetField) SetField;
  decltype(&TIFFDefaultStripSize) DefaultStripSize;
  decltype(&TIFFWriteScanline) WriteScanline;
  ExternErrorSet_fn ErrorSet;
  ExternWarningSet_fn WarningSet;
};

thread_local FFCodecBinding<TiffApi> t_binding;

bool BindTiff_(TiffApi& api) {
  bool all = true;
  all = FFBind_(clTiff, api.Open, "TIFFOpen") && all;
  all = FFBind_(clTiff, api.Close, "TIFFClose") && all;
  all = FFBind_(clTiff, api.GetField, "TIFFGetField") && all;
  all = FFBind_(clTiff, api.GetFieldDefaulted, "TIFFGetFieldDefaulted") && all;
  all = FFBind_(clTiff, api.ScanlineSize, "TIFFScanlineSize") && all;
  all = FFBind_(clTiff, api.ReadScanline, "TIFFReadScanline") && all;
  all = FFBind_(clTiff, api.ReadRGBAImage, "TIFFReadRGBAImage") && all;
  all = FFBind_(clTiff, api.ReadTile, "TIFFReadTile") && all;
  all = FFBind_(clTiff, api.TileSize, "TIFFTileSize") && all;
  all = FFBind_(clTiff, api.SetField, "TIFFSetField") && all;
  all = FFBind_(clTiff, api.DefaultStripSize, "TIFFDefaultStripSize") && all;
  all = FFBind_(clTiff, api.WriteScanline, "TIFFWriteScanline") && all;
  all = FFBind_(clTiff, api.ErrorSet, "ExternErrorSet") && all;
  all = FFBind_(clTiff, api.WarningSet, "ExternWarningSet") && all;
  return all;
}

// The bound calls, or "Invalid image format." when tiffcodec.dll is missing.
const TiffApi& Api_() {
  if (!t_binding.Refresh(clTiff, BindTiff_)) SetError(ecImage, 2, __LINE__);
  return t_binding.Calls;
}

// libtiff's messages: kept as warnings of class 1 (they are logged; the call's own result
// decides whether it failed). They run inside libtiff, so nothing may leave them by exception.
// Set by libtiff's error messages on this thread: a write that fails (a full disk) is reported
// only through them, also the one TIFFClose makes when it flushes the last strip and the directory.
thread_local bool t_errorReported = false;

void error_handler_(const char* text) {
  t_errorReported = true;
  try {
    SetWarningText(ecText, text != nullptr ? text : "", __LINE__);
  } catch (...) {
  }
}

void warning_handler_(const char* text) {
  try {
    SetWarningText(ecText, text != nullptr ? text : "", __LINE__);
  } catch (...) {
  }
}

const char* CompressionName_(uint16_t code) {
  switch (code) {
    case 1: return "Uncompressed";
    case 2: return "CCITT modified Huffman RLE";
    case 3: return "CCITT Group 3 fax encoding";
    case 4: return "CCITT Group 4 fax encoding";
    case 5: return "Variable-Length-Code LZW (Lempel-Ziv & Welch)";
    case 6: return "JPEG 6.0";
    case 7: return "JPEG DCT compression";
    case 32766: return "NeXT 2-bit RLE";
    case 32771: return "#1 w/ word alignment";
    case 32773: return "Macintosh RLE (PackBits)";
    case 32809: return "ThunderScan RLE";
    case 32895: return "IT8 CT w/padding";
    case 32896: return "IT8 Linework RLE";
    case 32897: return "IT8 Monochrome picture";
    case 32898: return "IT8 Binary line art";
    case 32908: return "Pixar companded 10bit LZW";
    case 32909: return "Pixar companded 11bit ZIP";
    case 32946: return "Deflate compression (modified LZ77)";
    case 32947: return "Kodak DCS encoding";
    case 34661: return "ISO JBIG";
    case 34676: return "SGI Log Luminance RLE";
    case 34677: return "SGI Log 24-bit packed";
    default: return "";
  }
}

// The depth a load delivers.
int32_t LoadBpp_(const TIFRec& rec) {
  if (rec.ByScanline) {
    if (rec.BitsPerSample == 1 || rec.SamplesPerPixel == 2) return 8;  // grey with alpha keeps the grey
    return rec.SamplesPerPixel * 8;
  }
  return rec.HasAlpha ? 32 : 24;
}

int32_t RoundRes_(float value) {
  if (!(value > 0) || value > 2147483647.0f) return 0;
  return static_cast<int32_t>(FpuRound(value));
}

// Colours stored multiplied by their alpha (B, G, R, A pixels) divided by it again, rounded: the
// picture holds colours as they are, like every other picture with alpha.
void Unpremultiply_(Qimg& img) {
  const int64_t pixels = static_cast<int64_t>(img.Width) * img.Height;
  for (int64_t i = 0; i < pixels; ++i) {
    uint8_t* p = img.Data + 4 * i;
    const uint32_t a = p[3];
    if (a == 0 || a == 255) continue;
    for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::min<uint32_t>(255, (p[c] * 255u + a / 2) / a));
  }
}

// 16-bit R, G, B colours stored multiplied by an associated alpha: the samples are read as they
// are (strips or tiles, one plane or four), the colours divided by alpha at their full precision
// and each sample reduced to 8 bits in the same step, rounded once (c x 255 / a; alpha a x 255 /
// 65535). Reduced first, a colour under an alpha of a few 8-bit steps would be mostly rounding
// error. Delivered as 32-bit B, G, R, A.
bool Assoc16_(const TIFRec& rec) {
  return rec.BitsPerSample == 16 && rec.SamplesPerPixel == 4 && rec.AssocAlpha &&
         rec.Photometric == PHOTOMETRIC_RGB && rec.Width > 0 && rec.Height > 0;
}

// The samples of a tiled file into all (R, G, B, A per pixel).
void ReadAssoc16Tiles_(const TiffApi& api, const TIFRec& rec, uint32_t tileWidth, std::vector<uint16_t>& all) {
  const bool planar = rec.PlanarConfig == PLANARCONFIG_SEPARATE;
  const size_t width = static_cast<size_t>(rec.Width);
  uint32_t tileLength = 0;
  api.GetField(rec.Handle, TIFFTAG_TILELENGTH, &tileLength);
  const tmsize_t tileBytes = api.TileSize(rec.Handle);
  const size_t perPixel = planar ? 1 : 4;
  if (tileBytes > kMaxPictureBytes) SetError(ecImage, 4, __LINE__);
  if (tileWidth == 0 || tileLength == 0 ||
      tileBytes < static_cast<tmsize_t>(uint64_t{tileWidth} * tileLength * perPixel * 2))
    SetError(ecImage, 3, __LINE__);
  std::vector<uint16_t> tile(static_cast<size_t>(tileBytes + 1) / 2);
  for (int s = 0; s < (planar ? 4 : 1); ++s)
    for (uint32_t ty = 0; ty < static_cast<uint32_t>(rec.Height); ty += tileLength)
      for (uint32_t tx = 0; tx < static_cast<uint32_t>(rec.Width); tx += tileWidth) {
        if (api.ReadTile(rec.Handle, tile.data(), tx, ty, 0, static_cast<uint16_t>(s)) < 0)
          SetError(ecImage, 3, __LINE__);
        // Tiles at the right and bottom edges reach past the picture: only its part is kept.
        const uint32_t w = std::min(tileWidth, static_cast<uint32_t>(rec.Width) - tx);
        const uint32_t h = std::min(tileLength, static_cast<uint32_t>(rec.Height) - ty);
        for (uint32_t y = 0; y < h; ++y)
          for (uint32_t x = 0; x < w; ++x) {
            const uint16_t* src = tile.data() + (static_cast<size_t>(y) * tileWidth + x) * perPixel;
            uint16_t* dst = all.data() + ((ty + y) * width + tx + x) * 4;
            if (planar) {
              dst[s] = *src;
            } else {
              for (int c = 0; c < 4; ++c) dst[c] = src[c];
            }
          }
      }
}

// The samples of a file in strips into all (R, G, B, A per pixel).
void ReadAssoc16Lines_(const TiffApi& api, const TIFRec& rec, std::vector<uint16_t>& all) {
  const bool planar = rec.PlanarConfig == PLANARCONFIG_SEPARATE;
  const size_t width = static_cast<size_t>(rec.Width);
  std::vector<uint16_t> line(static_cast<size_t>(rec.ScanlineSize + 1) / 2);
  if (line.size() < width * (planar ? 1 : 4)) SetError(ecImage, 3, __LINE__);
  for (int s = 0; s < (planar ? 4 : 1); ++s)
    for (int32_t row = 0; row < rec.Height; ++row) {
      if (api.ReadScanline(rec.Handle, line.data(), static_cast<uint32_t>(row), static_cast<uint16_t>(s)) < 0)
        SetError(ecImage, 3, __LINE__);
      uint16_t* dst = all.data() + static_cast<size_t>(row) * width * 4;
      if (planar) {
        for (size_t x = 0; x < width; ++x) dst[x * 4 + static_cast<size_t>(s)] = line[x];
      } else {
        std::copy(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(width * 4), dst);
      }
    }
}

void ReadAssoc16_(const TiffApi& api, const TIFRec& rec, Qimg& img) {
  const int64_t pixels = static_cast<int64_t>(rec.Width) * rec.Height;
  if (pixels * 4 > kMaxPictureBytes) SetError(ecImage, 4, __LINE__);
  std::vector<uint16_t> all(static_cast<size_t>(pixels) * 4);  // R, G, B, A per pixel
  uint32_t tileWidth = 0;
  if (api.GetField(rec.Handle, TIFFTAG_TILEWIDTH, &tileWidth) != 0)
    ReadAssoc16Tiles_(api, rec, tileWidth, all);
  else
    ReadAssoc16Lines_(api, rec, all);
  _imgalloc_(img, rec.Width, rec.Height, 32, __LINE__, "FF_TIF.TIFLoad.img");
  for (int64_t i = 0; i < pixels; ++i) {
    const uint16_t* p = all.data() + 4 * i;
    uint8_t* out = img.Data + 4 * i;
    const uint64_t a = p[3];
    // Rounded halves up: (2 x c x 255 + d) div 2d is c x 255 / d rounded.
    const auto scaled = [](uint64_t c, uint64_t d) {
      return static_cast<uint8_t>(std::min<uint64_t>(255, (2 * c * 255 + d) / (2 * d)));
    };
    const uint64_t d = a == 0 ? 65535 : a;  // no alpha: nothing to divide (colours should be 0)
    out[0] = scaled(p[2], d);
    out[1] = scaled(p[1], d);
    out[2] = scaled(p[0], d);
    out[3] = scaled(a, 65535);
  }
}

// libtiff's RGBA reader: the whole picture as 32-bit R, G, B, A words, bottom-up; delivered
// top-down in B, G, R order, 24 bits unless the file has an alpha sample.
void ReadRGBA_(const TiffApi& api, const TIFRec& rec, Qimg& img) {
  _imgalloc_(img, rec.Width, rec.Height, 32, __LINE__, "FF_TIF.TIFLoad.img");
  // The reader multiplies colours by an unassociated alpha; the picture keeps them as stored.
  // Declared associated (in this handle only), the samples come through unchanged.
  uint16_t extraCount = 0;
  uint16_t* extra = nullptr;
  if (api.GetField(rec.Handle, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) != 0 && extra != nullptr &&
      extraCount > 0 && extraCount <= 8) {
    uint16_t kinds[8];
    bool unassociated = false;
    for (uint16_t i = 0; i < extraCount; ++i) {
      kinds[i] = extra[i];
      if (kinds[i] == EXTRASAMPLE_UNASSALPHA) {
        kinds[i] = EXTRASAMPLE_ASSOCALPHA;
        unassociated = true;
      }
    }
    if (unassociated) api.SetField(rec.Handle, TIFFTAG_EXTRASAMPLES, extraCount, kinds);
  }
  if (api.ReadRGBAImage(rec.Handle, static_cast<uint32_t>(rec.Width), static_cast<uint32_t>(rec.Height),
                        reinterpret_cast<uint32_t*>(img.Data), 0) == 0)
    SetError(ecImage, 3, __LINE__);
  ImgFlipV(img, img);
  if (!rec.HasAlpha) {
    const int64_t pixels = static_cast<int64_t>(img.Width) * img.Height;
    for (int64_t i = 0; i < pixels; ++i) {
      img.Data[3 * i] = img.Data[4 * i];
      img.Data[3 * i + 1] = img.Data[4 * i + 1];
      img.Data[3 * i + 2] = img.Data[4 * i + 2];
    }
    ImgSetDims(img, rec.Width, rec.Height, 24);
  }
  ImgSwapRB(img, img);
  // The reader hands associated alpha's colours through as stored. At 8 bits they stay so (the
  // program's own files label unmultiplied colours associated). 16-bit RGBA is read by
  // ReadAssoc16_; other 16-bit layouts with it (more extra samples) are divided here, at 8 bits.
  if (rec.HasAlpha && rec.AssocAlpha && rec.BitsPerSample == 16) Unpremultiply_(img);
}

// 16-bit samples of 1, 2 or 4 per pixel, stretched over 0..255 by the smallest and largest of
// all of them (a picture of one value keeps its high byte).
void Stretch16_(const uint16_t* src, int64_t count, uint8_t* dst) {
  uint16_t lo = 65535, hi = 0;
  for (int64_t i = 0; i < count; ++i) {
    if (src[i] < lo) lo = src[i];
    if (src[i] > hi) hi = src[i];
  }
  if (hi == lo) {
    for (int64_t i = 0; i < count; ++i) dst[i] = static_cast<uint8_t>(src[i] >> 8);
    return;
  }
  const double scale = (static_cast<double>(hi) - lo) / 255.0;
  for (int64_t i = 0; i < count; ++i) {
    // Rounding to nearest, halves to even: the program's floating-point state.
    const double v = std::nearbyint((static_cast<double>(src[i]) - lo) / scale);
    dst[i] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
  }
}

void SetPalette_(const TiffApi& api, const TIFRec& rec, Qimg& img) {
  img.Palette.fill(0);
  switch (rec.Photometric) {
    case PHOTOMETRIC_MINISWHITE:
      if (rec.BitsPerSample == 1) {
        for (int c = 0; c < 3; ++c) img.Palette[c] = 255;  // entry 0 white, entry 1 black
      } else {
        PalSetGrayInv(img.Palette);
      }
      break;
    case PHOTOMETRIC_MINISBLACK:
      if (rec.BitsPerSample == 1) {
        for (int c = 3; c < 6; ++c) img.Palette[c] = 255;  // entry 0 black, entry 1 white
      } else {
        PalSetGray(img.Palette);
      }
      break;
    case PHOTOMETRIC_PALETTE: {
      uint16_t* red = nullptr;
      uint16_t* green = nullptr;
      uint16_t* blue = nullptr;
      if (api.GetField(rec.Handle, TIFFTAG_COLORMAP, &red, &green, &blue) == 0 || red == nullptr ||
          green == nullptr || blue == nullptr)
        break;
      // libtiff holds 2^BitsPerSample entries.
      const int32_t n = rec.BitsPerSample <= 8 ? (1 << rec.BitsPerSample) : 256;
      const bool wide = checkpal_(n, red, green, blue) == 16;
      for (int32_t i = 0; i < n && i < 256; ++i) {
        img.Palette[3 * i] = static_cast<uint8_t>(wide ? blue[i] >> 8 : blue[i] & 255);
        img.Palette[3 * i + 1] = static_cast<uint8_t>(wide ? green[i] >> 8 : green[i] & 255);
        img.Palette[3 * i + 2] = static_cast<uint8_t>(wide ? red[i] >> 8 : red[i] & 255);
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace

int32_t checkpal_(int32_t count, const uint16_t* red, const uint16_t* green, const uint16_t* blue) {
  for (int32_t i = 0; i < count; ++i)
    if (red[i] >= 256 || green[i] >= 256 || blue[i] >= 256) return 16;
  return 8;
}

void TIFClose_(TIFRec& rec) {
  // No binding here: this runs while failures unwind, and must raise nothing.
  if (rec.Handle != nullptr && t_binding.All) t_binding.Calls.Close(rec.Handle);
  rec = TIFRec();
}

void TIFOpen_(TIFRec& rec, const std::string& fileName) {
  TraceScope trace("FF_TIF.TIFOpen_");
  const TiffApi& api = Api_();
  TIFClose_(rec);
  api.ErrorSet(&error_handler_);
  api.WarningSet(&warning_handler_);
  rec.Handle = api.Open(fileName.c_str(), "r");
  if (rec.Handle == nullptr) SetError(ecImage, 8, __LINE__);
  uint32_t width = 0, height = 0;
  api.GetField(rec.Handle, TIFFTAG_IMAGEWIDTH, &width);
  api.GetField(rec.Handle, TIFFTAG_IMAGELENGTH, &height);
  if (width > 0x7FFFFFFF || height > 0x7FFFFFFF) SetError(ecImage, 4, __LINE__);
  rec.Width = static_cast<int32_t>(width);
  rec.Height = static_cast<int32_t>(height);
  api.GetFieldDefaulted(rec.Handle, TIFFTAG_COMPRESSION, &rec.Compression);
  api.GetFieldDefaulted(rec.Handle, TIFFTAG_PHOTOMETRIC, &rec.Photometric);
  api.GetFieldDefaulted(rec.Handle, TIFFTAG_BITSPERSAMPLE, &rec.BitsPerSample);
  api.GetFieldDefaulted(rec.Handle, TIFFTAG_SAMPLESPERPIXEL, &rec.SamplesPerPixel);
  api.GetFieldDefaulted(rec.Handle, TIFFTAG_RESOLUTIONUNIT, &rec.ResolutionUnit);
  api.GetFieldDefaulted(rec.Handle, TIFFTAG_XRESOLUTION, &rec.XResolution);
  api.GetFieldDefaulted(rec.Handle, TIFFTAG_YRESOLUTION, &rec.YResolution);
  api.GetFieldDefaulted(rec.Handle, TIFFTAG_PLANARCONFIG, &rec.PlanarConfig);
  uint16_t extraCount = 0;
  uint16_t* extra = nullptr;
  api.GetFieldDefaulted(rec.Handle, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
  for (uint16_t i = 0; extra != nullptr && i < extraCount; ++i)
    if (extra[i] == EXTRASAMPLE_ASSOCALPHA || extra[i] == EXTRASAMPLE_UNASSALPHA) {
      rec.HasAlpha = true;
      rec.AssocAlpha = extra[i] == EXTRASAMPLE_ASSOCALPHA;
    }
  if (rec.ResolutionUnit == RESUNIT_CENTIMETER) {
    rec.XResolution *= 2.54f;
    rec.YResolution *= 2.54f;
  }
  const tmsize_t scanline = api.ScanlineSize(rec.Handle);
  rec.ScanlineSize = scanline > 0 && scanline <= 0x7FFFFFFF ? static_cast<int32_t>(scanline) : 0;

  const uint16_t bits = rec.BitsPerSample, spp = rec.SamplesPerPixel, c = rec.Compression;
  const bool byLine8or16 = spp >= 1 && spp <= 4 && (bits == 8 || bits == 16) &&
                           (c == 1 || c == 5 || c == 32773 || c == 32946 || c == 8 || c == 7);
  const bool byLine1 = bits == 1 && spp == 1 && (c == 1 || c == 2 || c == 3 || c == 4);
  // Line by line only where a row is what the reader makes of it: one plane of grey, palette or
  // RGB samples, a palette of at most 8 bits, and rows exactly as long as the picture needs.
  const int64_t rowBytes = bits == 1 ? (static_cast<int64_t>(rec.Width) + 7) / 8
                                     : static_cast<int64_t>(rec.Width) * spp * (bits / 8);
  // Tiles have no scan lines: the RGBA reader renders them (16-bit samples too).
  uint32_t tileWidth = 0;
  const bool tiled = api.GetField(rec.Handle, TIFFTAG_TILEWIDTH, &tileWidth) != 0;
  rec.ByScanline = (byLine8or16 || byLine1) && !tiled && rec.PlanarConfig == PLANARCONFIG_CONTIG && rec.Photometric <= 3 &&
                   !(rec.Photometric == PHOTOMETRIC_PALETTE && (bits != 8 && bits != 1)) &&
                   !(rec.Photometric == PHOTOMETRIC_PALETTE && spp != 1) && rec.Width > 0 && rec.Height > 0 &&
                   rec.ScanlineSize == rowBytes;
  const bool rgbaBits = bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16;
  const bool rgbaKind = rec.Photometric <= 3 || rec.Photometric == PHOTOMETRIC_SEPARATED ||
                        rec.Photometric == PHOTOMETRIC_YCBCR || rec.Photometric == PHOTOMETRIC_CIELAB;
  rec.ByRGBA = !rec.ByScanline && rgbaBits && rgbaKind && spp >= 1 && rec.Width > 0 && rec.Height > 0;
}

void TIFCreate_(TIFRec& rec, const std::string& fileName) {
  TraceScope trace("FF_TIF.TIFCreate_");
  const TiffApi& api = Api_();
  TIFClose_(rec);
  api.ErrorSet(&error_handler_);
  api.WarningSet(&warning_handler_);
  t_errorReported = false;
  rec.Handle = api.Open(fileName.c_str(), "w");
  if (rec.Handle == nullptr) SetError(ecImage, 11, __LINE__);
}

void TIFLoad(const std::string& fileName, Qimg& img) {
  TraceScope trace("FF_TIF.TIFLoad");
  TIFRec rec;
  uint8_t* temp = nullptr;
  BeginMonitor();
  try {
    const TiffApi& api = Api_();
    TIFOpen_(rec, fileName);
    if (!rec.ByScanline && !rec.ByRGBA) SetError(ecImage, 1, __LINE__);
    const bool assoc16 = Assoc16_(rec);
    bool viaRGBA = !rec.ByScanline && !assoc16;
    const int32_t spp = rec.SamplesPerPixel;
    if (assoc16) {
      ReadAssoc16_(api, rec, img);
    } else if (rec.ByScanline) {
      const int64_t bytes = static_cast<int64_t>(rec.Width) * rec.Height * spp;
      if (bytes > kMaxPictureBytes) SetError(ecImage, 4, __LINE__);
      _imgalloc_(img, rec.Width, rec.Height, spp * 8, __LINE__, "FF_TIF.TIFLoad.img");
      SetPalette_(api, rec, img);
      const size_t scanline = static_cast<size_t>(rec.ScanlineSize);
      if (rec.BitsPerSample != 16) {
        for (int32_t row = 0; row < rec.Height; ++row) {
          if (api.ReadScanline(rec.Handle, img.Data + static_cast<size_t>(row) * scanline, static_cast<uint32_t>(row),
                               0) < 0) {
            // A layout the line reader cannot serve after all: the RGBA reader renders it.
            viaRGBA = true;
            break;
          }
        }
      } else if (spp == 3) {
        _memalloc_(temp, rec.ScanlineSize, __LINE__, "FF_TIF.TIFLoad.tempimg", mkFresh);
        const auto* samples = reinterpret_cast<const uint16_t*>(temp);
        const int64_t count = static_cast<int64_t>(rec.Width) * 3;
        for (int32_t row = 0; row < rec.Height; ++row) {
          if (api.ReadScanline(rec.Handle, temp, static_cast<uint32_t>(row), 0) < 0) SetError(ecImage, 3, __LINE__);
          uint8_t* out = img.Data + static_cast<size_t>(row) * static_cast<size_t>(count);
          for (int64_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(samples[i] >> 8);
        }
        MemFree(temp);
      } else {
        _memalloc_(temp, static_cast<int64_t>(rec.ScanlineSize) * rec.Height, __LINE__, "FF_TIF.TIFLoad.tempimg",
                   mkFresh);
        for (int32_t row = 0; row < rec.Height; ++row)
          if (api.ReadScanline(rec.Handle, temp + static_cast<size_t>(row) * scanline, static_cast<uint32_t>(row), 0) <
              0)
            SetError(ecImage, 3, __LINE__);
        Stretch16_(reinterpret_cast<const uint16_t*>(temp), static_cast<int64_t>(rec.Width) * rec.Height * spp,
                   img.Data);
        MemFree(temp);
      }
    }
    if (viaRGBA) {
      ReadRGBA_(api, rec, img);
    } else if (!assoc16) {
      int32_t samples = spp;
      const int64_t pixels = static_cast<int64_t>(rec.Width) * rec.Height;
      if (samples == 2) {
        // Grey and alpha: the grey stays.
        for (int64_t i = 0; i < pixels; ++i) img.Data[i] = img.Data[2 * i];
        samples = 1;
      }
      if (rec.BitsPerSample == 1) {
        // Each row's first width bits to one byte each, from the end of the picture backwards
        // (every byte is read before a later pixel's write can reach it).
        const size_t scanline = static_cast<size_t>(rec.ScanlineSize);
        for (int32_t y = rec.Height - 1; y >= 0; --y) {
          const uint8_t* src = img.Data + static_cast<size_t>(y) * scanline;
          uint8_t* dst = img.Data + static_cast<size_t>(y) * static_cast<size_t>(rec.Width);
          for (int32_t x = rec.Width - 1; x >= 0; --x) dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
        }
      }
      ImgSetDims(img, rec.Width, rec.Height, samples * 8);
      if (samples >= 3) ImgSwapRB(img, img);
    }
    img.XRes = RoundRes_(rec.XResolution);
    img.YRes = RoundRes_(rec.YResolution);
    TIFClose_(rec);
  } catch (...) {
    // The libtiff handle is not tracked: close it; the frame frees the picture and the buffers.
    TIFClose_(rec);
    CatchException();
  }
  EndMonitor();
}

namespace {

// The tags of a picture written by TIFSave: its size and resolution, the compression, the samples
// and how they are read.
void SetSaveTags_(const TiffApi& api, TIFF* t, const Qimg& p, const FFVideoOpts& opts, uint16_t compression,
                  bool bilevel, int64_t rowBytes) {
  api.SetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(p.Height));
  api.SetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(p.Width));
  api.SetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<int>(bilevel ? 1 : 8));
  api.SetField(t, TIFFTAG_COMPRESSION, static_cast<int>(compression));
  api.SetField(t, TIFFTAG_ORIENTATION, static_cast<int>(ORIENTATION_TOPLEFT));
  api.SetField(t, TIFFTAG_RESOLUTIONUNIT, static_cast<int>(RESUNIT_INCH));
  api.SetField(t, TIFFTAG_XRESOLUTION, static_cast<double>(opts.XRes));
  api.SetField(t, TIFFTAG_YRESOLUTION, static_cast<double>(opts.YRes));
  if (!bilevel) {
    api.SetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<int>(p.BytesPP));
    if (p.BytesPP == 4) {
      const uint16_t alpha[1] = {EXTRASAMPLE_ASSOCALPHA};
      api.SetField(t, TIFFTAG_EXTRASAMPLES, 1, alpha);
    }
  }
  api.SetField(t, TIFFTAG_ROWSPERSTRIP, api.DefaultStripSize(t, static_cast<uint32_t>(rowBytes)));
  api.SetField(t, TIFFTAG_PLANARCONFIG, static_cast<int>(PLANARCONFIG_CONTIG));
  if (bilevel) {
    api.SetField(t, TIFFTAG_PHOTOMETRIC, static_cast<int>(PHOTOMETRIC_MINISBLACK));
  } else if (p.BytesPP == 1) {
    api.SetField(t, TIFFTAG_PHOTOMETRIC, static_cast<int>(PHOTOMETRIC_PALETTE));
    uint16_t red[256], green[256], blue[256];
    for (int i = 0; i < 256; ++i) {
      blue[i] = static_cast<uint16_t>(p.Palette[3 * i] * 256);
      green[i] = static_cast<uint16_t>(p.Palette[3 * i + 1] * 256);
      red[i] = static_cast<uint16_t>(p.Palette[3 * i + 2] * 256);
    }
    api.SetField(t, TIFFTAG_COLORMAP, red, green, blue);
  } else {
    api.SetField(t, TIFFTAG_PHOTOMETRIC, static_cast<int>(PHOTOMETRIC_RGB));
  }
}

// The bytes of row as the file holds them: 1-bit rows made from grey24 and 24- and 32-bit rows
// with red and blue in file order in line, the palette's indices as they are.
uint8_t* RowToWrite_(const Qimg& p, const Qimg& grey24, uint8_t* line, int32_t row, bool bilevel, int64_t rowBytes) {
  if (bilevel) {
    // Light pixels (by luminance) are 1, filling each byte from its highest bit.
    std::memset(line, 0, static_cast<size_t>(rowBytes));
    const uint8_t* px = grey24.Data + static_cast<size_t>(row) * static_cast<size_t>(grey24.Width) * 3;
    for (int32_t x = 0; x < p.Width; ++x, px += 3) {
      const uint32_t lum = (px[2] * 9798u + px[1] * 19235u + px[0] * 3735u) / 32768u;
      if (lum > 127) line[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    }
    return line;
  }
  if (p.BytesPP >= 3) {
    const uint8_t* src = p.Data + static_cast<size_t>(row) * static_cast<size_t>(rowBytes);
    std::memcpy(line, src, static_cast<size_t>(rowBytes));
    for (int64_t i = 0; i < rowBytes; i += p.BytesPP) std::swap(line[i], line[i + 2]);
    return line;
  }
  return p.Data + static_cast<size_t>(row) * static_cast<size_t>(rowBytes);
}

}  // namespace

void TIFSave(const std::string& fileName, const Qimg& img, const FFVideoOpts& opts) {
  Framed("FF_TIF.TIFSave", [&] {
    const TiffApi& api = Api_();
    FFSavePrep prep;
    FFInit(fidTIFF, prep, img, 1);
    const Qimg& p = *prep.Picture;
    uint16_t compression = static_cast<uint16_t>(opts.Codec);
    switch (opts.Codec) {
      case 1:
      case 5:
      case 32773:
      case 32946:
      case 7:
      case 2:
      case 3:
      case 4: break;
      default: compression = 1; break;
    }
    const bool bilevel = compression == 2 || compression == 3 || compression == 4;
    // Rows are handed over as they are: the picture must be one of the depths written.
    if (!bilevel && p.BytesPP != 1 && p.BytesPP != 3 && p.BytesPP != 4) SetError(ecImage, 1, __LINE__);
    const int64_t rowBytes = bilevel ? (static_cast<int64_t>(p.Width) + 7) / 8 : static_cast<int64_t>(p.Width) * p.BytesPP;

    // The 1-bit rows, or the line buffer for red and blue in file order.
    Qimg grey24;
    uint8_t* line = nullptr;
    if (bilevel) {
      ImgCopy(p, grey24);
      if (grey24.Bpp != 24) ImgConvBpp(grey24, grey24, 24);
      _memalloc_(line, rowBytes, __LINE__, "FF_TIF.TIFSave.tempdata", mkFresh);
    } else if (p.BytesPP >= 3) {
      _memalloc_(line, rowBytes, __LINE__, "FF_TIF.TIFSave.tempLine", mkFresh);
    }

    FFSafeSave_(fileName, [&](const std::string& temp) {
      TIFRec rec;
      try {
        TIFCreate_(rec, temp);
        TIFF* t = rec.Handle;
        SetSaveTags_(api, t, p, opts, compression, bilevel, rowBytes);
        for (int32_t row = 0; row < p.Height; ++row) {
          uint8_t* data = RowToWrite_(p, grey24, line, row, bilevel, rowBytes);
          if (api.WriteScanline(t, data, static_cast<uint32_t>(row), 0) < 0) SetError(ecImage, 5, __LINE__);
        }
        TIFClose_(rec);
        // The file is complete only when nothing failed, the close's own writes included.
        if (t_errorReported) SetError(ecImage, 5, __LINE__);
      } catch (...) {
        TIFClose_(rec);
        throw;
      }
    });
    MemFree(line);
    if (bilevel) ImgFree(grey24);
    FFFree(prep);
  });
}

void TIFInfo(const std::string& fileName, FFInfoRec& info) {
  TraceScope trace("FF_TIF.TIFInfo");
  TIFRec rec;
  BeginMonitor();
  try {
    TIFOpen_(rec, fileName);
    FFVideoPart& v = info.Video;
    info.FormatId = fidTIFF;
    v.Width = rec.Width;
    v.Height = rec.Height;
    v.OrigBpp = rec.BitsPerSample * rec.SamplesPerPixel;
    v.Bpp = LoadBpp_(rec);
    v.BytesPP = (v.Bpp + 7) / 8;
    v.XRes = RoundRes_(rec.XResolution);
    v.YRes = RoundRes_(rec.YResolution);
    v.Frames = 1;
    v.CodecId = rec.Compression;
    v.CodecName = CompressionName_(rec.Compression);
    v.HasVideo = rec.Width > 0 ? -1 : 0;
    v.VideoSupported = rec.ByScanline || rec.ByRGBA ? -1 : 0;
    info.FileSize = FSizeByName(fileName);
    TIFClose_(rec);
  } catch (...) {
    TIFClose_(rec);
    CatchException();
  }
  EndMonitor();
}

void TIFDllLoad() { FFLoadCodecLib(clTiff); }
void TIFDllFree() { FFFreeCodecLib(clTiff); }

// ---- The dispatcher's entries ----

const FFUnit kTiffUnit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { TIFInfo(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { TIFLoad(name, img); },
    .Save = [](const std::string& name, const Qimg& img, FFVideoOpts& opts) { TIFSave(name, img, opts); },
    .SaveDefaults = [](FFVideoOpts& opts) { opts.Codec = 5; },
    .CodecName = [](const FFVideoOpts& opts, std::string& out) {
      switch (opts.Codec) {
        case 1: out = "Uncompressed, full frames"; break;
        case 2: out = "CCITT modified Huffman RLE"; break;
        case 3: out = "CCITT Group 3 fax encoding"; break;
        case 4: out = "CCITT Group 4 fax encoding"; break;
        case 5: out = "Variable-Length-Code LZW"; break;
        case 7: out = "JPEG DCT compression"; break;
        case 32773: out = "PackBits (Macintosh RLE)"; break;
        case 32946: out = "Deflate compression (ZIP)"; break;
        default: break;
      }
    },
};

}  // namespace tavelo

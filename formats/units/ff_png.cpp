#include "formats/units/ff_png.h"

#include <png.h>

#include <cstring>
#include <new>

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

// The libpng calls the unit makes, bound by name from pngcodec.dll.
struct PngApi {
  decltype(&png_build_grayscale_palette) build_grayscale_palette;
  decltype(&png_create_info_struct) create_info_struct;
  decltype(&png_create_read_struct) create_read_struct;
  decltype(&png_create_write_struct) create_write_struct;
  decltype(&png_destroy_read_struct) destroy_read_struct;
  decltype(&png_destroy_write_struct) destroy_write_struct;
  decltype(&png_get_IHDR) get_IHDR;
  decltype(&png_get_PLTE) get_PLTE;
  decltype(&png_get_channels) get_channels;
  decltype(&png_sig_cmp) sig_cmp;
  decltype(&png_set_read_fn) set_read_fn;
  decltype(&png_read_info) read_info;
  decltype(&png_set_strip_16) set_strip_16;
  decltype(&png_set_packing) set_packing;
  decltype(&png_set_bgr) set_bgr;
  decltype(&png_read_update_info) read_update_info;
  decltype(&png_get_rowbytes) get_rowbytes;
  decltype(&png_read_image) read_image;
  decltype(&png_read_end) read_end;
  decltype(&png_set_compression_level) set_compression_level;
  decltype(&png_set_write_fn) set_write_fn;
  decltype(&png_set_IHDR) set_IHDR;
  decltype(&png_set_PLTE) set_PLTE;
  decltype(&png_write_info) write_info;
  decltype(&png_write_image) write_image;
  decltype(&png_write_end) write_end;
  decltype(&png_get_pHYs) get_pHYs;
  decltype(&png_set_pHYs) set_pHYs;
  decltype(&png_get_io_ptr) get_io_ptr;
};

thread_local FFCodecBinding<PngApi> t_binding;
// What the callbacks use: they must not raise, so they never bind.
thread_local decltype(&png_get_io_ptr) t_getIoPtr = nullptr;

bool BindPng_(PngApi& api) {
  bool all = true;
#define TAVELO_BIND(field) all = FFBind_(clPng, api.field, "png_" #field) && all
  TAVELO_BIND(build_grayscale_palette);
  TAVELO_BIND(create_info_struct);
  TAVELO_BIND(create_read_struct);
  TAVELO_BIND(create_write_struct);
  TAVELO_BIND(destroy_read_struct);
  TAVELO_BIND(destroy_write_struct);
  TAVELO_BIND(get_IHDR);
  TAVELO_BIND(get_PLTE);
  TAVELO_BIND(get_channels);
  TAVELO_BIND(sig_cmp);
  TAVELO_BIND(set_read_fn);
  TAVELO_BIND(read_info);
  TAVELO_BIND(set_strip_16);
  TAVELO_BIND(set_packing);
  TAVELO_BIND(set_bgr);
  TAVELO_BIND(read_update_info);
  TAVELO_BIND(get_rowbytes);
  TAVELO_BIND(read_image);
  TAVELO_BIND(read_end);
  TAVELO_BIND(set_compression_level);
  TAVELO_BIND(set_write_fn);
  TAVELO_BIND(set_IHDR);
  TAVELO_BIND(set_PLTE);
  TAVELO_BIND(write_info);
  TAVELO_BIND(write_image);
  TAVELO_BIND(write_end);
  TAVELO_BIND(get_pHYs);
  TAVELO_BIND(set_pHYs);
  TAVELO_BIND(get_io_ptr);
#undef TAVELO_BIND
  return all;
}

// The bound calls, or "Invalid image format." when pngcodec.dll is missing (its format is then
// withdrawn, but a caller may still name format 9 directly).
const PngApi& Api_() {
  if (!t_binding.Refresh(clPng, BindPng_)) SetError(ecImage, 2, __LINE__);
  t_getIoPtr = t_binding.Calls.get_io_ptr;
  return t_binding.Calls;
}

// ---- Callbacks (C frames: nothing here may throw, and the jumps skip no destructor) ----

PNGState* StateOf_(png_structp png) {
  return t_getIoPtr != nullptr ? static_cast<PNGState*>(t_getIoPtr(png)) : nullptr;
}

[[noreturn]] void Fail_(PNGState* st, const char* message) {
  std::strncpy(st->Message, message != nullptr ? message : "", sizeof st->Message - 1);
  st->Message[sizeof st->Message - 1] = 0;
  std::longjmp(st->Jump, 1);
}

void error_handler_(png_structp png, png_const_charp message) {
  PNGState* st = StateOf_(png);
  // The io pointer is set right after the structure is made, before libpng can fail; without it
  // returning lets libpng end the process, the only way left that does not corrupt memory.
  if (st != nullptr) Fail_(st, message);
}

void warning_handler_(png_structp, png_const_charp message) {
  try {
    SetWarningText(ecText, message != nullptr ? message : "", __LINE__);
  } catch (...) {
  }
}

void read_data_(png_structp png, png_bytep data, size_t length) {
  PNGState* st = nullptr;
  bool ok = false;
  try {
    st = StateOf_(png);
    int64_t done = 0;
    ok = st != nullptr && FTryRead(st->Handle, data, static_cast<int64_t>(length), done);
  } catch (...) {
    ok = false;
  }
  if (!ok && st != nullptr) Fail_(st, "Read Error");
}

void write_data_(png_structp png, png_bytep data, size_t length) {
  PNGState* st = nullptr;
  bool ok = false;
  try {
    st = StateOf_(png);
    if (st != nullptr) {
      st->Out.insert(st->Out.end(), data, data + length);
      ok = true;
    }
  } catch (...) {
    ok = false;
  }
  if (!ok && st != nullptr) Fail_(st, "Write Error");
}

void flush_data_(png_structp) {}

// Runs libpng calls with the state's jump buffer armed; false when libpng failed (the message is
// in the state). The work must create no object with a destructor.
template <class Work>
bool Guarded_(PNGState& st, Work&& work) {
  if (setjmp(st.Jump) != 0) return false;
  work();
  return true;
}

// Raises libpng's failure as the class-1 error with its own text, now that its frames are gone.
void RaiseLibError_(const PNGState& st, int32_t line) { SetErrorText(ecText, st.Message, line); }

int32_t ChannelsOf_(int32_t colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
    default: return 1;  // grey, palette
  }
}

// The depth a load delivers: grey and palette pictures 8 bits, RGB 24, RGB or grey with alpha 32.
int32_t LoadBpp_(int32_t colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_RGB: return 24;
    case PNG_COLOR_TYPE_RGB_ALPHA:
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 32;
    default: return 8;
  }
}

// Gives the libpng structures back (they are not tracked); raises nothing, so it may run while a
// failure unwinds.
void PNGDestroy_(PNGState& st) {
  if (st.Png != nullptr && t_binding.All) {
    png_structp png = st.Png;
    png_infop info = st.Info;
    if (st.Writing)
      t_binding.Calls.destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    else
      t_binding.Calls.destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  }
  st.Png = nullptr;
  st.Info = nullptr;
}

void PNGZero_(PNGState& st) {
  st.Handle = 0;
  st.Writing = false;
  st.Width = st.Height = st.BitDepth = st.ColorType = st.Channels = 0;
  st.XRes = st.YRes = st.Interlace = st.Compression = st.Filter = 0;
  st.Message[0] = 0;
  st.Out.clear();
}

}  // namespace

void PNGClose_(PNGState& st) {
  PNGDestroy_(st);
  if (st.Handle != 0 && st.Handle != kBadHandle) FClose(st.Handle);
  PNGZero_(st);
}

void PNGOpen_(PNGState& st, const std::string& fileName) {
  TraceScope trace("FF_PNG.PNGOpen_");
  const PngApi& api = Api_();
  PNGDestroy_(st);
  PNGZero_(st);
  FOpen(st.Handle, fileName, fmRead);
  uint8_t signature[4] = {};
  int64_t got = 0;
  // A file too short for the signature is not a PNG either.
  if (!FTryRead(st.Handle, signature, 4, got) || api.sig_cmp(signature, 0, 4) != 0) SetError(ecImage, 2, __LINE__);
  FSeek(st.Handle, 0);
  // The version of the libpng we were built with: the same series as the one pngcodec carries.
  st.Png = api.create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, &error_handler_, &warning_handler_);
  if (st.Png == nullptr) SetError(ecImage, 7, __LINE__);
  // The io pointer first: from here on libpng's errors find their way back.
  api.set_read_fn(st.Png, &st, &read_data_);
  st.Info = api.create_info_struct(st.Png);
  if (st.Info == nullptr) SetError(ecImage, 7, __LINE__);
  png_uint_32 width = 0, height = 0, xRes = 0, yRes = 0;
  int depth = 0, colorType = 0, interlace = 0, compression = 0, filter = 0, unit = 0;
  png_uint_32 hasPhys = 0;
  if (!Guarded_(st, [&] {
        api.read_info(st.Png, st.Info);
        hasPhys = api.get_pHYs(st.Png, st.Info, &xRes, &yRes, &unit);
        api.get_IHDR(st.Png, st.Info, &width, &height, &depth, &colorType, &interlace, &compression, &filter);
      }))
    RaiseLibError_(st, __LINE__);
  // libpng keeps both sides within 2^31 - 1.
  st.Width = static_cast<int32_t>(width);
  st.Height = static_cast<int32_t>(height);
  st.BitDepth = depth;
  st.ColorType = colorType;
  st.Channels = ChannelsOf_(colorType);
  st.Interlace = interlace;
  st.Compression = compression;
  st.Filter = filter;
  if (hasPhys != 0 && unit == PNG_RESOLUTION_METER) {
    st.XRes = static_cast<int32_t>(FpuRound(static_cast<long double>(xRes) * 2.54L / 100));
    st.YRes = static_cast<int32_t>(FpuRound(static_cast<long double>(yRes) * 2.54L / 100));
  }
}

void PNGLoad(const std::string& fileName, Qimg& img) {
  TraceScope trace("FF_PNG.PNGLoad");
  PNGState st;
  uint8_t** rows = nullptr;
  BeginMonitor();
  try {
    const PngApi& api = Api_();
    PNGOpen_(st, fileName);
    png_uint_32 width = 0, height = 0;
    int depth = 0, colorType = 0;
    png_size_t rowBytes = 0;
    png_byte channels = 0;
    if (!Guarded_(st, [&] {
          api.set_strip_16(st.Png);
          api.set_packing(st.Png);
          api.set_bgr(st.Png);
          api.read_update_info(st.Png, st.Info);
          api.get_IHDR(st.Png, st.Info, &width, &height, &depth, &colorType, nullptr, nullptr, nullptr);
          channels = api.get_channels(st.Png, st.Info);
          rowBytes = api.get_rowbytes(st.Png, st.Info);
        }))
      RaiseLibError_(st, __LINE__);
    const int32_t bpp = LoadBpp_(st.ColorType);
    _imgalloc_(img, st.Width, st.Height, bpp, __LINE__, "FF_PNG.PNGLoad.img");
    img.Palette.fill(0);
    const size_t stride = static_cast<size_t>(img.Width) * static_cast<size_t>(img.BytesPP);
    // What libpng will write per row must fit the picture's row (grey with alpha arrives as two
    // bytes per pixel and is widened below).
    if (channels != (st.Channels == 2 ? 2 : img.BytesPP) || rowBytes > stride) SetError(ecImage, 4, __LINE__);
    _memalloc_(rows, static_cast<int64_t>(sizeof(uint8_t*)) * img.Height, __LINE__, "FF_PNG.PNGLoad.row_pointers",
               mkFresh);
    for (int32_t i = 0; i < img.Height; ++i) rows[i] = img.Data + static_cast<size_t>(i) * stride;
    if (!Guarded_(st, [&] {
          api.read_image(st.Png, rows);
          api.read_end(st.Png, st.Info);
        }))
      RaiseLibError_(st, __LINE__);
    MemFree(rows);

    if (st.ColorType == PNG_COLOR_TYPE_GRAY) {
      // The ramp of the file's own depth (a 1-bit picture is black and white, not two dark greys).
      png_color grey[256] = {};
      api.build_grayscale_palette(st.BitDepth < 8 ? st.BitDepth : 8, grey);
      for (int i = 0; i < (1 << (st.BitDepth < 8 ? st.BitDepth : 8)); ++i) {
        img.Palette[3 * i] = grey[i].blue;
        img.Palette[3 * i + 1] = grey[i].green;
        img.Palette[3 * i + 2] = grey[i].red;
      }
    } else if (st.ColorType == PNG_COLOR_TYPE_PALETTE) {
      png_colorp palette = nullptr;
      int count = 0;
      if (api.get_PLTE(st.Png, st.Info, &palette, &count) != 0 && palette != nullptr) {
        for (int i = 0; i < count && i < 256; ++i) {
          img.Palette[3 * i] = palette[i].blue;
          img.Palette[3 * i + 1] = palette[i].green;
          img.Palette[3 * i + 2] = palette[i].red;
        }
      }
    } else if (st.ColorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
      // Grey and alpha widened to B, G, R, A in place, from the end of each row.
      for (int32_t y = 0; y < img.Height; ++y) {
        uint8_t* row = img.Data + static_cast<size_t>(y) * stride;
        for (int32_t x = img.Width - 1; x >= 0; --x) {
          const uint8_t g = row[2 * x], a = row[2 * x + 1];
          row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = g;
          row[4 * x + 3] = a;
        }
      }
    }
    ImgSetDims(img, st.Width, st.Height, bpp);
    img.XRes = st.XRes;
    img.YRes = st.YRes;
    PNGClose_(st);
  } catch (...) {
    // The libpng structures are not tracked: give them back; the frame closes the file and frees
    // the picture and the row table.
    PNGDestroy_(st);
    CatchException();
  }
  EndMonitor();
}

void PNGSave(const std::string& fileName, const Qimg& img, const FFVideoOpts& opts) {
  TraceScope trace("FF_PNG.PNGSave");
  PNGState st;
  FFSavePrep prep;
  uint8_t** rows = nullptr;
  BeginMonitor();
  try {
    const PngApi& api = Api_();
    FFInit(fidPNG, prep, img, 1);
    const Qimg& p = *prep.Picture;
    int colorType = PNG_COLOR_TYPE_RGB;
    if (p.BytesPP == 1)
      colorType = PNG_COLOR_TYPE_PALETTE;
    else if (p.BytesPP == 4)
      colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    // Rows are handed over as they are: the picture must be one of the three depths.
    if (p.BytesPP != 1 && p.BytesPP != 3 && p.BytesPP != 4) SetError(ecImage, 1, __LINE__);
    const size_t stride = static_cast<size_t>(p.Width) * static_cast<size_t>(p.BytesPP);
    _memalloc_(rows, static_cast<int64_t>(sizeof(uint8_t*)) * p.Height, __LINE__, "FF_PNG.PNGSave.row_pointers",
               mkFresh);
    for (int32_t i = 0; i < p.Height; ++i) rows[i] = p.Data + static_cast<size_t>(i) * stride;

    st.Png = api.create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, &error_handler_, &warning_handler_);
    if (st.Png == nullptr) SetError(ecImage, 7, __LINE__);
    st.Writing = true;
    api.set_write_fn(st.Png, &st, &write_data_, &flush_data_);
    st.Info = api.create_info_struct(st.Png);
    if (st.Info == nullptr) SetError(ecImage, 7, __LINE__);
    png_color palette[256];
    for (int i = 0; i < 256; ++i) {
      palette[i].blue = p.Palette[3 * i];
      palette[i].green = p.Palette[3 * i + 1];
      palette[i].red = p.Palette[3 * i + 2];
    }
    const bool phys = opts.XRes > 0 && opts.YRes > 0;
    const auto xPerMetre = static_cast<png_uint_32>(phys ? FpuRound(static_cast<long double>(opts.XRes) * 100 / 2.54L) : 0);
    const auto yPerMetre = static_cast<png_uint_32>(phys ? FpuRound(static_cast<long double>(opts.YRes) * 100 / 2.54L) : 0);
    if (!Guarded_(st, [&] {
          api.set_compression_level(st.Png, opts.Codec);
          if (phys) api.set_pHYs(st.Png, st.Info, xPerMetre, yPerMetre, PNG_RESOLUTION_METER);
          api.set_IHDR(st.Png, st.Info, static_cast<png_uint_32>(p.Width), static_cast<png_uint_32>(p.Height), 8,
                       colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
          if (colorType == PNG_COLOR_TYPE_PALETTE) api.set_PLTE(st.Png, st.Info, palette, 256);
          api.write_info(st.Png, st.Info);
          api.set_bgr(st.Png);
          api.write_image(st.Png, rows);
          api.write_end(st.Png, st.Info);
        }))
      RaiseLibError_(st, __LINE__);
    MemFree(rows);
    FFSafeSave_(fileName, [&](const std::string& temp) {
      int32_t h = 0;
      FOpen(h, temp, fmCreate);
      FWrite(h, st.Out.data(), static_cast<int64_t>(st.Out.size()));
      FClose(h);
    });
    PNGClose_(st);
    FFFree(prep);
  } catch (...) {
    PNGDestroy_(st);
    CatchException();
  }
  EndMonitor();
}

void PNGInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("FF_PNG.PNGInfo", [&] {
    PNGState st;
    try {
      PNGOpen_(st, fileName);
    } catch (...) {
      PNGDestroy_(st);
      throw;
    }
    FFVideoPart& v = info.Video;
    info.FormatId = fidPNG;
    info.FileSize = static_cast<double>(FSize(st.Handle));
    v.Width = st.Width;
    v.Height = st.Height;
    v.OrigBpp = st.BitDepth * st.Channels;
    v.Bpp = LoadBpp_(st.ColorType);
    v.BytesPP = (v.Bpp + 7) / 8;
    v.XRes = st.XRes;
    v.YRes = st.YRes;
    v.Frames = 1;
    v.CodecName = "Deflate compression (modified LZ77)";
    v.HasVideo = v.VideoSupported = st.Width > 0 && st.Height > 0 ? -1 : 0;
    PNGClose_(st);
  });
}

void PNGDllLoad() { FFLoadCodecLib(clPng); }
void PNGDllFree() { FFFreeCodecLib(clPng); }

// ---- The dispatcher's entries ----

const FFUnit kPngUnit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { PNGInfo(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { PNGLoad(name, img); },
    .Save = [](const std::string& name, const Qimg& img, FFVideoOpts& opts) { PNGSave(name, img, opts); },
    .SaveDefaults = [](FFVideoOpts& opts) { opts.Codec = 7; },
    .CodecName = [](const FFVideoOpts& opts, std::string& out) {
      out = "PNG Compression Level: " + std::to_string(opts.Codec) + " of 9";
    },
};

}  // namespace tavelo

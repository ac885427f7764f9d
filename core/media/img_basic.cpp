// The picture record's life (allocation, copies, exchange) and the operation framework
// (descriptors, conversion contexts).
#include "core/media/img_basic.h"

#include <cstring>
#include <limits>
#include <utility>

#include "core/media/img_frame.h"
#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/memory.h"

namespace tavelo {


namespace {

constexpr int32_t kTrue = -1;

// Bytes of a width x height picture at bpp bits, or -1 when no valid buffer has that size: the
// dimensions come from file headers, so the product is formed in 64 bits and must stay below the
// 32-bit size limit even after the allocator's margin.
int64_t PictureBytes(int32_t width, int32_t height, int32_t bpp) {
  const int64_t bytesPP = (static_cast<int64_t>(bpp) + 7) / 8;
  if (width < 1 || height < 1 || bytesPP < 1) return -1;
  const int64_t pixels = static_cast<int64_t>(width) * height;
  if (pixels > std::numeric_limits<int32_t>::max()) return -1;
  const int64_t bytes = pixels * bytesPP;
  const int64_t rounded = MemRoundedSize(bytes);
  if (rounded < 1 || rounded > std::numeric_limits<int32_t>::max()) return -1;
  return bytes;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The record

void _imgalloc_(Qimg& img, int32_t width, int32_t height, int32_t bpp, int32_t line, const std::string& tag,
                bool zeroed) {
  Framed("ImgBasic._imgalloc_", [&] {
    const int64_t bytes = PictureBytes(width, height, bpp);
    if (bytes < 0) {
      SetError(ecMemory, 5, line);
      AbortMonitor();  // the error state may be locked: never go on with a bad size
      return;
    }
    // No routine knows the pixels of another depth: such a record is never made.
    if (!ImgDepthValid(bpp)) {
      SetError(ecImage, 1, line);
      AbortMonitor();
      return;
    }
    _memalloc_(img.Data, bytes, line, "(ImgAlloc):" + tag, mkResizable, zeroed);
    img.Size = static_cast<int32_t>(bytes);
    img.Width = width;
    img.Height = height;
    img.BytesPP = (bpp + 7) / 8;
    img.Bpp = bpp;
    img.XRes = 0;
    img.YRes = 0;
    img.DataExt = 0;
  });
}

void ImgAlloc(Qimg& img, int32_t width, int32_t height, int32_t bpp) { _imgalloc_(img, width, height, bpp, 0, ""); }

void ImgClear(Qimg& img) {
  img.Data = nullptr;
  img.Size = 0;
  img.Width = 0;
  img.Height = 0;
  img.BytesPP = 0;
  img.Bpp = 0;
  img.XRes = 0;
  img.YRes = 0;
  img.Palette.fill(0);
  img.DataExt = 0;
}

void ImgFree(Qimg& img) {
  Framed("ImgBasic.ImgFree", [&] {
    if (img.Data != nullptr) MemFree(img.Data);
    ImgClear(img);
  });
}

bool ImgAssigned(const Qimg& img) {
  return img.DataExt != 0 || (img.Data != nullptr && MemIsTracked(img.Data));
}

void ImgSetDims(Qimg& img, int32_t width, int32_t height, int32_t bpp) {
  img.Width = width;
  img.Height = height;
  img.BytesPP = (bpp + 7) / 8;
  img.Bpp = bpp;
  if (img.DataExt != 0) {
    const int64_t size = static_cast<int64_t>(width) * height * img.BytesPP;
    img.Size = size < 0 ? 0 : static_cast<int32_t>(size > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max() : size);
  }
}

void ImgCopyInfo(const Qimg& src, Qimg& dest) {
  if (&src == &dest) return;
  dest.Width = src.Width;
  dest.Height = src.Height;
  dest.BytesPP = src.BytesPP;
  dest.Bpp = src.Bpp;
  dest.XRes = src.XRes;
  dest.YRes = src.YRes;
}

void ImgCopyPalette(const Qimg& src, Qimg& dest) {
  Framed("ImgBasic.ImgCopyPalette", [&] {
    if (&src != &dest && src.Bpp == 8) dest.Palette = src.Palette;
  });
}

void ImgCopyData(const Qimg& src, Qimg& dest) {
  Framed("ImgBasic.ImgCopyData", [&] {
    if (&src == &dest) return;
    _imgalloc_(dest, src.Width, src.Height, src.Bpp, __LINE__, "ImgBasic.ImgCopyData.dest");
    if (!media::RequirePixels(src, __LINE__)) return;
    const int64_t bytes = static_cast<int64_t>(src.Width) * src.Height * src.BytesPP;
    std::memcpy(dest.Data, src.Data, static_cast<size_t>(bytes));
  });
}

void ImgCopy(const Qimg& src, Qimg& dest) {
  Framed("ImgBasic.ImgCopy", [&] {
    if (&src == &dest) return;
    ImgCopyData(src, dest);
    ImgCopyInfo(src, dest);
    ImgCopyPalette(src, dest);
  });
}

void ImgXchg(Qimg& a, Qimg& b) {
  Framed("ImgBasic.ImgXchg", [&] {
    if (&a == &b) return;
    MemXchg(a.Data, b.Data);
    // The table entries now hold each other's blocks; the records follow them field by field.
    std::swap(a.Data, b.Data);
    std::swap(a.Size, b.Size);
    std::swap(a.Width, b.Width);
    std::swap(a.Height, b.Height);
    std::swap(a.BytesPP, b.BytesPP);
    std::swap(a.Bpp, b.Bpp);
    std::swap(a.XRes, b.XRes);
    std::swap(a.YRes, b.YRes);
    std::swap(a.Palette, b.Palette);
    std::swap(a.DataExt, b.DataExt);
  });
}

// ---------------------------------------------------------------------------------------------
// Operation descriptors

int32_t ImgInfoBppIndex(int32_t bpp) {
  switch (bpp) {
    case 8: return 0;
    case 15: return 1;
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 5;
  }
}

void ImgInitInfo(QimgInfo& info) {
  Framed("ImgBasic.ImgInitInfo", [&] {
    info = QimgInfo{};
    for (auto& r : info.Ranges) r = {1, 30000};
    for (int i = 0; i < 6; ++i) info.WorkBpp[i] = 24;
    info.WorkBpp[4] = 32;
    info.InPlace = kTrue;
    info.PalOK = 0;
  });
}

void ImgInfoSetBpp(QimgInfo& info, int32_t srcBpp, int32_t workBpp) {
  static constexpr int32_t kIdentity[6] = {8, 15, 16, 24, 32, 24};
  if (srcBpp == 0) {
    for (int i = 0; i < 6; ++i) info.WorkBpp[i] = workBpp == 0 ? kIdentity[i] : workBpp;
  } else {
    info.WorkBpp[ImgInfoBppIndex(srcBpp)] = workBpp;
  }
}

void ImgInfoSetParam(QimgInfo& info, int32_t index, double min, double max, double def) {
  if (index < 0 || index >= kQimgMaxParams) return;
  info.Params[index] = {min, max, def};
  if (info.ParamCount < index + 1) info.ParamCount = index + 1;
  info.HasParams = kTrue;
}

void ImgInfoSetParams(QimgInfo& info, int32_t first, int32_t last, double min, double max, double def) {
  for (int32_t i = first; i <= last; ++i) ImgInfoSetParam(info, i, min, max, def);
}

void ImgInfoAllowPal8(QimgInfo& info) {
  info.PalOK = kTrue;
  info.WorkBpp[0] = 8;
}

void ImgInfo(QimgInfo& info, int32_t code) {
  Framed("ImgBasic.ImgInfo", [&] {
    ImgInitInfo(info);
    info.OpCode = code;
    auto identity = [&] { ImgInfoSetBpp(info, 0, 0); };
    auto pal = [&] { ImgInfoAllowPal8(info); };
    auto notInPlace = [&] { info.InPlace = 0; };
    switch (code) {
      case 1: case 3: case 5:
        pal();
        ImgInfoSetParams(info, 0, 2, -100, 100, 0);
        break;
      case 2: case 8: case 9: case 11: case 27: case 28: case 31: case 40:
        notInPlace();
        break;
      case 4:
        ImgInfoSetBpp(info, 8, 8);
        notInPlace();
        ImgInfoSetParam(info, 0, 1, 10, 1);
        break;
      case 7:
        notInPlace();
        ImgInfoSetParam(info, 0, 1, 254, 1);
        break;
      case 10: case 15: case 30: case 44:
        pal();
        break;
      case 12: case 13: case 17: case 18: case 41:
        identity();
        break;
      case 14:
        pal();
        ImgInfoSetParams(info, 0, 2, 0.01, 5, 1);
        break;
      case 16:
        pal();
        ImgInfoSetParam(info, 0, -180, 180, 0);
        break;
      case 19:
        pal();
        identity();
        break;
      case 20: case 21: case 22:
        ImgInfoSetParams(info, 0, 2, 1, 100, 1);
        break;
      case 23:
        notInPlace();
        ImgInfoSetParam(info, 0, 1, 7, 1);
        break;
      case 24:
        ImgInfoSetParams(info, 0, 1, 2, 64, 2);
        break;
      case 25:
        pal();
        ImgInfoSetParams(info, 0, 2, 1, 255, 1);
        break;
      case 26:
        pal();
        ImgInfoSetParam(info, 0, -100, 100, 0);
        break;
      case 29:
        pal();
        ImgInfoSetParams(info, 0, 2, 1, 255, 128);
        break;
      case 32:
        pal();
        ImgInfoSetParams(info, 0, 2, 0, 255, 255);
        break;
      case 33:
        notInPlace();
        info.DestKeepsBpp = kTrue;
        ImgInfoSetParam(info, 0, 1, 100, 50);
        break;
      case 34:
        info.DestToWork = kTrue;
        break;
      case 38:
        identity();
        notInPlace();
        info.DestToWork = kTrue;
        break;
      case 39: case 42:
        identity();
        notInPlace();
        break;
      case 43: case 45: case 46: case 47: case 49: case 51: case 52: case 53:
        identity();
        notInPlace();
        info.DestKeepsBpp = kTrue;
        break;
      case 48: case 50:
        notInPlace();
        info.DestKeepsBpp = kTrue;
        break;
      default:
        break;
    }
  });
}

// ---------------------------------------------------------------------------------------------
// Conversion contexts

namespace {

void ResetCtx(QimgCtx& ctx) {
  ctx.TempUsed = ctx.PalMode = ctx.Src8 = ctx.SwapBack = 0;
  ctx.SrcLine = ctx.DestLine = ctx.SrcTotal = ctx.DestTotal = 0;
  ctx.SrcCount = ctx.DestCount = ctx.SrcPixels = ctx.DestPixels = 0;
  ctx.SrcBytes = ctx.DestBytes = ctx.Width = ctx.Height = ctx.UnitBytes = 0;
  ctx.Src = ctx.Dest = nullptr;
  ImgClear(ctx.Work);
  ctx.SrcP = ctx.DestP = nullptr;
}

}  // namespace

void ImgInitEx(const QimgInfo& info, QimgCtx& ctx, Qimg* src, Qimg* dest, int32_t width, int32_t height) {
  Framed("ImgBasic.ImgInitEx", [&] {
    ResetCtx(ctx);
    // Every routine passes a destination; without one (or without a source) there is nothing
    // the operation could write to.
    if (src == nullptr || dest == nullptr) {
      SetError(ecImage, 6, 588);
      AbortMonitor();
      return;
    }

    if (!media::RequirePixels(*src, 588)) return;
    // A destination that already holds a picture is read too: it must be of a depth we know.
    if (dest->Data != nullptr && !ImgDepthValid(dest->Bpp)) {
      SetError(ecImage, 2, 588);
      AbortMonitor();
      return;
    }

    int32_t w = info.WorkBpp[ImgInfoBppIndex(src->Bpp)];
    if (info.DestKeepsBpp != 0) {
      if (dest->Bpp != w) {
        if (dest->Bpp > w)
          w = dest->Bpp;
        else
          ImgConvBpp(*dest, *dest, w);
      }
    } else if (info.DestToWork != 0 && dest->Bpp != w) {
      ImgConvBpp(*dest, *dest, w);
    }

    if (src->Bpp != w) {
      ImgConvBpp(*src, ctx.Work, w);
      ctx.TempUsed = kTrue;
      ctx.Src = &ctx.Work;
      ctx.Dest = dest;
    } else if (info.InPlace == 0 && src == dest) {
      _imgalloc_(ctx.Work, width, height, w, 614, "ImgBasic.ImgInitEx.temp_ih");
      ctx.TempUsed = kTrue;
      ctx.SwapBack = kTrue;
      ctx.Src = src;
      ctx.Dest = &ctx.Work;
    } else {
      ctx.Src = src;
      ctx.Dest = dest;
    }

    if (ctx.Src != ctx.Dest) {
      _imgalloc_(*ctx.Dest, width, height, w, 626, "ImgBasic.ImgInitEx.pdest^");
      ImgSetDims(*ctx.Dest, width, height, w);
    }

    Qimg& s = *ctx.Src;
    Qimg& d = *ctx.Dest;
    ctx.SrcLine = s.Width * s.BytesPP;
    ctx.SrcTotal = ctx.SrcLine * s.Height;
    ctx.DestLine = d.BytesPP * width;
    ctx.DestTotal = ctx.DestLine * height;
    ctx.SrcPixels = s.Width * s.Height;
    ctx.DestPixels = width * height;
    ctx.Width = width;
    ctx.Height = height;

    if (info.PalOK != 0 && s.Bpp == 8) {
      ctx.SrcCount = ctx.DestCount = 256;
      ctx.UnitBytes = 3;
      ctx.SrcP = s.Palette.data();
      ctx.DestP = d.Palette.data();
      ctx.SrcBytes = ctx.DestBytes = 768;
      ctx.PalMode = kTrue;
      ctx.Src8 = kTrue;
    } else {
      ctx.SrcCount = ctx.SrcPixels;
      ctx.DestCount = ctx.DestPixels;
      ctx.UnitBytes = s.BytesPP;
      ctx.SrcP = s.Data;
      ctx.DestP = d.Data;
      ctx.SrcBytes = ctx.SrcTotal;
      ctx.DestBytes = ctx.DestTotal;
      ctx.Src8 = s.Bpp == 8 ? kTrue : 0;
    }
  });
}

void ImgInit(const QimgInfo& info, QimgCtx& ctx, Qimg* src, Qimg* dest) {
  ImgInitEx(info, ctx, src, dest, src != nullptr ? src->Width : 0, src != nullptr ? src->Height : 0);
}

void ImgDone(QimgCtx& ctx) {
  Framed("ImgBasic.ImgDone", [&] {
    if (ctx.Src == nullptr || ctx.Dest == nullptr) return;
    if (ctx.PalMode != 0)
      ImgCopyData(*ctx.Src, *ctx.Dest);
    else if (ctx.Src8 != 0)
      ImgCopyPalette(*ctx.Src, *ctx.Dest);
    Qimg* dest = ctx.Dest;
    if (ctx.SwapBack != 0) {
      ImgXchg(*ctx.Src, ctx.Work);  // the result moves into the caller's record
      dest = ctx.Src;
    }
    if (ctx.TempUsed != 0) ImgFree(ctx.Work);
    dest->Width = ctx.Width;
    dest->Height = ctx.Height;
    ctx.Src = ctx.Dest = nullptr;
  });
}

}  // namespace tavelo

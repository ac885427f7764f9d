#include "core/media/pictor.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/media/color_utils.h"
#include "core/media/img_frame.h"
#include "core/media/impress.h"
#include "core/services/basic.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"

namespace tavelo {


namespace {

// Frees a record made by PicInputAlloc: its pixels, then the record's own block.
void FreeWorkRecord(Qimg*& work) {
  ImgFree(*work);
  MemFree(work);
  work = nullptr;
}

bool ByteExists(const Qimg& pic, int32_t byte) { return byte >= 0 && byte < pic.BytesPP; }

bool Usable(const Qimg& pic) { return ImgAssigned(pic) && !PicIsEmpty(pic) && pic.Data != nullptr; }

int32_t Clip32(int64_t v) { return static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Sizes and rectangles

void PicFitSize(int32_t w, int32_t h, int32_t boxW, int32_t boxH, bool always, bool& changed, int32_t& offX,
                int32_t& offY, int32_t& outW, int32_t& outH) {
  w = w < 1 ? 1 : w;
  h = h < 1 ? 1 : h;
  boxW = boxW < 1 ? 1 : boxW;
  boxH = boxH < 1 ? 1 : boxH;
  changed = false;
  if (!always && w <= boxW && h <= boxH) {
    outW = w;
    outH = h;
    offX = (boxW - w) / 2;
    offY = (boxH - h) / 2;
    return;
  }
  if (w == boxW && h == boxH) {
    outW = boxW;
    outH = boxH;
    offX = offY = 0;
    return;
  }
  const long double fw = static_cast<long double>(w), fh = static_cast<long double>(h);
  if (fw / boxW <= fh / boxH) {
    outH = boxH;
    outW = Clip32(FpuRound(static_cast<long double>(boxH) * fw / fh));
  } else {
    outW = boxW;
    outH = Clip32(FpuRound(static_cast<long double>(boxW) * fh / fw));
  }
  outW = outW < 1 ? 1 : outW;
  outH = outH < 1 ? 1 : outH;
  offX = static_cast<int32_t>(std::llabs(int64_t{boxW} - outW) / 2);
  offY = static_cast<int32_t>(std::llabs(int64_t{boxH} - outH) / 2);
  changed = outW != w || outH != h;
}

void PicClip(int32_t x, int32_t y, int32_t w, int32_t h, int32_t areaW, int32_t areaH, int32_t& dstX, int32_t& dstY,
             int32_t& visW, int32_t& visH, int32_t& srcX, int32_t& srcY) {
  auto axis = [](int64_t pos, int64_t size, int64_t area, int32_t& dst, int64_t& vis, int32_t& src) {
    if (pos < 0) {
      src = Clip32(-pos);
      dst = 0;
      vis = size + pos;
    } else {
      dst = Clip32(pos);
      src = 0;
      vis = size;
    }
    if (vis > area - dst) vis = area - dst;
  };
  int64_t vw = 0, vh = 0;
  axis(x, w, areaW, dstX, vw, srcX);
  axis(y, h, areaH, dstY, vh, srcY);
  if (vw <= 0 || vh <= 0) {
    visW = visH = 0;
    return;
  }
  visW = static_cast<int32_t>(vw);
  visH = static_cast<int32_t>(vh);
}

TSize PicRectSize(const TRect& r) {
  const int64_t w = int64_t{r.Right} - r.Left, h = int64_t{r.Bottom} - r.Top;
  return TSize{w < 0 ? 0 : Clip32(w), h < 0 ? 0 : Clip32(h)};
}

int32_t PicRectCompare(const TRect& a, const TRect& b) {
  const TSize sa = PicRectSize(a), sb = PicRectSize(b);
  if (sa.Width < sb.Width && sa.Height < sb.Height) return -1;
  if (sa.Width <= sb.Width && sa.Height <= sb.Height) return 0;
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Pixels

void PicFillPixels(Qimg& pic, int32_t firstPixel, int32_t count, uint32_t colour) {
  if (!Usable(pic)) return;
  const int64_t total = int64_t{pic.Width} * pic.Height;
  const int64_t first = firstPixel < 0 ? 0 : firstPixel > total ? total : firstPixel;
  int64_t n = count < 0 ? 0 : count;
  if (n > total - first) n = total - first;
  const uint32_t px = ColorToPixel(colour);
  uint8_t* d = pic.Data + first * pic.BytesPP;
  switch (pic.BytesPP) {
    case 1:
      std::memset(d, static_cast<int>(px & 0xFF), static_cast<size_t>(n));
      break;
    case 2:
      for (int64_t i = 0; i < n; ++i, d += 2) {
        d[0] = static_cast<uint8_t>(px);
        d[1] = static_cast<uint8_t>(px >> 8);
      }
      break;
    case 3:
      for (int64_t i = 0; i < n; ++i, d += 3) {
        d[0] = static_cast<uint8_t>(px);
        d[1] = static_cast<uint8_t>(px >> 8);
        d[2] = static_cast<uint8_t>(px >> 16);
      }
      break;
    case 4:
      for (int64_t i = 0; i < n; ++i, d += 4) std::memcpy(d, &px, 4);
      break;
    default:
      break;
  }
}

uint32_t PicGetPixel(const Qimg& pic, int32_t x, int32_t y) {
  if (!Usable(pic) || x < 0 || y < 0 || x >= pic.Width || y >= pic.Height) return kPicNoPixel;
  const uint8_t* p = pic.Data + (int64_t{y} * pic.Width + x) * pic.BytesPP;
  switch (pic.Bpp) {
    case 8: {
      const uint8_t* e = &pic.Palette[p[0] * 3];
      return e[2] | (e[1] << 8) | (e[0] << 16) | 0xFF000000u;
    }
    case 15:
      return Pix555ToColor(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    case 16:
      return Pix565ToColor(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    case 24:
      return p[2] | (p[1] << 8) | (p[0] << 16) | 0xFF000000u;
    case 32:
      return p[2] | (p[1] << 8) | (p[0] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    default:
      return kPicNoPixel;
  }
}

bool PicIsEmpty(const Qimg& pic) { return pic.Width == 0 || pic.Height == 0; }

bool PicSame(const Qimg& a, const Qimg& b) { return &a == &b || (a.Data != nullptr && a.Data == b.Data); }

// ---------------------------------------------------------------------------------------------
// Working destinations

void PicInputAlloc(int32_t mode, Qimg* src, Qimg* dest, Qimg*& srcOut, Qimg*& work, int32_t& temp) {
  temp = 0;
  srcOut = src;
  work = dest;
  if (mode == 1) {
    if (dest != nullptr && !PicSame(*src, *dest)) ImgCopy(*src, *dest);
    if (dest != nullptr) srcOut = dest;
    return;
  }
  if (mode != 2) return;
  if (dest == nullptr || PicSame(*src, *dest)) {
    work = nullptr;
    _memalloc_(work, static_cast<int64_t>(sizeof(Qimg)), __LINE__, "Pictor.PicInputAlloc.destP", mkFresh);
    new (work) Qimg;
    temp = 1;
  }
  if (work->Size != src->Size) _imgalloc_(*work, src->Width, src->Height, src->Bpp, __LINE__, "Pictor.PicInputAlloc.destP^");
}

void PicInputDone(int32_t temp, Qimg* src, Qimg* dest, Qimg*& work) {
  if (temp != 1 || work == nullptr) return;
  Qimg* target = dest != nullptr ? dest : src;
  ImgCopy(*work, *target);
  FreeWorkRecord(work);
}

// ---------------------------------------------------------------------------------------------
// Channels

void PicCopyChannel(const Qimg& src, Qimg& dst, int32_t srcByte, int32_t dstByte) {
  if (!Usable(src) || !Usable(dst) || src.Width != dst.Width || src.Height != dst.Height) return;
  if (!ByteExists(src, srcByte) || !ByteExists(dst, dstByte)) return;
  if (PicSame(src, dst) && srcByte == dstByte) return;
  const int64_t n = int64_t{src.Width} * src.Height;
  const uint8_t* s = src.Data + srcByte;
  uint8_t* d = dst.Data + dstByte;
  for (int64_t i = 0; i < n; ++i, s += src.BytesPP, d += dst.BytesPP) *d = *s;
}

void PicExtractChannel(Qimg& src, Qimg& dst, int32_t byte) {
  if (!Usable(src) || !ByteExists(src, byte)) return;
  Framed("Pictor.PicExtractChannel", [&] {
    Qimg *s = nullptr, *work = nullptr;
    int32_t temp = 0;
    PicInputAlloc(2, &src, &dst, s, work, temp);
    _imgalloc_(*work, s->Width, s->Height, 8, __LINE__, "Pictor.PicExtractChannel.dst");
    const int64_t n = int64_t{s->Width} * s->Height;
    const uint8_t* p = s->Data + byte;
    for (int64_t i = 0; i < n; ++i, p += s->BytesPP) work->Data[i] = *p;
    PalSetGray(work->Palette);
    PicInputDone(temp, &src, &dst, work);
  });
}

void PicScaleChannel(Qimg& pic, int32_t byte, int32_t percent) {
  if (!Usable(pic) || !ByteExists(pic, byte)) return;
  percent = IntClamp(percent, -100, 10000);
  if (percent == 0) return;
  const int64_t f = (int64_t{percent + 100} << 16) / 100;
  const int64_t n = int64_t{pic.Width} * pic.Height;
  uint8_t* p = pic.Data + byte;
  for (int64_t i = 0; i < n; ++i, p += pic.BytesPP) {
    const int64_t v = (*p * f) >> 16;
    *p = static_cast<uint8_t>(v > 255 ? 255 : v);
  }
}

void PicGammaChannel(Qimg& pic, int32_t byte, double gamma) {
  if (!Usable(pic) || !ByteExists(pic, byte) || !(gamma > 0)) return;
  ToneTable table;
  GammaCalc_(gamma, table);
  const int64_t n = int64_t{pic.Width} * pic.Height;
  uint8_t* p = pic.Data + byte;
  for (int64_t i = 0; i < n; ++i, p += pic.BytesPP) *p = table[*p];
}

void PicMakeTransparent(Qimg& src, Qimg& dest, uint32_t key, int32_t tolerance) {
  if (!Usable(src)) return;
  Framed("Pictor.PicMakeTransparent", [&] {
    ImgConvBpp(src, dest, 32);
    const int32_t kr = key & 0xFF, kg = (key >> 8) & 0xFF, kb = (key >> 16) & 0xFF;
    const int64_t n = int64_t{dest.Width} * dest.Height;
    uint8_t* p = dest.Data;
    for (int64_t i = 0; i < n; ++i, p += 4) {
      const bool near = std::abs(p[2] - kr) <= tolerance && std::abs(p[1] - kg) <= tolerance &&
                        std::abs(p[0] - kb) <= tolerance;
      p[3] = near ? 0 : 255;
    }
  });
}

// ---------------------------------------------------------------------------------------------
// Blur and shadows

void PicSoften(Qimg& src8, Qimg& dest, int32_t radius, int32_t border) {
  if (!Usable(src8) || src8.Bpp != 8 || PicSame(src8, dest)) return;
  Framed("Pictor.PicSoften", [&] {
    radius = IntClamp(radius, 0, 10);
    if (radius == 0) {
      ImgCopy(src8, dest);
      return;
    }
    const uint8_t fill = static_cast<uint8_t>(border);
    const int32_t w = src8.Width, h = src8.Height;
    const int32_t pw = w + 2 * (radius + 1), ph = h + 2 * (radius + 1);
    const int32_t dw = w + 2 * radius, dh = h + 2 * radius;
    Qimg big, out;
    _imgalloc_(big, pw, ph, 8, __LINE__, "Pictor.PicSoften.big");
    _imgalloc_(out, dw, dh, 8, __LINE__, "Pictor.PicSoften.out");
    std::memset(big.Data, fill, static_cast<size_t>(big.Size));
    std::memset(out.Data, fill, static_cast<size_t>(out.Size));
    for (int32_t y = 0; y < h; ++y)
      std::memcpy(big.Data + int64_t{y + radius + 1} * pw + radius + 1, src8.Data + int64_t{y} * w, static_cast<size_t>(w));
    for (int32_t k = radius - 1; k >= 0; --k) {
      for (int32_t y = k; y < dh - k; ++y) {
        const uint8_t* r0 = big.Data + int64_t{y} * pw;
        const uint8_t* r1 = r0 + pw;
        const uint8_t* r2 = r1 + pw;
        uint8_t* d = out.Data + int64_t{y} * dw;
        for (int32_t x = k; x < dw - k; ++x) {
          const int32_t sum = r0[x] + r0[x + 1] + r0[x + 2] + r1[x] + 2 * r1[x + 1] + r1[x + 2] + r2[x] + r2[x + 1] + r2[x + 2];
          d[x] = static_cast<uint8_t>(sum / 10);
        }
      }
      if (k > 0)
        for (int32_t y = 0; y < dh; ++y)
          std::memcpy(big.Data + int64_t{y + 1} * pw + 1, out.Data + int64_t{y} * dw, static_cast<size_t>(dw));
    }
    out.Palette = src8.Palette;
    ImgFree(big);
    ImgCopy(out, dest);
    ImgFree(out);
  });
}

void PicMakeShadow(Qimg& src, Qimg& shadow, uint32_t colour, int32_t blur, int32_t strength) {
  if (!Usable(src) || (src.Bpp != 8 && src.Bpp != 32)) return;
  Framed("Pictor.PicMakeShadow", [&] {
    Qimg cover, blurred;
    if (src.Bpp == 32)
      PicExtractChannel(src, cover, 3);
    else
      ImgCopy(src, cover);
    PicSoften(cover, blurred, blur, 0);
    ImgFree(cover);
    strength = IntClamp(strength, 0, 500);
    if (strength < 100)
      PicScaleChannel(blurred, 0, strength - 100);
    else if (strength > 100)
      PicGammaChannel(blurred, 0, strength / 100.0);
    _imgalloc_(shadow, blurred.Width, blurred.Height, 32, __LINE__, "Pictor.PicMakeShadow.shadow");
    PicFillPixels(shadow, 0, shadow.Width * shadow.Height, colour);
    PicCopyChannel(blurred, shadow, 0, 3);
    ImgFree(blurred);
  });
}

void PicMakeAlpha_(Qimg& src, Qimg& masked) {
  if (!Usable(src)) return;
  if (src.Bpp == 32) {
    ImgCopy(src, masked);
    return;
  }
  const uint32_t key = PicGetPixel(src, 0, src.Height - 1);
  PicMakeTransparent(src, masked, key, 5);
}

bool PicMakeButtonFaces(Qimg& src, Qimg& masked, Qimg& shadow, Qimg& a, Qimg& b, Qimg& disabled, uint32_t colour) {
  if (!Usable(src) || src.Width < 4 || src.Height < 4) return false;
  Framed("Pictor.PicMakeButtonFaces", [&] {
    PicMakeAlpha_(src, masked);
    PicMakeShadow(masked, shadow, colour, 3, 100);
    ImgCopy(masked, a);
    ImgCopy(masked, b);
    ImgCopy(masked, disabled);
    PicScaleChannel(disabled, 3, -80);
  });
  return true;
}

}  // namespace tavelo

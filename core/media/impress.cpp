// Picture adjustments: saturation, tone tables (brightness, contrast, gamma) and alpha blending.
#include "core/media/impress.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/media/img_frame.h"
#include "core/services/basic.h"
#include "core/services/monitor.h"

namespace tavelo {


namespace {

inline uint8_t Clamp255(int64_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// ln(i / 255) for i = 1..254, made once. The first gamma table may be built on any thread (the
// engine's video thread as well as the main thread): a function-local static is initialised
// exactly once even when two threads get here together.
struct LogTable {
  double ln[256];
  LogTable() {
    ln[0] = ln[255] = 0;
    for (int i = 1; i < 255; ++i) ln[i] = std::log(static_cast<double>(i) / 255.0);
  }
};

const LogTable& Logs() {
  static const LogTable table;
  return table;
}

}  // namespace

void IdentityCalc_(ToneTable& table) {
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i);
}

void BrightnessCalc_(double value, ToneTable& table) {
  Framed("Impress.BrightnessCalc_", [&] {
    if (value == 0) {
      IdentityCalc_(table);
      return;
    }
    const int64_t k = FpuTrunc(static_cast<long double>(value) * 255 / 100);
    for (int i = 0; i < 256; ++i) table[i] = Clamp255(i + k);
  });
}

void ContrastCalc_(double value, ToneTable& table) {
  Framed("Impress.ContrastCalc_", [&] {
    if (value == 0) {
      IdentityCalc_(table);
      return;
    }
    // Callers pass -100..100; anything wilder is held to a range the integer arithmetic can take.
    const int64_t c = FpuTrunc(FltClamp(std::fabs(value), 0, 1e6));
    const int64_t k = FpuTrunc(128.0L / (128.0L - static_cast<long double>(c) * 127 / 100));
    if (value > 0) {
      for (int64_t i = 0; i <= 127; ++i) table[i] = Clamp255(i - (std::llabs(i - 127) * c / 100 + k));
      for (int64_t i = 128; i <= 255; ++i) table[i] = Clamp255(c * (i - 128) / 100 + k + i);
    } else {
      for (int64_t i = 0; i <= 127; ++i) {
        const int64_t v = std::llabs(i - 127) * c / 100 + k + i;
        table[i] = Clamp255(v < 128 ? v : 128);
      }
      for (int64_t i = 128; i <= 255; ++i) {
        const int64_t v = i - (c * (i - 128) / 100 + k);
        table[i] = Clamp255(v > 128 ? v : 128);
      }
    }
  });
}

void GammaCalc_(double value, ToneTable& table) {
  Framed("Impress.GammaCalc_", [&] {
    const LogTable& logs = Logs();
    table[0] = 0;
    table[255] = 255;
    for (int i = 1; i < 255; ++i)
      table[i] = Clamp255(FpuRound(255.0L * std::exp(static_cast<long double>(logs.ln[i]) / value)));
  });
}

void AutoTune_(int32_t code, Qimg& src, Qimg& dest, double r, double g, double b, ToneCalc calc) {
  if ((r == 0 && g == 0 && b == 0) || (code == opGamma && r == 100 && g == 100 && b == 100)) {
    ImgCopy(src, dest);
    return;
  }
  QimgInfo info;
  ImgInfo(info, code);
  QimgCtx ctx;
  ImgInit(info, ctx, &src, &dest);
  const double values[3] = {r, g, b};
  ToneTable tables[3];
  for (int c = 0; c < 3; ++c) {
    const QimgParam& p = info.Params[c];
    calc(FltClamp(values[c], p.Min, p.Max), tables[c]);
  }
  const ToneTable& tr = tables[0];
  const ToneTable& tg = tables[1];
  const ToneTable& tb = tables[2];
  const uint8_t* s = ctx.SrcP;
  uint8_t* d = ctx.DestP;
  const int unit = ctx.UnitBytes;
  const bool copyFourth = unit == 4 && ctx.Src != ctx.Dest;
  for (int64_t i = 0; i < ctx.SrcCount; ++i, s += unit, d += unit) {
    d[2] = tr[s[2]];
    d[1] = tg[s[1]];
    d[0] = tb[s[0]];
    if (copyFourth) d[3] = s[3];
  }
  ImgDone(ctx);
}

void ImgBrightness(Qimg& src, Qimg& dest, int32_t r, int32_t g, int32_t b) {
  Framed("Impress.ImgBrightness", [&] { AutoTune_(opBrightness, src, dest, r, g, b, BrightnessCalc_); });
}

void ImgContrast(Qimg& src, Qimg& dest, int32_t r, int32_t g, int32_t b) {
  Framed("Impress.ImgContrast", [&] { AutoTune_(opContrast, src, dest, r, g, b, ContrastCalc_); });
}

void ImgGamma(Qimg& src, Qimg& dest, double r, double g, double b) {
  Framed("Impress.ImgGamma", [&] { AutoTune_(opGamma, src, dest, r, g, b, GammaCalc_); });
}

namespace {

// Saturation raised by t (t[i]: i scaled by the amount): the largest and smallest channel move
// apart by half their scaled range, and the middle one's distance from the smallest grows by its
// scaled value.
void Saturate_(const uint8_t* s, uint8_t* d, int64_t count, int unit, const int32_t* t) {
  for (int64_t i = 0; i < count; ++i, s += unit, d += unit) {
    const int32_t B = s[0], G = s[1], R = s[2];
    // Channel positions of max, mid and min; ties rank blue over green over red.
    int hi, mid, lo;
    if (B >= G) {
      if (B >= R) {
        hi = 0;
        if (G >= R) mid = 1, lo = 2;
        else mid = 2, lo = 1;
      } else {
        hi = 2, mid = 0, lo = 1;
      }
    } else if (B >= R) {
      hi = 1, mid = 0, lo = 2;
    } else if (G >= R) {
      hi = 1, mid = 2, lo = 0;
    } else {
      hi = 2, mid = 1, lo = 0;
    }
    const int32_t v[3] = {B, G, R};
    const int32_t vmax = v[hi], vmid = v[mid], vmin = v[lo];
    const int32_t half = t[vmax - vmin] / 2;
    const int32_t newMin = vmin - half < 0 ? 0 : vmin - half;
    const int32_t newMax = vmax + half > 255 ? 255 : vmax + half;
    int32_t spread = (vmid - vmin) + t[vmid - vmin];
    if (spread > 255) spread = 255;
    const int32_t newMid = newMin + spread > 255 ? 255 : newMin + spread;
    uint8_t out[3];
    out[hi] = static_cast<uint8_t>(newMax);
    out[mid] = static_cast<uint8_t>(newMid);
    out[lo] = static_cast<uint8_t>(newMin);
    d[0] = out[0];
    d[1] = out[1];
    d[2] = out[2];
  }
}

// Saturation lowered by t: every channel moves toward the pixel's mean by its scaled distance.
void Desaturate_(const uint8_t* s, uint8_t* d, int64_t count, int unit, const int32_t* t) {
  uint8_t div3[766];
  for (int i = 0; i < 766; ++i) div3[i] = static_cast<uint8_t>(i / 3);
  for (int64_t i = 0; i < count; ++i, s += unit, d += unit) {
    const int32_t m = div3[s[0] + s[1] + s[2]];
    for (int c = 0; c < 3; ++c) {
      const int32_t v = s[c];
      d[c] = static_cast<uint8_t>(v >= m ? v - t[v - m] : v + t[m - v]);
    }
  }
}

}  // namespace

void ImgSaturation(Qimg& src, Qimg& dest, int32_t amount) {
  Framed("Impress.ImgSaturation", [&] {
    if (amount == 0) {
      ImgCopy(src, dest);
      return;
    }
    QimgInfo info;
    ImgInfo(info, opSaturation);
    QimgCtx ctx;
    ImgInit(info, ctx, &src, &dest);
    if (ctx.PalMode == 0 && ctx.Src->Bpp == 32 && ctx.Src != ctx.Dest)
      std::memcpy(ctx.Dest->Data, ctx.Src->Data, static_cast<size_t>(ctx.SrcTotal));  // keeps the fourth byte
    const int32_t a = IntClamp(amount, static_cast<int32_t>(info.Params[0].Min), static_cast<int32_t>(info.Params[0].Max));
    const int32_t mag = a < 0 ? -a : a;
    int32_t t[256];
    for (int i = 0; i < 256; ++i) t[i] = mag * i / 100;

    if (a > 0)
      Saturate_(ctx.SrcP, ctx.DestP, ctx.SrcCount, ctx.UnitBytes, t);
    else
      Desaturate_(ctx.SrcP, ctx.DestP, ctx.SrcCount, ctx.UnitBytes, t);
    ImgDone(ctx);
  });
}

void ImgBlend(Qimg& overlay, Qimg& alpha, Qimg& background, Qimg& out, int32_t x, int32_t y) {
  Framed("Impress.ImgBlend", [&] {
    const bool colourOk = (background.Bpp == 24 || background.Bpp == 32) && (overlay.Bpp == 24 || overlay.Bpp == 32);
    const bool alphaOk = alpha.Bpp == 8 || alpha.Bpp == 24 || alpha.Bpp == 32;
    const bool present = media::HoldsPixels(overlay) && media::HoldsPixels(alpha) && media::HoldsPixels(background);
    if (!colourOk || !alphaOk || !present || overlay.Width != alpha.Width || overlay.Height != alpha.Height) {
      AbortMonitor();
      return;
    }

    // Writing straight into the overlay or the alpha picture would overwrite what is still to be
    // read: such a result is made aside and moved into place.
    const bool aside = &out == &overlay || &out == &alpha;
    Qimg temp;
    Qimg& target = aside ? temp : out;
    ImgCopy(background, target);

    int64_t ox = 0, oy = 0, dx = x, dy = y;
    if (dx < 0) {
      ox = -dx;
      dx = 0;
    }
    if (dy < 0) {
      oy = -dy;
      dy = 0;
    }
    int64_t w = overlay.Width - ox, h = overlay.Height - oy;
    if (w > target.Width - dx) w = target.Width - dx;
    if (h > target.Height - dy) h = target.Height - dy;
    if (w >= 1 && h >= 1) {
      const int tb = target.BytesPP, ob = overlay.BytesPP, ab = alpha.BytesPP;
      for (int64_t row = 0; row < h; ++row) {
        const uint8_t* op = overlay.Data + ((oy + row) * overlay.Width + ox) * ob;
        const uint8_t* ap = alpha.Data + ((oy + row) * alpha.Width + ox) * ab + (ab - 1);
        uint8_t* tp = target.Data + ((dy + row) * target.Width + dx) * tb;
        for (int64_t i = 0; i < w; ++i, op += ob, ap += ab, tp += tb) {
          const int32_t a = *ap;
          for (int c = 0; c < 3; ++c) tp[c] = static_cast<uint8_t>((tp[c] * (255 - a) + op[c] * a) / 255);
        }
      }
    }
    if (aside) {
      ImgXchg(out, temp);
      ImgFree(temp);
    }
  });
}

}  // namespace tavelo

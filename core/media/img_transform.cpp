// Geometry and placement: vertical flip, nearest-neighbour resize, red/blue exchange, placing one
// picture into another (plain or with a key colour).
#include <cstring>
#include <vector>

#include "core/media/img_basic.h"
#include "core/media/img_frame.h"
#include "core/services/errors.h"

namespace tavelo {


namespace {

// One source pixel in the resize's fixed point.
constexpr int64_t kResizeOne = 70000;

// The source column (or row) of every destination column for a resize from srcCount to
// destCount. The steps are 64-bit so large pictures cannot overflow them; in the 32-bit range the
// maps are exactly those of the original arithmetic. Entries the walk never reaches keep the last
// source index (the walk always reaches every entry; this only keeps the memory defined).
std::vector<int32_t> ColumnMap(int32_t srcCount, int32_t destCount) {
  std::vector<int32_t> map(static_cast<size_t>(destCount), srcCount - 1);
  const int64_t step = static_cast<int64_t>(srcCount) * kResizeOne / destCount;
  int64_t acc = 0, bound = 0;
  int32_t s = 0, j = 0;
  auto put = [&](int32_t v) { map[static_cast<size_t>(j++)] = v < srcCount ? v : srcCount - 1; };
  if (step > kResizeOne) {
    while (j < destCount) {
      put(s);
      ++s;
      acc += step;
      bound += kResizeOne;
      if (acc >= bound) {
        do {
          ++s;
          bound += kResizeOne;
        } while (bound < acc);
      }
    }
  } else {
    while (j < destCount) {
      put(s);
      ++s;
      bound += kResizeOne;
      for (;;) {
        acc += step;
        if (acc >= bound || j >= destCount) break;
        put(s - 1);
      }
    }
  }
  return map;
}

std::vector<int32_t> RowMap(int32_t srcCount, int32_t destCount) {
  std::vector<int32_t> map(static_cast<size_t>(destCount), srcCount - 1);
  const int64_t step = static_cast<int64_t>(srcCount) * kResizeOne / destCount;
  int64_t acc = 0, pos = 0;
  int32_t s = 0, j = 0;
  if (step > kResizeOne) {
    while (s < srcCount && j < destCount) {
      map[static_cast<size_t>(j++)] = s;
      acc += step;
      while (acc > pos) {
        ++s;
        pos += kResizeOne;
      }
    }
  } else {
    while (s < srcCount && j < destCount) {
      map[static_cast<size_t>(j++)] = s;
      pos += kResizeOne;
      acc += step;
      while (acc < pos && j < destCount) {
        map[static_cast<size_t>(j++)] = s;
        acc += step;
      }
      ++s;
    }
  }
  return map;
}

template <int N>
void ResizeRow(const uint8_t* s, uint8_t* d, const std::vector<int32_t>& map) {
  const int32_t* m = map.data();
  const size_t n = map.size();
  for (size_t j = 0; j < n; ++j, d += N) std::memcpy(d, s + static_cast<size_t>(m[j]) * N, N);
}

void ResizeRowAny(const uint8_t* s, uint8_t* d, const std::vector<int32_t>& map, int bytesPP) {
  switch (bytesPP) {
    case 1: ResizeRow<1>(s, d, map); break;
    case 2: ResizeRow<2>(s, d, map); break;
    case 3: ResizeRow<3>(s, d, map); break;
    case 4: ResizeRow<4>(s, d, map); break;
    default:
      for (size_t j = 0; j < map.size(); ++j, d += bytesPP) std::memcpy(d, s + static_cast<size_t>(map[j]) * bytesPP, bytesPP);
      break;
  }
}

}  // namespace

void ImgFlipV(Qimg& src, Qimg& dest) {
  Framed("ImgBasic.ImgFlipV", [&] {
    QimgInfo info;
    ImgInfo(info, opVFlip);
    QimgCtx ctx;
    ImgInit(info, ctx, &src, &dest);
    const size_t line = static_cast<size_t>(ctx.SrcLine);
    const int32_t h = ctx.Src->Height;
    uint8_t* s = ctx.Src->Data;
    uint8_t* d = ctx.Dest->Data;
    if (ctx.Src == ctx.Dest) {
      for (int32_t top = 0, bottom = h - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = s + line * top;
        uint8_t* b = s + line * bottom;
        for (size_t i = 0; i < line; ++i) std::swap(a[i], b[i]);
      }
    } else {
      for (int32_t i = 0; i < h; ++i) std::memcpy(d + line * (h - 1 - i), s + line * i, line);
    }
    ImgDone(ctx);
  });
}

void ImgResize(Qimg& src, Qimg& dest, int32_t width, int32_t height) {
  Framed("ImgBasic.ImgResize", [&] {
    // A target without pixels has no step to divide by.
    if (width < 1 || height < 1) {
      SetError(ecMemory, 5, __LINE__);
      AbortMonitor();
      return;
    }
    QimgInfo info;
    ImgInfo(info, opResize);
    QimgCtx ctx;
    ImgInitEx(info, ctx, &src, &dest, width, height);
    const Qimg& s = *ctx.Src;
    Qimg& d = *ctx.Dest;
    const std::vector<int32_t> cols = ColumnMap(s.Width, width);
    const std::vector<int32_t> rows = RowMap(s.Height, height);
    const size_t srcLine = static_cast<size_t>(ctx.SrcLine);
    const size_t destLine = static_cast<size_t>(ctx.DestLine);
    for (int32_t j = 0; j < height; ++j) {
      uint8_t* out = d.Data + destLine * j;
      if (j > 0 && rows[j] == rows[j - 1])
        std::memcpy(out, out - destLine, destLine);  // a repeated row is copied, not rebuilt
      else
        ResizeRowAny(s.Data + srcLine * rows[j], out, cols, d.BytesPP);
    }
    ImgDone(ctx);
  });
}

void ImgSwapRB(Qimg& src, Qimg& dest) {
  Framed("ImgBasic.ImgSwapRB", [&] {
    QimgInfo info;
    ImgInfo(info, opSwapRB);
    QimgCtx ctx;
    ImgInit(info, ctx, &src, &dest);
    const uint8_t* s = ctx.SrcP;
    uint8_t* d = ctx.DestP;
    const int unit = ctx.UnitBytes;
    const int64_t n = ctx.SrcCount;
    if (unit == 4) {
      for (int64_t i = 0; i < n; ++i, s += 4, d += 4) {
        const uint8_t b = s[0], g = s[1], r = s[2], a = s[3];
        d[0] = r;
        d[1] = g;
        d[2] = b;
        d[3] = a;
      }
    } else if (unit == 3) {
      for (int64_t i = 0; i < n; ++i, s += 3, d += 3) {
        const uint8_t b = s[0], g = s[1], r = s[2];
        d[0] = r;
        d[1] = g;
        d[2] = b;
      }
    }
    ImgDone(ctx);
  });
}

void AutoPut_(int32_t code, Qimg& src, Qimg& dest, int32_t srcX, int32_t srcY, int32_t width,
              int32_t height, int32_t x, int32_t y, uint32_t key) {
  Framed("ImgBasic.AutoPut_", [&] {
    // Nothing to do, or nothing to place into.
    if (x >= dest.Width || y >= dest.Height || &src == &dest || dest.Width < 1 || dest.Height < 1) {
      AbortMonitor();
      return;
    }
    QimgInfo info;
    ImgInfo(info, code);
    QimgCtx ctx;
    ImgInitEx(info, ctx, &src, &dest, dest.Width, dest.Height);
    ctx.Src8 = 0;  // the destination keeps its own palette
    const Qimg& s = *ctx.Src;
    Qimg& d = *ctx.Dest;

    // Clip in 64 bits: the offsets are the caller's and may be anything.
    int64_t sx = srcX, sy = srcY, w = width, h = height, dx = x, dy = y;
    if (dx < 0) {
      sx -= dx;
      w += dx;
      dx = 0;
    }
    if (dy < 0) {
      sy -= dy;
      h += dy;
      dy = 0;
    }
    if (sx < 0) {
      dx -= sx;
      w += sx;
      sx = 0;
    }
    if (sy < 0) {
      dy -= sy;
      h += sy;
      sy = 0;
    }
    // Limited to what the destination can take and, as well, to what the source holds.
    if (w > d.Width - dx) w = d.Width - dx;
    if (h > d.Height - dy) h = d.Height - dy;
    if (w > s.Width - sx) w = s.Width - sx;
    if (h > s.Height - sy) h = s.Height - sy;

    if (w >= 1 && h >= 1 && sx < s.Width && sy < s.Height) {
      const int bpp = d.BytesPP;
      const size_t srcLine = static_cast<size_t>(s.Width) * bpp;
      const size_t destLine = static_cast<size_t>(d.Width) * bpp;
      for (int64_t row = 0; row < h; ++row) {
        const uint8_t* sp = s.Data + srcLine * static_cast<size_t>(sy + row) + static_cast<size_t>(sx) * bpp;
        uint8_t* dp = d.Data + destLine * static_cast<size_t>(dy + row) + static_cast<size_t>(dx) * bpp;
        if (code == opInsert) {
          std::memcpy(dp, sp, static_cast<size_t>(w) * bpp);
        } else if (code == opSprite) {
          // The key is compared at the pixel's own size.
          const uint32_t mask = bpp >= 4 ? 0xFFFFFFFFu : (1u << (8 * bpp)) - 1;
          const uint32_t k = key & mask;
          for (int64_t i = 0; i < w; ++i, sp += bpp, dp += bpp) {
            uint32_t v = 0;
            std::memcpy(&v, sp, static_cast<size_t>(bpp < 4 ? bpp : 4));
            if ((v & mask) != k) std::memcpy(dp, sp, static_cast<size_t>(bpp));
          }
        }
      }
    }
    ImgDone(ctx);
  });
}

void ImgInsert(Qimg& src, Qimg& dest, int32_t x, int32_t y) {
  Framed("ImgBasic.ImgInsert", [&] { AutoPut_(opInsert, src, dest, 0, 0, src.Width, src.Height, x, y, 0); });
}

void ImgSprite(Qimg& src, Qimg& dest, int32_t x, int32_t y, uint32_t key) {
  Framed("ImgBasic.ImgSprite", [&] { AutoPut_(opSprite, src, dest, 0, 0, src.Width, src.Height, x, y, key); });
}

}  // namespace tavelo

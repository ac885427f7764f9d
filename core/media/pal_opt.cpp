// Colour reduction: histogram, box splitting, palettes and the three remaps.
#include "core/media/pal_opt.h"

#include <cstring>
#include <limits>

#include "core/media/img_frame.h"
#include "core/media/img_pixels.h"
#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/memory.h"

namespace tavelo {


namespace {

constexpr int32_t kNoMemEntry = 0x7FFFFFFF;
constexpr int32_t kWeight0 = 900;   // red
constexpr int32_t kWeight1 = 3481;  // green
constexpr int32_t kWeight2 = 121;   // blue

PalQuantWork* quantP = nullptr;
std::mutex palMutex;

inline int32_t CellIndex(int32_t r6, int32_t g6, int32_t b6) { return r6 + g6 * 64 + b6 * 4096; }
// The cell of 8-bit B, G, R bytes.
inline int32_t CellOf(const uint8_t* p) { return (p[2] >> 2) + (p[1] >> 2) * 64 + (p[0] >> 2) * 4096; }

inline void Bump(int32_t& cell, int64_t by) {
  const int64_t v = static_cast<int64_t>(cell) + by;
  cell = v > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(v);
}

// Every step runs between PalInit and PalDone; without a block there is nothing to work on.
PalQuantWork* Work() {
  if (quantP == nullptr) {
    SetError(ecImage, 6, __LINE__);
    AbortMonitor();
  }
  return quantP;
}

// ---- Counting ----

void Count8(PalQuantWork& q, const Qimg& src) {
  Framed("PalOpt.Count8", [&] {
    int64_t hist[256] = {};
    const int64_t n = static_cast<int64_t>(src.Width) * src.Height;
    for (int64_t i = 0; i < n; ++i) ++hist[src.Data[i]];
    for (int i = 0; i < 256; ++i) {
      if (hist[i] > 0) Bump(q.Cells[CellOf(src.Palette.data() + 3 * i)], hist[i]);
    }
  });
}

void CountBytes(PalQuantWork& q, const uint8_t* p, int64_t n, int step) {
  for (int64_t i = 0; i < n; ++i, p += step) {
    int32_t& c = q.Cells[CellOf(p)];
    if (c != std::numeric_limits<int32_t>::max()) ++c;
  }
}

void CountWords(PalQuantWork& q, const uint8_t* p, int64_t n, bool is565) {
  for (int64_t i = 0; i < n; ++i) {
    const uint32_t v = p[2 * i] | (p[2 * i + 1] << 8);
    // The cell of the expanded colour: (r5 shl 3, g5 shl 3 or g6 shl 2, b5 shl 3) shr 2.
    const int32_t b6 = (v & 0x1F) << 1;
    const int32_t g6 = is565 ? (v >> 5) & 0x3F : ((v >> 5) & 0x1F) << 1;
    const int32_t r6 = is565 ? ((v >> 11) & 0x1F) << 1 : ((v >> 10) & 0x1F) << 1;
    int32_t& c = q.Cells[CellIndex(r6, g6, b6)];
    if (c != std::numeric_limits<int32_t>::max()) ++c;
  }
}

// ---- Boxes ----

struct Mean3 {
  int32_t c[3];
};

// The weighted mean colour of a box: 6-bit means rounded to nearest, or through the correction
// table to 8-bit channel values.
Mean3 CalcBoxColor(const PalQuantWork& q, const PalBox& box, bool useCorrection) {
  Mean3 m{{0, 0, 0}};
  Framed("PalOpt.CalcBoxColor", [&] {
    double w = 0, s0 = 0, s1 = 0, s2 = 0;
    for (int32_t z = box.Min2; z <= box.Max2; ++z)
      for (int32_t y = box.Min1; y <= box.Max1; ++y) {
        const int32_t* row = q.Cells + CellIndex(0, y, z);
        for (int32_t x = box.Min0; x <= box.Max0; ++x) {
          const int32_t v = row[x];
          if (v < 0) continue;
          const double c = static_cast<double>(v) + 1.0;
          w += c;
          s0 += x * c;
          s1 += y * c;
          s2 += z * c;
        }
      }
    if (w == 0) return;
    const double means[3] = {s0 / w, s1 / w, s2 / w};
    for (int a = 0; a < 3; ++a) {
      if (useCorrection) {
        int64_t i = FpuTrunc(4.0L * means[a]);
        if (i < 0) i = 0;
        if (i > 255) i = 255;
        m.c[a] = q.Correction[i];
      } else {
        m.c[a] = static_cast<int32_t>(FpuRound(means[a]));
      }
    }
  });
  return m;
}

void CalcBoxSplitValues(PalQuantWork& q, PalBox& box) {
  Framed("PalOpt.CalcBoxSplitValues", [&] {
    box.Ext0 = box.Max0 - box.Min0;
    box.Ext1 = box.Max1 - box.Min1;
    box.Ext2 = box.Max2 - box.Min2;
    box.Spread = box.Ext0 * box.Ext0 * kWeight0 + box.Ext1 * box.Ext1 * kWeight1 + box.Ext2 * box.Ext2 * kWeight2;
    const Mean3 m = CalcBoxColor(q, box, false);
    long double v0 = 0, v1 = 0, v2 = 0;
    for (int32_t z = box.Min2; z <= box.Max2; ++z)
      for (int32_t y = box.Min1; y <= box.Max1; ++y) {
        const int32_t* row = q.Cells + CellIndex(0, y, z);
        for (int32_t x = box.Min0; x <= box.Max0; ++x) {
          const int64_t w = row[x];
          if (w < 1) continue;  // cells used once weigh nothing
          const int64_t d0 = m.c[0] - x, d1 = m.c[1] - y, d2 = m.c[2] - z;
          // Each product is exact in 64 bits before it joins the sum.
          v0 += static_cast<long double>(w * d0 * d0 * kWeight0);
          v1 += static_cast<long double>(w * d1 * d1 * kWeight1);
          v2 += static_cast<long double>(w * d2 * d2 * kWeight2);
        }
      }
    box.Var0 = static_cast<double>(v0);
    box.Var1 = static_cast<double>(v1);
    box.Var2 = static_cast<double>(v2);
    box.Mid0 = (box.Min0 + box.Max0) / 2;
    box.Mid1 = (box.Min1 + box.Max1) / 2;
    box.Mid2 = (box.Min2 + box.Max2) / 2;
  });
}

int32_t& MinOf(PalBox& b, int a) { return a == 0 ? b.Min0 : a == 1 ? b.Min1 : b.Min2; }
int32_t& MaxOf(PalBox& b, int a) { return a == 0 ? b.Max0 : a == 1 ? b.Max1 : b.Max2; }
int32_t MidOf(const PalBox& b, int a) { return a == 0 ? b.Mid0 : a == 1 ? b.Mid1 : b.Mid2; }
int32_t ExtOf(const PalBox& b, int a) { return a == 0 ? b.Ext0 : a == 1 ? b.Ext1 : b.Ext2; }
double VarOf(const PalBox& b, int a) { return a == 0 ? b.Var0 : a == 1 ? b.Var1 : b.Var2; }

// Does plane p of axis a, within the box's ranges on the other two axes, hold a counted cell?
bool PlaneHasCell(const PalQuantWork& q, PalBox& box, int a, int32_t p) {
  int32_t lo[3] = {box.Min0, box.Min1, box.Min2};
  int32_t hi[3] = {box.Max0, box.Max1, box.Max2};
  lo[a] = hi[a] = p;
  for (int32_t z = lo[2]; z <= hi[2]; ++z)
    for (int32_t y = lo[1]; y <= hi[1]; ++y) {
      const int32_t* row = q.Cells + CellIndex(0, y, z);
      for (int32_t x = lo[0]; x <= hi[0]; ++x)
        if (row[x] != -1) return true;
    }
  return false;
}

void ShrinkBox(PalQuantWork& q, PalBox& box) {
  Framed("PalOpt.ShrinkBox", [&] {
    for (int a = 0; a < 3; ++a) {
      int32_t& lo = MinOf(box, a);
      int32_t& hi = MaxOf(box, a);
      int32_t first = lo;
      while (first <= hi && !PlaneHasCell(q, box, a, first)) ++first;
      if (first > hi) break;  // an empty box keeps its bounds
      int32_t last = hi;
      while (last > first && !PlaneHasCell(q, box, a, last)) --last;
      lo = first;
      hi = last;
    }
    CalcBoxSplitValues(q, box);
  });
}

void SplitBoxes(PalQuantWork& q) {
  Framed("PalOpt.SplitBoxes", [&] {
    q.BoxCount = 1;
    q.Boxes[0] = PalBox{};
    q.Boxes[0].Max0 = q.Boxes[0].Max1 = q.Boxes[0].Max2 = 63;
    ShrinkBox(q, q.Boxes[0]);
    while (q.BoxCount < q.Wanted) {
      // The box and axis of the largest weighted spread; ties keep the lower box and the lower
      // axis. An axis whose extent is 0 cannot be split: halving it would leave one part empty,
      // and an empty box would be chosen again and again while real colours stay merged.
      double best = -1.0;
      int32_t bestBox = -1, bestAxis = -1;
      for (int32_t i = 0; i < q.BoxCount; ++i) {
        const PalBox& b = q.Boxes[i];
        if (b.Spread <= 0) continue;
        for (int a = 0; a < 3; ++a) {
          if (ExtOf(b, a) > 0 && VarOf(b, a) > best) {
            best = VarOf(b, a);
            bestBox = i;
            bestAxis = a;
          }
        }
      }
      if (bestBox < 0) break;
      PalBox& chosen = q.Boxes[bestBox];
      PalBox& added = q.Boxes[q.BoxCount];
      added = chosen;
      const int32_t mid = MidOf(chosen, bestAxis);
      MaxOf(chosen, bestAxis) = mid;
      MinOf(added, bestAxis) = mid + 1;
      ++q.BoxCount;
      ShrinkBox(q, chosen);
      ShrinkBox(q, added);
    }
  });
}

void CreateCorrectionMap(PalQuantWork& q) {
  Framed("PalOpt.CreateCorrectionMap", [&] {
    for (int i = 0; i < 256; ++i) q.Correction[i] = i < 4 ? 0 : i;
  });
}

void CreateInverseBoxMap(PalQuantWork& q, const PalBox& box, int32_t index) {
  Framed("PalOpt.CreateInverseBoxMap", [&] {
    for (int32_t z = box.Min2; z <= box.Max2; ++z)
      for (int32_t y = box.Min1; y <= box.Max1; ++y) {
        int32_t* row = q.Cells + CellIndex(0, y, z);
        for (int32_t x = box.Min0; x <= box.Max0; ++x) row[x] = index;
      }
  });
}

void CreateHighPalette(PalQuantWork& q) {
  Framed("PalOpt.CreateHighPalette", [&] {
    for (int32_t i = 0; i < q.BoxCount; ++i) {
      const Mean3 m = CalcBoxColor(q, q.Boxes[i], true);
      q.Palette[3 * i] = static_cast<uint8_t>(m.c[2]);
      q.Palette[3 * i + 1] = static_cast<uint8_t>(m.c[1]);
      q.Palette[3 * i + 2] = static_cast<uint8_t>(m.c[0]);
      CreateInverseBoxMap(q, q.Boxes[i], i);
    }
  });
}

void CreateLowPalette(PalQuantWork& q) {
  Framed("PalOpt.CreateLowPalette", [&] {
    int32_t n = 0;
    for (int32_t i = 0; i < kPalCells && n < 256; ++i) {
      if (q.Cells[i] == -1) continue;
      const int32_t r6 = i & 63, g6 = (i >> 6) & 63, b6 = i >> 12;
      q.Palette[3 * n] = static_cast<uint8_t>(q.Correction[4 * b6]);
      q.Palette[3 * n + 1] = static_cast<uint8_t>(q.Correction[4 * g6]);
      q.Palette[3 * n + 2] = static_cast<uint8_t>(q.Correction[4 * r6]);
      q.Cells[i] = n++;
    }
  });
}

void SetDarkColorFirst(PalQuantWork& q) {
  Framed("PalOpt.SetDarkColorFirst", [&] {
    const int32_t k = FindNearest(0, 0, 0, q.Wanted, q.Palette);
    if (k == 0) return;
    for (int c = 0; c < 3; ++c) std::swap(q.Palette[c], q.Palette[3 * k + c]);
    for (int32_t& cell : q.Cells) {
      if (cell == 0)
        cell = k;
      else if (cell == k)
        cell = 0;
    }
  });
}

// ---- Remaps ----

// The palette index of a colour: its cell, or the nearest palette entry, cached in the cell.
inline uint8_t IndexOf(PalQuantWork& q, int32_t b, int32_t g, int32_t r) {
  int32_t& cell = q.Cells[CellIndex(r >> 2, g >> 2, b >> 2)];
  if (cell == -1) cell = FindNearest(r, g, b, q.Wanted, q.Palette);
  return static_cast<uint8_t>(cell);
}

void Remap24(PalQuantWork& q, const uint8_t* s, int step, int64_t n, uint8_t* d) {
  Framed("PalOpt.Remap24", [&] {
    for (int64_t i = 0; i < n; ++i, s += step) d[i] = static_cast<uint8_t>(q.Cells[CellOf(s)]);
  });
}

void Remap8(PalQuantWork& q, const Qimg& src, uint8_t* d) {
  Framed("PalOpt.Remap8", [&] {
    uint8_t map[256];
    for (int i = 0; i < 256; ++i) map[i] = static_cast<uint8_t>(q.Cells[CellOf(src.Palette.data() + 3 * i)]);
    const int64_t n = static_cast<int64_t>(src.Width) * src.Height;
    for (int64_t i = 0; i < n; ++i) d[i] = map[src.Data[i]];
  });
}

// The 128 x 128 threshold matrix: the 64 levels round(j x 255 / 63) in the dispersed order of an
// 8 x 8 Bayer matrix, tiled, so every level is used 256 times.
struct ThresholdMatrix {
  uint8_t m[128][128];
  ThresholdMatrix() {
    int32_t bayer[8][8];
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) {
        // Bit-reversed interleave of x xor y and y gives the classic recursive order.
        const int xy = x ^ y;
        bayer[y][x] = ((xy & 1) << 5) | ((y & 1) << 4) | ((xy & 2) << 2) | ((y & 2) << 1) | ((xy & 4) >> 1) | ((y & 4) >> 2);
      }
    for (int y = 0; y < 128; ++y)
      for (int x = 0; x < 128; ++x) {
        const int32_t j = bayer[y & 7][x & 7];
        m[y][x] = static_cast<uint8_t>((j * 255 * 2 + 63) / 126);
      }
  }
};

const ThresholdMatrix& Threshold() {
  static const ThresholdMatrix matrix;
  return matrix;
}

void RemapDitherLite24(PalQuantWork& q, const uint8_t* s, int step, int32_t width, int32_t height, uint8_t* d) {
  Framed("PalOpt.RemapDitherLite24", [&] {
    const ThresholdMatrix& tm = Threshold();
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* row = tm.m[y & 127];
      for (int32_t x = 0; x < width; ++x, s += step, ++d) {
        const int32_t k = IndexOf(q, s[0], s[1], s[2]);
        const int32_t t = 2 * row[x & 127];
        const uint8_t* e = q.Palette + 3 * k;
        int32_t v[3];
        for (int c = 0; c < 3; ++c) {
          const int32_t val = (s[c] - e[c]) * t / 255 + e[c];
          v[c] = val < 0 ? 0 : val > 255 ? 255 : val;
        }
        *d = IndexOf(q, v[0], v[1], v[2]);
      }
    }
  });
}

// An error table for the weight k/16, indexed by error + 256. Errors up to 19 pass k/16 of
// themselves, 19..37 half of that and 38..57 a quarter; larger errors pass nothing on.
void MakeErrTable_(int32_t k, int32_t* table) {
  Framed("PalOpt.MakeErrTable_", [&] {
    for (int i = 0; i < 513; ++i) table[i] = 0;
    for (int32_t i = 0; i <= 19; ++i) {
      const int32_t e = static_cast<int32_t>(FpuRound(static_cast<long double>(i) * k / 16.0L));
      table[256 + i] = e;
      table[256 - i] = -e;
      table[275 + i] = e / 2;
      table[237 - i] = -(e / 2);
      table[294 + i] = e / 4;
      table[218 - i] = -(e / 4);
    }
  });
}

// s is a private copy of the pixels: the errors are diffused into it.
void RemapDitherHeavy24(PalQuantWork& q, uint8_t* s, int step, int32_t width, int32_t height, uint8_t* d) {
  Framed("PalOpt.RemapDitherHeavy24", [&] {
    int32_t t7[513], t5[513], t3[513], t1[513];
    MakeErrTable_(7, t7);
    MakeErrTable_(5, t5);
    MakeErrTable_(3, t3);
    MakeErrTable_(1, t1);
    const int64_t line = static_cast<int64_t>(width) * step;
    auto add = [](uint8_t* p, const int32_t* table, const int32_t* err) {
      for (int c = 0; c < 3; ++c) {
        const int32_t v = p[c] + table[err[c] + 256];
        p[c] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    };
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* p = s + y * line;
      for (int32_t x = 0; x < width; ++x, p += step, ++d) {
        const int32_t k = IndexOf(q, p[0], p[1], p[2]);
        *d = static_cast<uint8_t>(k);
        if (x == 0 && (y & 1) == 0) continue;
        const uint8_t* e = q.Palette + 3 * k;
        const int32_t err[3] = {p[0] - e[0], p[1] - e[1], p[2] - e[2]};
        const bool lastCol = x == width - 1;
        if (!lastCol) add(p + step, t7, err);
        if (y < height - 1) {
          uint8_t* below = p + line;
          if (x > 0) add(below - step, t3, err);
          add(below, t5, err);
          if (!lastCol) add(below + step, t1, err);
        }
      }
    }
  });
}

}  // namespace

std::mutex& PalLock() { return palMutex; }

PalQuantWork* PalWork() { return quantP; }

void PalClearVars() {
  Framed("PalOpt.PalClearVars", [&] {
    PalQuantWork* work = Work();
    if (work == nullptr) return;
    PalQuantWork& q = *work;
    for (int32_t& c : q.Cells) c = -1;
    q.Distinct = 0;
  });
}

void PalInit() {
  Framed("PalOpt.PalInit", [&] {
    // A failed frame may have released the block behind our back: only a block still tracked
    // under our own variable is reused.
    if (quantP == nullptr || MemFind(quantP, 3) == kNoMemEntry) {
      quantP = nullptr;
      _memalloc_(quantP, static_cast<int64_t>(sizeof(PalQuantWork)), 120, "PalOpt.PalInit.quantP", mkResizable);
    }
    PalClearVars();
  });
}

void PalDone() {
  Framed("PalOpt.PalDone", [&] {
    if (quantP != nullptr) MemFree(quantP);
    quantP = nullptr;
  });
}

void PalCountColors(const Qimg& src) {
  Framed("PalOpt.PalCountColors", [&] {
    PalQuantWork* work = Work();
    if (work == nullptr) return;
    PalQuantWork& q = *work;
    if (!media::HoldsPixels(src)) return;  // nothing to count
    const int64_t n = static_cast<int64_t>(src.Width) * src.Height;
    switch (src.Bpp) {
      case 8: Count8(q, src); break;
      case 15: CountWords(q, src.Data, n, false); break;
      case 16: CountWords(q, src.Data, n, true); break;
      case 24: CountBytes(q, src.Data, n, 3); break;
      case 32: CountBytes(q, src.Data, n, 4); break;
      default: break;
    }
  });
}

void PalReduce(int32_t count) {
  Framed("PalOpt.PalReduce", [&] {
    PalQuantWork* work = Work();
    if (work == nullptr) return;
    PalQuantWork& q = *work;
    std::memset(q.Palette, 255, sizeof(q.Palette));
    q.Wanted = count < 2 ? 2 : count > 256 ? 256 : count;
    int32_t distinct = 0;
    for (int32_t c : q.Cells)
      if (c != -1) ++distinct;
    q.Distinct = distinct;
    CreateCorrectionMap(q);
    q.BoxCount = 0;
    if (q.Distinct > q.Wanted) {
      SplitBoxes(q);
      CreateHighPalette(q);
    } else {
      CreateLowPalette(q);
    }
    SetDarkColorFirst(q);
  });
}

void PalRemap(Qimg& src, Qimg& dest8, int32_t mode) {
  Framed("PalOpt.PalRemap", [&] {
    PalQuantWork* work = Work();
    if (work == nullptr) return;
    PalQuantWork& q = *work;
    if (!media::RequirePixels(src, __LINE__)) return;
    if (src.Width < 4 || src.Height < 4) mode = prmPlain;
    const bool same = &src == &dest8;
    Qimg outTemp;
    Qimg& out = same ? outTemp : dest8;
    _imgalloc_(out, src.Width, src.Height, 8, 1271, "PalOpt.PalRemap.img8bit");
    std::memcpy(out.Palette.data(), q.Palette, 768);
    const int64_t n = static_cast<int64_t>(src.Width) * src.Height;

    Qimg temp;  // 24-bit expansion of 15/16-bit pixels, or the private copy that heavy dithering changes
    const uint8_t* pixels = src.Data;
    int step = src.BytesPP;
    switch (src.Bpp) {
      case 8:
        Remap8(q, src, out.Data);
        break;
      case 15:
      case 16:
        _imgalloc_(temp, src.Width, src.Height, 24, src.Bpp == 15 ? 1277 : 1282, "PalOpt.PalRemap.temp24");
        (src.Bpp == 15 ? media::Run15To24 : media::Run16To24)(src.Data, temp.Data, n);
        pixels = temp.Data;
        step = 3;
        break;
      case 24:
      case 32:
        if (mode == prmHeavy) {
          _imgalloc_(temp, src.Width, src.Height, src.Bpp, __LINE__, "PalOpt.PalRemap.work");
          std::memcpy(temp.Data, src.Data, static_cast<size_t>(n) * step);
          pixels = temp.Data;
        }
        break;
      default:
        // A depth we cannot read: nothing was counted, every pixel takes entry 0.
        std::memset(out.Data, 0, static_cast<size_t>(n));
        pixels = nullptr;
        break;
    }
    if (src.Bpp != 8 && pixels != nullptr) {
      if (mode == prmLite)
        RemapDitherLite24(q, pixels, step, src.Width, src.Height, out.Data);
      else if (mode == prmHeavy)
        RemapDitherHeavy24(q, temp.Data, step, src.Width, src.Height, out.Data);
      else
        Remap24(q, pixels, step, n, out.Data);
    }
    if (temp.Data != nullptr) ImgFree(temp);
    if (same) {
      ImgXchg(src, outTemp);
      ImgFree(outTemp);
    }
  });
}

int32_t FindNearest(int32_t r, int32_t g, int32_t b, int32_t count, const uint8_t* palette) {
  int32_t best = std::numeric_limits<int32_t>::max();
  int32_t answer = 0;
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* e = palette + 3 * i;
    const int32_t dg = e[1] - g;
    const int32_t gTerm = dg * dg * kWeight1;
    if (gTerm > best) continue;
    const int32_t dr = e[2] - r, db = e[0] - b;
    const int32_t dist = gTerm + dr * dr * kWeight0 + db * db * kWeight2;
    if (dist < best) {
      best = dist;
      answer = i;
    }
  }
  return answer;
}

void ConvTo8bit(Qimg& src, Qimg& dest8, int32_t mode) {
  std::lock_guard<std::mutex> lock(palMutex);
  Framed("PalOpt.ConvTo8bit", [&] {
    if (!media::RequirePixels(src, __LINE__)) return;
    PalInit();
    PalCountColors(src);
    PalReduce(256);
    PalRemap(src, dest8, mode);
    PalDone();
  });
}

}  // namespace tavelo

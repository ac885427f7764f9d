// Conversion between the five pixel depths (8, 15, 16, 24, 32), grey levels, palette helpers.
//
// Rows are packed without gaps, so every conversion is one run over Width x Height pixels with a
// converter chosen once per call: no per-pixel branching on depth. 8-bit sources go through a
// 256-entry table built from the palette once per call.
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "core/media/img_basic.h"
#include "core/media/img_frame.h"
#include "core/media/img_pixels.h"
#include "core/media/pal_opt.h"
#include "core/services/errors.h"

namespace tavelo {

namespace media {

namespace {

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void Store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void Store24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
}
inline uint32_t Load24(const uint8_t* p) { return p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16); }

// Writing 3-byte pixels as 4-byte words is much faster than byte stores; the fourth byte lands on
// the next pixel, which is written afterwards, so only the last pixel is stored byte by byte.
// The same holds for reading 3-byte pixels as words: all but the last have a following byte.

}  // namespace

void Run24To32Portable(const uint8_t* s, uint8_t* d, int64_t count) {
  int64_t i = 0;
  for (; i + 4 <= count - 1; i += 4) {
    // Three words hold four pixels: B0 G0 R0 B1 | G1 R1 B2 G2 | R2 B3 G3 R3.
    const uint32_t w0 = Load32(s + 3 * i), w1 = Load32(s + 3 * i + 4), w2 = Load32(s + 3 * i + 8);
    Store32(d + 4 * i, w0 | 0xFF000000u);
    Store32(d + 4 * i + 4, (w0 >> 24) | (w1 << 8) | 0xFF000000u);
    Store32(d + 4 * i + 8, (w1 >> 16) | (w2 << 16) | 0xFF000000u);
    Store32(d + 4 * i + 12, (w2 >> 8) | 0xFF000000u);
  }
  for (; i < count; ++i) Store32(d + 4 * i, Load24(s + 3 * i) | 0xFF000000u);
}

void Run32To24(const uint8_t* s, uint8_t* d, int64_t count) {
  int64_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const uint32_t p0 = Load32(s + 4 * i) & 0xFFFFFF, p1 = Load32(s + 4 * i + 4) & 0xFFFFFF;
    const uint32_t p2 = Load32(s + 4 * i + 8) & 0xFFFFFF, p3 = Load32(s + 4 * i + 12) & 0xFFFFFF;
    Store32(d + 3 * i, p0 | (p1 << 24));
    Store32(d + 3 * i + 4, (p1 >> 8) | (p2 << 16));
    Store32(d + 3 * i + 8, (p2 >> 16) | (p3 << 8));
  }
  for (; i < count; ++i) Store24(d + 3 * i, Load32(s + 4 * i));
}

void Run15To24(const uint8_t* s, uint8_t* d, int64_t count) {
  int64_t i = 0;
  for (; i + 1 < count; ++i) Store32(d + 3 * i, Expand555(Load16(s + 2 * i)));
  for (; i < count; ++i) Store24(d + 3 * i, Expand555(Load16(s + 2 * i)));
}

void Run16To24(const uint8_t* s, uint8_t* d, int64_t count) {
  int64_t i = 0;
  for (; i + 1 < count; ++i) Store32(d + 3 * i, Expand565(Load16(s + 2 * i)));
  for (; i < count; ++i) Store24(d + 3 * i, Expand565(Load16(s + 2 * i)));
}

void Run15To32(const uint8_t* s, uint8_t* d, int64_t count) {
  for (int64_t i = 0; i < count; ++i) Store32(d + 4 * i, Expand555(Load16(s + 2 * i)) | 0xFF000000u);
}

void Run16To32(const uint8_t* s, uint8_t* d, int64_t count) {
  for (int64_t i = 0; i < count; ++i) Store32(d + 4 * i, Expand565(Load16(s + 2 * i)) | 0xFF000000u);
}

namespace {
inline uint16_t Word555Of(uint32_t bgr) { return Pack555(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }
inline uint16_t Word565Of(uint32_t bgr) { return Pack565(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }
}  // namespace

void Run24To15Portable(const uint8_t* s, uint8_t* d, int64_t count) {
  int64_t i = 0;
  for (; i + 1 < count; ++i) Store16(d + 2 * i, Word555Of(Load32(s + 3 * i)));
  for (; i < count; ++i) Store16(d + 2 * i, Word555Of(Load24(s + 3 * i)));
}

void Run24To16Portable(const uint8_t* s, uint8_t* d, int64_t count) {
  int64_t i = 0;
  for (; i + 1 < count; ++i) Store16(d + 2 * i, Word565Of(Load32(s + 3 * i)));
  for (; i < count; ++i) Store16(d + 2 * i, Word565Of(Load24(s + 3 * i)));
}

void Run32To15Portable(const uint8_t* s, uint8_t* d, int64_t count) {
  for (int64_t i = 0; i < count; ++i) Store16(d + 2 * i, Word555Of(Load32(s + 4 * i)));
}

void Run32To16Portable(const uint8_t* s, uint8_t* d, int64_t count) {
  for (int64_t i = 0; i < count; ++i) Store16(d + 2 * i, Word565Of(Load32(s + 4 * i)));
}

void Run15To16(const uint8_t* s, uint8_t* d, int64_t count) {
  for (int64_t i = 0; i < count; ++i) Store16(d + 2 * i, Word555To565(Load16(s + 2 * i)));
}

void Run16To15(const uint8_t* s, uint8_t* d, int64_t count) {
  for (int64_t i = 0; i < count; ++i) Store16(d + 2 * i, Word565To555(Load16(s + 2 * i)));
}

// ---- SSSE3 forms of the shuffles that gain from it; chosen at run time ----
#if defined(__x86_64__) || defined(__i386__)
namespace {

bool HasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}

// Four 3-byte pixels from 16 loaded bytes into four 32-bit lanes 0x00RRGGBB: the lanes start at
// byte 0 of the load (TAVELO_LANES0) or at byte 4 (TAVELO_LANES4, for the last load of a 48-byte
// group, so nothing past the group is read).
#define TAVELO_LANES0 _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1)
#define TAVELO_LANES4 _mm_setr_epi8(4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1)

__attribute__((target("ssse3"))) inline void Lanes16(const uint8_t* p, __m128i v[4]) {
  v[0] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), TAVELO_LANES0);
  v[1] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), TAVELO_LANES0);
  v[2] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 24)), TAVELO_LANES0);
  v[3] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), TAVELO_LANES4);
}

__attribute__((target("ssse3"))) inline __m128i Pack555x4(__m128i x) {
  const __m128i r = _mm_and_si128(_mm_srli_epi32(x, 9), _mm_set1_epi32(0x7C00));
  const __m128i g = _mm_and_si128(_mm_srli_epi32(x, 6), _mm_set1_epi32(0x03E0));
  const __m128i b = _mm_and_si128(_mm_srli_epi32(x, 3), _mm_set1_epi32(0x001F));
  return _mm_or_si128(_mm_or_si128(r, g), b);
}

__attribute__((target("ssse3"))) inline __m128i Pack565x4(__m128i x) {
  const __m128i r = _mm_and_si128(_mm_srli_epi32(x, 8), _mm_set1_epi32(0xF800));
  const __m128i g = _mm_and_si128(_mm_srli_epi32(x, 5), _mm_set1_epi32(0x07E0));
  const __m128i b = _mm_and_si128(_mm_srli_epi32(x, 3), _mm_set1_epi32(0x001F));
  return _mm_or_si128(_mm_or_si128(r, g), b);
}

// Eight 32-bit words (two vectors) to eight 16-bit words: the low half of each lane.
__attribute__((target("ssse3"))) inline __m128i Narrow8(__m128i lo, __m128i hi) {
  const __m128i pick = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
  return _mm_unpacklo_epi64(_mm_shuffle_epi8(lo, pick), _mm_shuffle_epi8(hi, pick));
}

__attribute__((target("ssse3"))) void Run24To32Ssse3(const uint8_t* s, uint8_t* d, int64_t count) {
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  int64_t i = 0;
  for (; i + 16 <= count; i += 16) {
    __m128i v[4];
    Lanes16(s + 3 * i, v);
    for (int k = 0; k < 4; ++k)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4 * i + 16 * k), _mm_or_si128(v[k], alpha));
  }
  Run24To32Portable(s + 3 * i, d + 4 * i, count - i);
}

template <bool k565>
__attribute__((target("ssse3"))) void Run24ToWordSsse3(const uint8_t* s, uint8_t* d, int64_t count) {
  int64_t i = 0;
  for (; i + 16 <= count; i += 16) {
    __m128i v[4];
    Lanes16(s + 3 * i, v);
    for (int k = 0; k < 4; ++k) v[k] = k565 ? Pack565x4(v[k]) : Pack555x4(v[k]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * i), Narrow8(v[0], v[1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * i + 16), Narrow8(v[2], v[3]));
  }
  (k565 ? Run24To16Portable : Run24To15Portable)(s + 3 * i, d + 2 * i, count - i);
}

template <bool k565>
__attribute__((target("ssse3"))) void Run32ToWordSsse3(const uint8_t* s, uint8_t* d, int64_t count) {
  int64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * i + 16));
    a = k565 ? Pack565x4(a) : Pack555x4(a);
    b = k565 ? Pack565x4(b) : Pack555x4(b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * i), Narrow8(a, b));
  }
  (k565 ? Run32To16Portable : Run32To15Portable)(s + 4 * i, d + 2 * i, count - i);
}

}  // namespace

void Run24To32(const uint8_t* s, uint8_t* d, int64_t count) {
  HasSsse3() ? Run24To32Ssse3(s, d, count) : Run24To32Portable(s, d, count);
}
void Run24To15(const uint8_t* s, uint8_t* d, int64_t count) {
  HasSsse3() ? Run24ToWordSsse3<false>(s, d, count) : Run24To15Portable(s, d, count);
}
void Run24To16(const uint8_t* s, uint8_t* d, int64_t count) {
  HasSsse3() ? Run24ToWordSsse3<true>(s, d, count) : Run24To16Portable(s, d, count);
}
void Run32To15(const uint8_t* s, uint8_t* d, int64_t count) {
  HasSsse3() ? Run32ToWordSsse3<false>(s, d, count) : Run32To15Portable(s, d, count);
}
void Run32To16(const uint8_t* s, uint8_t* d, int64_t count) {
  HasSsse3() ? Run32ToWordSsse3<true>(s, d, count) : Run32To16Portable(s, d, count);
}
#else
void Run24To32(const uint8_t* s, uint8_t* d, int64_t count) { Run24To32Portable(s, d, count); }
void Run24To15(const uint8_t* s, uint8_t* d, int64_t count) { Run24To15Portable(s, d, count); }
void Run24To16(const uint8_t* s, uint8_t* d, int64_t count) { Run24To16Portable(s, d, count); }
void Run32To15(const uint8_t* s, uint8_t* d, int64_t count) { Run32To15Portable(s, d, count); }
void Run32To16(const uint8_t* s, uint8_t* d, int64_t count) { Run32To16Portable(s, d, count); }
#endif

RunConverter RunConverterFor(int32_t fromBpp, int32_t toBpp) {
  switch (fromBpp * 100 + toBpp) {
    case 1516: return Run15To16;
    case 1524: return Run15To24;
    case 1532: return Run15To32;
    case 1615: return Run16To15;
    case 1624: return Run16To24;
    case 1632: return Run16To32;
    case 2415: return Run24To15;
    case 2416: return Run24To16;
    case 2432: return Run24To32;
    case 3215: return Run32To15;
    case 3216: return Run32To16;
    case 3224: return Run32To24;
    default: return nullptr;
  }
}

}  // namespace media

using namespace media;

namespace {

bool KnownDepth(int32_t bpp) { return bpp == 8 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32; }

int64_t PixelCount(const Qimg& img) { return static_cast<int64_t>(img.Width) * img.Height; }

// Palette indices to 15, 16, 24 or 32-bit pixels through a table built once.
void Convert8(const Qimg& src, Qimg& dest) {
  const int64_t n = PixelCount(src);
  const uint8_t* s = src.Data;
  uint8_t* d = dest.Data;
  const uint8_t* pal = src.Palette.data();
  switch (dest.Bpp) {
    case 15:
    case 16: {
      uint16_t table[256];
      for (int i = 0; i < 256; ++i) {
        const uint8_t* e = pal + 3 * i;
        table[i] = dest.Bpp == 15 ? Pack555(e[0], e[1], e[2]) : Pack565(e[0], e[1], e[2]);
      }
      for (int64_t i = 0; i < n; ++i) Store16(d + 2 * i, table[s[i]]);
      break;
    }
    case 24:
      for (int64_t i = 0; i < n; ++i) std::memcpy(d + 3 * i, pal + 3 * s[i], 3);
      break;
    case 32: {
      uint32_t table[256];
      for (int i = 0; i < 256; ++i) table[i] = Load24(pal + 3 * i) | 0xFF000000u;
      for (int64_t i = 0; i < n; ++i) Store32(d + 4 * i, table[s[i]]);
      break;
    }
    default:
      break;
  }
}

// Grey levels (B' + G' + R') div 3 of 15, 16, 24 and 32-bit pixels.
void ConvertGray(const Qimg& src, Qimg& dest8) {
  uint8_t div3[768];
  for (int i = 0; i < 768; ++i) div3[i] = static_cast<uint8_t>(i / 3);
  const int64_t n = PixelCount(src);
  const uint8_t* s = src.Data;
  uint8_t* d = dest8.Data;
  switch (src.Bpp) {
    case 15:
      for (int64_t i = 0; i < n; ++i) {
        const uint32_t v = Load16(s + 2 * i);
        const uint32_t b = ((v & 0x1F) << 3) | 7, g = (((v >> 5) & 0x1F) << 3) | 14, r = (((v >> 10) & 0x1F) << 3) | 7;
        d[i] = div3[b + g + r];
      }
      break;
    case 16:
      for (int64_t i = 0; i < n; ++i) {
        const uint32_t v = Load16(s + 2 * i);
        const uint32_t b = ((v & 0x1F) << 3) | 7, g = (((v >> 5) & 0x3F) << 2) | 6, r = (((v >> 11) & 0x1F) << 3) | 7;
        d[i] = div3[b + g + r];
      }
      break;
    case 24:
    case 32: {
      const int step = src.BytesPP;
      for (int64_t i = 0; i < n; ++i) {
        const uint8_t* p = s + step * i;
        d[i] = div3[p[0] + p[1] + p[2]];
      }
      break;
    }
    case 8: {
      uint8_t levels[256];
      for (int i = 0; i < 256; ++i) {
        const uint8_t* e = src.Palette.data() + 3 * i;
        levels[i] = div3[e[0] + e[1] + e[2]];
      }
      for (int64_t i = 0; i < n; ++i) d[i] = levels[s[i]];
      break;
    }
    default:
      std::memset(d, 0, static_cast<size_t>(n));
      break;
  }
  PalSetGray(dest8.Palette);
}

}  // namespace

int32_t ImgDitherToRemapMode(int32_t imgTo8bitMode) {
  switch (imgTo8bitMode) {
    case itmHeavy: return prmHeavy;
    case itmLight: return prmLite;
    default: return prmPlain;
  }
}

void ImgTo8bit(Qimg& src, Qimg& dest8, int32_t mode) {
  Framed("ImgBasic.ImgTo8bit", [&] {
    if (!RequirePixels(src, __LINE__)) return;
    if (mode != itmGray) {
      ConvTo8bit(src, dest8, ImgDitherToRemapMode(mode));
      return;
    }
    const bool same = &src == &dest8;
    Qimg temp;
    Qimg& target = same ? temp : dest8;
    _imgalloc_(target, src.Width, src.Height, 8, __LINE__, same ? "ImgBasic.ImgTo8bit.temp" : "ImgBasic.ImgTo8bit.dest8");
    ConvertGray(src, target);
    if (same) {
      ImgXchg(src, temp);
      ImgFree(temp);
    }
  });
}

void ImgConvBppEx(Qimg& src, Qimg& dest, int32_t bpp, int32_t mode) {
  Framed("ImgBasic.ImgConvBppEx", [&] {
    const bool same = &src == &dest;
    if (bpp == src.Bpp || !KnownDepth(bpp)) {
      if (!same) ImgCopy(src, dest);
      return;
    }
    // In place, a source of a depth we cannot read stays as it is.
    if (same && !KnownDepth(src.Bpp)) return;
    if (!RequirePixels(src, __LINE__)) return;
    if (bpp == 8 && KnownDepth(src.Bpp)) {
      ImgTo8bit(src, dest, mode);
      return;
    }

    Qimg temp;
    Qimg& target = same ? temp : dest;
    if (same)
      _imgalloc_(target, src.Width, src.Height, bpp, 1288, "ImgBasic.ImgConvBppEx.ih_temp");
    else
      _imgalloc_(target, src.Width, src.Height, bpp, 1297, "ImgBasic.ImgConvBppEx.dest");

    if (src.Bpp == 8) {
      Convert8(src, target);
    } else if (RunConverter run = RunConverterFor(src.Bpp, bpp)) {
      run(src.Data, target.Data, PixelCount(src));
    } else {
      // A source depth we cannot read: a plain copy, never more than the destination holds.
      const int64_t have = src.Data != nullptr ? static_cast<int64_t>(src.Size) : 0;
      const int64_t room = target.Size;
      const int64_t n = have < room ? have : room;
      if (n > 0) std::memcpy(target.Data, src.Data, static_cast<size_t>(n));
      if (room > n) std::memset(target.Data + n, 0, static_cast<size_t>(room - n));
    }

    if (same) {
      ImgXchg(src, temp);
      ImgFree(temp);
    }
  });
}

void ImgConvBpp(Qimg& src, Qimg& dest, int32_t bpp) {
  Framed("ImgBasic.ImgConvBpp", [&] { ImgConvBppEx(src, dest, bpp, 0); });
}

void PalSetGray(QimgPalette& palette) {
  for (int i = 0; i < 256; ++i) palette[3 * i] = palette[3 * i + 1] = palette[3 * i + 2] = static_cast<uint8_t>(i);
}

void PalSetGrayInv(QimgPalette& palette) {
  for (int i = 0; i < 256; ++i) palette[3 * i] = palette[3 * i + 1] = palette[3 * i + 2] = static_cast<uint8_t>(255 - i);
}

}  // namespace tavelo

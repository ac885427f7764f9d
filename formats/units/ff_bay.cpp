// Raw Bayer pictures and the mosaic-to-colour conversion (unit FF_BAY).
#include "formats/units/ff_bay.h"

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstring>

#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/files.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"
#include "core/services/trace.h"
#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "formats/ff_unit.h"

namespace tavelo {

namespace {

// Method codes per pattern, per cell position (top-left, top-right, bottom-left, bottom-right),
// per output byte (B, G, R). Pattern 4 (monochrome) is never coloured.
constexpr int kMethods[7][4][3] = {
    {{0, 2, 1}, {4, 0, 3}, {3, 0, 4}, {1, 2, 0}},
    {{3, 0, 4}, {1, 2, 0}, {0, 2, 1}, {4, 0, 3}},
    {{1, 2, 0}, {3, 0, 4}, {4, 0, 3}, {0, 2, 1}},
    {{4, 0, 3}, {0, 2, 1}, {1, 2, 0}, {3, 0, 4}},
    {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
    {{6, 0, 3}, {0, 7, 6}, {5, 8, 0}, {3, 0, 5}},
    {{0, 8, 5}, {5, 0, 3}, {3, 0, 6}, {6, 7, 0}},
};

// One method over the 3 x 3 neighbourhood of p in a padded mosaic of row length s.
template <int M>
inline int Method(const uint8_t* p, std::ptrdiff_t s) {
  if constexpr (M == 0) return p[0];
  if constexpr (M == 1) return (p[-s - 1] + p[-s + 1] + p[s - 1] + p[s + 1]) * 16 / 64;
  if constexpr (M == 2) return (p[-s] + p[-1] + p[1] + p[s]) * 16 / 64;
  if constexpr (M == 3) return (p[-s] + p[s]) / 2;
  if constexpr (M == 4) return (p[-1] + p[1]) / 2;
  if constexpr (M == 5) return (p[-1] + p[-s + 1] + p[s + 1]) * 16 / 48;
  if constexpr (M == 6) return (p[-s - 1] + p[1] + p[s - 1]) * 16 / 48;
  if constexpr (M == 7) return (p[-s] + p[-s + 1] + p[-1] + p[s] + p[s + 1]) * 16 / 80;
  if constexpr (M == 8) return (p[-s - 1] + p[-s] + p[1] + p[s - 1] + p[s]) * 16 / 80;
  return 0;
}

template <int Pat, int Pos, bool Swap>
inline void ColorPixel(const uint8_t* p, std::ptrdiff_t s, uint8_t* d, const uint8_t* sat) {
  constexpr int q = Swap ? (Pos ^ 2) : Pos;  // swapped cells take the other row's methods
  const int b = Method<kMethods[Pat][q][0]>(p, s);
  const int g = Method<kMethods[Pat][q][1]>(p, s);
  const int r = Method<kMethods[Pat][q][2]>(p, s);
  const uint8_t* t = sat + ((b + g + r + 1) / 3) * 256;
  d[0] = t[b];
  d[1] = t[g];
  d[2] = t[r];
}

template <int Pat, bool Swap>
inline void ColorCell(const uint8_t* p, std::ptrdiff_t s, uint8_t* d, std::ptrdiff_t ds, const uint8_t* sat) {
  ColorPixel<Pat, 0, Swap>(p, s, d, sat);
  ColorPixel<Pat, 1, Swap>(p + 1, s, d + 3, sat);
  ColorPixel<Pat, 2, Swap>(p + s, s, d + ds, sat);
  ColorPixel<Pat, 3, Swap>(p + s + 1, s, d + ds + 3, sat);
}

// Colours every whole 2 x 2 cell; padded is the mosaic with its one-pixel border.
template <int Pat>
void ColorCells(const uint8_t* padded, uint8_t* dest, int32_t width, int32_t height) {
  const uint8_t* sat = BayRemapTable_();
  const std::ptrdiff_t s = static_cast<std::ptrdiff_t>(width) + 2;
  const std::ptrdiff_t ds = static_cast<std::ptrdiff_t>(width) * 3;
  const int32_t cellsX = width / 2, cellsY = height / 2;
  bool swap = false;  // patterns 5 and 6 alternate the cell's rows from cell to cell
  for (int32_t cy = 0; cy < cellsY; ++cy) {
    const uint8_t* p = padded + (2 * static_cast<std::ptrdiff_t>(cy) + 1) * s + 1;
    uint8_t* d = dest + 2 * static_cast<std::ptrdiff_t>(cy) * ds;
    for (int32_t cx = 0; cx < cellsX; ++cx, p += 2, d += 6) {
      if constexpr (Pat >= 5) {
        if (swap)
          ColorCell<Pat, true>(p, s, d, ds, sat);
        else
          ColorCell<Pat, false>(p, s, d, ds, sat);
        swap = !swap;
      } else {
        ColorCell<Pat, false>(p, s, d, ds, sat);
      }
    }
  }
}

// The same for patterns 0 to 3 with SSSE3, eight pixels of one row at a time in 16-bit lanes.
// The saturation is computed instead of looked up: table (a, v) = round(a + (v - a) x 1.4) is
// the floor of (14v - 4a + 5) / 10 (never a tie), here (14v - 4a + 1025) / 10 - 102 so that
// every value stays positive for the exact multiply-high division; packing clamps to 0..255.
// The results equal the table's to the byte (a test compares both paths).
template <int Pat, int Row>
__attribute__((target("ssse3"))) inline void ColorRowSsse3(const uint8_t* up, const uint8_t* mid, const uint8_t* down,
                                                           uint8_t* d, int32_t pixels) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i evenLanes = _mm_set_epi16(0, -1, 0, -1, 0, -1, 0, -1);
  const __m128i third = _mm_set1_epi16(static_cast<short>(0xAAAB));
  const __m128i tenth = _mm_set1_epi16(6554);
  const __m128i bias = _mm_set1_epi16(1025);
  const __m128i shift = _mm_set1_epi16(102);
  const __m128i one = _mm_set1_epi16(1);
  const __m128i bg0 = _mm_setr_epi8(0, 1, -1, 2, 3, -1, 4, 5, -1, 6, 7, -1, 8, 9, -1, 10);
  const __m128i r0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
  const __m128i bg1 = _mm_setr_epi8(11, -1, 12, 13, -1, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i r1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1);
  auto load = [&](const uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
  };
  auto saturate = [&](__m128i v, __m128i a4) {
    const __m128i t = _mm_add_epi16(_mm_sub_epi16(_mm_sub_epi16(_mm_slli_epi16(v, 4), _mm_slli_epi16(v, 1)), a4), bias);
    return _mm_sub_epi16(_mm_mulhi_epu16(t, tenth), shift);
  };
  for (int32_t x = 0; x + 8 <= pixels; x += 8, up += 8, mid += 8, down += 8, d += 24) {
    const __m128i um = load(up - 1), u0 = load(up), uq = load(up + 1);
    const __m128i cm = load(mid - 1), c0 = load(mid), cq = load(mid + 1);
    const __m128i dm = load(down - 1), d0 = load(down), dq = load(down + 1);
    __m128i m[5];
    m[0] = c0;
    m[1] = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(um, uq), _mm_add_epi16(dm, dq)), 2);
    m[2] = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(u0, cm), _mm_add_epi16(cq, d0)), 2);
    m[3] = _mm_srli_epi16(_mm_add_epi16(u0, d0), 1);
    m[4] = _mm_srli_epi16(_mm_add_epi16(cm, cq), 1);
    // Even lanes are the cell's left column, odd lanes its right one.
    auto pick = [&](int even, int odd) {
      return even == odd ? m[even] : _mm_or_si128(_mm_and_si128(evenLanes, m[even]), _mm_andnot_si128(evenLanes, m[odd]));
    };
    const __m128i b = pick(kMethods[Pat][Row * 2][0], kMethods[Pat][Row * 2 + 1][0]);
    const __m128i g = pick(kMethods[Pat][Row * 2][1], kMethods[Pat][Row * 2 + 1][1]);
    const __m128i r = pick(kMethods[Pat][Row * 2][2], kMethods[Pat][Row * 2 + 1][2]);
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(b, g), _mm_add_epi16(r, one));
    const __m128i a4 = _mm_slli_epi16(_mm_srli_epi16(_mm_mulhi_epu16(sum, third), 1), 2);
    const __m128i b8 = _mm_packus_epi16(saturate(b, a4), zero);
    const __m128i g8 = _mm_packus_epi16(saturate(g, a4), zero);
    const __m128i r8 = _mm_packus_epi16(saturate(r, a4), zero);
    const __m128i bg = _mm_unpacklo_epi8(b8, g8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_or_si128(_mm_shuffle_epi8(bg, bg0), _mm_shuffle_epi8(r8, r0)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 16), _mm_or_si128(_mm_shuffle_epi8(bg, bg1), _mm_shuffle_epi8(r8, r1)));
  }
}

template <int Pat>
__attribute__((target("ssse3"))) void ColorCellsSsse3(const uint8_t* padded, uint8_t* dest, int32_t width, int32_t height) {
  const std::ptrdiff_t s = static_cast<std::ptrdiff_t>(width) + 2;
  const std::ptrdiff_t ds = static_cast<std::ptrdiff_t>(width) * 3;
  const int32_t cellsX = width / 2, cellsY = height / 2;
  const int32_t wide = (2 * cellsX) & ~7;  // pixels of each row done eight at a time
  const uint8_t* sat = BayRemapTable_();
  for (int32_t cy = 0; cy < cellsY; ++cy) {
    const uint8_t* top = padded + (2 * static_cast<std::ptrdiff_t>(cy) + 1) * s + 1;
    uint8_t* d = dest + 2 * static_cast<std::ptrdiff_t>(cy) * ds;
    ColorRowSsse3<Pat, 0>(top - s, top, top + s, d, wide);
    ColorRowSsse3<Pat, 1>(top, top + s, top + 2 * s, d + ds, wide);
    for (int32_t cx = wide / 2; cx < cellsX; ++cx) ColorCell<Pat, false>(top + 2 * cx, s, d + 6 * cx, ds, sat);
  }
}

// The picture pixel a border position of the padded copy takes (row r, column c; the border is
// row -1 and h, column -1 and w). Group A is patterns 1 and 3, group B the others. Positions the
// table leaves outside the picture (only with odd sizes) take the pixel two steps inwards, which
// has the same colour site.
void BorderSource(int32_t r, int32_t c, int32_t w, int32_t h, bool groupA, int32_t& sr, int32_t& sc) {
  const int32_t y = r & ~1;
  const int32_t i2 = c & ~1;
  if (c == -1 && r == -1) {
    sr = 1, sc = 1;
  } else if (c == w && r == -1) {
    sr = 1, sc = w - 2;
  } else if (c == -1 && r == h) {
    sr = h - 2, sc = 1;
  } else if (c == w && r == h) {
    sr = h - 2, sc = w - 2;
  } else if (c == -1) {
    if ((r & 1) == 0)
      groupA ? (sr = y, sc = 1) : (sr = y + 1, sc = 0);
    else
      groupA ? (sr = y, sc = 0) : (sr = y + 1, sc = 1);
  } else if (c == w) {
    if ((r & 1) == 0)
      groupA ? (sr = y + 1, sc = w - 1) : (sr = y, sc = w - 2);
    else
      groupA ? (sr = y + 1, sc = w - 2) : (sr = y, sc = w - 1);
  } else if (r == -1) {
    if ((c & 1) == 0)
      groupA ? (sr = 1, sc = i2) : (sr = 0, sc = i2 + 1);
    else
      groupA ? (sr = 0, sc = i2) : (sr = 1, sc = i2 + 1);
  } else {  // r == h
    if ((c & 1) == 0)
      groupA ? (sr = h - 1, sc = i2 + 1) : (sr = h - 2, sc = i2);
    else
      groupA ? (sr = h - 2, sc = i2 + 1) : (sr = h - 1, sc = i2);
  }
  if (sr < 0 || sr >= h || sc < 0 || sc >= w) {
    sr = r < 0 ? 1 : (r >= h ? h - 2 : r);
    sc = c < 0 ? 1 : (c >= w ? w - 2 : c);
  }
}

// A tracked copy of the mosaic with a one-pixel border, so that every pixel has a full 3 x 3
// neighbourhood. width and height are at least 2.
uint8_t* ReorganizeCmpsData_(const uint8_t* src, int32_t width, int32_t height, int32_t pattern) {
  const int64_t s = static_cast<int64_t>(width) + 2;
  uint8_t* big = nullptr;
  _memalloc_(big, s * (static_cast<int64_t>(height) + 2), 0, "FF_BAY.ReorganizeCmpsData_.bigCmpsDataOrigP", mkFresh);
  for (int32_t y = 0; y < height; ++y)
    std::memcpy(big + (y + 1) * s + 1, src + static_cast<int64_t>(y) * width, static_cast<size_t>(width));
  const bool groupA = pattern == 1 || pattern == 3;
  auto fill = [&](int32_t r, int32_t c) {
    int32_t sr = 0, sc = 0;
    BorderSource(r, c, width, height, groupA, sr, sc);
    big[(r + 1) * s + (c + 1)] = src[static_cast<int64_t>(sr) * width + sc];
  };
  for (int32_t c = -1; c <= width; ++c) {
    fill(-1, c);
    fill(height, c);
  }
  for (int32_t r = 0; r < height; ++r) {
    fill(r, -1);
    fill(r, width);
  }
  return big;
}

}  // namespace

void BayColor_(const uint8_t* src, uint8_t* dest, int32_t width, int32_t pattern, int32_t height, bool fast) {
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  fast = fast && ssse3;
  Framed("FF_BAY.BayColor_", [&] {
    uint8_t* padded = ReorganizeCmpsData_(src, width, height, pattern);
    switch (pattern) {
      case 0: fast ? ColorCellsSsse3<0>(padded, dest, width, height) : ColorCells<0>(padded, dest, width, height); break;
      case 1: fast ? ColorCellsSsse3<1>(padded, dest, width, height) : ColorCells<1>(padded, dest, width, height); break;
      case 2: fast ? ColorCellsSsse3<2>(padded, dest, width, height) : ColorCells<2>(padded, dest, width, height); break;
      case 3: fast ? ColorCellsSsse3<3>(padded, dest, width, height) : ColorCells<3>(padded, dest, width, height); break;
      case 5: ColorCells<5>(padded, dest, width, height); break;
      case 6: ColorCells<6>(padded, dest, width, height); break;
      default: break;
    }
    MemFree(padded);
    // Whole cells leave the last column and row of an odd size: they copy their neighbours.
    const int64_t rowBytes = static_cast<int64_t>(width) * 3;
    const int32_t evenH = height & ~1;
    if (width & 1)
      for (int32_t y = 0; y < evenH; ++y) std::memcpy(dest + y * rowBytes + rowBytes - 3, dest + y * rowBytes + rowBytes - 6, 3);
    if (height & 1) std::memcpy(dest + (height - 1) * rowBytes, dest + (height - 2) * rowBytes, static_cast<size_t>(rowBytes));
  });
}

namespace {

// Frame rates of the speed codes 1 to 12.
constexpr double kRatesHG[12] = {30, 60, 125, 250, 500, 1000, 2000, 3000, 5000, 10000, 50000, 100000};
constexpr double kRatesEK[12] = {250, 500, 1000, 0, 0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

const uint8_t* BayRemapTable_() {
  // Built on first use; a function-local static is initialised exactly once, also when several
  // threads decode at the same time.
  static const std::array<uint8_t, 65536> table = [] {
    std::array<uint8_t, 65536> t{};
    for (int a = 0; a < 256; ++a)
      for (int v = 0; v < 256; ++v) {
        const int64_t x = FpuRound(static_cast<long double>(a) + (v - a) * 1.4L);
        t[static_cast<size_t>(a) * 256 + v] = static_cast<uint8_t>(x < 0 ? 0 : (x > 255 ? 255 : x));
      }
    return t;
  }();
  return table.data();
}

void FixCmpsData(const uint8_t* src, uint8_t* dest, int32_t width, int32_t height) {
  const int64_t w = width;
  for (int64_t y = 0; y + 1 < height; y += 2) {
    const uint8_t* cells = src + y * w;
    uint8_t* top = dest + y * w;
    uint8_t* bottom = top + w;
    for (int64_t i = 0; i + 1 < w; i += 2, cells += 4) {
      top[i] = cells[0];
      top[i + 1] = cells[1];
      bottom[i] = cells[2];
      bottom[i + 1] = cells[3];
    }
  }
}

void BayDecode(const uint8_t* src, uint8_t* dest, int32_t width, int32_t layout, int32_t pattern, int32_t height) {
  Framed("FF_BAY.BayDecode", [&] {
    if (pattern < 0 || pattern > 6) RaiseError(ecImage, 1, 300);
    const bool raster = layout != 0;
    if (width < 1 || height < 1) RaiseError(ecImage, 2, 302);
    // The colour methods look one pixel around each cell, and the cell order needs whole cells.
    if ((pattern != bayMono || !raster) && (width < 2 || height < 2)) RaiseError(ecImage, 2, 304);
    if (!raster && ((width | height) & 1)) RaiseError(ecImage, 2, 306);
    const int64_t pixels = static_cast<int64_t>(width) * height;
    uint8_t* fixed = nullptr;
    if (!raster) {
      _memalloc_(fixed, pixels, 0, "FF_BAY.BayDecode.newCmpsDataP", mkFresh);
      FixCmpsData(src, fixed, width, height);
      src = fixed;
    }
    if (pattern == bayMono)
      std::memcpy(dest, src, static_cast<size_t>(pixels));
    else
      BayColor_(src, dest, width, pattern, height);
    if (fixed != nullptr) MemFree(fixed);
  });
}

void BayParseTrailer_(const uint8_t* t, int64_t fileSize, BayHandle& h) {
  h.FileSize = fileSize;
  if (fileSize == kBayHeaderlessSize) {
    h.Width = 640;
    h.Height = 480;
    h.BytesPP = 3;
    h.Pattern = bayRGGB;
    h.Layout = 1;
    h.Supported = -1;
    return;
  }
  if (t == nullptr || fileSize < kBayTrailerSize) RaiseError(ecImage, 2, 76);
  const std::string mark(reinterpret_cast<const char*>(t + 3), strnlen(reinterpret_cast<const char*>(t + 3), 5));
  const bool is100K = mark == "100K";
  if (!is100K && mark != "BAY 2") RaiseError(ecImage, 2, 76);
  const size_t camLen = strnlen(reinterpret_cast<const char*>(t), 2);
  std::memcpy(h.Camera, t, camLen);
  h.Camera[camLen] = '\0';
  const std::string camera(h.Camera);
  const int speed = t[11];
  h.FrameRate = 0;
  if (speed >= 1 && speed <= 12) {
    if (camera == "ML" || camera == "HG") h.FrameRate = kRatesHG[speed - 1];
    if (camera == "EK" || camera == "RO") h.FrameRate = kRatesEK[speed - 1];
  }
  switch (t[8]) {
    case 1:
      h.BytesPP = 3;
      h.Pattern = is100K ? bayGBRG : bayGRBG;
      break;
    case 2:
      h.BytesPP = 1;
      h.Pattern = bayMono;
      break;
    default:
      h.BytesPP = 0;
  }
  h.Supported = h.BytesPP != 0 ? -1 : 0;
  if (is100K) {
    h.Width = (t[235] << 8) | t[236];
    h.Height = (t[237] << 8) | t[238];
    h.Layout = 1;
    const int32_t least = h.BytesPP == 3 ? 2 : 1;
    if (h.Width < least || h.Height < least) RaiseError(ecImage, 2, 110);
  } else {
    h.Width = 512;
    if (fileSize == 0x30400)
      h.Height = 384;
    else if (fileSize == 0x12400)
      h.Height = 144;
    else
      RaiseError(ecImage, 2, 127);
    h.Layout = 0;
  }
}

std::string BayCodecName_(const BayHandle& h) {
  std::string name(h.Camera);
  if (name == "EK")
    name = h.BytesPP == 1 ? "HR" : "HRC";
  else if (name == "ML")
    name = "HG";
  if (h.BytesPP == 1) name += " (monochrome)";
  if (h.BytesPP == 3) name += " (color)";
  return name;
}

void BayOpen_(BayHandle& h, const std::string& fileName) {
  Framed("FF_BAY.BayOpen_", [&] {
    h = BayHandle();
    FOpen(h.File, fileName, fmRead);
    const int64_t size = FSize(h.File);
    uint8_t trailer[kBayTrailerSize];
    const bool hasTrailer = size != kBayHeaderlessSize && size >= kBayTrailerSize;
    if (hasTrailer) {
      FSeek(h.File, size - kBayTrailerSize);
      FRead(h.File, trailer, kBayTrailerSize);
    }
    BayParseTrailer_(hasTrailer ? trailer : nullptr, size, h);
    FSeek(h.File, 0);
  });
}

void BayClose_(BayHandle& h) {
  if (h.File != 0) FClose(h.File);
  h.File = 0;
}

void BayInfo(const std::string& fileName, FFInfoRec& info) {
  Framed("FF_BAY.BayInfo", [&] {
    BayHandle h;
    BayOpen_(h, fileName);
    BayClose_(h);
    info.FormatId = fidBAY;
    info.FileSize = static_cast<double>(h.FileSize);
    info.Video.Width = h.Width;
    info.Video.Height = h.Height;
    info.Video.BytesPP = h.BytesPP;
    info.Video.Bpp = info.Video.OrigBpp = h.BytesPP * 8;
    info.Video.Frames = 1;
    info.Video.FrameRate = h.FrameRate;
    info.Video.CodecId = h.Pattern;
    info.Video.CodecName = BayCodecName_(h);
    info.Video.HasVideo = h.Width > 0 ? -1 : 0;
    info.Video.VideoSupported = h.Supported;
  });
}

namespace {

void AllocAndDecode(const BayHandle& h, const uint8_t* mosaic, Qimg& img) {
  // A picture too large to make is refused before it is allocated (FFPictureFits).
  if (!FFPictureFits(h.Width, h.Height, h.BytesPP)) RaiseError(ecImage, 4, __LINE__);
  _imgalloc_(img, h.Width, h.Height, h.BytesPP * 8, 446, "FF_BAY.BayLoad.img");
  BayDecode(mosaic, img.Data, h.Width, h.Layout, h.Pattern, h.Height);
  if (h.Pattern == bayMono) PalSetGray(img.Palette);
}

}  // namespace

void BayLoad(const std::string& fileName, Qimg& img) {
  Framed("FF_BAY.BayLoad", [&] {
    BayHandle h;
    BayOpen_(h, fileName);
    if (!h.Supported) RaiseError(ecImage, 1, 444);
    const int64_t count = static_cast<int64_t>(h.Width) * h.Height;
    // The mosaic must lie in the file before anything of its size is allocated: a trailer of a
    // kilobyte can claim a gigabyte.
    if (count > h.FileSize) RaiseError(ecFile, 3, 804);
    uint8_t* mosaic = nullptr;
    _memalloc_(mosaic, count, 0, "FF_BAY.BayLoad.cmpsData", mkFresh);
    FRead(h.File, mosaic, count);
    BayClose_(h);
    AllocAndDecode(h, mosaic, img);
    MemFree(mosaic);
  });
}

void BayLoadMem_(const uint8_t* data, int64_t size, Qimg& img) {
  Framed("FF_BAY.BayLoad", [&] {
    BayHandle h;
    BayParseTrailer_(size >= kBayTrailerSize ? data + size - kBayTrailerSize : nullptr, size, h);
    if (!h.Supported) RaiseError(ecImage, 1, 444);
    if (static_cast<int64_t>(h.Width) * h.Height > size) RaiseError(ecFile, 3, 804);
    AllocAndDecode(h, data, img);
  });
}

// ---- The dispatcher's entries ----

const FFUnit kBayUnit = {
    .Kind = fuStill,
    .Info = [](const std::string& name, FFInfoRec& info, FFProgressProc, void*) { BayInfo(name, info); },
    .Load = [](const std::string& name, Qimg& img, Qimg*) { BayLoad(name, img); },
};

}  // namespace tavelo

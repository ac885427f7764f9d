#include "gui/img_put.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/media/img_dib.h"
#include "core/media/img_frame.h"
#include "core/services/memory.h"
#include "core/services/monitor.h"

namespace tavelo {

using namespace platform;

namespace {

// Replaced by every PalPut on a palette device; drawing runs on the main thread only.
HPALETTE g_programPalette = nullptr;

// Writes rows of P bottom-up, each padded to 4 bytes, to out.
void CopyRowsBottomUp(const Qimg& p, uint8_t* out) {
  const int64_t row = int64_t{p.Width} * p.BytesPP;
  const int64_t stride = DibLineBytes(p.BytesPP * 8, p.Width);
  for (int32_t i = 0; i < p.Height; ++i)
    std::memcpy(out + (int64_t{p.Height} - 1 - i) * stride, p.Data + i * row, static_cast<size_t>(row));
}

// The widest and tallest device-independent bitmap a device takes, and so the largest area of
// a device that can be drawn on.
constexpr int64_t kMaxDibSide = 32768;

// The source rectangle, inside a picture of w x h. A negative origin would read before the picture.
void ClampRect(ImgRect& r, int32_t w, int32_t h) {
  if (r.x < 0) r.x = 0;
  if (r.y < 0) r.y = 0;
  if (r.x >= w) r.x = 0;
  if (r.y >= h) r.y = 0;
  if (r.width < 1) r.width = w;
  if (r.height < 1) r.height = h;
  if (r.width > w - r.x) r.width = w - r.x;
  if (r.height > h - r.y) r.height = h - r.y;
}

// One axis of a drawing: the source span [from, from + count) shown over the device span
// [to, to + size). Narrowed to the part that lands on a device (coordinates 0 to kMaxDibSide),
// with the device span recomputed from the source span so that the scale stays the picture's.
// False when nothing of it can be seen.
bool VisibleSpan(int64_t& from, int64_t& count, int64_t& to, int64_t& size) {
  const int64_t lo = std::max<int64_t>(to, 0), hi = std::min<int64_t>(to + size, kMaxDibSide);
  if (hi <= lo || count < 1 || size < 1) return false;
  // Source pixels whose device span meets [lo, hi).
  const int64_t first = (lo - to) * count / size;
  const int64_t last = std::min<int64_t>(count, ((hi - to) * count + size - 1) / size);
  if (last <= first) return false;
  const int64_t at = to + first * size / count;
  const int64_t end = to + (last * size + count - 1) / count;
  from += first;
  count = last - first;
  to = at;
  size = end - at;
  return true;
}

}  // namespace

bool IsPaletteDC(HDC dc) { return (GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) != 0; }

HPALETTE ProgramPalette() { return g_programPalette; }

void PalPut(const QimgPalette& palette, HDC dc) {
  if (!IsPaletteDC(dc)) return;
  Framed("ImgBasic.PalPut", [&] {
    LOGPALETTE* logpal = nullptr;
    _memalloc_(logpal, static_cast<int64_t>(sizeof(LOGPALETTE)), __LINE__, "ImgBasic.PalPut.logpal", mkFresh);
    new (logpal) LOGPALETTE{};
    logpal->palVersion = 0x300;
    logpal->palNumEntries = 256;
    for (int i = 0; i < 256; ++i)
      logpal->palPalEntry[i] = PALETTEENTRY{palette[i * 3 + 2], palette[i * 3 + 1], palette[i * 3], PC_NOCOLLAPSE};
    if (g_programPalette != nullptr) DeleteObject(g_programPalette);
    g_programPalette = CreatePalette(logpal);
    MemFree(logpal);
    if (g_programPalette == nullptr) return;
    SelectPalette(dc, g_programPalette, true);
    SetSystemPaletteUse(dc, SYSPAL_NOSTATIC);
    SetSystemPaletteUse(dc, SYSPAL_STATIC);
    RealizePalette(dc);
  });
}

namespace {

// A picture wider or taller than a device takes: only the band that can be seen is handed over,
// every k-th pixel of it where even the band is too large (a picture shrunk to fit the window).
void PutVisibleBand(Qimg& img, ImgRect& srcRect, HDC dc, int32_t destX, int32_t destY, int32_t destW,
                    int32_t destH, int32_t ditherMode) {
  ClampRect(srcRect, img.Width, img.Height);
  const bool stretched = destW != 0 && destH != 0;
  int64_t sx = srcRect.x, sw = srcRect.width, dx = destX, dw = stretched ? destW : srcRect.width;
  int64_t sy = srcRect.y, sh = srcRect.height, dy = destY, dh = stretched ? destH : srcRect.height;
  if (!VisibleSpan(sx, sw, dx, dw) || !VisibleSpan(sy, sh, dy, dh)) return;
  const int64_t kx = (sw + kMaxDibSide - 1) / kMaxDibSide, ky = (sh + kMaxDibSide - 1) / kMaxDibSide;
  const int32_t bw = static_cast<int32_t>((sw + kx - 1) / kx), bh = static_cast<int32_t>((sh + ky - 1) / ky);
  Qimg band;
  _imgalloc_(band, bw, bh, img.Bpp, __LINE__, "ImgBasic.ImgPutEx.band");
  band.Palette = img.Palette;
  const int32_t bytes = img.BytesPP;
  for (int32_t y = 0; y < bh; ++y) {
    const uint8_t* src = img.Data + ((sy + y * ky) * img.Width + sx) * bytes;
    uint8_t* dst = band.Data + static_cast<int64_t>(y) * bw * bytes;
    if (kx == 1) {
      std::memcpy(dst, src, static_cast<size_t>(bw) * bytes);
    } else {
      for (int32_t x = 0; x < bw; ++x) std::memcpy(dst + x * bytes, src + x * kx * bytes, static_cast<size_t>(bytes));
    }
  }
  ImgRect whole{0, 0, bw, bh};
  const bool asIs = !stretched && kx == 1 && ky == 1;
  ImgPutEx(band, whole, dc, static_cast<int32_t>(dx), static_cast<int32_t>(dy), asIs ? 0 : static_cast<int32_t>(dw),
           asIs ? 0 : static_cast<int32_t>(dh), ditherMode);
  ImgFree(band);
}

}  // namespace

void ImgPutEx(Qimg& img, ImgRect& srcRect, HDC dc, int32_t destX, int32_t destY, int32_t destW, int32_t destH,
              int32_t ditherMode) {
  if (!ImgAssigned(img) || img.Data == nullptr || img.Width < 1 || img.Height < 1) return;
  Framed("ImgBasic.ImgPutEx", [&] {
    if (img.Width > kMaxDibSide || img.Height > kMaxDibSide) {
      PutVisibleBand(img, srcRect, dc, destX, destY, destW, destH, ditherMode);
      return;
    }
    BITMAPINFO* info = nullptr;
    _memalloc_(info, static_cast<int64_t>(sizeof(BITMAPINFO)), __LINE__, "ImgBasic.ImgPutEx.DIBinfo", mkFresh);
    new (info) BITMAPINFO{};
    BITMAPINFOHEADER& h = info->bmiHeader;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = img.Width;
    h.biHeight = -img.Height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<uint16_t>(8 * img.BytesPP);  // 15-bit pictures go as 16-bit BI_RGB (5-5-5)
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<uint32_t>(img.Size);

    Qimg img8;
    Qimg* p = &img;
    uint32_t usage = DIB_RGB_COLORS;
    if (IsPaletteDC(dc)) {
      usage = DIB_PAL_COLORS;
      auto* words = reinterpret_cast<uint16_t*>(info->bmiColors);
      for (int i = 0; i < 256; ++i) words[i] = static_cast<uint16_t>(i);
      if (img.Bpp == 8) {
        // The picture shows in its own colours: its palette becomes the realised one.
        PalPut(img.Palette, dc);
        if (g_programPalette != nullptr) SelectPalette(dc, g_programPalette, true);
      } else {
        _imgalloc_(img8, img.Width, img.Height, 8, __LINE__, "ImgBasic.ImgPutEx.img8");
        ImgTo8bit(img, img8, ditherMode);
        PalPut(img8.Palette, dc);
        p = &img8;
        h.biBitCount = 8;
        h.biSizeImage = static_cast<uint32_t>(img8.Size);
      }
    } else if (img.Bpp == 8) {
      for (int i = 0; i < 256; ++i)
        info->bmiColors[i] = RGBQUAD{img.Palette[i * 3], img.Palette[i * 3 + 1], img.Palette[i * 3 + 2], 0};
    } else if (img.Bpp == 16) {
      h.biCompression = BI_BITFIELDS;
      const uint32_t masks[3] = {0xF800, 0x07E0, 0x001F};
      std::memcpy(info->bmiColors, masks, sizeof masks);
    }

    ImgRect& r = srcRect;
    ClampRect(r, p->Width, p->Height);

    // DIB rows are padded to 4 bytes; a picture whose rows are not goes through a padded copy.
    const uint8_t* bits = p->Data;
    uint8_t* padded = nullptr;
    if ((int64_t{p->Width} * p->BytesPP) % 4 != 0) {
      const int64_t stride = DibLineBytes(h.biBitCount, p->Width);
      _memalloc_(padded, stride * p->Height, __LINE__, "ImgBasic.ImgPutEx.bmpBits", mkFresh);
      CopyRowsBottomUp(*p, padded);
      bits = padded;
      h.biHeight = p->Height;
    }
    const int32_t ySrc = p->Height - r.height - r.y;
    int32_t drawn;
    if (destW == 0 || destH == 0)
      drawn = SetDIBitsToDevice(dc, destX, destY, r.width, r.height, r.x, ySrc, 0, static_cast<uint32_t>(p->Height),
                                bits, info, usage);
    else
      drawn = StretchDIBits(dc, destX, destY, destW, destH, r.x, ySrc, r.width, r.height, bits, info, usage, SRCCOPY);
    if (padded != nullptr) MemFree(padded);
    h.biHeight = -p->Height;

    if (drawn == 0) {
      // The device took no DIB: draw from a bottom-up section in a memory context instead.
      HDC mem = CreateCompatibleDC(dc);
      h.biHeight = p->Height;
      void* sectionBits = nullptr;
      HBITMAP section = CreateDIBSection(dc, info, usage, &sectionBits, nullptr, 0);
      if (mem != nullptr && section != nullptr && sectionBits != nullptr) {
        CopyRowsBottomUp(*p, static_cast<uint8_t*>(sectionBits));
        HGDIOBJ old = SelectObject(mem, section);
        if (destW == 0 || destH == 0)
          BitBlt(dc, destX, destY, r.width, r.height, mem, r.x, r.y, SRCCOPY);
        else
          StretchBlt(dc, destX, destY, destW, destH, mem, r.x, r.y, r.width, r.height, SRCCOPY);
        if (old != section) SelectObject(mem, old);
      }
      if (mem != nullptr) DeleteDC(mem);
      if (section != nullptr) DeleteObject(section);
      h.biHeight = -p->Height;
    }
    if (p == &img8) ImgFree(img8);
    MemFree(info);
  });
}

void ImgPut(Qimg& img, HDC dc, int32_t x, int32_t y) {
  ImgRect r{0, 0, img.Width, img.Height};
  ImgPutEx(img, r, dc, x, y, 0, 0, 0);
}

bool HBitmapToQimg(HBITMAP bitmap, Qimg& img) {
  BITMAP bm{};
  if (GetObjectA(bitmap, sizeof bm, &bm) == 0) return false;
  bool result = true;
  Monitored([&] {
    const int32_t width = bm.bmWidth;
    const int32_t height = bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight;
    const int32_t bpp = bm.bmBitsPixel;
    const int32_t stride = DibLineBytes(bpp, width);
    if (bm.bmBits == nullptr) {
      uint8_t* data = nullptr;
      const int64_t bytes = int64_t{stride} * height;
      if (bytes > INT32_MAX) {
        result = false;
        return;
      }
      _memalloc_(data, bytes, __LINE__, "ImgBasic.HBitmapToQimg.bitmapData", mkFresh);
      bool topDown = true;
      int32_t got = GetBitmapBits(bitmap, static_cast<int32_t>(bytes), data);
      result = got != 0;
      if (!result) {
        HDC screen = CreateCompatibleDC(nullptr);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = static_cast<uint16_t>(bpp);
        info.bmiHeader.biCompression = BI_RGB;
        got = GetDIBits(screen, bitmap, 0, static_cast<uint32_t>(height), data, &info, DIB_RGB_COLORS);
        DeleteDC(screen);
        result = got != 0;
        topDown = false;
      }
      MakeQimg(img, data, width, height, bpp, stride, topDown);
      MemFree(data);
    } else {
      // A DIB section: bottom-up unless its height says top-down.
      MakeQimg(img, bm.bmBits, width, height, bpp, stride, bm.bmHeight < 0);
    }
    if (bpp == 8) {
      HDC screen = CreateCompatibleDC(nullptr);
      HGDIOBJ old = SelectObject(screen, bitmap);
      RGBQUAD table[256];
      const uint32_t n = old != nullptr ? GetDIBColorTable(screen, 0, 256, table) : 0;
      for (uint32_t i = 0; i < n; ++i) {
        img.Palette[i * 3] = table[i].rgbBlue;
        img.Palette[i * 3 + 1] = table[i].rgbGreen;
        img.Palette[i * 3 + 2] = table[i].rgbRed;
      }
      DeleteDC(screen);
      result = n != 0;
    }
  });
  return result;
}

}  // namespace tavelo

#include "gui/img_put.h"

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

void ImgPutEx(Qimg& img, ImgRect& srcRect, HDC dc, int32_t destX, int32_t destY, int32_t destW, int32_t destH,
              int32_t ditherMode) {
  if (!ImgAssigned(img) || img.Data == nullptr || img.Width < 1 || img.Height < 1) return;
  Framed("ImgBasic.ImgPutEx", [&] {
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

    // The source rectangle, inside P. A negative origin would read before the picture.
    ImgRect& r = srcRect;
    if (r.x < 0) r.x = 0;
    if (r.y < 0) r.y = 0;
    if (r.x >= p->Width) r.x = 0;
    if (r.y >= p->Height) r.y = 0;
    if (r.width < 1) r.width = p->Width;
    if (r.height < 1) r.height = p->Height;
    if (r.width > p->Width - r.x) r.width = p->Width - r.x;
    if (r.height > p->Height - r.y) r.height = p->Height - r.y;

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

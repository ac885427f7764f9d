#include "core/media/img_dib.h"

#include <cstring>

#include "core/media/img_frame.h"
#include "core/services/errors.h"
#include "platform/dib/dib.h"

namespace tavelo {

using platform::BI_BITFIELDS;
using platform::BI_RGB;
using platform::BITMAPINFOHEADER;
using platform::RGBQUAD;

int32_t DibLineBytes(int32_t bpp, int32_t width) {
  return static_cast<int32_t>(platform::DibRowBytes(bpp, width));
}

void MakeQimg(Qimg& img, const void* bits, int32_t width, int32_t height, int32_t bpp, int32_t stride, bool topDown) {
  Framed("ImgBasic.MakeQimg", [&] {
    _imgalloc_(img, width, height, bpp, 3658, "ImgBasic.MakeQimg.img");
    const int32_t row = img.Width * img.BytesPP;
    if (stride < row || bits == nullptr) {
      SetError(ecImage, 2, __LINE__);
      AbortMonitor();
      return;
    }
    const auto* src = static_cast<const uint8_t*>(bits);
    if (stride == row && topDown) {
      std::memcpy(img.Data, src, static_cast<size_t>(img.Size));
      return;
    }
    for (int32_t i = 0; i < img.Height; ++i) {
      const int64_t target = topDown ? i : img.Height - 1 - i;
      std::memcpy(img.Data + target * row, src + static_cast<int64_t>(i) * stride, static_cast<size_t>(row));
    }
  });
}

namespace {

// Fails the running frame with (ecImage, code); 0 for the callers below to return when the frame
// goes on (a suspended monitor).
int32_t FailDib_(int32_t code, int32_t line) {
  SetError(ecImage, code, line);
  AbortMonitor();
  return 0;
}

// The depth of the picture a DIB becomes (15: 5-5-5 pixels) from its header and, with bit fields,
// its masks; maskBytes becomes the bytes of the masks in front of the colour table. 0 (the frame
// failed) for a layout that is not taken.
int32_t DibDepth_(const BITMAPINFOHEADER& h, const uint8_t* base, int64_t dibBytes, int64_t& maskBytes) {
  int32_t bpp = h.biBitCount;
  switch (h.biBitCount) {
    case 8:
      if (h.biCompression != BI_RGB) return FailDib_(1, __LINE__);
      break;
    case 16:
    case 32:
      if (h.biCompression == BI_BITFIELDS) {
        // The three masks follow a 40-byte header (later headers hold them inside).
        uint32_t masks[3];
        if (dibBytes >= 0 && dibBytes < 40 + 12) return FailDib_(9, __LINE__);
        std::memcpy(masks, base + 40, sizeof masks);
        if (h.biSize == sizeof(BITMAPINFOHEADER)) maskBytes = 12;
        if (h.biBitCount == 16 && masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F) {
          bpp = 16;
        } else if (h.biBitCount == 16 && masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x001F) {
          bpp = 15;
        } else if (h.biBitCount == 32 && masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF) {
          bpp = 32;
        } else {
          return FailDib_(1, __LINE__);
        }
      } else if (h.biCompression == BI_RGB) {
        if (h.biBitCount == 16) bpp = 15;  // a plain 16-bit DIB is 5-5-5
      } else {
        return FailDib_(1, __LINE__);
      }
      break;
    case 24:
      if (h.biCompression != BI_RGB) return FailDib_(1, __LINE__);
      break;
    default:  // 1, 4 and anything else
      return FailDib_(1, __LINE__);
  }
  return bpp;
}

}  // namespace

void DibToQimg(Qimg& img, const void* packedDib, int64_t dibBytes) {
  Framed("ImgBasic.DibToQimg", [&] {
    const auto* base = static_cast<const uint8_t*>(packedDib);
    const auto fail = [](int32_t code, int32_t line) { FailDib_(code, line); };
    if (base == nullptr || (dibBytes >= 0 && dibBytes < static_cast<int64_t>(sizeof(BITMAPINFOHEADER))))
      return fail(4, __LINE__);
    BITMAPINFOHEADER h;
    std::memcpy(&h, base, sizeof h);
    // A core header (12 bytes) or garbage would be read as the wrong fields.
    if (h.biSize < sizeof(BITMAPINFOHEADER)) return fail(4, __LINE__);
    if (h.biWidth < 1 || h.biHeight == 0 || h.biHeight == INT32_MIN) return fail(2, __LINE__);
    int64_t tableBytes = 0;
    const int32_t bpp = DibDepth_(h, base, dibBytes, tableBytes);
    if (bpp == 0) return;
    // The colour table: biClrUsed entries (an 8-bit DIB has 256 when it says 0).
    const int64_t colours = h.biClrUsed != 0 ? h.biClrUsed : (bpp == 8 ? 256 : 0);
    tableBytes += colours * static_cast<int64_t>(sizeof(RGBQUAD));
    const int32_t height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    const int64_t stride = platform::DibRowBytes(h.biBitCount, h.biWidth);
    const int64_t pixelsAt = static_cast<int64_t>(h.biSize) + tableBytes;
    if (dibBytes >= 0 && pixelsAt + stride * height > dibBytes) return fail(9, __LINE__);
    if (stride > INT32_MAX) return fail(2, __LINE__);
    MakeQimg(img, base + pixelsAt, h.biWidth, height, bpp, static_cast<int32_t>(stride), h.biHeight < 0);
    if (bpp == 8) {
      // At most 256 entries reach the palette, whatever the header claims.
      const int64_t n = colours < 256 ? colours : 256;
      const uint8_t* table = base + h.biSize;
      for (int64_t i = 0; i < n; ++i) {
        img.Palette[i * 3] = table[i * 4];
        img.Palette[i * 3 + 1] = table[i * 4 + 1];
        img.Palette[i * 3 + 2] = table[i * 4 + 2];
      }
    }
  });
}

uint32_t MakeRGBA(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  return r | (static_cast<uint32_t>(g) << 8) | (static_cast<uint32_t>(b) << 16) | (static_cast<uint32_t>(a) << 24);
}

void SplitRGB(uint8_t& r, uint8_t& g, uint8_t& b, uint32_t colour) {
  r = static_cast<uint8_t>(colour);
  g = static_cast<uint8_t>(colour >> 8);
  b = static_cast<uint8_t>(colour >> 16);
}

void RowTo24(bool swapRB, int32_t srcStep, int32_t count, void* dest, const void* src) {
  auto* d = static_cast<uint8_t*>(dest);
  const auto* s = static_cast<const uint8_t*>(src);
  const int32_t b0 = swapRB ? 2 : 0, b2 = swapRB ? 0 : 2;
  for (int32_t i = 0; i < count; ++i, d += 3) {
    uint8_t px[3];
    if (srcStep < 3) {
      const uint32_t w = s[0] | (s[1] << 8);
      px[0] = static_cast<uint8_t>((w & 0x1F) << 3);
      px[1] = static_cast<uint8_t>(((w >> 5) & 0x1F) << 3);
      px[2] = static_cast<uint8_t>(((w >> 10) & 0x1F) << 3);
      s += 2;
    } else {
      px[0] = s[0];
      px[1] = s[1];
      px[2] = s[2];
      s += srcStep;
    }
    d[b0] = px[0];
    d[1] = px[1];
    d[b2] = px[2];
  }
}

}  // namespace tavelo

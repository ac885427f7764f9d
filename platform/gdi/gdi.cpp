#include "platform/gdi/gdi.h"
#include "platform/gdi/gdi_painter.h"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tavelo::platform {

struct GdiObject {
  enum Kind { kBitmap, kPalette, kBrush } kind = kBitmap;
  bool stock = false;
  // Bitmaps.
  int32_t width = 0;
  int32_t height = 0;  // always positive; topDown tells the row order
  int32_t bitCount = 0;
  bool topDown = true;
  bool section = false;
  bool is565 = false;  // 16-bit rows: 5-6-5 (else 5-5-5)
  int64_t stride = 0;
  std::vector<uint8_t> storage;
  std::vector<QRgb> colors;  // colour table of an 8-bit bitmap
  GdiDc* selectedInto = nullptr;
  // Palettes.
  std::vector<PALETTEENTRY> entries;
  // Brushes.
  COLORREF color = 0;
};

struct GdiDc {
  enum Kind { kImage, kPainter, kMemory } kind = kImage;
  QImage* image = nullptr;
  QPainter* painter = nullptr;
  DcOptions options;
  bool paletteDevice = false;
  GdiObject* palette = nullptr;
  GdiObject* realized = nullptr;  // the palette whose entries the device's colours now are
  GdiObject* bitmap = nullptr;
  GdiObject* brush = nullptr;
  uint32_t systemPaletteUse = SYSPAL_STATIC;
};

namespace {

// The largest side a bitmap may have; keeps every size product far inside 64 bits and inside
// what QImage accepts.
constexpr int32_t kMaxSide = 1 << 15;

std::mutex& Lock() {
  static std::mutex m;
  return m;
}
std::unordered_set<GdiObject*>& Objects() {
  static std::unordered_set<GdiObject*> s;
  return s;
}
std::unordered_set<GdiDc*>& Dcs() {
  static std::unordered_set<GdiDc*> s;
  return s;
}

// The stock palette every context starts with: the twenty static colours.
GdiObject* DefaultPalette() {
  static GdiObject* p = [] {
    static const uint8_t rgb[20][3] = {{0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},
                                       {0, 0, 128},     {128, 0, 128},   {0, 128, 128},   {192, 192, 192},
                                       {192, 220, 192}, {166, 202, 240}, {255, 251, 240}, {160, 160, 164},
                                       {128, 128, 128}, {255, 0, 0},     {0, 255, 0},     {255, 255, 0},
                                       {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};
    auto* obj = new GdiObject;
    obj->kind = GdiObject::kPalette;
    obj->stock = true;
    for (const auto& c : rgb) obj->entries.push_back(PALETTEENTRY{c[0], c[1], c[2], 0});
    return obj;
  }();
  return p;
}

bool LiveDc(HDC dc) { return dc != nullptr && Dcs().count(dc) != 0; }
bool LiveObject(HGDIOBJ obj, GdiObject::Kind kind) {
  if (obj == nullptr) return false;
  if (obj == DefaultPalette()) return kind == GdiObject::kPalette;
  return Objects().count(obj) != 0 && obj->kind == kind;
}

QRgb EntryColor(const PALETTEENTRY& e) { return qRgb(e.peRed, e.peGreen, e.peBlue); }

// A readable picture: rows of a DIB or a bitmap, whatever their order.
struct DibView {
  int32_t width = 0;
  int32_t height = 0;
  bool topDown = true;
  int32_t bitCount = 0;
  bool is565 = false;
  const uint8_t* bits = nullptr;
  int64_t stride = 0;
  std::vector<QRgb> colors;  // 8-bit: the colours of the indices
  // DIB_PAL_COLORS on a palette device with its palette realised: the device index of each pixel
  // value, so equal colours at different indices stay apart. Empty otherwise.
  std::vector<int> deviceIndex;

  const uint8_t* Row(int32_t y) const {  // y counted from the top of the picture as shown
    const int32_t stored = topDown ? y : height - 1 - y;
    return bits + stored * stride;
  }
};

// Checks a BITMAPINFO and describes its pixels; false for anything this stand-in does not draw.
bool ViewOfDib(const BITMAPINFO* info, const void* bits, uint32_t usage, const GdiDc* dc, DibView& v) {
  if (info == nullptr || bits == nullptr) return false;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  if (h.biSize != sizeof(BITMAPINFOHEADER)) return false;
  if (h.biWidth < 1 || h.biWidth > kMaxSide || h.biHeight == 0 || h.biHeight < -kMaxSide || h.biHeight > kMaxSide)
    return false;
  v.width = h.biWidth;
  v.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  v.topDown = h.biHeight < 0;
  v.bitCount = h.biBitCount;
  v.bits = static_cast<const uint8_t*>(bits);
  v.stride = DibRowBytes(h.biBitCount, h.biWidth);
  const auto* masks = reinterpret_cast<const uint32_t*>(info->bmiColors);
  switch (h.biBitCount) {
    case 8: {
      if (h.biCompression != BI_RGB) return false;
      const uint32_t count = (h.biClrUsed == 0 || h.biClrUsed > 256) ? 256 : h.biClrUsed;
      v.colors.assign(256, qRgb(0, 0, 0));
      if (usage == DIB_PAL_COLORS) {
        // Indices into the palette selected into the context.
        const GdiObject* pal = dc != nullptr && dc->palette != nullptr ? dc->palette : DefaultPalette();
        const auto* words = reinterpret_cast<const uint16_t*>(info->bmiColors);
        const bool direct = dc != nullptr && dc->paletteDevice && dc->realized == pal;
        if (direct) v.deviceIndex.assign(256, -1);
        for (uint32_t i = 0; i < count; ++i) {
          const uint16_t w = words[i];
          if (w < pal->entries.size()) {
            v.colors[i] = EntryColor(pal->entries[w]);
            if (direct && w < 256) v.deviceIndex[i] = w;
          }
        }
      } else if (usage == DIB_RGB_COLORS) {
        for (uint32_t i = 0; i < count; ++i) {
          const RGBQUAD& q = info->bmiColors[i];
          v.colors[i] = qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
        }
      } else {
        return false;
      }
      return true;
    }
    case 16:
      if (h.biCompression == BI_RGB) return true;  // 5-5-5
      if (h.biCompression == BI_BITFIELDS && masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F) {
        v.is565 = true;
        return true;
      }
      return false;
    case 24:
      return h.biCompression == BI_RGB;
    case 32:
      return h.biCompression == BI_RGB ||
             (h.biCompression == BI_BITFIELDS && masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF);
    default:
      return false;
  }
}

DibView ViewOfBitmap(const GdiObject* b) {
  DibView v;
  v.width = b->width;
  v.height = b->height;
  v.topDown = b->topDown;
  v.bitCount = b->bitCount;
  v.is565 = b->is565;
  v.bits = b->storage.data();
  v.stride = b->stride;
  v.colors = b->colors;
  if (v.bitCount == 8 && v.colors.empty())
    for (int i = 0; i < 256; ++i) v.colors.push_back(qRgb(i, i, i));
  v.colors.resize(256, qRgb(0, 0, 0));
  return v;
}

// The rows [top, top + h) and columns [left, left + w) of a view as a top-down QImage.
QImage Extract(const DibView& v, int32_t left, int32_t top, int32_t w, int32_t h) {
  QImage::Format fmt = QImage::Format_RGB32;
  int32_t bytesPP = 4;
  switch (v.bitCount) {
    case 8: fmt = QImage::Format_Indexed8; bytesPP = 1; break;
    case 16: bytesPP = 2; break;
    case 24: fmt = QImage::Format_BGR888; bytesPP = 3; break;
    default: break;
  }
  QImage out(w, h, fmt);
  if (out.isNull()) return out;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = v.Row(top + y) + static_cast<int64_t>(left) * bytesPP;
    uint8_t* d = out.scanLine(y);
    if (v.bitCount == 16) {
      // 16-bit pixels widen by shifting, low bits 0, as every conversion of the program does, so a
      // 16-bit picture shows the colours its 24-bit conversion has.
      auto* q = reinterpret_cast<QRgb*>(d);
      for (int32_t x = 0; x < w; ++x) {
        const uint32_t p = s[x * 2] | (s[x * 2 + 1] << 8);
        q[x] = v.is565 ? qRgb(((p >> 11) & 0x1F) << 3, ((p >> 5) & 0x3F) << 2, (p & 0x1F) << 3)
                       : qRgb(((p >> 10) & 0x1F) << 3, ((p >> 5) & 0x1F) << 3, (p & 0x1F) << 3);
      }
      continue;
    }
    std::memcpy(d, s, static_cast<size_t>(w) * bytesPP);
    if (v.bitCount == 32)  // the fourth byte of a DIB pixel means nothing: make it opaque
      for (int32_t x = 0; x < w; ++x) d[x * 4 + 3] = 0xFF;
  }
  if (v.bitCount == 8) out.setColorTable(QList<QRgb>(v.colors.begin(), v.colors.end()));
  return out;
}

// Nearest device colour, by plain squared distance, first index winning ties.
uint8_t NearestIndex(const QList<QRgb>& table, QRgb c) {
  int best = 0;
  int64_t bestDist = INT64_MAX;
  for (int i = 0; i < table.size(); ++i) {
    const int dr = qRed(table[i]) - qRed(c), dg = qGreen(table[i]) - qGreen(c), db = qBlue(table[i]) - qBlue(c);
    const int64_t d = int64_t{dr} * dr + int64_t{dg} * dg + int64_t{db} * db;
    if (d < bestDist) {
      bestDist = d;
      best = i;
      if (d == 0) break;
    }
  }
  return static_cast<uint8_t>(best);
}

// Draws src (the whole of it) into the destination rectangle of a context, stretching with
// nearest-neighbour sampling. False when the context cannot be drawn on.
bool DrawOnto(GdiDc* dc, const QImage& src, int32_t x, int32_t y, int32_t w, int32_t h,
              const std::vector<int>* deviceIndex = nullptr) {
  if (src.isNull()) return false;
  if (w <= 0 || h <= 0) return true;
  if (int64_t{x} + w > INT32_MAX || int64_t{y} + h > INT32_MAX) return false;
  const QRect target(x, y, w, h);
  if (dc->kind == GdiDc::kPainter) {
    if (dc->painter == nullptr || !dc->painter->isActive()) return false;
    dc->painter->save();
    dc->painter->setCompositionMode(QPainter::CompositionMode_Source);
    dc->painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
    dc->painter->drawImage(target, src);
    dc->painter->restore();
    return true;
  }
  if (dc->kind != GdiDc::kImage || dc->image == nullptr || dc->image->isNull()) return false;
  if (!dc->paletteDevice) {
    QPainter p(dc->image);
    if (!p.isActive()) return false;
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.drawImage(target, src);
    return true;
  }
  // A palette device: every drawn colour becomes the index of the nearest system-palette colour.
  QImage& dev = *dc->image;
  const QList<QRgb> table = dev.colorTable();
  std::array<uint8_t, 256> indexMap{};
  std::unordered_map<QRgb, uint8_t> cache;
  const bool indexed = src.format() == QImage::Format_Indexed8;
  QImage rgb;
  if (indexed) {
    const QList<QRgb> ct = src.colorTable();
    for (int i = 0; i < 256; ++i) {
      const bool direct = deviceIndex != nullptr && !deviceIndex->empty() && (*deviceIndex)[i] >= 0;
      indexMap[i] = direct ? static_cast<uint8_t>((*deviceIndex)[i])
                           : NearestIndex(table, i < ct.size() ? ct[i] : qRgb(0, 0, 0));
    }
  } else {
    rgb = src.convertToFormat(QImage::Format_RGB32);
  }
  const QRect clip = target.intersected(dev.rect());
  const int64_t sw = src.width(), sh = src.height();
  for (int32_t dy = clip.top(); dy <= clip.bottom(); ++dy) {
    const int64_t sy = ((2 * int64_t{dy - y} + 1) * sh) / (2 * int64_t{h});
    uint8_t* d = dev.scanLine(dy);
    for (int32_t dx = clip.left(); dx <= clip.right(); ++dx) {
      const int64_t sx = ((2 * int64_t{dx - x} + 1) * sw) / (2 * int64_t{w});
      if (indexed) {
        d[dx] = indexMap[src.constScanLine(static_cast<int>(sy))[sx]];
      } else {
        const QRgb c = reinterpret_cast<const QRgb*>(rgb.constScanLine(static_cast<int>(sy)))[sx] | 0xFF000000u;
        auto it = cache.find(c);
        if (it == cache.end()) it = cache.emplace(c, NearestIndex(table, c)).first;
        d[dx] = it->second;
      }
    }
  }
  return true;
}

// The picture a context offers as a blit source.
bool SourceView(GdiDc* dc, DibView& v, QImage& holder) {
  if (dc->kind == GdiDc::kMemory) {
    if (dc->bitmap == nullptr) return false;
    v = ViewOfBitmap(dc->bitmap);
    return true;
  }
  const QImage* img = dc->kind == GdiDc::kImage ? dc->image : nullptr;
  if (dc->kind == GdiDc::kPainter && dc->painter != nullptr && dc->painter->device() != nullptr &&
      dc->painter->device()->devType() == QInternal::Image)
    img = static_cast<const QImage*>(dc->painter->device());
  if (img == nullptr || img->isNull()) return false;
  if (img->format() == QImage::Format_Indexed8) {
    holder = *img;
    v.bitCount = 8;
    const QList<QRgb> ct = img->colorTable();
    v.colors.assign(ct.begin(), ct.end());
    v.colors.resize(256, qRgb(0, 0, 0));
  } else {
    holder = img->convertToFormat(QImage::Format_RGB32);
    v.bitCount = 32;
  }
  v.width = holder.width();
  v.height = holder.height();
  v.topDown = true;
  v.bits = holder.constBits();
  v.stride = holder.bytesPerLine();
  return true;
}

GdiObject* NewObject(GdiObject::Kind kind) {
  auto* obj = new GdiObject;
  obj->kind = kind;
  Objects().insert(obj);
  return obj;
}

GdiDc* NewDc(GdiDc::Kind kind) {
  auto* dc = new GdiDc;
  dc->kind = kind;
  dc->palette = DefaultPalette();
  Dcs().insert(dc);
  return dc;
}

bool ValidBitmapDepth(uint32_t bitCount) { return bitCount == 8 || bitCount == 16 || bitCount == 24 || bitCount == 32; }

}  // namespace

// ---- Device contexts ----

HDC CreateImageDC(QImage* target, DcOptions options) {
  if (target == nullptr || target->isNull()) return nullptr;
  std::lock_guard<std::mutex> lock(Lock());
  GdiDc* dc = NewDc(GdiDc::kImage);
  dc->image = target;
  dc->options = options;
  dc->paletteDevice = target->format() == QImage::Format_Indexed8;
  if (dc->paletteDevice && target->colorCount() < 256) {
    QList<QRgb> table = target->colorTable();
    while (table.size() < 256) table.push_back(qRgb(0, 0, 0));
    target->setColorTable(table);
  }
  return dc;
}

HDC CreatePainterDC(QPainter* painter) {
  if (painter == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(Lock());
  GdiDc* dc = NewDc(GdiDc::kPainter);
  dc->painter = painter;
  return dc;
}

QPainter* PainterOfDC(HDC dc) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc) || dc->kind != GdiDc::kPainter) return nullptr;
  return dc->painter;
}

HDC CreateCompatibleDC(HDC dc) {
  std::lock_guard<std::mutex> lock(Lock());
  if (dc != nullptr && !LiveDc(dc)) return nullptr;
  return NewDc(GdiDc::kMemory);
}

bool DeleteDC(HDC dc) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc)) return false;
  if (dc->bitmap != nullptr) dc->bitmap->selectedInto = nullptr;
  Dcs().erase(dc);
  delete dc;
  return true;
}

int32_t GetDeviceCaps(HDC dc, int32_t index) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc)) return 0;
  switch (index) {
    case RASTERCAPS:
      return RC_BITBLT | RC_DI_BITMAP | RC_STRETCHBLT | RC_STRETCHDIB | (dc->paletteDevice ? RC_PALETTE : 0);
    case BITSPIXEL:
      return dc->paletteDevice ? 8 : 32;
    case SIZEPALETTE:
      return dc->paletteDevice ? 256 : 0;
    default:
      return 0;
  }
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc)) return nullptr;
  if (LiveObject(object, GdiObject::kBitmap)) {
    if (dc->kind != GdiDc::kMemory) return nullptr;
    if (object->selectedInto != nullptr && object->selectedInto != dc) return nullptr;
    GdiObject* previous = dc->bitmap;
    if (previous != nullptr) previous->selectedInto = nullptr;
    dc->bitmap = object;
    object->selectedInto = dc;
    // A memory context starts with no bitmap; handing back nullptr would read as a failure, so
    // the selected bitmap stands in for "none" (selecting it again is harmless).
    return previous != nullptr ? previous : object;
  }
  if (LiveObject(object, GdiObject::kBrush)) {
    GdiObject* previous = dc->brush;
    dc->brush = object;
    return previous != nullptr ? previous : object;
  }
  return nullptr;
}

bool DeleteObject(HGDIOBJ object) {
  std::lock_guard<std::mutex> lock(Lock());
  if (object == DefaultPalette()) return true;
  if (object == nullptr || Objects().count(object) == 0) return false;
  if (object->kind == GdiObject::kBitmap && object->selectedInto != nullptr) return false;
  for (GdiDc* dc : Dcs()) {
    if (dc->palette == object) dc->palette = DefaultPalette();
    if (dc->realized == object) dc->realized = nullptr;
    if (dc->brush == object) dc->brush = nullptr;
  }
  Objects().erase(object);
  delete object;
  return true;
}

// ---- Palettes ----

HPALETTE CreatePalette(const LOGPALETTE* logPalette) {
  if (logPalette == nullptr || logPalette->palVersion != 0x300 || logPalette->palNumEntries == 0 ||
      logPalette->palNumEntries > 256)
    return nullptr;
  std::lock_guard<std::mutex> lock(Lock());
  GdiObject* pal = NewObject(GdiObject::kPalette);
  pal->entries.assign(logPalette->palPalEntry, logPalette->palPalEntry + logPalette->palNumEntries);
  return pal;
}

HPALETTE SelectPalette(HDC dc, HPALETTE palette, bool forceBackground) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc) || !LiveObject(palette, GdiObject::kPalette)) return nullptr;
  GdiObject* previous = dc->palette;
  dc->palette = palette;
  return previous;
}

uint32_t RealizePalette(HDC dc) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc)) return GDI_ERROR;
  if (!dc->paletteDevice) return 0;
  // No other program competes for this device's colours: the selected palette becomes the
  // system palette, entry for entry.
  QList<QRgb> table = dc->image->colorTable();
  const auto& entries = dc->palette->entries;
  for (size_t i = 0; i < entries.size() && i < 256; ++i) table[static_cast<int>(i)] = EntryColor(entries[i]);
  dc->image->setColorTable(table);
  dc->realized = dc->palette;
  return static_cast<uint32_t>(std::min<size_t>(entries.size(), 256));
}

uint32_t SetSystemPaletteUse(HDC dc, uint32_t use) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc) || !dc->paletteDevice || (use != SYSPAL_STATIC && use != SYSPAL_NOSTATIC)) return SYSPAL_ERROR;
  const uint32_t previous = dc->systemPaletteUse;
  dc->systemPaletteUse = use;
  return previous;
}

uint32_t GetPaletteEntries(HPALETTE palette, uint32_t start, uint32_t count, PALETTEENTRY* entries) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveObject(palette, GdiObject::kPalette) || entries == nullptr) return 0;
  const uint32_t size = static_cast<uint32_t>(palette->entries.size());
  if (start >= size) return 0;
  const uint32_t n = std::min(count, size - start);
  std::copy_n(palette->entries.begin() + start, n, entries);
  return n;
}

// ---- DIB transfers ----

int32_t SetDIBitsToDevice(HDC dc, int32_t xDest, int32_t yDest, int32_t width, int32_t height, int32_t xSrc,
                          int32_t ySrc, uint32_t startScan, uint32_t scanLines, const void* bits,
                          const BITMAPINFO* info, uint32_t usage) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc) || dc->kind == GdiDc::kMemory || dc->options.RefuseDibTransfers) return 0;
  DibView v;
  if (!ViewOfDib(info, bits, usage, dc, v)) return 0;
  if (startScan != 0 || scanLines != static_cast<uint32_t>(v.height)) return 0;
  if (width <= 0 || height <= 0) return 0;
  // The source rectangle, top-down, clipped to the picture; the destination follows the clip.
  int64_t left = xSrc, top = int64_t{v.height} - ySrc - height;
  int64_t right = left + width, bottom = top + height;
  const int64_t cl = std::max<int64_t>(left, 0), ct = std::max<int64_t>(top, 0);
  const int64_t cr = std::min<int64_t>(right, v.width), cb = std::min<int64_t>(bottom, v.height);
  if (cr <= cl || cb <= ct) return static_cast<int32_t>(scanLines);
  const QImage part = Extract(v, static_cast<int32_t>(cl), static_cast<int32_t>(ct), static_cast<int32_t>(cr - cl),
                              static_cast<int32_t>(cb - ct));
  const int64_t dx = int64_t{xDest} + (cl - left), dy = int64_t{yDest} + (ct - top);
  if (dx < INT32_MIN || dx > INT32_MAX || dy < INT32_MIN || dy > INT32_MAX) return 0;
  if (!DrawOnto(dc, part, static_cast<int32_t>(dx), static_cast<int32_t>(dy), part.width(), part.height(),
                &v.deviceIndex))
    return 0;
  return static_cast<int32_t>(scanLines);
}

int32_t StretchDIBits(HDC dc, int32_t xDest, int32_t yDest, int32_t destWidth, int32_t destHeight, int32_t xSrc,
                      int32_t ySrc, int32_t srcWidth, int32_t srcHeight, const void* bits, const BITMAPINFO* info,
                      uint32_t usage, uint32_t rop) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc) || dc->kind == GdiDc::kMemory || dc->options.RefuseDibTransfers || rop != SRCCOPY) return 0;
  DibView v;
  if (!ViewOfDib(info, bits, usage, dc, v)) return 0;
  if (destWidth <= 0 || destHeight <= 0 || srcWidth <= 0 || srcHeight <= 0) return 0;
  const int64_t top = int64_t{v.height} - ySrc - srcHeight;
  if (xSrc < 0 || top < 0 || int64_t{xSrc} + srcWidth > v.width || top + srcHeight > v.height) return 0;
  const QImage part = Extract(v, xSrc, static_cast<int32_t>(top), srcWidth, srcHeight);
  if (!DrawOnto(dc, part, xDest, yDest, destWidth, destHeight, &v.deviceIndex)) return 0;
  return srcHeight;
}

// ---- Bitmaps ----

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, uint32_t usage, void** bits, void* section,
                         uint32_t offset) {
  if (bits != nullptr) *bits = nullptr;
  if (info == nullptr || section != nullptr || offset != 0) return nullptr;
  std::lock_guard<std::mutex> lock(Lock());
  if (dc != nullptr && !LiveDc(dc)) return nullptr;
  if (usage == DIB_PAL_COLORS && dc == nullptr) return nullptr;
  // The colour table and layout checks are those of a transfer; any non-null pointer stands in
  // for the pixels while checking.
  DibView v;
  static const uint8_t probe = 0;
  if (!ViewOfDib(info, &probe, usage, dc, v)) return nullptr;
  GdiObject* b = NewObject(GdiObject::kBitmap);
  b->width = v.width;
  b->height = v.height;
  b->topDown = v.topDown;
  b->bitCount = v.bitCount;
  b->is565 = v.is565;
  b->section = true;
  b->stride = v.stride;
  b->storage.assign(static_cast<size_t>(v.stride * v.height), 0);
  if (v.bitCount == 8) b->colors = v.colors;
  if (bits != nullptr) *bits = b->storage.data();
  return b;
}

HBITMAP CreateBitmap(int32_t width, int32_t height, uint32_t planes, uint32_t bitCount, const void* bits) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || planes != 1 || !ValidBitmapDepth(bitCount))
    return nullptr;
  std::lock_guard<std::mutex> lock(Lock());
  GdiObject* b = NewObject(GdiObject::kBitmap);
  b->width = width;
  b->height = height;
  b->topDown = true;
  b->bitCount = static_cast<int32_t>(bitCount);
  b->is565 = bitCount == 16;
  b->stride = DibRowBytes(static_cast<int32_t>(bitCount), width);
  b->storage.assign(static_cast<size_t>(b->stride * height), 0);
  if (bits != nullptr) std::memcpy(b->storage.data(), bits, b->storage.size());
  return b;
}

HBITMAP CreateBitmapFromImage(const QImage& image) {
  if (image.isNull() || image.width() > kMaxSide || image.height() > kMaxSide) return nullptr;
  QImage src;
  int32_t bitCount = 32;
  bool is565 = false;
  switch (image.format()) {
    case QImage::Format_Indexed8: src = image; bitCount = 8; break;
    case QImage::Format_RGB16: src = image; bitCount = 16; is565 = true; break;
    case QImage::Format_BGR888: src = image; bitCount = 24; break;
    case QImage::Format_RGB888:
    case QImage::Format_RGB555: src = image.convertToFormat(QImage::Format_BGR888); bitCount = 24; break;
    default: src = image.convertToFormat(QImage::Format_ARGB32); break;
  }
  std::lock_guard<std::mutex> lock(Lock());
  GdiObject* b = NewObject(GdiObject::kBitmap);
  b->width = src.width();
  b->height = src.height();
  b->topDown = false;  // the toolkit's bitmaps are bottom-up sections
  b->bitCount = bitCount;
  b->is565 = is565;
  b->section = true;
  b->stride = DibRowBytes(bitCount, b->width);
  b->storage.assign(static_cast<size_t>(b->stride * b->height), 0);
  const size_t rowBytes = static_cast<size_t>(b->width) * static_cast<size_t>((bitCount + 7) / 8);
  for (int32_t y = 0; y < b->height; ++y)
    std::memcpy(b->storage.data() + (b->height - 1 - y) * b->stride, src.constScanLine(y), rowBytes);
  if (bitCount == 8) {
    const QList<QRgb> ct = src.colorTable();
    b->colors.assign(ct.begin(), ct.end());
    b->colors.resize(256, qRgb(0, 0, 0));
  }
  return b;
}

int32_t GetObjectA(HGDIOBJ object, int32_t size, BITMAP* out) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveObject(object, GdiObject::kBitmap) || out == nullptr || size < static_cast<int32_t>(sizeof(BITMAP)))
    return 0;
  out->bmType = 0;
  out->bmWidth = object->width;
  out->bmHeight = object->section && object->topDown ? -object->height : object->height;
  out->bmWidthBytes = static_cast<int32_t>(object->stride);
  out->bmPlanes = 1;
  out->bmBitsPixel = static_cast<uint16_t>(object->bitCount);
  out->bmBits = object->section ? object->storage.data() : nullptr;
  return static_cast<int32_t>(sizeof(BITMAP));
}

int32_t GetBitmapBits(HBITMAP bitmap, int32_t size, void* bits) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveObject(bitmap, GdiObject::kBitmap) || bits == nullptr || size <= 0) return 0;
  const DibView v = ViewOfBitmap(bitmap);
  const int64_t total = std::min<int64_t>(size, v.stride * v.height);
  auto* out = static_cast<uint8_t*>(bits);
  for (int64_t done = 0, y = 0; done < total; ++y) {
    const int64_t n = std::min<int64_t>(v.stride, total - done);
    std::memcpy(out + done, v.Row(static_cast<int32_t>(y)), static_cast<size_t>(n));
    done += n;
  }
  return static_cast<int32_t>(total);
}

int32_t GetDIBits(HDC dc, HBITMAP bitmap, uint32_t startScan, uint32_t scanLines, void* bits, BITMAPINFO* info,
                  uint32_t usage) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc) || !LiveObject(bitmap, GdiObject::kBitmap) || info == nullptr || bits == nullptr ||
      usage != DIB_RGB_COLORS)
    return 0;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  const int32_t absHeight = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  if (h.biSize != sizeof(BITMAPINFOHEADER) || h.biWidth != bitmap->width || absHeight != bitmap->height ||
      h.biBitCount != bitmap->bitCount || (h.biCompression != BI_RGB && h.biCompression != BI_BITFIELDS))
    return 0;
  if (startScan >= static_cast<uint32_t>(bitmap->height)) return 0;
  const uint32_t lines = std::min<uint32_t>(scanLines, static_cast<uint32_t>(bitmap->height) - startScan);
  const DibView v = ViewOfBitmap(bitmap);
  const bool bottomUp = h.biHeight > 0;
  auto* out = static_cast<uint8_t*>(bits);
  for (uint32_t k = 0; k < lines; ++k) {
    const int32_t scan = static_cast<int32_t>(startScan + k);
    const int32_t row = bottomUp ? bitmap->height - 1 - scan : scan;
    std::memcpy(out + static_cast<int64_t>(k) * v.stride, v.Row(row), static_cast<size_t>(v.stride));
  }
  if (bitmap->bitCount == 8) {
    for (int i = 0; i < 256; ++i) {
      const QRgb c = v.colors[i];
      info->bmiColors[i] = RGBQUAD{static_cast<uint8_t>(qBlue(c)), static_cast<uint8_t>(qGreen(c)),
                                   static_cast<uint8_t>(qRed(c)), 0};
    }
  }
  return static_cast<int32_t>(lines);
}

uint32_t GetDIBColorTable(HDC dc, uint32_t start, uint32_t count, RGBQUAD* colors) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc) || colors == nullptr || dc->bitmap == nullptr) return 0;
  const GdiObject* b = dc->bitmap;
  if (!b->section || b->bitCount != 8) return 0;
  const uint32_t size = static_cast<uint32_t>(b->colors.size());
  if (start >= size) return 0;
  const uint32_t n = std::min(count, size - start);
  for (uint32_t i = 0; i < n; ++i) {
    const QRgb c = b->colors[start + i];
    colors[i] = RGBQUAD{static_cast<uint8_t>(qBlue(c)), static_cast<uint8_t>(qGreen(c)), static_cast<uint8_t>(qRed(c)), 0};
  }
  return n;
}

// ---- Blits and fills ----

bool BitBlt(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src, int32_t xSrc, int32_t ySrc,
            uint32_t rop) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dest) || !LiveDc(src) || rop != SRCCOPY || width <= 0 || height <= 0) return false;
  DibView v;
  QImage holder;
  if (!SourceView(src, v, holder)) return false;
  const int64_t cl = std::max<int64_t>(xSrc, 0), ct = std::max<int64_t>(ySrc, 0);
  const int64_t cr = std::min<int64_t>(int64_t{xSrc} + width, v.width);
  const int64_t cb = std::min<int64_t>(int64_t{ySrc} + height, v.height);
  if (cr <= cl || cb <= ct) return true;
  const QImage part = Extract(v, static_cast<int32_t>(cl), static_cast<int32_t>(ct), static_cast<int32_t>(cr - cl),
                              static_cast<int32_t>(cb - ct));
  const int64_t dx = int64_t{x} + (cl - xSrc), dy = int64_t{y} + (ct - ySrc);
  if (dx > INT32_MAX || dy > INT32_MAX) return true;
  return DrawOnto(dest, part, static_cast<int32_t>(dx), static_cast<int32_t>(dy), part.width(), part.height());
}

bool StretchBlt(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC src, int32_t xSrc, int32_t ySrc,
                int32_t srcWidth, int32_t srcHeight, uint32_t rop) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dest) || !LiveDc(src) || rop != SRCCOPY || width <= 0 || height <= 0 || srcWidth <= 0 ||
      srcHeight <= 0)
    return false;
  DibView v;
  QImage holder;
  if (!SourceView(src, v, holder)) return false;
  if (xSrc < 0 || ySrc < 0 || int64_t{xSrc} + srcWidth > v.width || int64_t{ySrc} + srcHeight > v.height) return false;
  const QImage part = Extract(v, xSrc, ySrc, srcWidth, srcHeight);
  return DrawOnto(dest, part, x, y, width, height);
}

HBRUSH CreateSolidBrush(COLORREF color) {
  std::lock_guard<std::mutex> lock(Lock());
  GdiObject* brush = NewObject(GdiObject::kBrush);
  brush->color = color & 0xFFFFFF;
  return brush;
}

bool FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
  std::lock_guard<std::mutex> lock(Lock());
  if (!LiveDc(dc) || rect == nullptr || !LiveObject(brush, GdiObject::kBrush) || dc->kind == GdiDc::kMemory)
    return false;
  const int64_t w = int64_t{rect->right} - rect->left, h = int64_t{rect->bottom} - rect->top;
  if (w <= 0 || h <= 0) return true;
  const COLORREF c = brush->color;
  QImage one(1, 1, QImage::Format_RGB32);
  one.setPixel(0, 0, qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
  return DrawOnto(dc, one, rect->left, rect->top, static_cast<int32_t>(std::min<int64_t>(w, INT32_MAX)),
                  static_cast<int32_t>(std::min<int64_t>(h, INT32_MAX)));
}

int32_t GdiLiveObjects() {
  std::lock_guard<std::mutex> lock(Lock());
  return static_cast<int32_t>(Objects().size());
}

int32_t GdiLiveDCs() {
  std::lock_guard<std::mutex> lock(Lock());
  return static_cast<int32_t>(Dcs().size());
}

}  // namespace tavelo::platform

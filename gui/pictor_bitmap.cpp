#include "gui/pictor_bitmap.h"

#include <QColor>
#include <QFontMetrics>
#include <QPainter>
#include <QString>
#include <QStringList>

#include <cstring>

#include "core/services/monitor.h"
#include "gui/img_put.h"

namespace tavelo {

using namespace platform;

namespace {

QColor ColourOf(uint32_t colour) { return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF); }

// A toolkit image as a picture record, through its bitmap handle as the toolkit hands it out.
bool ImageToQimg(const QImage& image, Qimg& img) {
  HBITMAP handle = CreateBitmapFromImage(image);
  if (handle == nullptr) return false;
  const bool ok = HBitmapToQimg(handle, img);
  DeleteObject(handle);
  return ok && ImgAssigned(img);
}

// Runs blend(d, s) over every byte pair B, G, R of the visible part of src on dst at (x, y), on a
// copy of dst in 32 bits that is then put back.
template <class Blend>
void Over32(QImage& dst, const QImage& src, int32_t x, int32_t y, Blend blend) {
  int32_t dx, dy, w, h, sx, sy;
  PicClip(x, y, src.width(), src.height(), dst.width(), dst.height(), dx, dy, w, h, sx, sy);
  if (w <= 0 || h <= 0) return;
  const QImage::Format original = dst.format();
  const bool direct = original == QImage::Format_RGB32 || original == QImage::Format_ARGB32;
  QImage work = direct ? dst : dst.convertToFormat(QImage::Format_RGB32);
  for (int32_t row = 0; row < h; ++row) {
    const uint8_t* s = src.constScanLine(sy + row) + int64_t{sx} * 4;
    uint8_t* d = work.scanLine(dy + row) + int64_t{dx} * 4;
    for (int32_t col = 0; col < w; ++col, s += 4, d += 4) blend(d, s);
  }
  dst = direct ? work : work.convertToFormat(original);
}

}  // namespace

int32_t PixelFormatToBits(QImage::Format format) {
  switch (format) {
    case QImage::Format_Invalid: return 0;
    case QImage::Format_Indexed8: return 8;
    case QImage::Format_RGB555: return 15;
    case QImage::Format_RGB16: return 16;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied: return 32;
    default: return 24;
  }
}

QImage::Format BitsToPixelFormat(int32_t bits) {
  switch (bits) {
    case 8: return QImage::Format_Indexed8;
    case 15: return QImage::Format_RGB555;
    case 16: return QImage::Format_RGB16;
    case 24: return QImage::Format_BGR888;
    default: return QImage::Format_ARGB32;
  }
}

void PicToBitmap(const Qimg& pic, QImage* bitmap) {
  if (bitmap == nullptr || !ImgAssigned(pic) || pic.Data == nullptr || PicIsEmpty(pic)) return;
  QImage out(pic.Width, pic.Height, BitsToPixelFormat(pic.Bpp));
  if (out.isNull()) return;
  const size_t row = static_cast<size_t>(pic.Width) * static_cast<size_t>(pic.BytesPP);
  for (int32_t y = 0; y < pic.Height; ++y) std::memcpy(out.scanLine(y), pic.Data + y * row, row);
  if (pic.Bpp == 8) {
    QList<QRgb> table;
    for (int i = 0; i < 256; ++i) table.push_back(qRgb(pic.Palette[i * 3 + 2], pic.Palette[i * 3 + 1], pic.Palette[i * 3]));
    out.setColorTable(table);
  }
  *bitmap = out;
}

bool PicMakeButtonBitmaps(const QImage& graphic, QImage* masked, QImage* shadow, QImage* a, QImage* b,
                          QImage* disabled, uint32_t colour) {
  if (graphic.isNull()) return false;
  Qimg src, m, s, pa, pb, pd;
  bool ok = false;
  Monitored([&] {
    if (!ImageToQimg(graphic, src)) return;
    ok = PicMakeButtonFaces(src, m, s, pa, pb, pd, colour);
    if (ok) {
      PicToBitmap(m, masked);
      PicToBitmap(s, shadow);
      PicToBitmap(pa, a);
      PicToBitmap(pb, b);
      PicToBitmap(pd, disabled);
    }
    for (Qimg* q : {&src, &m, &s, &pa, &pb, &pd}) ImgFree(*q);
  });
  return ok;
}

void PicMakeAlphaBitmap(const QImage& bitmap, QImage& dst) {
  if (PixelFormatToBits(bitmap.format()) == 32) {
    dst = bitmap;
    return;
  }
  Qimg src, masked;
  Monitored([&] {
    if (ImageToQimg(bitmap, src)) {
      PicMakeAlpha_(src, masked);
      PicToBitmap(masked, &dst);
    }
    ImgFree(src);
    ImgFree(masked);
  });
}

void PicAlphaDraw(const QImage& src, QImage& dst, int32_t x, int32_t y) {
  if (src.isNull() || dst.isNull()) return;
  if (PixelFormatToBits(src.format()) != 32) {
    int32_t dx, dy, w, h, sx, sy;
    PicClip(x, y, src.width(), src.height(), dst.width(), dst.height(), dx, dy, w, h, sx, sy);
    if (w <= 0 || h <= 0 || dst.format() == QImage::Format_Indexed8) return;
    QPainter painter(&dst);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QPoint(dx, dy), src, QRect(sx, sy, w, h));
    return;
  }
  const QImage s = src.format() == QImage::Format_ARGB32 ? src : src.convertToFormat(QImage::Format_ARGB32);
  Over32(dst, s, x, y, [](uint8_t* d, const uint8_t* p) {
    const uint32_t a = p[3];
    if (a >= 255) {
      d[0] = p[0];
      d[1] = p[1];
      d[2] = p[2];
      return;
    }
    for (int c = 0; c < 3; ++c) d[c] = static_cast<uint8_t>((d[c] * (255 - a) + p[c] * a) / 255);
  });
}

void PicDrawLayered(const QImage& bitmap, int32_t x, int32_t y, const QImage& shadow, int32_t dx, int32_t dy,
                    QImage& dst) {
  if (!shadow.isNull()) {
    const int64_t sx = int64_t{x} + (int64_t{bitmap.width()} - shadow.width()) / 2 + dx;
    const int64_t sy = int64_t{y} + (int64_t{bitmap.height()} - shadow.height()) / 2 + dy;
    if (sx >= INT32_MIN && sx <= INT32_MAX && sy >= INT32_MIN && sy <= INT32_MAX)
      PicAlphaDraw(shadow, dst, static_cast<int32_t>(sx), static_cast<int32_t>(sy));
  }
  PicAlphaDraw(bitmap, dst, x, y);
}

void PicTintRect(QImage& bitmap, const TRect& rect, uint32_t colour) {
  int32_t a = static_cast<int32_t>(colour >> 24);
  if (a == 0 || bitmap.isNull()) return;
  const TSize size = PicRectSize(rect);
  int32_t dx, dy, w, h, sx, sy;
  PicClip(rect.Left, rect.Top, size.Width, size.Height, bitmap.width(), bitmap.height(), dx, dy, w, h, sx, sy);
  if (w <= 0 || h <= 0) return;
  if (a == 255) {
    if (bitmap.format() == QImage::Format_Indexed8) return;
    QPainter painter(&bitmap);
    painter.fillRect(QRect(dx, dy, w, h), ColourOf(colour));
    return;
  }
  if (a > 128) a = a + 1;
  const int32_t k = 256 - a;
  const int32_t tint[3] = {static_cast<int32_t>((colour >> 16) & 0xFF), static_cast<int32_t>((colour >> 8) & 0xFF),
                           static_cast<int32_t>(colour & 0xFF)};  // B, G, R
  // The rectangle seen as a picture of its own size drawn at its place.
  QImage area(w, h, QImage::Format_ARGB32);
  area.fill(0);
  Over32(bitmap, area, dx, dy, [&](uint8_t* d, const uint8_t*) {
    for (int c = 0; c < 3; ++c) d[c] = static_cast<uint8_t>((((d[c] - tint[c]) * k) >> 8) + tint[c]);
  });
}

void PicFillRect(HDC dc, int32_t x, int32_t y, int32_t width, int32_t height, uint32_t colour) {
  HBRUSH brush = CreateSolidBrush(colour & 0xFFFFFF);
  const RECT r{x, y, static_cast<int32_t>(std::min<int64_t>(int64_t{x} + width, INT32_MAX)),
               static_cast<int32_t>(std::min<int64_t>(int64_t{y} + height, INT32_MAX))};
  FillRect(dc, &r, brush);
  DeleteObject(brush);
}

void PicDrawText(QPainter& canvas, const TRect& rect, uint32_t colour, const std::string& text) {
  const TSize size = PicRectSize(rect);
  const QRect box(rect.Left, rect.Top, size.Width, size.Height);
  canvas.save();
  canvas.setPen(ColourOf(colour));
  canvas.setBackgroundMode(Qt::TransparentMode);
  const QFontMetrics metrics(canvas.font());
  QStringList lines = QString::fromStdString(text).split('\n');
  for (QString& line : lines) {
    if (line.endsWith('\r')) line.chop(1);
    line = metrics.elidedText(line, Qt::ElideRight, box.width());
  }
  canvas.drawText(box, Qt::AlignLeft | Qt::AlignTop, lines.join('\n'));
  canvas.restore();
}

}  // namespace tavelo

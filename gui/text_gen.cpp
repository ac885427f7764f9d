#include "gui/text_gen.h"

#include <QFontMetrics>
#include <QPainter>
#include <QString>
#include <QTransform>

#include <cmath>
#include <cstdlib>

#include "core/media/impress.h"
#include "core/media/pictor.h"
#include "core/services/basic.h"
#include "core/services/exception_log.h"

namespace tavelo {

namespace {

constexpr int32_t kMaxBitmapSide = 30000;

int32_t LimitSide(int64_t v) { return static_cast<int32_t>(v < 1 ? 1 : v > kMaxBitmapSide ? kMaxBitmapSide : v); }

}  // namespace

QTextGen::QTextGen() { SetDefaults(); }

void QTextGen::SetDefaults() {
  FontName = "Arial";
  FontSize = 20;
  Charset = 1;
  Color = 0xFFFFFF;
  Bold = Italic = Underline = StrikeOut = 0;
  Orientation = Escapement = 0;
  ShadowOn = -1;
  ShadowColor = 0;
  ShadowBlur = 2;
  ShadowStrength = 100;
  ShadowDX = 2;
  ShadowDY = 2;
}

void QTextGen::SetFontSize(int32_t size) {
  const int64_t magnitude = std::llabs(static_cast<int64_t>(size));
  FontSize = static_cast<int32_t>(magnitude < 5 ? 5 : magnitude > 800 ? 800 : magnitude);
}

void QTextGen::GetTextExtent(const TextBitmap& bitmap, const std::string& line, QSize& size) const {
  const QFontMetrics metrics(bitmap.Font);
  size = QSize(metrics.horizontalAdvance(QString::fromStdString(line)), metrics.height());
}

void QTextGen::GetLineExtent(const TextBitmap& bitmap, const std::string& line, QSize& size) const {
  if (line.empty()) {
    size = QSize(0, FontSize);
    return;
  }
  GetTextExtent(bitmap, line, size);
}

void QTextGen::GetTextExtentInternal(const TextBitmap& bitmap, const std::vector<std::string>& lines,
                                     QSize& size) const {
  size = QSize(0, 0);
  try {
    int64_t width = 0, height = 0;
    for (const std::string& line : lines) {
      QSize s;
      GetLineExtent(bitmap, line, s);
      if (s.width() > width) width = s.width();
      height += s.height();
    }
    width += std::llabs(static_cast<int64_t>(ShadowDX)) + 2 * int64_t{ShadowBlur};
    height += std::llabs(static_cast<int64_t>(ShadowDY)) + 2 * int64_t{ShadowBlur};
    size = QSize(static_cast<int>(width > INT32_MAX ? INT32_MAX : width),
                 static_cast<int>(height > INT32_MAX ? INT32_MAX : height));
  } catch (...) {
    LogException("QTextGen.GetTextExtentInternal");
  }
}

TextBitmap QTextGen::CreateBitmap() const {
  TextBitmap bitmap;
  QFont font(QString::fromStdString(FontName));
  // The height is the font's cell height (ascent plus descent), as a positive font height asks;
  // Qt sizes fonts by the em, so the em is scaled down to make the cell fit.
  font.setPixelSize(FontSize);
  const int cell = QFontMetrics(font).height();
  if (cell > FontSize) {
    const int64_t em = FpuRound(static_cast<long double>(FontSize) * FontSize / cell);
    font.setPixelSize(static_cast<int>(em < 1 ? 1 : em));
  }
  font.setWeight(Bold != 0 ? QFont::Bold : QFont::Normal);
  font.setItalic(Italic != 0);
  font.setUnderline(Underline != 0);
  font.setStrikeOut(StrikeOut != 0);
  // Proof quality: antialiased grey levels, never coloured sub-pixel fringes, so the green
  // channel is the coverage.
  font.setStyleStrategy(static_cast<QFont::StyleStrategy>(QFont::PreferAntialias | QFont::NoSubpixelAntialias));
  font.setHintingPreference(QFont::PreferDefaultHinting);
  bitmap.Font = font;
  bitmap.Image = QImage(1, 1, QImage::Format_RGB32);
  bitmap.Image.fill(Qt::black);
  return bitmap;
}

std::vector<std::string> QTextGen::SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

void QTextGen::CoverageSprite(const QImage& bitmap, Qimg& sprite) {
  const QImage rgb = bitmap.convertToFormat(QImage::Format_RGB32);
  _imgalloc_(sprite, rgb.width(), rgb.height(), 8, __LINE__, "TextGen.MakeSprite.sprite");
  for (int y = 0; y < rgb.height(); ++y) {
    const auto* s = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    uint8_t* d = sprite.Data + static_cast<int64_t>(y) * sprite.Width;
    for (int x = 0; x < rgb.width(); ++x) d[x] = static_cast<uint8_t>(qGreen(s[x]));
  }
  // Through the palette: gamma 0.5 on green squares the coverage, which thins the antialiased
  // edges the way the text is meant to look.
  PalSetGray(sprite.Palette);
  ImgGamma(sprite, sprite, 1.0, 0.5, 1.0);
  uint8_t map[256];
  for (int i = 0; i < 256; ++i) map[i] = sprite.Palette[i * 3 + 1];
  const int64_t n = static_cast<int64_t>(sprite.Width) * sprite.Height;
  for (int64_t i = 0; i < n; ++i) sprite.Data[i] = map[sprite.Data[i]];
  PalSetGray(sprite.Palette);
}

void QTextGen::MakeSprite(const std::string& text, Qimg& sprite) const {
  ImgFree(sprite);
  const std::vector<std::string> lines = SplitLines(text);
  if (lines.empty()) return;
  try {
    TextBitmap bitmap = CreateBitmap();
    QSize extent;
    GetTextExtentInternal(bitmap, lines, extent);
    // Escapement in tenths of a degree, as the font takes it. The block of lines turns about its
    // top-left corner; the bitmap is made large enough for the turned block (turning the text in
    // a bitmap measured unturned would cut most of it off).
    const double angle = static_cast<double>(FpuRound(static_cast<long double>(Escapement) * 10)) / 10.0;
    QTransform turn;
    turn.rotate(-angle);
    int64_t width = extent.width(), height = extent.height();
    if (angle != 0) {
      const int64_t marginX = std::llabs(static_cast<int64_t>(ShadowDX)) + 2 * int64_t{ShadowBlur};
      const int64_t marginY = std::llabs(static_cast<int64_t>(ShadowDY)) + 2 * int64_t{ShadowBlur};
      const QRectF bound = turn.mapRect(QRectF(0, 0, static_cast<double>(width - marginX),
                                               static_cast<double>(height - marginY)));
      turn = turn * QTransform::fromTranslate(-bound.left(), -bound.top());
      width = static_cast<int64_t>(std::ceil(bound.width())) + marginX;
      height = static_cast<int64_t>(std::ceil(bound.height())) + marginY;
    }
    bitmap.Image = QImage(LimitSide(width), LimitSide(height), QImage::Format_RGB32);
    if (bitmap.Image.isNull()) return;
    bitmap.Image.fill(Qt::black);
    {
      QPainter painter(&bitmap.Image);
      painter.setFont(bitmap.Font);
      painter.setPen(Qt::white);
      painter.setRenderHint(QPainter::TextAntialiasing, true);
      painter.setTransform(turn);
      const int ascent = QFontMetrics(bitmap.Font).ascent();
      int64_t y = 0;
      for (const std::string& line : lines) {
        painter.drawText(QPointF(0, static_cast<double>(y + ascent)), QString::fromStdString(line));
        QSize s;
        GetLineExtent(bitmap, line, s);
        y += s.height();
      }
    }
    CoverageSprite(bitmap.Image, sprite);
  } catch (...) {
    LogException("QTextGen.MakeSprite");
  }
}

int32_t QTextGen::DrawText(const std::string& text, int32_t x, int32_t y, Qimg& dest) {
  if (text.empty() || !ImgAssigned(dest) || dest.Data == nullptr || PicIsEmpty(dest)) return 0;
  if (x != kCentre && x >= dest.Width) return 0;
  if (y != kCentre && y >= dest.Height) return 0;
  ShadowBlur = IntClamp(ShadowBlur, 0, 10);
  Qimg sprite;
  MakeSprite(text, sprite);
  if (!ImgAssigned(sprite)) return 0;
  if (x == kCentre) x = (dest.Width - sprite.Width) / 2;
  if (y == kCentre) y = (dest.Height - sprite.Height) / 2;
  if (dest.Bpp != 24 && dest.Bpp != 32) ImgConvBpp(dest, dest, 24);
  if (ShadowOn != 0) {
    Qimg shadow;
    PicMakeShadow(sprite, shadow, ShadowColor, ShadowBlur, ShadowStrength);
    const int64_t sx = int64_t{x} + ShadowDX - ShadowBlur, sy = int64_t{y} + ShadowDY - ShadowBlur;
    if (ImgAssigned(shadow) && sx >= INT32_MIN && sx <= INT32_MAX && sy >= INT32_MIN && sy <= INT32_MAX)
      ImgBlend(shadow, shadow, dest, dest, static_cast<int32_t>(sx), static_cast<int32_t>(sy));
    ImgFree(shadow);
  }
  int32_t dx, dy, w, h, sx, sy;
  PicClip(x, y, sprite.Width, sprite.Height, dest.Width, dest.Height, dx, dy, w, h, sx, sy);
  const uint32_t colour[3] = {(Color >> 16) & 0xFF, (Color >> 8) & 0xFF, Color & 0xFF};  // B, G, R
  for (int32_t row = 0; row < h; ++row) {
    const uint8_t* a = sprite.Data + int64_t{sy + row} * sprite.Width + sx;
    uint8_t* d = dest.Data + (int64_t{dy + row} * dest.Width + dx) * dest.BytesPP;
    for (int32_t col = 0; col < w; ++col, d += dest.BytesPP) {
      const uint32_t c = a[col];
      if (c == 0) continue;
      for (int k = 0; k < 3; ++k) d[k] = static_cast<uint8_t>((d[k] * (255 - c) + colour[k] * c) / 255);
    }
  }
  ImgFree(sprite);
  return 0;
}

}  // namespace tavelo

// Text pictures: settings, line splitting, sprite geometry, the coverage curve, centring, clipping
// and blending. Glyph shapes belong to the font; the tests check geometry and arithmetic only.
#include "gui/text_gen.h"

#include <gtest/gtest.h>

#include <QFontMetrics>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/media/impress.h"
#include "core/media/pictor.h"
#include "core/services/basic.h"
#include "core/services/memory.h"

namespace tavelo {
namespace {

using Lines = std::vector<std::string>;

void Fill24(Qimg& img, int w, int h, uint8_t b, uint8_t g, uint8_t r) {
  ImgAlloc(img, w, h, 24);
  for (int i = 0; i < w * h; ++i) {
    img.Data[i * 3] = b;
    img.Data[i * 3 + 1] = g;
    img.Data[i * 3 + 2] = r;
  }
}

// What DrawText's last step must give: the sprite blended at (x, y) in colour.
void BlendSprite(const Qimg& sprite, Qimg& dest, int x, int y, uint32_t colour) {
  const uint32_t c[3] = {(colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF};
  for (int sy = 0; sy < sprite.Height; ++sy)
    for (int sx = 0; sx < sprite.Width; ++sx) {
      const int dx = x + sx, dy = y + sy;
      if (dx < 0 || dy < 0 || dx >= dest.Width || dy >= dest.Height) continue;
      const uint32_t a = sprite.Data[sy * sprite.Width + sx];
      uint8_t* d = dest.Data + (dy * dest.Width + dx) * dest.BytesPP;
      for (int k = 0; k < 3; ++k) d[k] = static_cast<uint8_t>((d[k] * (255 - a) + c[k] * a) / 255);
    }
}

std::vector<uint8_t> Bytes(const Qimg& img) { return std::vector<uint8_t>(img.Data, img.Data + img.Size); }

TEST(TextGen, DefaultsAndFontSizeLimits) {
  QTextGen gen;
  EXPECT_EQ(gen.FontName, "Arial");
  EXPECT_EQ(gen.FontSize, 20);
  EXPECT_EQ(gen.Charset, 1);
  EXPECT_EQ(gen.Color, 0xFFFFFFu);
  EXPECT_NE(gen.ShadowOn, 0);
  EXPECT_EQ(gen.ShadowBlur, 2);
  EXPECT_EQ(gen.ShadowStrength, 100);
  EXPECT_EQ(gen.ShadowDX, 2);
  EXPECT_EQ(gen.ShadowDY, 2);
  gen.SetFontSize(-3);
  EXPECT_EQ(gen.FontSize, 5);
  gen.SetFontSize(1000);
  EXPECT_EQ(gen.FontSize, 800);
  gen.SetFontSize(-40);
  EXPECT_EQ(gen.FontSize, 40);
  gen.SetFontSize(INT32_MIN);
  EXPECT_EQ(gen.FontSize, 800);
}

TEST(TextGen, LinesSplitAsAStringList) {
  EXPECT_EQ(QTextGen::SplitLines(""), Lines{});
  EXPECT_EQ(QTextGen::SplitLines("a"), Lines{"a"});
  EXPECT_EQ(QTextGen::SplitLines("a\n"), Lines{"a"});
  EXPECT_EQ(QTextGen::SplitLines("a\n\n"), (Lines{"a", ""}));
  EXPECT_EQ(QTextGen::SplitLines("a\r\nb\rc\nd"), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(QTextGen::SplitLines("\r\n"), Lines{""});
}

TEST(TextGen, SpriteGeometryFollowsTheLinesAndTheShadowMargins) {
  QTextGen gen;
  const TextBitmap bitmap = gen.CreateBitmap();
  QSize a;
  gen.GetTextExtent(bitmap, "A", a);
  ASSERT_GT(a.width(), 0);
  // The font's cell is about the asked height.
  EXPECT_LE(a.height(), gen.FontSize + 1);
  EXPECT_GE(a.height(), gen.FontSize - 3);
  QSize empty;
  gen.GetLineExtent(bitmap, "", empty);
  EXPECT_EQ(empty, QSize(0, 20));

  // A letter, a line break and an empty line.
  QSize extent;
  gen.GetTextExtentInternal(bitmap, QTextGen::SplitLines("A\n\n"), extent);
  EXPECT_EQ(extent.width(), a.width() + 2 + 2 * 2);
  EXPECT_EQ(extent.height(), a.height() + 20 + 2 + 2 * 2);
  Qimg sprite;
  gen.MakeSprite("A\n\n", sprite);
  EXPECT_EQ(sprite.Bpp, 8);
  EXPECT_EQ(sprite.Width, extent.width());
  EXPECT_EQ(sprite.Height, extent.height());
  // The margins come also without a shadow, and take the offsets' size.
  gen.ShadowOn = 0;
  gen.ShadowDX = -5;
  gen.ShadowDY = 0;
  gen.ShadowBlur = 0;
  gen.MakeSprite("A", sprite);
  EXPECT_EQ(sprite.Width, a.width() + 5);
  EXPECT_EQ(sprite.Height, a.height());
  // Something was drawn, all of it in the top-left of the sprite.
  int covered = 0;
  for (int i = 0; i < sprite.Width * sprite.Height; ++i) covered += sprite.Data[i] != 0;
  EXPECT_GT(covered, 0);
  // Wider lines make wider sprites; more lines taller ones.
  Qimg two;
  gen.MakeSprite("AA\nA", two);
  EXPECT_GT(two.Width, sprite.Width);
  EXPECT_EQ(two.Height, 2 * a.height());
  // No text, no sprite.
  gen.MakeSprite("", two);
  EXPECT_FALSE(ImgAssigned(two));
  ImgFree(sprite);
}

TEST(TextGen, CoverageCurveSquaresTheGreenChannel) {
  QImage bitmap(256, 1, QImage::Format_RGB32);
  for (int g = 0; g < 256; ++g) bitmap.setPixel(g, 0, qRgb(255 - g, g, 17));  // only green counts
  Qimg sprite;
  QTextGen::CoverageSprite(bitmap, sprite);
  ASSERT_EQ(sprite.Width, 256);
  EXPECT_EQ(sprite.Data[128], 64);
  EXPECT_EQ(sprite.Data[0], 0);
  EXPECT_EQ(sprite.Data[255], 255);
  for (int g = 0; g < 256; ++g)
    ASSERT_EQ(sprite.Data[g], static_cast<uint8_t>(FpuRound(255.0L * (g / 255.0L) * (g / 255.0L)))) << g;
  ImgFree(sprite);
}

TEST(TextGen, DrawTextCentresClipsAndBlends) {
  QTextGen gen;
  gen.ShadowOn = 0;
  gen.Color = 0x00336699;  // red 0x99, green 0x66, blue 0x33
  Qimg sprite;
  gen.MakeSprite("Hi", sprite);
  ASSERT_TRUE(ImgAssigned(sprite));
  // Centred: (width - sprite width) div 2, truncating toward zero, on both axes.
  for (int w : {sprite.Width + 9, sprite.Width - 5}) {
    Qimg dest, expect;
    Fill24(dest, w, sprite.Height + 3, 10, 20, 30);
    Fill24(expect, w, sprite.Height + 3, 10, 20, 30);
    EXPECT_EQ(gen.DrawText("Hi", QTextGen::kCentre, QTextGen::kCentre, dest), 0);
    BlendSprite(sprite, expect, (w - sprite.Width) / 2, 3 / 2, gen.Color);
    EXPECT_EQ(Bytes(dest), Bytes(expect)) << "width " << w;
    ImgFree(dest);
    ImgFree(expect);
  }
  // A position partly outside is clipped.
  Qimg dest, expect;
  Fill24(dest, 30, 12, 0, 0, 0);
  Fill24(expect, 30, 12, 0, 0, 0);
  gen.DrawText("Hi", -4, -6, dest);
  BlendSprite(sprite, expect, -4, -6, gen.Color);
  EXPECT_EQ(Bytes(dest), Bytes(expect));
  // A position past the right or bottom edge draws nothing; nor does an empty text.
  const std::vector<uint8_t> before = Bytes(dest);
  gen.DrawText("Hi", 30, 0, dest);
  gen.DrawText("Hi", 0, 12, dest);
  gen.DrawText("", 0, 0, dest);
  EXPECT_EQ(Bytes(dest), before);
  ImgFree(dest);
  ImgFree(expect);
  ImgFree(sprite);
}

TEST(TextGen, ShadowGoesUnderTheTextAndEightBitsBecomeTwentyFour) {
  QTextGen gen;
  gen.ShadowBlur = 30;  // limited to 10 when drawing
  gen.ShadowColor = 0x000000FF;
  Qimg dest;
  ImgAlloc(dest, 80, 50, 8);
  std::memset(dest.Data, 0, static_cast<size_t>(dest.Size));
  PalSetGray(dest.Palette);
  gen.DrawText("Ok", 5, 4, dest);
  EXPECT_EQ(gen.ShadowBlur, 10);
  EXPECT_EQ(dest.Bpp, 24);

  // The same by hand: the shadow of the sprite blended at the offset less the blur, then the text.
  Qimg sprite, shadow, expect;
  Fill24(expect, 80, 50, 0, 0, 0);
  gen.MakeSprite("Ok", sprite);
  PicMakeShadow(sprite, shadow, gen.ShadowColor, 10, 100);
  ImgBlend(shadow, shadow, expect, expect, 5 + 2 - 10, 4 + 2 - 10);
  BlendSprite(sprite, expect, 5, 4, gen.Color);
  EXPECT_EQ(Bytes(dest), Bytes(expect));
  bool reddish = false;
  for (int i = 0; i < expect.Width * expect.Height; ++i)
    reddish |= expect.Data[i * 3 + 2] > 0 && expect.Data[i * 3 + 2] != expect.Data[i * 3];
  EXPECT_TRUE(reddish) << "the red shadow shows";
  for (Qimg* q : {&dest, &sprite, &shadow, &expect}) ImgFree(*q);
}

TEST(TextGen, TurnedTextGetsTheBoundingBoxOfTheTurnedLines) {
  QTextGen gen;
  gen.ShadowOn = 0;
  gen.ShadowBlur = 1;
  gen.ShadowDX = gen.ShadowDY = 0;
  gen.SetFontSize(30);
  Qimg flat, turned;
  gen.MakeSprite("WWWW", flat);
  const int w = flat.Width - 2, h = flat.Height - 2;  // without the margins
  for (double angle : {30.0, -30.0, 90.0, 180.0}) {
    gen.Escapement = angle;
    gen.MakeSprite("WWWW", turned);
    const double rad = angle * 3.14159265358979 / 180;
    const double bw = std::fabs(w * std::cos(rad)) + std::fabs(h * std::sin(rad));
    const double bh = std::fabs(w * std::sin(rad)) + std::fabs(h * std::cos(rad));
    EXPECT_NEAR(turned.Width, bw + 2, 1.01) << angle;
    EXPECT_NEAR(turned.Height, bh + 2, 1.01) << angle;
    // As much ink as unturned: nothing was cut off.
    int64_t inkFlat = 0, inkTurned = 0;
    for (int i = 0; i < flat.Width * flat.Height; ++i) inkFlat += flat.Data[i];
    for (int i = 0; i < turned.Width * turned.Height; ++i) inkTurned += turned.Data[i];
    EXPECT_NEAR(static_cast<double>(inkTurned), static_cast<double>(inkFlat), 0.15 * inkFlat) << angle;
  }
  ImgFree(flat);
  ImgFree(turned);
}

}  // namespace
}  // namespace tavelo

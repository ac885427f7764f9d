// Text pictures (unit TextGen): a text of one or more lines rendered with a font, colour, angle and
// an optional soft shadow onto a picture record, at a position or centred. The engine lays its
// message pictures over the video with one.
//
// The text is rasterised white on black by Qt's font engine (fontconfig substitutes an installed
// face for a family such as "Arial"), the green channel becomes an 8-bit coverage picture (the
// sprite) through a squaring curve, and the sprite is blended onto the target.
#pragma once
#include <QFont>
#include <QImage>
#include <QSize>

#include <cstdint>
#include <string>
#include <vector>

#include "core/media/img_basic.h"

namespace tavelo {

// The toolkit bitmap text is drawn into: its pixels and the font of its canvas.
struct TextBitmap {
  QImage Image;
  QFont Font;
};

class QTextGen {
 public:
  std::string FontName;
  int32_t FontSize = 0;  // the font's cell height in pixels; set through SetFontSize
  uint8_t Charset = 0;   // kept for the settings; fontconfig chooses faces by the characters needed
  uint32_t Color = 0;    // red in the low byte, then green, blue
  int32_t Bold = 0;      // booleans: non-zero is true
  int32_t Italic = 0;
  int32_t Underline = 0;
  int32_t StrikeOut = 0;
  double Orientation = 0;  // degrees; the glyphs turn with the escapement, as in compatible mode
  double Escapement = 0;   // degrees, counter-clockwise: the block of lines turns about its top-left
  int32_t ShadowOn = 0;
  uint32_t ShadowColor = 0;
  int32_t ShadowBlur = 0;      // 0..10, limited at every DrawText
  int32_t ShadowStrength = 0;  // percent
  int32_t ShadowDX = 0;
  int32_t ShadowDY = 0;

  QTextGen();  // the defaults of SetDefaults
  void SetDefaults();
  // |size| limited to 5..800.
  void SetFontSize(int32_t size);

  // The extent of one line in the bitmap's font.
  void GetTextExtent(const TextBitmap& bitmap, const std::string& line, QSize& size) const;
  // The same, except that an empty line measures (0, FontSize).
  void GetLineExtent(const TextBitmap& bitmap, const std::string& line, QSize& size) const;
  // The widest line by the sum of the line heights, plus the shadow margins (|ShadowDX| +
  // 2 ShadowBlur across, |ShadowDY| + 2 ShadowBlur down, also when the shadow is off).
  void GetTextExtentInternal(const TextBitmap& bitmap, const std::vector<std::string>& lines, QSize& size) const;
  // A 24-bit bitmap, black, whose canvas font is made from the settings.
  TextBitmap CreateBitmap() const;
  // sprite := the 8-bit coverage picture of text (freed first; nothing more for an empty text). Its
  // size is GetTextExtentInternal's; turned text gets the bounding box of the turned lines plus
  // the same margins.
  void MakeSprite(const std::string& text, Qimg& sprite) const;
  // Draws text onto dest with its top-left at (x, y); x or y = kCentre centres on that axis. dest is
  // turned into 24 bits first unless it has 24 or 32. Always 0.
  int32_t DrawText(const std::string& text, int32_t x, int32_t y, Qimg& dest);

  static constexpr int32_t kCentre = 0x7FFFFFFF;

  // The lines of a text as a string list sees them: CR LF, LF and CR end a line, and a final line
  // break adds no empty line.
  static std::vector<std::string> SplitLines(const std::string& text);
  // sprite := the green channel of bitmap through the coverage curve round(255 x (g / 255)^2).
  static void CoverageSprite(const QImage& bitmap, Qimg& sprite);
};

}  // namespace tavelo

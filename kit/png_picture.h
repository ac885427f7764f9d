// The PNG picture of the interface kit: a PNG image held in memory as the PNG unit decodes it
// (formats/units/ff_png), with the header's colour type and bit depth, so a picture button can
// take it as its icon (QPicButton::SetIconPng).
//
// Rows are kept as the unit delivers them: B, G, R, A bytes for pictures with alpha, B, G, R for
// truecolour, palette indices (with Palette) for palette and grey pictures.
#pragma once
#include <QImage>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tavelo {

class QPngPicture {
 public:
  // The header, as stored in the file.
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t ColorType = 0;  // 0 grey, 2 truecolour, 3 palette, 4 grey with alpha, 6 truecolour with alpha
  int32_t BitDepth = 0;
  // The decoded picture: Bpp 8 (indices into Palette), 24 (B, G, R) or 32 (B, G, R, A).
  int32_t Bpp = 0;
  std::vector<std::vector<uint8_t>> Rows;
  std::array<uint8_t, 768> Palette{};  // 256 entries of B, G, R

  // Reads fileName through the PNG unit (which needs pngcodec.dll, PNGDllLoad). False, with the
  // picture left empty, when the file cannot be read; the unit's error stays current for the
  // caller's message.
  bool LoadFromFile(const std::string& fileName);
  bool Empty() const { return Width <= 0 || Height <= 0 || Rows.empty(); }

  // Draws the picture into a toolkit bitmap of its own size and depth (Indexed8, BGR888 or
  // ARGB32). A row shorter than the picture's width leaves the rest of its bitmap row black.
  QImage Draw() const;
};

}  // namespace tavelo

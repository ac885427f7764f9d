#include "kit/png_picture.h"

#include <algorithm>
#include <cstring>

#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "formats/units/ff_png.h"
#include "gui/pictor_bitmap.h"

namespace tavelo {

bool QPngPicture::LoadFromFile(const std::string& fileName) {
  *this = QPngPicture{};
  QPngPicture loaded;
  Qimg img;
  ClearError();
  const int32_t failed = MonitoredNoRaise([&] {
    {
      PNGState state;
      try {
        PNGOpen_(state, fileName);
      } catch (...) {
        PNGClose_(state);
        throw;
      }
      loaded.Width = state.Width;
      loaded.Height = state.Height;
      loaded.ColorType = state.ColorType;
      loaded.BitDepth = state.BitDepth;
      PNGClose_(state);
    }
    PNGLoad(fileName, img);
  });
  if (failed == 0 && ImgAssigned(img) && img.Data != nullptr) {
    loaded.Bpp = img.Bpp;
    const size_t row = static_cast<size_t>(img.Width) * static_cast<size_t>(img.BytesPP);
    loaded.Rows.resize(static_cast<size_t>(img.Height));
    for (int32_t y = 0; y < img.Height; ++y)
      loaded.Rows[y].assign(img.Data + static_cast<size_t>(y) * row, img.Data + static_cast<size_t>(y + 1) * row);
    std::memcpy(loaded.Palette.data(), img.Palette.data(), loaded.Palette.size());
    *this = std::move(loaded);
  }
  ImgFree(img);
  return failed == 0 && !Empty();
}

QImage QPngPicture::Draw() const {
  if (Empty() || (Bpp != 8 && Bpp != 24 && Bpp != 32)) return QImage();
  QImage out(Width, Height, BitsToPixelFormat(Bpp));
  if (out.isNull()) return QImage();
  out.fill(0);
  const size_t row = static_cast<size_t>(Width) * static_cast<size_t>(Bpp / 8);
  for (int32_t y = 0; y < Height && static_cast<size_t>(y) < Rows.size(); ++y)
    std::memcpy(out.scanLine(y), Rows[y].data(), std::min(row, Rows[y].size()));
  if (Bpp == 8) {
    QList<QRgb> table;
    for (int i = 0; i < 256; ++i) table.push_back(qRgb(Palette[i * 3 + 2], Palette[i * 3 + 1], Palette[i * 3]));
    out.setColorTable(table);
  }
  return out;
}

}  // namespace tavelo

// Helpers for the picture tests: making records with known pixels, reading pixels back, and
// running a routine in a no-raise frame to see the error it leaves.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/media/img_basic.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"

namespace tavelo::test {

// Allocates img at w x h x bpp and fills each pixel with value(x, y) (the low BytesPP bytes).
inline void MakePic(Qimg& img, int32_t w, int32_t h, int32_t bpp, const std::function<uint32_t(int, int)>& value) {
  ImgAlloc(img, w, h, bpp);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      // Pixels wider than 4 bytes (odd depths) get the value in their first 4 bytes, zeros after.
      uint8_t bytes[8] = {};
      const uint32_t v = value(x, y);
      std::memcpy(bytes, &v, 4);
      std::memcpy(img.Data + (static_cast<size_t>(y) * w + x) * img.BytesPP, bytes, static_cast<size_t>(img.BytesPP < 8 ? img.BytesPP : 8));
    }
}

inline uint32_t Pixel(const Qimg& img, int x, int y) {
  uint32_t v = 0;
  std::memcpy(&v, img.Data + (static_cast<size_t>(y) * img.Width + x) * img.BytesPP,
              static_cast<size_t>(img.BytesPP < 4 ? img.BytesPP : 4));
  return v;
}

inline uint32_t Bgr(uint32_t b, uint32_t g, uint32_t r) { return b | (g << 8) | (r << 16); }

// Palette entry i as a B, G, R word.
inline uint32_t PalEntry(const Qimg& img, int i) {
  return Bgr(img.Palette[3 * i], img.Palette[3 * i + 1], img.Palette[3 * i + 2]);
}

inline std::vector<uint8_t> Bytes(const Qimg& img) {
  return std::vector<uint8_t>(img.Data, img.Data + static_cast<size_t>(img.Width) * img.Height * img.BytesPP);
}

// Reads a binary PPM (P6, maxval 255) into a 24-bit picture (B, G, R); false when it cannot.
inline bool LoadPpm(const std::string& path, Qimg& img) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int w = 0, h = 0, maxval = 0;
  if (!(in >> magic >> w >> h >> maxval) || magic != "P6" || maxval != 255 || w < 1 || h < 1 || w > 8192 || h > 8192)
    return false;
  in.get();
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  if (!in.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()))) return false;
  ImgAlloc(img, w, h, 24);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    img.Data[i] = rgb[i + 2];
    img.Data[i + 1] = rgb[i + 1];
    img.Data[i + 2] = rgb[i];
  }
  return true;
}

// Runs work in a no-raise frame; answers (class, code) of the error it left, (0, 0) on success.
struct ErrPair {
  int32_t cls;
  int32_t code;
  bool operator==(const ErrPair& o) const { return cls == o.cls && code == o.code; }
};
inline std::ostream& operator<<(std::ostream& os, const ErrPair& e) { return os << "(" << e.cls << "," << e.code << ")"; }

template <class Work>
ErrPair Try(Work&& work) {
  MonitoredNoRaise(std::forward<Work>(work));
  return {GetErrorClass(), GetErrorCode()};
}

}  // namespace tavelo::test

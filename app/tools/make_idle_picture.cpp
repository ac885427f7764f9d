// Draws the picture the player shows when nothing is loaded (440 x 293, 24 bits) and writes it as
// a packed-picture blob (method 7: one zlib stream of the top-down B, G, R rows; the codec
// parameter is the packed length) in the form of a C++ array initializer.
//
//   make_idle_picture OUTPUT.inc
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 440;
constexpr int kHeight = 293;

struct Canvas {
  std::vector<uint8_t> px = std::vector<uint8_t>(static_cast<size_t>(kWidth) * kHeight * 3);
  void Put(int x, int y, int r, int g, int b, double a = 1.0) {
    if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) return;
    uint8_t* p = &px[(static_cast<size_t>(y) * kWidth + x) * 3];
    p[0] = static_cast<uint8_t>(std::lround(p[0] * (1 - a) + b * a));
    p[1] = static_cast<uint8_t>(std::lround(p[1] * (1 - a) + g * a));
    p[2] = static_cast<uint8_t>(std::lround(p[2] * (1 - a) + r * a));
  }
};

// A 5 x 7 pixel font for the few letters the picture needs.
const char* Glyph(char c) {
  switch (c) {
    case 'T': return "11111" "00100" "00100" "00100" "00100" "00100" "00100";
    case 'A': return "01110" "10001" "10001" "11111" "10001" "10001" "10001";
    case 'V': return "10001" "10001" "10001" "10001" "10001" "01010" "00100";
    case 'E': return "11111" "10000" "10000" "11110" "10000" "10000" "11111";
    case 'L': return "10000" "10000" "10000" "10000" "10000" "10000" "11111";
    case 'O': return "01110" "10001" "10001" "10001" "10001" "10001" "01110";
    default: return "00000" "00000" "00000" "00000" "00000" "00000" "00000";
  }
}

void Text(Canvas& c, const std::string& s, int cx, int top, int scale, int r, int g, int b) {
  const int advance = 6 * scale;
  const int width = static_cast<int>(s.size()) * advance - scale;
  int left = cx - width / 2;
  for (char ch : s) {
    const char* bits = Glyph(ch);
    for (int gy = 0; gy < 7; ++gy)
      for (int gx = 0; gx < 5; ++gx)
        if (bits[gy * 5 + gx] == '1')
          for (int dy = 0; dy < scale; ++dy)
            for (int dx = 0; dx < scale; ++dx) c.Put(left + gx * scale + dx, top + gy * scale + dy, r, g, b);
    left += advance;
  }
}

void Draw(Canvas& c) {
  // Background: a vertical gradient from deep blue to near black.
  for (int y = 0; y < kHeight; ++y) {
    const double t = static_cast<double>(y) / (kHeight - 1);
    const int r = static_cast<int>(18 * (1 - t) + 6 * t), g = static_cast<int>(34 * (1 - t) + 8 * t),
              b = static_cast<int>(74 * (1 - t) + 18 * t);
    for (int x = 0; x < kWidth; ++x) c.Put(x, y, r, g, b);
  }
  // Film strips along the top and bottom edges.
  for (int band : {8, kHeight - 26}) {
    for (int y = band; y < band + 18; ++y)
      for (int x = 0; x < kWidth; ++x) c.Put(x, y, 10, 12, 20);
    for (int x = 10; x + 12 < kWidth; x += 24)
      for (int y = band + 5; y < band + 13; ++y)
        for (int dx = 0; dx < 12; ++dx) c.Put(x + dx, y, 120, 130, 150);
  }
  // A ring with a play triangle in it, antialiased by distance.
  const double cx = kWidth / 2.0, cy = 118.0, outer = 58.0, inner = 50.0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
      const double ring = std::min(std::clamp(outer - d + 0.5, 0.0, 1.0), std::clamp(d - inner + 0.5, 0.0, 1.0));
      if (ring > 0) c.Put(x, y, 230, 236, 250, ring);
      // Triangle pointing right: (-18, -26), (-18, 26) and the tip (26, 0) around the centre.
      const double left = x + 0.5 - cx + 18.0, py = std::fabs(y + 0.5 - cy);
      const double inside = std::min(left + 0.5, (44.0 - left) * 26.0 / 44.0 - py + 0.5);
      if (inside > 0) c.Put(x, y, 250, 170, 40, std::clamp(inside, 0.0, 1.0));
    }
  Text(c, "TAVELO", kWidth / 2, 196, 5, 235, 240, 250);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_idle_picture OUTPUT.inc\n");
    return 2;
  }
  Canvas c;
  Draw(c);
  uLongf packedSize = compressBound(static_cast<uLong>(c.px.size()));
  std::vector<uint8_t> packed(packedSize);
  if (compress2(packed.data(), &packedSize, c.px.data(), static_cast<uLong>(c.px.size()), 9) != Z_OK) {
    std::fprintf(stderr, "make_idle_picture: compression failed\n");
    return 1;
  }
  packed.resize(packedSize);
  std::vector<uint8_t> blob;
  auto put32 = [&blob](uint32_t v) {
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put32(kWidth);
  put32(kHeight);
  put32(24);
  put32(static_cast<uint32_t>(packed.size()));
  put32(static_cast<uint32_t>(packed.size()));
  put32(7);
  blob.insert(blob.end(), packed.begin(), packed.end());

  FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(f, "// Made by app/tools/make_idle_picture.cpp; do not edit.\n");
  for (size_t i = 0; i < blob.size(); ++i) std::fprintf(f, "%u,%s", blob[i], (i % 24 == 23) ? "\n" : "");
  std::fprintf(f, "\n");
  return std::fclose(f) == 0 ? 0 : 1;
}

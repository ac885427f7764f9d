// Hand-made GIF files for the GIF unit's tests: a plain LZW encoder and a writer of the blocks,
// so that a test can state every field (delays, disposal, transparency, local palettes,
// interlacing, code sizes) and build damaged streams code by code.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "formats/units/ff_gif.h"

namespace tavelo::test {

// Packs codes of given widths least-significant bit first, as GIF orders them.
class LzwBits {
 public:
  void Put(uint32_t code, int width) {
    acc_ |= static_cast<uint64_t>(code) << nbits_;
    nbits_ += width;
    while (nbits_ >= 8) {
      bytes_.push_back(static_cast<char>(acc_ & 0xFF));
      acc_ >>= 8;
      nbits_ -= 8;
    }
  }
  // The minimum code size byte and the bytes in sub-blocks of 255, with the terminator.
  std::string Packed(int minCodeSize, bool terminate = true) {
    std::string all = bytes_;
    if (nbits_ > 0) all.push_back(static_cast<char>(acc_ & 0xFF));
    std::string out(1, static_cast<char>(minCodeSize));
    for (size_t i = 0; i < all.size(); i += 255) {
      const size_t n = std::min<size_t>(255, all.size() - i);
      out.push_back(static_cast<char>(n));
      out.append(all, i, n);
    }
    if (terminate) out.push_back('\0');
    return out;
  }

 private:
  std::string bytes_;
  uint64_t acc_ = 0;
  int nbits_ = 0;
};

// A plain GIF LZW encoder. With clearWhenFull false the table stays full and the codes stay at
// 12 bits (the "deferred clear" some encoders use).
inline std::string LzwEncode(const std::vector<uint8_t>& px, int minCodeSize, bool clearWhenFull = true) {
  LzwBits bits;
  const int clear = 1 << minCodeSize, end = clear + 1;
  int size = minCodeSize + 1, next = clear + 2;
  std::unordered_map<uint32_t, int> dict;
  bits.Put(clear, size);
  if (px.empty()) {
    bits.Put(end, size);
    return bits.Packed(minCodeSize);
  }
  int prefix = px[0];
  for (size_t i = 1; i < px.size(); ++i) {
    const uint32_t key = (static_cast<uint32_t>(prefix) << 8) | px[i];
    auto it = dict.find(key);
    if (it != dict.end()) {
      prefix = it->second;
      continue;
    }
    bits.Put(prefix, size);
    if (next < 4096) {
      dict[key] = next++;
      if (next > (1 << size) && size < 12) ++size;
    }
    if (next == 4096 && clearWhenFull) {
      bits.Put(clear, size);
      dict.clear();
      size = minCodeSize + 1;
      next = clear + 2;
    }
    prefix = px[i];
  }
  bits.Put(prefix, size);
  bits.Put(end, size);
  return bits.Packed(minCodeSize);
}

struct GifFrameSpec {
  int Left = 0, Top = 0, W = 0, H = 0;
  std::vector<uint8_t> Pixels;  // W x H indices, rows top-down (interlacing is done here)
  bool Gce = true;
  int Delay = 0;
  int Disposal = 0;
  int Transparent = -1;        // index with the flag set, or -1
  int TransparentIndexOnly = -1;  // an index stored without the flag (for "the flag decides")
  std::vector<uint8_t> LocalRgb;  // R, G, B triples; empty: no local table
  bool Interlaced = false;
  std::string Packed;  // when set: used instead of encoding Pixels
};

inline int TableBits(size_t colors) {
  int n = 0;
  while ((2u << n) < colors) ++n;
  return n;
}

inline void PutWord(std::string& s, int v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

inline void PutTable(std::string& s, const std::vector<uint8_t>& rgb) {
  const size_t colors = rgb.size() / 3;
  const size_t full = 2u << TableBits(colors);
  s.append(reinterpret_cast<const char*>(rgb.data()), rgb.size());
  s.append(3 * (full - colors), '\0');
}

inline std::string MakeGif(int w, int h, const std::vector<uint8_t>& globalRgb, int background,
                           const std::vector<GifFrameSpec>& frames, bool trailer = true) {
  std::string s = "GIF89a";
  PutWord(s, w);
  PutWord(s, h);
  const bool gct = !globalRgb.empty();
  s.push_back(static_cast<char>(gct ? 0x80 | 0x70 | TableBits(globalRgb.size() / 3) : 0));
  s.push_back(static_cast<char>(background));
  s.push_back('\0');
  if (gct) PutTable(s, globalRgb);
  for (const GifFrameSpec& f : frames) {
    if (f.Gce) {
      s += "\x21\xF9\x04";
      const int index = f.Transparent >= 0 ? f.Transparent : (f.TransparentIndexOnly >= 0 ? f.TransparentIndexOnly : 0);
      s.push_back(static_cast<char>((f.Disposal << 2) | (f.Transparent >= 0 ? 1 : 0)));
      PutWord(s, f.Delay);
      s.push_back(static_cast<char>(index));
      s.push_back('\0');
    }
    s.push_back(',');
    PutWord(s, f.Left);
    PutWord(s, f.Top);
    PutWord(s, f.W);
    PutWord(s, f.H);
    const bool lct = !f.LocalRgb.empty();
    s.push_back(static_cast<char>((lct ? 0x80 | TableBits(f.LocalRgb.size() / 3) : 0) | (f.Interlaced ? 0x40 : 0)));
    if (lct) PutTable(s, f.LocalRgb);
    if (!f.Packed.empty()) {
      s += f.Packed;
      continue;
    }
    std::vector<uint8_t> rows = f.Pixels;
    if (f.Interlaced) {
      // Row r of the stream holds screen row GIFInterlacedRow_(r).
      for (int r = 0; r < f.H; ++r) {
        const int src = GIFInterlacedRow_(r, f.H);
        std::copy(f.Pixels.begin() + static_cast<ptrdiff_t>(src) * f.W,
                  f.Pixels.begin() + static_cast<ptrdiff_t>(src + 1) * f.W, rows.begin() + static_cast<ptrdiff_t>(r) * f.W);
      }
    }
    s += LzwEncode(rows, 8);
  }
  if (trailer) s.push_back(';');
  return s;
}

// A frame of w x h filled with one index.
inline GifFrameSpec SolidFrame(int left, int top, int w, int h, uint8_t index) {
  GifFrameSpec f;
  f.Left = left;
  f.Top = top;
  f.W = w;
  f.H = h;
  f.Pixels.assign(static_cast<size_t>(w) * h, index);
  return f;
}

// A palette of n entries: entry i = (i, 255 - i, i * 7).
inline std::vector<uint8_t> RampRgb(int n) {
  std::vector<uint8_t> rgb;
  for (int i = 0; i < n; ++i) {
    rgb.push_back(static_cast<uint8_t>(i));
    rgb.push_back(static_cast<uint8_t>(255 - i));
    rgb.push_back(static_cast<uint8_t>(i * 7));
  }
  return rgb;
}

}  // namespace tavelo::test

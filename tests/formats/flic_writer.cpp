#include "tests/formats/flic_writer.h"

#include <stdexcept>

namespace tavelo::test {

namespace {

void Put16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

void Set32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Runs of at least 3 equal values are worth a repeat packet.
size_t RunLength(const uint8_t* p, size_t n, size_t max) {
  size_t k = 1;
  while (k < n && k < max && p[k] == p[0]) ++k;
  return k;
}

}  // namespace

std::string FlicHeader(bool fli, int32_t frames, int32_t width, int32_t height, int32_t speed, uint32_t fileSize) {
  std::string h(128, '\0');
  Set32(h, 0, fileSize);
  h[4] = fli ? '\x11' : '\x12';
  h[5] = '\xAF';
  h[6] = static_cast<char>(frames & 0xFF);
  h[7] = static_cast<char>((frames >> 8) & 0xFF);
  h[8] = static_cast<char>(width & 0xFF);
  h[9] = static_cast<char>((width >> 8) & 0xFF);
  h[10] = static_cast<char>(height & 0xFF);
  h[11] = static_cast<char>((height >> 8) & 0xFF);
  h[12] = 8;  // depth
  h[14] = 3;  // flags: written completely
  Set32(h, 16, static_cast<uint32_t>(speed));
  h[80] = static_cast<char>(128);  // the first frame's offset (FLC)
  return h;
}

std::string FlicPaletteBody(const std::array<uint8_t, 768>& rgb, const std::array<uint8_t, 768>* previous,
                            bool sixBit) {
  // Packets cover the runs of changed entries; the skip counts from where the last packet ended.
  std::string packets;
  int count = 0;
  int at = 0;
  int i = 0;
  while (i < 256) {
    auto changed = [&](int k) {
      return previous == nullptr || (*previous)[3 * k] != rgb[3 * k] || (*previous)[3 * k + 1] != rgb[3 * k + 1] ||
             (*previous)[3 * k + 2] != rgb[3 * k + 2];
    };
    if (!changed(i)) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 256 && changed(j)) ++j;
    const int skip = i - at;  // at most 255: entries end at 255
    packets.push_back(static_cast<char>(skip));
    packets.push_back(static_cast<char>((j - i) & 0xFF));  // 256 entries: 0
    for (int k = i; k < j; ++k)
      for (int c = 0; c < 3; ++c) packets.push_back(static_cast<char>(sixBit ? rgb[3 * k + c] >> 2 : rgb[3 * k + c]));
    ++count;
    at = j;
    i = j;
  }
  std::string body;
  Put16(body, static_cast<uint32_t>(count));
  return body + packets;
}

std::string FlicByteRunBody(const std::vector<uint8_t>& px, int32_t width, int32_t height) {
  std::string body;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = px.data() + static_cast<size_t>(y) * width;
    std::string line;
    int packets = 0;
    size_t x = 0;
    while (x < static_cast<size_t>(width)) {
      const size_t left = width - x;
      const size_t run = RunLength(row + x, left, 127);
      if (run >= 3) {
        line.push_back(static_cast<char>(run));  // positive: repeat
        line.push_back(static_cast<char>(row[x]));
        x += run;
      } else {
        size_t n = 0;
        while (n < left && n < 128 && RunLength(row + x + n, left - n, 127) < 3) ++n;
        if (n == 0) n = 1;
        line.push_back(static_cast<char>(-static_cast<int>(n)));  // negative: literal
        line.append(reinterpret_cast<const char*>(row + x), n);
        x += n;
      }
      ++packets;
    }
    body.push_back(static_cast<char>(packets > 255 ? 0 : packets));
    body += line;
  }
  return body;
}

std::string FlicDeltaFliBody(const std::vector<uint8_t>& px, const std::vector<uint8_t>& prev, int32_t width,
                             int32_t height) {
  auto same = [&](int32_t y) {
    return std::equal(px.begin() + static_cast<ptrdiff_t>(y) * width, px.begin() + static_cast<ptrdiff_t>(y + 1) * width,
                      prev.begin() + static_cast<ptrdiff_t>(y) * width);
  };
  int32_t first = 0, last = height - 1;
  while (first < height && same(first)) ++first;
  while (last >= first && same(last)) --last;
  std::string body;
  if (first >= height) {
    // Nothing changed: no line.
    Put16(body, 0);
    Put16(body, 0);
    return body;
  }
  Put16(body, static_cast<uint32_t>(first));
  Put16(body, static_cast<uint32_t>(last - first + 1));
  for (int32_t y = first; y <= last; ++y) {
    const uint8_t* row = px.data() + static_cast<size_t>(y) * width;
    const uint8_t* old = prev.data() + static_cast<size_t>(y) * width;
    std::string line;
    int packets = 0;
    int32_t x = 0, at = 0;
    while (x < width) {
      if (row[x] == old[x]) {
        ++x;
        continue;
      }
      int32_t end = x;
      while (end < width && row[end] != old[end]) ++end;
      while (x < end) {
        int32_t skip = x - at;
        while (skip > 255) {
          line.push_back('\xFF');
          line.push_back('\0');  // a literal of 0 bytes only moves on
          ++packets;
          at += 255;
          skip -= 255;
        }
        const size_t run = RunLength(row + x, static_cast<size_t>(end - x), 128);
        line.push_back(static_cast<char>(skip));
        if (run >= 3) {
          line.push_back(static_cast<char>(-static_cast<int>(run)));  // negative: repeat
          line.push_back(static_cast<char>(row[x]));
          x += static_cast<int32_t>(run);
        } else {
          int32_t n = 0;
          while (x + n < end && n < 127 && RunLength(row + x + n, static_cast<size_t>(end - x - n), 128) < 3) ++n;
          if (n == 0) n = 1;
          line.push_back(static_cast<char>(n));  // positive: literal
          line.append(reinterpret_cast<const char*>(row + x), static_cast<size_t>(n));
          x += n;
        }
        at = x;
        ++packets;
      }
    }
    if (packets > 255) throw std::runtime_error("FLI delta line with more than 255 packets");
    body.push_back(static_cast<char>(packets));
    body += line;
  }
  return body;
}

std::string FlicDeltaFlcBody(const std::vector<uint8_t>& px, const std::vector<uint8_t>& prev, int32_t width,
                             int32_t height) {
  const int32_t pairs = width / 2;  // an odd width's last pixel goes by the last-pixel opcode
  std::string lines;
  int lineCount = 0;
  int skipLines = 0;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = px.data() + static_cast<size_t>(y) * width;
    const uint8_t* old = prev.data() + static_cast<size_t>(y) * width;
    auto pairChanged = [&](int32_t k) { return row[2 * k] != old[2 * k] || row[2 * k + 1] != old[2 * k + 1]; };
    const bool lastChanged = (width & 1) != 0 && row[width - 1] != old[width - 1];
    bool any = lastChanged;
    for (int32_t k = 0; k < pairs && !any; ++k) any = pairChanged(k);
    if (!any) {
      ++skipLines;
      continue;
    }
    if (skipLines > 0) {
      Put16(lines, static_cast<uint32_t>(0x10000 - skipLines));  // negative: lines to skip
      skipLines = 0;
    }
    if (lastChanged) Put16(lines, 0x8000u | row[width - 1]);
    std::string packets;
    int count = 0;
    int32_t k = 0, at = 0;  // in pairs
    while (k < pairs) {
      if (!pairChanged(k)) {
        ++k;
        continue;
      }
      int32_t end = k;
      while (end < pairs && pairChanged(end)) ++end;
      while (k < end) {
        int32_t skip = 2 * (k - at);
        while (skip > 254) {
          packets.push_back(static_cast<char>(254));
          packets.push_back('\0');  // no words: only moves on
          ++count;
          at += 127;
          skip -= 254;
        }
        auto word = [&](int32_t i) { return static_cast<uint32_t>(row[2 * i] | (row[2 * i + 1] << 8)); };
        int32_t run = 1;
        while (k + run < end && run < 128 && word(k + run) == word(k)) ++run;
        packets.push_back(static_cast<char>(skip));
        if (run >= 2) {
          packets.push_back(static_cast<char>(-run));  // negative: one word repeated
          Put16(packets, word(k));
          k += run;
        } else {
          int32_t n = 0;
          while (k + n < end && n < 127 && !(k + n + 1 < end && word(k + n + 1) == word(k + n))) ++n;
          if (n == 0) n = 1;
          packets.push_back(static_cast<char>(n));  // positive: literal words
          for (int32_t i = 0; i < n; ++i) Put16(packets, word(k + i));
          k += n;
        }
        at = k;
        ++count;
      }
    }
    Put16(lines, static_cast<uint32_t>(count));
    lines += packets;
    ++lineCount;
  }
  std::string body;
  Put16(body, static_cast<uint32_t>(lineCount));
  return body + lines;
}

std::string FlicSubChunk(uint16_t type, const std::string& body) {
  std::string s;
  Put32(s, static_cast<uint32_t>(6 + body.size()));
  Put16(s, type);
  return s + body;
}

std::string FlicFrameChunk(const std::vector<std::string>& subChunks) {
  std::string s;
  size_t size = 16;
  for (const std::string& c : subChunks) size += c.size();
  Put32(s, static_cast<uint32_t>(size));
  Put16(s, 0xF1FA);
  Put16(s, static_cast<uint32_t>(subChunks.size()));
  s.append(8, '\0');
  for (const std::string& c : subChunks) s += c;
  return s;
}

std::string WriteFlic(int32_t width, int32_t height, const std::vector<FlicFrame>& frames, const FlicOptions& opts) {
  std::string chunks;
  if (opts.PrefixChunk) {
    std::string prefix;
    Put32(prefix, 16);
    Put16(prefix, 0xF100);
    prefix.append(10, '\0');
    chunks += prefix;
  }
  const FlicFrame* prev = nullptr;
  for (size_t i = 0; i < frames.size(); ++i) {
    const FlicFrame& f = frames[i];
    std::vector<std::string> subs;
    std::array<uint8_t, 768> rgb = f.Rgb;
    if (opts.Fli)
      for (uint8_t& v : rgb) v = static_cast<uint8_t>(v & 0xFC);  // what 64 levels can hold
    std::array<uint8_t, 768> prevRgb{};
    if (prev != nullptr) {
      prevRgb = prev->Rgb;
      if (opts.Fli)
        for (uint8_t& v : prevRgb) v = static_cast<uint8_t>(v & 0xFC);
    }
    if (prev == nullptr || prevRgb != rgb)
      subs.push_back(FlicSubChunk(opts.Fli ? 11 : 4, FlicPaletteBody(rgb, prev == nullptr ? nullptr : &prevRgb, opts.Fli)));
    FlicChunk kind = i < opts.Kinds.size() ? opts.Kinds[i] : FlicChunk::Auto;
    if (kind == FlicChunk::Auto) kind = prev == nullptr ? FlicChunk::ByteRun : (opts.Fli ? FlicChunk::DeltaFli : FlicChunk::DeltaFlc);
    const std::vector<uint8_t> black(f.Pixels.size(), 0);
    const std::vector<uint8_t>& before = prev != nullptr ? prev->Pixels : black;
    switch (kind) {
      case FlicChunk::ByteRun: subs.push_back(FlicSubChunk(15, FlicByteRunBody(f.Pixels, width, height))); break;
      case FlicChunk::DeltaFli:
        subs.push_back(FlicSubChunk(12, FlicDeltaFliBody(f.Pixels, before, width, height)));
        break;
      case FlicChunk::DeltaFlc:
        subs.push_back(FlicSubChunk(7, FlicDeltaFlcBody(f.Pixels, before, width, height)));
        break;
      case FlicChunk::Copy:
        subs.push_back(FlicSubChunk(16, std::string(reinterpret_cast<const char*>(f.Pixels.data()), f.Pixels.size())));
        break;
      case FlicChunk::Black: subs.push_back(FlicSubChunk(13, std::string())); break;
      default: break;
    }
    chunks += FlicFrameChunk(subs);
    prev = &f;
  }
  std::string file = FlicHeader(opts.Fli, static_cast<int32_t>(frames.size()), width, height, opts.Speed,
                                static_cast<uint32_t>(128 + chunks.size()));
  return file + chunks;
}

}  // namespace tavelo::test

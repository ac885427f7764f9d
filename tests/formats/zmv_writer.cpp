#include "tests/formats/zmv_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace tavelo::test {

// ---- Bits and tokens ----

void ZmvBits::Put(uint32_t value, int bits) {
  for (int i = bits - 1; i >= 0; --i) {
    if ((bits_ & 7) == 0) bytes_.push_back(0);
    if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bits_ & 7));
    ++bits_;
  }
}

void ZmvBits::PutLength(int64_t n) {
  if (n < 2 || n > 767) throw std::invalid_argument("length code out of range");
  if (n >= 256) {
    Put(0, 7);
    Put(static_cast<uint32_t>(n - 256), 9);
    return;
  }
  int width = 0;
  while ((int64_t{1} << (width + 1)) <= n) ++width;  // width + 1 = bits of n
  Put(0, width - 1);
  Put(static_cast<uint32_t>(n), width + 1);
}

std::vector<uint8_t> ZmvBits::Bytes() const { return bytes_; }

void ZmvTokenWriter::Literal(uint8_t byte) {
  if (fast_) {
    bits_.Put(1, 1);
  } else {
    bits_.Put(3, 2);
  }
  bits_.Put(byte, 8);
}

void ZmvTokenWriter::Run(const uint8_t* pixel, int bytesPerPixel, int64_t n) {
  bits_.Put(0, fast_ ? 2 : 4);
  if (bytesPerPixel == 2) {
    // The pixel L * 256 + X lies in memory as X, L.
    bits_.Put(pixel[1], 8);
    bits_.Put(pixel[0], 8);
  } else if (bytesPerPixel == 3) {
    // Memory order L, Q, P; stream order L, P, Q.
    bits_.Put(pixel[0], 8);
    bits_.Put(pixel[2], 8);
    bits_.Put(pixel[1], 8);
  } else {
    bits_.Put(pixel[0], 8);
  }
  bits_.PutLength(n);
}

void ZmvTokenWriter::CopyAbove(int64_t n) {
  if (fast_) {
    if (n < 2 || n > 65) throw std::invalid_argument("FAST copy from above: 2 .. 65");
    bits_.Put(2, 3);
    bits_.Put(static_cast<uint32_t>(n - 2), 6);
  } else {
    if (n < 2 || n > 129) throw std::invalid_argument("BEST copy from above: 2 .. 129");
    bits_.Put(2, 5);
    bits_.Put(static_cast<uint32_t>(n - 2), 7);
  }
}

void ZmvTokenWriter::Skip(int64_t n) {
  if (n < 2) throw std::invalid_argument("skip below 2");
  const uint32_t shortPrefix = fast_ ? 6 : 6;  // 0110 (FAST) and 000110 (BEST) both read 6
  const uint32_t longPrefix = 7;
  const int prefixBits = fast_ ? 4 : 6;
  if (n <= 65) {
    bits_.Put(shortPrefix, prefixBits);
    bits_.Put(static_cast<uint32_t>(n - 2), 6);
    return;
  }
  const int64_t len = (n + 62) / 64;
  const int64_t v = n + 62 - 64 * len;
  if (len > 767) throw std::invalid_argument("skip too long");
  bits_.Put(longPrefix, prefixBits);
  bits_.Put(static_cast<uint32_t>(v), 6);
  bits_.PutLength(len);
}

void ZmvTokenWriter::Window(int index, int offset, int64_t n) {
  if (fast_) throw std::invalid_argument("FAST has no window copy");
  bits_.Put(static_cast<uint32_t>(1536 + index * 64 + offset), 12);
  bits_.PutLength(n);
}

void ZmvTokenWriter::Repeat(int e) {
  if (fast_) throw std::invalid_argument("FAST has no repeat copy");
  bits_.Put(static_cast<uint32_t>(512 + e), 12);
}

void ZmvTokenWriter::End() {
  bits_.Put(7, fast_ ? 4 : 6);
  bits_.Put(0, 6);
}

// ---- The strip encoder ----

namespace {

struct Ring {
  int64_t pos;
  int64_t count;
};

class StripEncoder {
 public:
  StripEncoder(bool fast, std::vector<uint8_t>& state, const std::vector<uint8_t>& want, int64_t start,
               int32_t width, int32_t rows, int32_t bpp, bool key)
      : w_(fast),
        state_(state),
        want_(want),
        start_(start),
        end_(start + static_cast<int64_t>(rows) * width * bpp),
        stride_(static_cast<int64_t>(width) * bpp),
        bpp_(bpp),
        key_(key) {
    for (int k = 0; k < 12; ++k) disp_[k] = 64 + k * stride_;
    for (int k = 12; k < 24; ++k) disp_[k] = (k - 11) * stride_;
  }

  std::vector<uint8_t> Run() {
    pos_ = start_;
    while (pos_ < end_) Step();
    w_.End();
    return w_.Bytes();
  }

 private:
  // The byte a copy of k bytes so far reads at x: what it has written itself, else the state.
  uint8_t Value(int64_t x, int64_t k) const {
    return (x >= pos_ && x < pos_ + k) ? want_[static_cast<size_t>(x)] : state_[static_cast<size_t>(x)];
  }

  // Bytes a copy from src would produce correctly, at most limit.
  int64_t Match(int64_t src, int64_t limit) const {
    if (src < 0) return 0;
    if (key_ && src >= pos_) return 0;  // the old content is unknown in a key frame
    int64_t k = 0;
    while (k < limit && pos_ + k < end_ && src + k < end_ && Value(src + k, k) == want_[static_cast<size_t>(pos_ + k)])
      ++k;
    return k;
  }

  void Apply(int64_t src, int64_t n) {
    for (int64_t i = 0; i < n; ++i) state_[static_cast<size_t>(pos_ + i)] = state_[static_cast<size_t>(src + i)];
    pos_ += n;
  }

  void Step() {
    const bool fast = w_.Fast();
    // Unchanged bytes are skipped.
    if (!key_) {
      int64_t s = 0;
      while (pos_ + s < end_ && s < 49089 && state_[static_cast<size_t>(pos_ + s)] == want_[static_cast<size_t>(pos_ + s)]) ++s;
      if (s >= 2) {
        w_.Skip(s);
        pos_ += s;
        return;
      }
    }
    // A run of equal pixels.
    const int px = (bpp_ == 2 || bpp_ == 3) ? bpp_ : 1;
    int64_t run = 0;
    if (pos_ + px <= end_) {
      run = 1;
      while (run < 767 && pos_ + (run + 1) * px <= end_ &&
             std::memcmp(&want_[static_cast<size_t>(pos_)], &want_[static_cast<size_t>(pos_ + run * px)], px) == 0)
        ++run;
    }
    // Copies: from above, through the window, or a repeat of a ring entry.
    int64_t above = Match(pos_ - stride_, fast ? 65 : 129);
    int64_t bestWin = 0;
    int bestIndex = 0, bestOffset = 0;
    int64_t bestRep = 0;
    int bestEntry = 0;
    if (!fast) {
      for (int idx = 0; idx < 24; ++idx)
        for (int off = 0; off < 64; ++off) {
          const int64_t m = Match(pos_ - disp_[idx] + off, 767);
          if (m > bestWin) {
            bestWin = m;
            bestIndex = idx;
            bestOffset = off;
          }
        }
      const int64_t stored = std::min<int64_t>(ringStored_, 1024);
      for (int64_t e = 0; e < stored; ++e) {
        const Ring& r = ring_[e];
        if (r.count > bestRep && Match(r.pos, r.count) == r.count) {
          bestRep = r.count;
          bestEntry = static_cast<int>(e);
        }
      }
    }
    const int64_t runBytes = run >= 2 ? run * px : 0;
    const int64_t best = std::max({runBytes, above >= 2 ? above : 0, bestWin >= 2 ? bestWin : 0, bestRep});
    if (best < 2) {
      w_.Literal(want_[static_cast<size_t>(pos_)]);
      state_[static_cast<size_t>(pos_)] = want_[static_cast<size_t>(pos_)];
      ++pos_;
      return;
    }
    if (best == runBytes) {
      w_.Run(&want_[static_cast<size_t>(pos_)], px, run);
      for (int64_t i = 0; i < runBytes; ++i)
        state_[static_cast<size_t>(pos_ + i)] = want_[static_cast<size_t>(pos_ + i % px)];
      pos_ += runBytes;
    } else if (best == bestRep) {
      w_.Repeat(bestEntry);
      Apply(ring_[bestEntry].pos, bestRep);
    } else if (best == above) {
      w_.CopyAbove(above);
      Apply(pos_ - stride_, above);
    } else {
      w_.Window(bestIndex, bestOffset, bestWin);
      ring_[ringIndex_] = {pos_, bestWin};
      ringIndex_ = (ringIndex_ + 1) % 1024;
      ++ringStored_;
      Apply(pos_ - disp_[bestIndex] + bestOffset, bestWin);
    }
  }

  ZmvTokenWriter w_;
  std::vector<uint8_t>& state_;
  const std::vector<uint8_t>& want_;
  int64_t start_, end_, stride_;
  int32_t bpp_;
  bool key_;
  int64_t pos_ = 0;
  int64_t disp_[24];
  Ring ring_[1024] = {};
  int ringIndex_ = 0;
  int64_t ringStored_ = 0;
};

void Put32(std::string& s, int32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF));
}

}  // namespace

std::vector<uint8_t> ZmvEncodeStrip(bool fast, std::vector<uint8_t>& state, const std::vector<uint8_t>& want,
                                    int64_t start, int32_t width, int32_t rows, int32_t bytesPerPixel, bool keyFrame) {
  auto enc = std::make_unique<StripEncoder>(fast, state, want, start, width, rows, bytesPerPixel, keyFrame);
  return enc->Run();
}

// ---- The file ----

void ZmvPut32(std::string& bytes, int64_t at, int32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes[static_cast<size_t>(at + i)] = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
}

int32_t ZmvGet32(const std::string& bytes, int64_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[static_cast<size_t>(at + i)])) << (8 * i);
  return static_cast<int32_t>(v);
}

int32_t ZmvSoundBlockAlign(int32_t soundFlags) {
  const int32_t channels = (soundFlags & 4) ? 2 : 1;
  const int32_t bytes = (soundFlags & 3) == 3 ? 2 : 1;
  return channels * bytes;
}

ZmvFileImage ZmvBuildFile(const ZmvMovie& m) {
  ZmvFileImage image;
  std::string& out = image.bytes;
  const int64_t rowBytes = static_cast<int64_t>(m.width) * m.bytesPerPixel;
  const int64_t frameBytes = rowBytes * m.height;
  const int32_t frames = static_cast<int32_t>(m.frames.size());
  const bool fast = (m.flags & 1) != 0;
  const bool predict = (m.flags & 2) != 0;

  // Header: the first 64 bytes as laid out, then filler up to the header size.
  out = "ZMV";
  out.push_back('\x1A');
  Put32(out, m.headerSize);
  Put32(out, m.version);
  Put32(out, m.width);
  Put32(out, m.height);
  Put32(out, m.bytesPerPixel);
  Put32(out, m.flags);
  Put32(out, m.frameCountField >= 0 ? m.frameCountField : frames);
  Put32(out, m.keyInterval);
  uint64_t fpsBits = 0;
  std::memcpy(&fpsBits, &m.fps, 8);
  Put32(out, static_cast<int32_t>(fpsBits & 0xFFFFFFFFu));
  Put32(out, static_cast<int32_t>(fpsBits >> 32));
  Put32(out, m.soundFlags);
  Put32(out, m.sampleRate);
  const int64_t firstBlockField = static_cast<int64_t>(out.size());
  if (!m.blockSamples.empty() && m.headerSize < firstBlockField + 4) throw std::invalid_argument("header too short for sound");
  Put32(out, 0);
  Put32(out, 0);
  int64_t samples = 0;
  for (int32_t s : m.blockSamples) samples += s;
  Put32(out, m.sampleCountField >= 0 ? m.sampleCountField : static_cast<int32_t>(samples));
  while (static_cast<int64_t>(out.size()) < m.headerSize) out.push_back(0);
  out.resize(static_cast<size_t>(std::max<int64_t>(m.headerSize, 8)));

  // Page directory and index pages.
  image.directoryOffset = static_cast<int64_t>(out.size());
  const int32_t pages = std::max(1, (frames + 255) / 256);
  const int64_t firstPage = image.directoryOffset + 1024;
  for (int p = 0; p < 256; ++p) Put32(out, p < pages ? static_cast<int32_t>(firstPage + p * 3072) : 0);
  out.append(static_cast<size_t>(pages) * 3072, '\0');

  // Frames.
  std::vector<uint8_t> state(static_cast<size_t>(frameBytes), 0);  // picture or difference buffer
  for (int32_t i = 0; i < frames; ++i) {
    const ZmvFrame& f = m.frames[static_cast<size_t>(i)];
    if (static_cast<int64_t>(f.pixels.size()) != frameBytes) throw std::invalid_argument("frame size");
    const bool key = m.keyInterval == 0 ? i == 0 : i % m.keyInterval == 0;

    std::vector<ZmvStripSpec> strips = f.strips;
    if (strips.empty())
      for (int32_t row = 0; row < m.height; row += m.stripRows) strips.push_back({std::min(m.stripRows, m.height - row), false});

    // What the decoder must end with: the picture, or for predicted files its differences
    // (each strip's running sum starts afresh).
    std::vector<uint8_t> want = f.pixels;
    if (predict) {
      int64_t at = 0;
      for (const ZmvStripSpec& s : strips) {
        const int64_t pixels = static_cast<int64_t>(s.rows) * m.width;
        uint8_t prev[3] = {0, 0, 0};
        for (int64_t px = 0; px < pixels; ++px)
          for (int c = 0; c < 3; ++c) {
            const size_t k = static_cast<size_t>(at + px * 3 + c);
            want[k] = static_cast<uint8_t>(f.pixels[k] - prev[c]);
            prev[c] = f.pixels[k];
          }
        at += pixels * 3;
      }
    }

    std::vector<std::vector<uint8_t>> data;
    int64_t at = 0;
    for (const ZmvStripSpec& s : strips) {
      const int64_t bytes = s.rows * rowBytes;
      if (s.stored) {
        // Stored strips carry the final pixels, also in predicted files; the decoder's difference
        // buffer then takes their differences.
        data.emplace_back(f.pixels.begin() + at, f.pixels.begin() + at + bytes);
        std::copy(want.begin() + at, want.begin() + at + bytes, state.begin() + at);
      } else {
        data.push_back(ZmvEncodeStrip(fast, state, want, at, m.width, s.rows, m.bytesPerPixel, key));
      }
      at += bytes;
    }
    const int32_t n0 = f.inRecord < 0 ? static_cast<int32_t>(strips.size()) : f.inRecord;

    std::string record;
    Put32(record, 0);
    Put32(record, 16);
    Put32(record, static_cast<int32_t>(f.palettes.size()) + 1);
    Put32(record, 0);
    for (const ZmvPalette& p : f.palettes) {
      Put32(record, 2);
      Put32(record, 16);
      Put32(record, static_cast<int32_t>(p.rgb.size() / 3));
      Put32(record, p.first);
      record.append(p.rgb.begin(), p.rgb.end());
    }
    Put32(record, 4);
    Put32(record, 16);
    Put32(record, static_cast<int32_t>(strips.size()));
    Put32(record, n0);
    for (size_t j = 0; j < strips.size(); ++j) {
      Put32(record, 0);
      Put32(record, 20);
      Put32(record, static_cast<int32_t>(data[j].size()));
      Put32(record, strips[j].rows);
      Put32(record, strips[j].stored ? 0 : 1);
    }
    for (int32_t j = 0; j < n0; ++j) record.append(data[static_cast<size_t>(j)].begin(), data[static_cast<size_t>(j)].end());

    const int64_t offset = static_cast<int64_t>(out.size());
    const int64_t entry = firstPage + static_cast<int64_t>(i / 256) * 3072 + (i % 256) * 12;
    ZmvPut32(out, entry, static_cast<int32_t>(offset));
    ZmvPut32(out, entry + 4, static_cast<int32_t>(record.size()));
    ZmvPut32(out, entry + 8, f.palettes.empty() ? 0 : 1);
    image.recordOffset.push_back(offset);
    image.entryOffset.push_back(entry);
    out += record;
    for (size_t j = static_cast<size_t>(n0); j < strips.size(); ++j) out.append(data[j].begin(), data[j].end());
  }

  // Sound blocks, chained in file order.
  const int32_t align = ZmvSoundBlockAlign(m.soundFlags);
  int64_t pcmAt = 0;
  for (size_t b = 0; b < m.blockSamples.size(); ++b) {
    const int64_t offset = static_cast<int64_t>(out.size());
    if (b == 0) ZmvPut32(out, firstBlockField, static_cast<int32_t>(offset));
    else ZmvPut32(out, image.soundBlockOffset.back() + 8, static_cast<int32_t>(offset));
    image.soundBlockOffset.push_back(offset);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, m.blockSamples[b]);
    const int64_t bytes = static_cast<int64_t>(m.blockSamples[b]) * align;
    out.append(m.pcm.begin() + pcmAt, m.pcm.begin() + pcmAt + bytes);
    pcmAt += bytes;
  }
  return image;
}

}  // namespace tavelo::test

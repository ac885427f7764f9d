#include "tests/formats/cine_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

namespace tavelo::test {

namespace {

void Put16(std::vector<uint8_t>& b, int64_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, int64_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, int64_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

int64_t StoredRow(const CineMovie& m) {
  const int64_t packed = static_cast<int64_t>(m.width) * (m.bitCount / 8);
  return m.padRows ? (packed + 3) & ~int64_t{3} : packed;
}

}  // namespace

CineLayout CineLayoutOf(const CineMovie& m) {
  CineLayout l;
  l.offsetTable = l.setup + l.setupLength;
  int64_t pos = l.offsetTable + 8 * static_cast<int64_t>(m.frames.size());
  const int64_t image = StoredRow(m) * m.height;
  for (size_t i = 0; i < m.frames.size(); ++i) {
    l.frameOffsets.push_back(pos);
    pos += m.annotationBytes + image;
  }
  return l;
}

std::vector<uint8_t> CineBuild(const CineMovie& m) {
  const CineLayout l = CineLayoutOf(m);
  const int64_t row = StoredRow(m);
  const int64_t packed = static_cast<int64_t>(m.width) * (m.bitCount / 8);
  const int64_t image = row * m.height;
  const int64_t total = l.offsetTable + 8 * static_cast<int64_t>(m.frames.size()) +
                        static_cast<int64_t>(m.frames.size()) * (m.annotationBytes + image);
  std::vector<uint8_t> b(static_cast<size_t>(total), 0);
  const uint32_t count = static_cast<uint32_t>(m.frames.size());

  // File header.
  b[0] = 'C';
  b[1] = 'I';
  Put16(b, 2, 44);
  Put16(b, 4, static_cast<uint32_t>(m.compression));
  Put16(b, 6, 1);
  Put32(b, 8, 0);       // first movie image
  Put32(b, 12, count);  // total image count
  Put32(b, 16, 0);      // first image number
  Put32(b, 20, count);
  Put32(b, 24, static_cast<uint32_t>(l.bitmapHeader));
  Put32(b, 28, static_cast<uint32_t>(l.setup));
  Put32(b, 32, static_cast<uint32_t>(l.offsetTable));
  Put32(b, 40, 1234567);  // trigger time, seconds

  // Bitmap header.
  const int64_t bh = l.bitmapHeader;
  Put32(b, bh, 40);
  Put32(b, bh + 4, static_cast<uint32_t>(m.width));
  Put32(b, bh + 8, static_cast<uint32_t>(m.height));
  Put16(b, bh + 12, 1);
  Put16(b, bh + 14, static_cast<uint32_t>(m.bitCount));
  Put32(b, bh + 16, 0);
  Put32(b, bh + 20, static_cast<uint32_t>(image));

  // Setup block.
  const int64_t s = l.setup;
  Put16(b, s + 0, m.frameRate > 0xFFFF ? 0xFFFF : m.frameRate);
  Put16(b, s + 140, 0x5453);
  Put16(b, s + 142, static_cast<uint32_t>(l.setupLength));
  Put32(b, s + 760, m.topDown ? 1 : 0);
  Put32(b, s + 768, m.frameRate);
  Put32(b, s + 808, m.cfa);
  Put32(b, s + 812, static_cast<uint32_t>(m.brightness));
  Put32(b, s + 816, static_cast<uint32_t>(m.contrast));
  Put32(b, s + 820, static_cast<uint32_t>(m.gamma));
  Put32(b, s + 896, m.realBpp != 0 ? m.realBpp : static_cast<uint32_t>(m.bitCount > 16 ? m.bitCount / 3 : m.bitCount));
  uint32_t sat;
  std::memcpy(&sat, &m.saturation, 4);
  Put32(b, s + 6016, sat);

  // Offsets, annotations and images.
  for (size_t i = 0; i < m.frames.size(); ++i) {
    const int64_t at = l.frameOffsets[i];
    Put64(b, l.offsetTable + 8 * static_cast<int64_t>(i), static_cast<uint64_t>(at));
    Put32(b, at, m.annotationBytes);
    Put32(b, at + m.annotationBytes - 4, static_cast<uint32_t>(image));
    const std::vector<uint8_t>& f = m.frames[i];
    EXPECT_EQ(static_cast<int64_t>(f.size()), packed * m.height) << "frame " << i << " has the wrong size";
    for (int32_t y = 0; y < m.height && static_cast<int64_t>(f.size()) >= packed * m.height; ++y) {
      const int32_t stored = m.topDown ? y : m.height - 1 - y;
      std::memcpy(&b[at + m.annotationBytes + stored * row], &f[y * packed], static_cast<size_t>(packed));
    }
  }
  return b;
}

void CineWrite(const std::string& path, const CineMovie& movie) {
  const std::vector<uint8_t> bytes = CineBuild(movie);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

}  // namespace tavelo::test

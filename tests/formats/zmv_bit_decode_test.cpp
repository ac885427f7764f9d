// The ZMV strip decoder: the token sets bit for bit, the copy geometry, and hostile streams (run
// under ASan and UBSan too: every buffer here has its exact size, so any stray access is caught).
#include "formats/units/zmv_bit_decode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tests/formats/zmv_writer.h"

namespace tavelo {
namespace {

using test::ZmvBits;
using test::ZmvTokenWriter;

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

int32_t Decode(bool fast, const std::vector<uint8_t>& data, std::vector<uint8_t>& frame, int64_t offset, int32_t width,
               int32_t rows, int32_t bpp) {
  return ZMVBitDecode(fast ? zmvTokensFast : zmvTokensBest, data.data(), static_cast<int64_t>(data.size()), frame.data(),
                      offset, width, rows, bpp);
}

TEST(ZmvBitDecode, BestLiteralFromTheFirstTenBits) {
  // 0xC1 0x40: prefix 11, then 00000101; the rest of the second byte starts the end token.
  std::vector<uint8_t> frame(1, 0xEE);
  EXPECT_EQ(Decode(false, {0xC1, 0x47, 0x00}, frame, 0, 1, 1, 1), zmvDecodeOk);
  EXPECT_EQ(frame[0], 0x05);

  ZmvTokenWriter w(false);
  w.Literal(0x05);
  const auto bytes = w.Bytes();
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes[0], 0xC1);
  EXPECT_EQ(bytes[1] & 0xC0, 0x40);
}

TEST(ZmvBitDecode, LengthCodes) {
  // The code is the binary form of n behind (bits - 2) zeros; 256 .. 767 use 7 zeros and 9 bits.
  struct Case {
    int64_t n;
    uint32_t bits;
    int width;
  } cases[] = {{2, 0b10, 2}, {3, 0b11, 2}, {4, 0b0100, 4}, {7, 0b0111, 4}, {8, 0b001000, 6},
               {255, 0b00000011111111, 14}, {256, 0b0000000000000000, 16}, {767, 0b0000000111111111, 16}};
  for (const Case& c : cases) {
    ZmvBits b;
    b.PutLength(c.n);
    ASSERT_EQ(b.BitCount(), c.width) << c.n;
    ZmvBits expect;
    expect.Put(c.bits, c.width);
    EXPECT_EQ(b.Bytes(), expect.Bytes()) << c.n;
  }
  // A run of 767 bytes decodes from the longest code.
  for (bool fast : {false, true}) {
    ZmvTokenWriter w(fast);
    const uint8_t value = 0x5A;
    w.Run(&value, 1, 767);
    w.End();
    std::vector<uint8_t> frame(767, 0);
    ASSERT_EQ(Decode(fast, w.Bytes(), frame, 0, 767, 1, 1), zmvDecodeOk);
    EXPECT_EQ(frame, std::vector<uint8_t>(767, 0x5A));
  }
}

TEST(ZmvBitDecode, WindowCopiesAtBothEndsOfTheTable) {
  // v = 0: 64 bytes to the left on the same row.
  {
    std::vector<uint8_t> frame = Pattern(100, 1);
    const std::vector<uint8_t> before = frame;
    ZmvTokenWriter w(false);
    w.Skip(64);
    w.Window(0, 0, 3);
    w.Skip(33);
    w.End();
    ASSERT_EQ(Decode(false, w.Bytes(), frame, 0, 100, 1, 1), zmvDecodeOk);
    EXPECT_EQ(frame[64], before[0]);
    EXPECT_EQ(frame[65], before[1]);
    EXPECT_EQ(frame[66], before[2]);
    EXPECT_EQ(frame[67], before[67]);
  }
  // v = 1535 (index 23, offset 63): 12 rows up and 63 bytes to the right, here reaching into the
  // strips above this one.
  {
    const int32_t width = 100;
    std::vector<uint8_t> frame = Pattern(width * 13, 2);
    const std::vector<uint8_t> before = frame;
    ZmvTokenWriter w(false);
    w.Window(23, 63, 2);
    w.Skip(98);
    w.End();
    ASSERT_EQ(Decode(false, w.Bytes(), frame, 12 * width, width, 1, 1), zmvDecodeOk);
    EXPECT_EQ(frame[12 * width], before[63]);
    EXPECT_EQ(frame[12 * width + 1], before[64]);
  }
}

TEST(ZmvBitDecode, CopyFromAboveOf129Bytes) {
  const int32_t width = 200;
  std::vector<uint8_t> frame = Pattern(width * 2, 3);
  const std::vector<uint8_t> before = frame;
  ZmvTokenWriter w(false);
  w.Skip(width);
  w.CopyAbove(129);
  w.Skip(71);
  w.End();
  ASSERT_EQ(Decode(false, w.Bytes(), frame, 0, width, 2, 1), zmvDecodeOk);
  for (int i = 0; i < 129; ++i) EXPECT_EQ(frame[width + i], before[i]) << i;
  EXPECT_EQ(frame[width + 129], before[width + 129]);
}

TEST(ZmvBitDecode, RunValueOrderByPixelSize) {
  for (bool fast : {false, true}) {
    // 3-byte pixels: fields 0x11, 0x22, 0x33 in stream order give 0x11, 0x33, 0x22 in memory.
    ZmvTokenWriter w3(fast);
    w3.Bits().Put(0, fast ? 2 : 4);
    w3.Bits().Put(0x11, 8);
    w3.Bits().Put(0x22, 8);
    w3.Bits().Put(0x33, 8);
    w3.Bits().PutLength(2);
    w3.End();
    std::vector<uint8_t> frame3(6, 0);
    ASSERT_EQ(Decode(fast, w3.Bytes(), frame3, 0, 2, 1, 3), zmvDecodeOk);
    EXPECT_EQ(frame3, (std::vector<uint8_t>{0x11, 0x33, 0x22, 0x11, 0x33, 0x22}));

    // 2-byte pixels: L then X is the pixel L * 256 + X, low byte first.
    ZmvTokenWriter w2(fast);
    w2.Bits().Put(0, fast ? 2 : 4);
    w2.Bits().Put(0x12, 8);
    w2.Bits().Put(0x34, 8);
    w2.Bits().PutLength(3);
    w2.End();
    std::vector<uint8_t> frame2(6, 0);
    ASSERT_EQ(Decode(fast, w2.Bytes(), frame2, 0, 3, 1, 2), zmvDecodeOk);
    EXPECT_EQ(frame2, (std::vector<uint8_t>{0x34, 0x12, 0x34, 0x12, 0x34, 0x12}));
  }
}

TEST(ZmvBitDecode, LongSkipIsTheEndOnlyAtTheStripEnd) {
  for (bool fast : {false, true}) {
    // Read early, the token skips 64 x 2 + 4 - 62 = 70 bytes.
    std::vector<uint8_t> frame(200, 0xEE);
    ZmvTokenWriter w(fast);
    w.Bits().Put(7, fast ? 4 : 6);
    w.Bits().Put(4, 6);
    w.Bits().PutLength(2);
    w.Literal(0x01);
    w.Skip(129);
    w.End();  // the data ends with it: no length code follows
    const auto data = w.Bytes();
    ASSERT_EQ(Decode(fast, data, frame, 0, 200, 1, 1), zmvDecodeOk);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(frame[i], i == 70 ? 0x01 : 0xEE) << i;
  }
  // A skip past the end also ends at the next long-skip token.
  std::vector<uint8_t> frame(10, 0);
  ZmvTokenWriter w(false);
  w.Skip(65);
  w.End();
  EXPECT_EQ(Decode(false, w.Bytes(), frame, 0, 10, 1, 1), zmvDecodeOk);
}

TEST(ZmvBitDecode, FastTokenSet) {
  const int32_t width = 8;
  std::vector<uint8_t> frame = Pattern(width * 3, 4);
  const std::vector<uint8_t> before = frame;
  ZmvTokenWriter w(true);
  w.Literal(0xA5);      // row 0, byte 0
  w.Skip(7);            // rest of row 0 kept
  w.CopyAbove(8);       // row 1 = row 0
  const uint8_t v = 0x42;
  w.Run(&v, 1, 4);      // row 2, bytes 0 .. 3
  w.Skip(4);
  w.End();
  ASSERT_EQ(Decode(true, w.Bytes(), frame, 0, width, 3, 1), zmvDecodeOk);
  EXPECT_EQ(frame[0], 0xA5);
  for (int i = 1; i < 8; ++i) EXPECT_EQ(frame[i], before[i]);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(frame[8 + i], frame[i]);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(frame[16 + i], 0x42);
  for (int i = 4; i < 8; ++i) EXPECT_EQ(frame[16 + i], before[16 + i]);
}

TEST(ZmvBitDecode, OverlappingCopiesRepeatAndTheRingRemembers) {
  std::vector<uint8_t> frame(100, 0);
  ZmvTokenWriter w(false);
  for (int i = 0; i < 64; ++i) w.Literal(static_cast<uint8_t>(i));
  w.Window(0, 63, 5);  // source one byte back: repeats byte 63
  w.Repeat(0);         // the same copy again: 5 bytes from position 64
  w.Skip(26);
  w.End();
  ASSERT_EQ(Decode(false, w.Bytes(), frame, 0, 100, 1, 1), zmvDecodeOk);
  for (int i = 64; i < 74; ++i) EXPECT_EQ(frame[i], 63) << i;

  // After 1025 window copies the ring index has wrapped: entry 0 is the latest copy.
  std::vector<uint8_t> big(64 + 2 * 1025 + 2, 0);
  ZmvTokenWriter r(false);
  for (int i = 0; i < 64; ++i) r.Literal(static_cast<uint8_t>(i));
  for (int i = 0; i < 1025; ++i) r.Window(0, 0, 2);  // copies 64 bytes back
  r.Repeat(0);
  r.End();
  ASSERT_EQ(Decode(false, r.Bytes(), big, 0, static_cast<int32_t>(big.size()), 1, 1), zmvDecodeOk);
  const size_t last = 64 + 2 * 1024;  // where the 1025th copy wrote
  EXPECT_EQ(big[big.size() - 2], big[last]);
  EXPECT_EQ(big[big.size() - 1], big[last + 1]);
}

TEST(ZmvBitDecode, MalformedStreamsAreRefused) {
  struct Case {
    const char* what;
    bool fast;
    std::vector<uint8_t> data;
    int64_t offset;
    int32_t width, rows, bpp;
    int32_t expect;
  };
  auto tokens = [](bool fast, auto build) {
    ZmvTokenWriter w(fast);
    build(w);
    return w.Bytes();
  };
  const uint8_t v = 7;
  std::vector<Case> cases = {
      {"no data", false, {}, 0, 4, 1, 1, zmvDecodeDataEnd},
      {"no end token", false, tokens(false, [&](auto& w) { w.Literal(1); }), 0, 4, 1, 1, zmvDecodeDataEnd},
      {"cut length code", false, {0x01, 0xC0}, 0, 8, 1, 1, zmvDecodeDataEnd},
      {"fast without end", true, tokens(true, [&](auto& w) { w.Skip(2); }), 0, 4, 1, 1, zmvDecodeDataEnd},
      {"copy above the frame", false, tokens(false, [&](auto& w) { w.CopyAbove(2); w.End(); }), 0, 4, 2, 1,
       zmvDecodeReadBefore},
      {"window before the frame", false, tokens(false, [&](auto& w) { w.Window(0, 0, 2); w.End(); }), 32, 100, 1, 1,
       zmvDecodeReadBefore},
      {"fast copy above the frame", true, tokens(true, [&](auto& w) { w.CopyAbove(2); w.End(); }), 0, 4, 2, 1,
       zmvDecodeReadBefore},
      {"window past the strip", false, tokens(false, [&](auto& w) { w.Skip(10); w.Window(12, 63, 2); w.End(); }), 0,
       10, 3, 1, zmvDecodeReadPast},
      {"literal past the strip", false, tokens(false, [&](auto& w) { w.Skip(4); w.Literal(1); w.End(); }), 0, 4, 1, 1,
       zmvDecodeWritePast},
      {"run past the strip", false, tokens(false, [&](auto& w) { w.Run(&v, 1, 5); w.End(); }), 0, 4, 1, 1,
       zmvDecodeWritePast},
      {"pixel run past the strip", true, tokens(true, [&](auto& w) { const uint8_t p[3] = {1, 2, 3}; w.Run(p, 3, 2); w.End(); }),
       0, 1, 1, 3, zmvDecodeWritePast},
      {"copy past the strip", false, tokens(false, [&](auto& w) { w.Skip(4); w.CopyAbove(5); w.End(); }), 0, 4, 2, 1,
       zmvDecodeWritePast},
      {"skip then literal", true, tokens(true, [&](auto& w) { w.Skip(65); w.Literal(1); w.End(); }), 0, 8, 1, 1,
       zmvDecodeWritePast},
      {"repeat before any copy", false, tokens(false, [&](auto& w) { w.Repeat(0); w.End(); }), 0, 8, 1, 1,
       zmvDecodeRingUnset},
      {"repeat of an unwritten entry", false,
       tokens(false, [&](auto& w) { w.Skip(64); w.Window(0, 0, 2); w.Repeat(1); w.End(); }), 0, 100, 1, 1,
       zmvDecodeRingUnset},
      {"zero width", false, tokens(false, [&](auto& w) { w.End(); }), 0, 0, 1, 1, zmvDecodeBadArgs},
      {"five bytes per pixel", false, tokens(false, [&](auto& w) { w.End(); }), 0, 1, 1, 5, zmvDecodeBadArgs},
  };
  for (const Case& c : cases) {
    // The frame buffer is exactly what the strip and the rows above it need.
    std::vector<uint8_t> frame(static_cast<size_t>(c.offset + std::max(0, c.width * c.rows * c.bpp)), 0);
    if (frame.empty()) frame.resize(1);
    const int32_t result = ZMVBitDecode(c.fast ? zmvTokensFast : zmvTokensBest, c.data.empty() ? nullptr : c.data.data(),
                                        static_cast<int64_t>(c.data.size()), frame.data(), c.offset, c.width, c.rows,
                                        c.bpp);
    EXPECT_EQ(result, c.expect) << c.what;
  }
  std::vector<uint8_t> frame(4);
  const uint8_t end[2] = {0x1C, 0x00};
  EXPECT_EQ(ZMVBitDecode(zmvTokensBest, end, 2, nullptr, 0, 4, 1, 1), zmvDecodeBadArgs);
  EXPECT_EQ(ZMVBitDecode(zmvTokensBest, end, 2, frame.data(), -1, 4, 1, 1), zmvDecodeBadArgs);
  EXPECT_EQ(ZMVBitDecode(zmvTokensBest, nullptr, 2, frame.data(), 0, 4, 1, 1), zmvDecodeBadArgs);
  EXPECT_EQ(ZMVBitDecode(zmvTokensBest, end, 2, frame.data(), 0, 4, 1, 1), zmvDecodeDataEnd);  // 4 bytes to fill
  EXPECT_EQ(ZMVBitDecode(zmvTokensBest, end, 2, frame.data(), 0, 4, 0, 1), zmvDecodeOk);       // an empty strip
}

TEST(ZmvBitDecode, RandomStreamsNeverLeaveTheirBuffers) {
  // Every stream is read from an exact-size buffer into an exact-size frame: under the address
  // sanitizer any read or write outside them stops the test.
  std::mt19937 rng(12345);
  for (int round = 0; round < 20000; ++round) {
    const bool fast = (round & 1) != 0;
    const int32_t bpp = 1 + static_cast<int32_t>(rng() % 3);
    const int32_t width = 1 + static_cast<int32_t>(rng() % 40);
    const int32_t rows = static_cast<int32_t>(rng() % 6);
    const int32_t rowsAbove = static_cast<int32_t>(rng() % 3);
    const int64_t offset = static_cast<int64_t>(rowsAbove) * width * bpp;
    std::vector<uint8_t> frame(static_cast<size_t>(offset + static_cast<int64_t>(width) * rows * bpp));
    if (frame.empty()) continue;
    std::vector<uint8_t> data = Pattern(rng() % 48, static_cast<uint32_t>(round));
    // Streams that often end properly: a random head, then end tokens.
    if (round % 3 == 0) {
      ZmvTokenWriter w(fast);
      w.End();
      for (uint8_t b : w.Bytes()) data.push_back(b);
    }
    const int32_t result = ZMVBitDecode(fast ? zmvTokensFast : zmvTokensBest, data.empty() ? nullptr : data.data(),
                                        static_cast<int64_t>(data.size()), frame.data(), offset, width, rows, bpp);
    ASSERT_GE(result, zmvDecodeOk);
    ASSERT_LE(result, zmvDecodeRingUnset);
  }
  // Well-formed tokens with random counts and displacements reach every bound check.
  std::vector<int> seen(8, 0);
  for (int round = 0; round < 20000; ++round) {
    const bool fast = (round & 1) != 0;
    const int32_t bpp = 1 + static_cast<int32_t>(rng() % 3);
    const int32_t width = 1 + static_cast<int32_t>(rng() % 90);
    const int32_t rows = static_cast<int32_t>(rng() % 14);
    const int64_t offset = static_cast<int64_t>(rng() % 4) * width * bpp;
    std::vector<uint8_t> frame(static_cast<size_t>(offset + static_cast<int64_t>(width) * rows * bpp));
    if (frame.empty()) continue;
    ZmvTokenWriter w(fast);
    const int count = 1 + static_cast<int>(rng() % 12);
    for (int t = 0; t < count; ++t) {
      const uint8_t px[3] = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
      switch (rng() % (fast ? 5 : 7)) {
        case 0: w.Literal(px[0]); break;
        case 1: w.Run(px, bpp, 2 + rng() % 766); break;
        case 2: w.CopyAbove(2 + rng() % (fast ? 64 : 128)); break;
        case 3: w.Skip(2 + rng() % 200); break;
        case 4: w.End(); break;
        case 5: w.Window(static_cast<int>(rng() % 24), static_cast<int>(rng() % 64), 2 + rng() % 100); break;
        default: w.Repeat(static_cast<int>(rng() % 4)); break;
      }
    }
    if (rng() % 2) w.End();
    const auto data = w.Bytes();
    const int32_t result = ZMVBitDecode(fast ? zmvTokensFast : zmvTokensBest, data.data(),
                                        static_cast<int64_t>(data.size()), frame.data(), offset, width, rows, bpp);
    ASSERT_GE(result, zmvDecodeOk);
    ASSERT_LE(result, zmvDecodeRingUnset);
    ++seen[static_cast<size_t>(result)];
  }
  // The rounds met every outcome at least once.
  for (int r = zmvDecodeOk; r <= zmvDecodeRingUnset; ++r) EXPECT_GT(seen[static_cast<size_t>(r)], 0) << r;
}

TEST(ZmvBitDecode, RunningSumCarriesAcrossRowsAndWraps) {
  const std::vector<uint8_t> diff = {10, 20, 250, 1, 2, 10, 255, 0, 0};
  std::vector<uint8_t> pic(9, 0);
  ZMVRunningSum(pic.data(), diff.data(), 3);
  EXPECT_EQ(pic, (std::vector<uint8_t>{10, 20, 250, 11, 22, 4, 10, 22, 4}));
  std::vector<uint8_t> back(9, 0);
  ZMVDifferences(pic.data(), back.data(), 3);
  EXPECT_EQ(back, diff);
}

}  // namespace
}  // namespace tavelo

#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/services/basic.h"
#include "tests/core/comma_locale.h"

namespace tavelo {
namespace {

TEST(Basic, IntToStrWWidthCodes) {
  EXPECT_EQ(IntToStrW(1234567, 100), "1,234,567");
  EXPECT_EQ(IntToStrW(5, 3), "  5");
  EXPECT_EQ(IntToStrW(7, 203), "007");
  EXPECT_EQ(IntToStrW(0, 0), "0");
  EXPECT_EQ(IntToStrW(0xFFFFFFFFu, 0), "4294967295");
  EXPECT_EQ(IntToStrW(123456, 2), "123456");  // never cut
  EXPECT_EQ(IntToStrW(1234, 108), "   1,234");
  EXPECT_EQ(IntToStrW(123, 100), "123");
  EXPECT_EQ(IntToStrW(123456, 203), "123456");
}

void ExpectFixedGroupedFloats() {
  EXPECT_EQ(FloatToStrW(3.14159, 0, 2), "3.14");
  EXPECT_EQ(FloatToStrW(2.5, 6, 1), "   2.5");
  EXPECT_EQ(FloatToStrW(1234567.5, 100, 1), "1,234,567.5");
  EXPECT_EQ(FloatToStrW(999.0, 100, 0), "999");
  EXPECT_EQ(FloatToStrW(-1234.25, 100, 2), "-1,234.25");
}

TEST(Basic, FloatToStrWIsFixedAndGrouped) { ExpectFixedGroupedFloats(); }

TEST(Basic, FloatToStrWIgnoresACommaLocale) {
  test::CommaLocale comma;
  if (!comma.Active()) GTEST_SKIP() << test::kNoCommaLocale;
  ExpectFixedGroupedFloats();
}

TEST(Basic, RoundingIsTiesToEven) {
  EXPECT_EQ(FpuRound(2.5L), 2);
  EXPECT_EQ(FpuRound(3.5L), 4);
  EXPECT_EQ(FpuRound(-2.5L), -2);
  EXPECT_EQ(FpuRound(2.5001L), 3);
  EXPECT_EQ(FpuTrunc(-2.9L), -2);
  EXPECT_EQ(FpuTrunc(2.9L), 2);
  EXPECT_EQ(FpuInt(-3.75L), -3.0L);
  EXPECT_EQ(FpuFrac(-3.75L), -0.75L);
}

TEST(Basic, RoundingOutOfRangeGivesTheIndefiniteValue) {
  EXPECT_EQ(FpuRound(std::numeric_limits<long double>::quiet_NaN()), INT64_MIN);
  EXPECT_EQ(FpuRound(1e30L), INT64_MIN);
  EXPECT_EQ(FpuTrunc(-1e30L), INT64_MIN);
  EXPECT_EQ(FpuTrunc(std::numeric_limits<long double>::infinity()), INT64_MIN);
  EXPECT_EQ(FpuRound(9223372036854775808.0L), INT64_MIN);  // 2^63
  EXPECT_EQ(FpuRound(9223372036854775807.0L), INT64_MAX);
}

TEST(Basic, FpuResetMasksExceptions) {
  // Exceptions are masked when a program starts: unmask the trap first (as a library might), so
  // that only FpuReset can mask it again. Were it left unmasked the division would kill the test.
  ASSERT_EQ(feenableexcept(FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW), 0);
  ASSERT_NE(fegetexcept() & FE_DIVBYZERO, 0);
  FpuReset();
  EXPECT_EQ(fegetexcept(), 0);
  volatile double zero = 0.0;
  const double inf = 1.0 / zero;  // masked: infinity, not a trap
  EXPECT_TRUE(std::isinf(inf));
  volatile long double lzero = 0.0L;
  const long double linf = 1.0L / lzero;  // the x87 unit too
  EXPECT_TRUE(std::isinf(linf));
}

TEST(Basic, ClampsAndComparisons) {
  EXPECT_EQ(IntClamp(5, 10, 3), 10);  // hi first, then lo
  EXPECT_EQ(IntClamp(50, 0, 10), 10);
  EXPECT_EQ(FltClamp(-1.0, 0.0, 1.0), 0.0);
  EXPECT_TRUE(FltSame(1.0, 1.00005));
  EXPECT_FALSE(FltSame(1.0, 1.0002));
  EXPECT_EQ(BytesToMB(int64_t{5} << 20), 5);
}

TEST(Basic, MemoryHelpers) {
  std::vector<uint8_t> a(65536, 7), b(65536, 7);
  EXPECT_EQ(MemCompare(a.data(), b.data(), 65536), 0);
  b[65535] = 200;
  EXPECT_EQ(MemCompare(a.data(), b.data(), 65536), -1);
  EXPECT_EQ(MemCompare(b.data(), a.data(), 65536), 1);
  EXPECT_EQ(MemCompare(a.data(), b.data(), 0), 0);

  char buf[16] = "abcdefghij";
  MoveMem(buf, buf + 2, 8);  // overlapping, destination above
  EXPECT_EQ(std::string(buf, 10), "ababcdefgh");
  FillMem(buf, 3, 'z');
  EXPECT_EQ(std::string(buf, 4), "zzzb");
  FillMem(buf, -1, 'q');
  EXPECT_EQ(buf[0], 'z');

  char x[3] = {'1', '2', '3'}, y[3] = {'a', 'b', 'c'};
  SwapBytes(x, y, 3);
  EXPECT_EQ(std::string(x, 3), "abc");
  EXPECT_EQ(SwappedWord(0x1234), 0x3412);
  EXPECT_EQ(SwappedLong(0x12345678u), 0x78563412u);
  uint16_t w = 0xABCD;
  SwapWord(w);
  EXPECT_EQ(w, 0xCDAB);
  EXPECT_EQ(DigitsToInt("12345"), 12345);
  EXPECT_EQ(DigitsToInt(""), 0);
  EXPECT_TRUE(TestBits(6, 2));
  EXPECT_FALSE(TestBits(6, 1));
}

TEST(Basic, SwapBytesOfAnyLength) {
  // Picture rows are swapped with this: lengths around its block size, and the rest after blocks.
  for (int64_t n : {0, 1, 7, 511, 512, 513, 1024, 1500, 5763}) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> a(static_cast<size_t>(n) + 1), b(static_cast<size_t>(n) + 1);
    for (size_t i = 0; i < a.size(); ++i) {
      a[i] = static_cast<uint8_t>(i * 7 + 1);
      b[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    const std::vector<uint8_t> a0 = a, b0 = b;
    SwapBytes(a.data(), b.data(), n);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + n, b0.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + n, a0.begin()));
    EXPECT_EQ(a.back(), a0.back()) << "nothing past the count";
    EXPECT_EQ(b.back(), b0.back());
  }
  // Overlapping buffers swap byte by byte, front to back, as they always did.
  std::vector<uint8_t> v(2000);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> expect = v;
  for (size_t i = 0; i < 1000; ++i) std::swap(expect[i], expect[i + 600]);
  SwapBytes(v.data(), v.data() + 600, 1000);
  EXPECT_EQ(v, expect);
}

TEST(Basic, Stopwatch) {
  WatchRec w;
  EXPECT_EQ(WatchRead(w), 0.0);  // Mode 0
  WatchStart(w);
  EXPECT_EQ(w.Mode, 1);
  const double t = WatchRead(w);
  EXPECT_GE(t, 0.0);
  EXPECT_LT(t, 10.0);
  EXPECT_EQ(w.Elapsed, t);
}

TEST(Basic, SystemFigures) {
  int32_t tp = 0, fp = 0, ts = 0, fs = 0;
  GetMemStatus(tp, fp, ts, fs);
  EXPECT_GT(tp, 0);
  EXPECT_LE(fp, tp);
  int32_t total = 0, free = 0;
  GetDiskSpace("/tmp", total, free);
  EXPECT_GT(total, 0);
  std::string fsName;
  GetFileSystemName("/proc", fsName);
  EXPECT_EQ(fsName, "proc");
  GetFileSystemName("/no/such/path", fsName);
  EXPECT_EQ(fsName, "");
}

TEST(Basic, CutUtf8NeverSplitsASequence) {
  const std::string s = "ab\xC3\xA9" "cd";  // "abécd"
  EXPECT_EQ(CutUtf8(s, 3), "ab");
  EXPECT_EQ(CutUtf8(s, 4), "ab\xC3\xA9");
  EXPECT_EQ(CutUtf8(s, 100), s);
}

}  // namespace
}  // namespace tavelo

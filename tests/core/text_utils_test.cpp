#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <vector>

#include "core/services/path_utils.h"
#include "core/services/text_utils.h"
#include "base/wave_format.h"
#include "tests/core/comma_locale.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

// ---- Paths.

TEST(PathUtils, SeparatorHelpers) {
  EXPECT_EQ(AddBackslash("/a/b"), "/a/b/");
  EXPECT_EQ(AddBackslash("/a/b/"), "/a/b/");
  EXPECT_EQ(AddBackslash(""), "");
  EXPECT_EQ(DelBackslash("/a/b///"), "/a/b");
  EXPECT_EQ(DelBackslash("/"), "");
  EXPECT_EQ(GetPathRoot("  /home/u/x.avi "), "/");
  EXPECT_EQ(GetPathRoot("relative/x.avi"), "");
  EXPECT_EQ(GetPathRoot(""), "");
  const std::string exeDir = GetExeDir();
  ASSERT_FALSE(exeDir.empty());
  EXPECT_EQ(exeDir.front(), '/');
  EXPECT_EQ(exeDir.back(), '/');
}

TEST(PathUtils, ParentDir) {
  // The Linux forms of C:\a\b\ -> C:\a\ and C:\ -> C:\.
  EXPECT_EQ(GetParentDir("/a/b/"), "/a/");
  EXPECT_EQ(GetParentDir("/a/b"), "/a/");
  EXPECT_EQ(GetParentDir("/a"), "/");
  EXPECT_EQ(GetParentDir("/"), "/");
  EXPECT_EQ(GetParentDir("a/b"), "a/");
  EXPECT_EQ(GetParentDir("name"), "/");  // no root and no folder part
  // Walking up ends at the root.
  std::string dir = "/x/y/z/";
  int steps = 0;
  while (dir != "/" && steps < 10) {
    dir = GetParentDir(dir);
    ++steps;
  }
  EXPECT_EQ(steps, 3);
}

TEST(PathUtils, SplitAndChangeExt) {
  std::string dir, name, ext;
  SplitFileName("/home/u/clip.take1.avi", dir, name, ext);
  EXPECT_EQ(dir, "/home/u/");
  EXPECT_EQ(name, "clip.take1");
  EXPECT_EQ(ext, ".avi");
  SplitFileName("noext", dir, name, ext);
  EXPECT_EQ(dir, "");
  EXPECT_EQ(name, "noext");
  EXPECT_EQ(ext, "");
  SplitFileName("/a.b/file", dir, name, ext);  // a point in the folder is no extension
  EXPECT_EQ(name, "file");
  EXPECT_EQ(ext, "");

  EXPECT_EQ(ChangeExt("/a/shot.jpg", "png"), "/a/shot.png");
  EXPECT_EQ(ChangeExt("/a/shot.jpg", ".png"), "/a/shot.png");
  EXPECT_EQ(ChangeExt("/a/shot", "png"), "/a/shot.png");
  EXPECT_EQ(ChangeExt("/a/shot.jpg", ""), "/a/shot");
  EXPECT_EQ(ChangeExt("/a.d/shot", "png"), "/a.d/shot.png");
}

TEST(PathUtils, NumberedNames) {
  const std::string dir = test::MakeTempDir("numbered");
  EXPECT_EQ(MakeNumberedName(dir + "/shot.png", false), dir + "/shot???.png");
  EXPECT_EQ(MakeNumberedName(dir + "/shot.png", true), dir + "/shot001.png");
  test::WriteFile(dir + "/shot001.png", "x");
  EXPECT_EQ(MakeNumberedName(dir + "/shot.png", true), dir + "/shot002.png");
  // Names are compared exactly: another case is another file.
  test::WriteFile(dir + "/SHOT002.png", "x");
  EXPECT_EQ(MakeNumberedName(dir + "/shot.png", true), dir + "/shot002.png");
  // Past 999 the number grows a digit.
  for (int n = 2; n <= 999; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "/shot%03d.png", n);
    test::WriteFile(dir + name, "");
  }
  EXPECT_EQ(MakeNumberedName(dir + "/shot.png", true), dir + "/shot1000.png");
}

TEST(PathUtils, CutAtNulAndStrToFile) {
  std::string s("abc\0def", 7);
  CutAtNul(s);
  EXPECT_EQ(s, "abc");

  const std::string dir = test::MakeTempDir("strtofile");
  const std::string file = dir + "/info.txt";
  test::WriteFile(file, "old content that is longer");
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);  // read-only: the attributes are cleared first
  EXPECT_TRUE(StrToFile(file, "new"));
  EXPECT_EQ(test::ReadFile(file), "new");
  EXPECT_FALSE(StrToFile(dir + "/missing/folder/x.txt", "text"));
  EXPECT_FALSE(StrToFile("", "text"));
}

// ---- Sizes, numbers and text.

TEST(TextUtils, SizeToTextThresholds) {
  std::string value, unit;
  SizeToText(1, value, unit, 943718);
  EXPECT_EQ(unit, "kB");
  EXPECT_EQ(value, "921.6");
  SizeToText(1, value, unit, 943719);
  EXPECT_EQ(unit, "MB");
  EXPECT_EQ(value, "0.9");
  SizeToText(2, value, unit, 966367641);
  EXPECT_EQ(unit, "MB");
  SizeToText(2, value, unit, 966367642);
  EXPECT_EQ(unit, "GB");
  EXPECT_EQ(value, "0.90");
  SizeToText(0, value, unit, 989560464998.0);
  EXPECT_EQ(unit, "GB");
  SizeToText(3, value, unit, 989560464999.0);
  EXPECT_EQ(unit, "TB");
  EXPECT_EQ(value, "0.900");
  SizeToText(0, value, unit, 0);
  EXPECT_EQ(unit, "kB");
  EXPECT_EQ(value, "0");
}

TEST(TextUtils, MediaTexts) {
  EXPECT_EQ(DimText(640, 480, 24), "640 x 480, 24-bit");
  EXPECT_EQ(DimText(640, 480, 0), "640 x 480");
  platform::WAVEFORMATEX wf{1, 2, 44100, 176400, 4, 16, 0};  // the packed record itself
  EXPECT_EQ(WaveFmtText(wf), "44100 Hz, Stereo, 16-bit");
  wf.nChannels = 1;
  wf.wBitsPerSample = 0;
  EXPECT_EQ(WaveFmtText(wf), "44100 Hz, Mono");
  wf.nChannels = 0;
  EXPECT_EQ(ChannelsText(wf), "-");
  wf.nChannels = 6;
  EXPECT_EQ(ChannelsText(wf), "6");
  const std::string line = SeparatorLine();
  EXPECT_EQ(line, std::string(75, '_') + "\r\n");
}

TEST(TextUtils, StrToFloatDefaultIsStrictAndLocaleFree) {
  EXPECT_DOUBLE_EQ(StrToFloatDefault(" 25.5 ", -1), 25.5);
  EXPECT_DOUBLE_EQ(StrToFloatDefault("-0.25", -1), -0.25);
  EXPECT_DOUBLE_EQ(StrToFloatDefault("+2", -1), 2);
  EXPECT_DOUBLE_EQ(StrToFloatDefault("1e3", -1), 1000);
  EXPECT_DOUBLE_EQ(StrToFloatDefault(".5", -1), 0.5);
  for (const char* bad : {"", "  ", "1,5", "12 fps", "abc", "--1", "+-1", "inf", "nan", "1e999", "0x10"})
    EXPECT_DOUBLE_EQ(StrToFloatDefault(bad, -7), -7) << bad;
}

// Under a locale whose decimal separator is a comma the point still is the point.
TEST(TextUtils, NumbersIgnoreACommaLocale) {
  test::CommaLocale comma;
  if (!comma.Active()) GTEST_SKIP() << test::kNoCommaLocale;
  EXPECT_DOUBLE_EQ(StrToFloatDefault("25.5", -1), 25.5);
  EXPECT_DOUBLE_EQ(StrToFloatDefault("25,5", -1), -1);
  EXPECT_EQ(FloatToTextTrim(0, 10, 25.5), "25.5");
}

TEST(TextUtils, TrimmedFloatText) {
  EXPECT_EQ(TrimFloatZeros("25.500"), "25.5");
  EXPECT_EQ(TrimFloatZeros("25.000  "), "25");
  EXPECT_EQ(TrimFloatZeros("100"), "100");  // no point: left alone
  EXPECT_EQ(TrimFloatZeros("0.000"), "0");
  EXPECT_EQ(TrimFloatZeros("."), ".");  // never below one character
  EXPECT_EQ(FloatToTextTrim(0, 10, 25.5), "25.5");
  EXPECT_EQ(FloatToTextTrim(0, 2, 29.97), "29.97");
  EXPECT_EQ(FloatToTextTrim(0, 2, 25), "25");
  EXPECT_EQ(FloatToTextTrim(8, 3, 1.5), "   1.5");  // "   1.500" with its zeros dropped
  EXPECT_EQ(FloatToTextTrim(0, 2147483647, 1.25), "1.25");  // absurd decimals are limited
}

TEST(TextUtils, CharacterFilters) {
  EXPECT_EQ(KeepIntChars("12 fps"), "12");
  EXPECT_EQ(KeepIntChars("-3x4"), "-34");
  EXPECT_EQ(KeepFloatChars("~29.97 fps"), "29.97");
  EXPECT_EQ(KeepChars("a1b2\xC3\xA9", MakeCharSet("ab\xC3")), "ab\xC3");
  EXPECT_EQ(JoinNonEmpty("a", ", ", "b"), "a, b");
  EXPECT_EQ(JoinNonEmpty("", ", ", "b"), "b");
  EXPECT_EQ(JoinNonEmpty("a", ", ", ""), "a");
  EXPECT_EQ(IfThenStr(true, "y", "n"), "y");
  EXPECT_EQ(IfThenInt(false, 1, 2), 2);
  EXPECT_EQ(IfThenVar<std::string>(false, "a", "b"), "b");
}

TEST(TextUtils, ReplaceAll) {
  std::string s = "aaa";
  ReplaceAll(s, "a", "aa");
  EXPECT_EQ(s, "aaaaaa");
  s = "x--y--z";
  ReplaceAll(s, "--", "-");
  EXPECT_EQ(s, "x-y-z");
  s = "abc";
  ReplaceAll(s, "", "zz");  // would never end: the text is left as it is
  EXPECT_EQ(s, "abc");
  ReplaceAll(s, "b", "");
  EXPECT_EQ(s, "ac");
}

TEST(TextUtils, Positions) {
  const std::string buf("\0\x01RIFFxxxxAVI ", 14);
  EXPECT_EQ(MemPos(buf.data(), static_cast<int64_t>(buf.size()), "RIFF"), 3);
  EXPECT_EQ(MemPos(buf.data(), static_cast<int64_t>(buf.size()), "AVI "), 11);
  EXPECT_EQ(MemPos(buf.data(), static_cast<int64_t>(buf.size()), "WAVE"), 0);
  EXPECT_EQ(MemPos(buf.data(), static_cast<int64_t>(buf.size()), ""), 0);
  EXPECT_EQ(MemPos(buf.data(), 5, "RIFF"), 0);  // past the given length

  EXPECT_EQ(PosFrom("/LOG", "X /LOG", 1, 6), 3);
  EXPECT_EQ(PosFrom("/LOG", "X /LOG", 3, 6), 3);  // a match that ends exactly at 'to' counts
  EXPECT_EQ(PosFrom("/LOG", "X /LOG", 4, 6), 0);
  EXPECT_EQ(PosFrom("/LOG", "X /LOG", 1, 5), 0);  // would end beyond 'to'
  EXPECT_EQ(PosFrom("/LOG", "X /LOG", 1, 1000), 3);  // 'to' is clipped
  EXPECT_EQ(PosFrom("", "abc", 1, 3), 0);
  EXPECT_EQ(PosFrom("a", "", 1, 3), 0);
  EXPECT_EQ(PosFrom("b", "abcb", -5, 4), 2);
}

// ---- Key-value scanners.

TEST(TextUtils, NextWordAndFields) {
  int32_t pos = 1;
  std::string word;
  ASSERT_TRUE(NextWord("key=value", word, pos));
  EXPECT_EQ(word, "key");
  ASSERT_TRUE(NextWord("key=value", word, pos));
  EXPECT_EQ(word, "value");
  EXPECT_FALSE(NextWord("key=value", word, pos));

  // '#', '-', '_', '`' and bytes from 128 up belong to words; the point is a delimiter.
  pos = 1;
  const std::string s = " UPDATE_VER: 3.1-beta #2 caf\xC3\xA9`x";
  std::vector<std::string> words;
  while (NextWord(s, word, pos) && !word.empty()) words.push_back(word);
  EXPECT_EQ(words, (std::vector<std::string>{"UPDATE_VER", "3", "1-beta", "#2", "caf\xC3\xA9`x"}));

  pos = 1;
  std::string field;
  const std::string lines = "A=1\r\nB=2\r\n";
  ASSERT_TRUE(NextField(lines, "\r\n", field, pos));
  EXPECT_EQ(field, "A=1");
  EXPECT_EQ(pos, 6);
  ASSERT_TRUE(NextField(lines, "\r\n", field, pos));
  EXPECT_EQ(field, "B=2");
  EXPECT_EQ(pos, 11);
  EXPECT_FALSE(NextField(lines, "\r\n", field, pos));  // at the end: pos does not move
  EXPECT_EQ(field, "");
  pos = 1;
  ASSERT_TRUE(NextField("abc", "", field, pos));  // an empty separator takes the rest
  EXPECT_EQ(field, "abc");
  EXPECT_EQ(pos, 4);

  pos = 1;
  std::string text;
  const std::string page = "<a>one</a><a>two</a>";
  ASSERT_TRUE(TextBetween(page, "<a>", "</a>", text, pos));
  EXPECT_EQ(text, "one");
  ASSERT_TRUE(TextBetween(page, "<a>", "</a>", text, pos));
  EXPECT_EQ(text, "two");
  const int32_t before = pos;
  EXPECT_FALSE(TextBetween(page, "<a>", "</a>", text, pos));
  EXPECT_EQ(pos, before);
  EXPECT_EQ(text, "two");
}

TEST(TextUtils, Versions) {
  int32_t a, b, c;
  ASSERT_TRUE(ParseVersion("3.1.0", a, b, c));
  EXPECT_EQ(a * 10000 + b * 100 + c, 30100);
  ASSERT_TRUE(ParseVersion("12", a, b, c));
  EXPECT_EQ(a, 12);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(c, 0);
  ASSERT_TRUE(ParseVersion("99999999999999.2", a, b, c));
  EXPECT_EQ(a, INT32_MAX);
  EXPECT_FALSE(ParseVersion("MPlayer", a, b, c));
  EXPECT_NEAR(VersionDistance("3.1.0", "3.1.2"), 0.0002, 1e-12);
  EXPECT_NEAR(VersionDistance("3.1.0", "3.0.9"), 0.0091, 1e-12);
  EXPECT_NEAR(VersionDistance("3.1.0", "2.5.0"), 0.96, 1e-12);
  EXPECT_EQ(VersionDistance("3.1.0", "Backup"), 2147483647.0);
  EXPECT_EQ(VersionDistance("", "3.1.0"), 2147483647.0);
}

// ---- Numbers.

TEST(TextUtils, TruncToStepAndMapRange) {
  EXPECT_DOUBLE_EQ(TruncToStep(7.9, 2), 6);
  EXPECT_DOUBLE_EQ(TruncToStep(-7.9, 2), -6);
  EXPECT_DOUBLE_EQ(TruncToStep(7.9, 0), 7.9);  // no division by zero

  EXPECT_EQ(MapRange(5, 0, 10, 0, 100), 50);
  EXPECT_EQ(MapRange(1, 0, 4, 0, 2), 0);   // 0.5 rounds to even
  EXPECT_EQ(MapRange(3, 0, 4, 0, 2), 2);   // 1.5 rounds to even
  EXPECT_EQ(MapRange(1, 0, 3, 0, 2), 1);   // 0.67
  EXPECT_EQ(MapRange(5, 0, 10, 100, 0), 50);
  EXPECT_EQ(MapRange(7, 7, 7, 0, 42), 42);
  // Products far beyond 32 (and 64) bits stay exact.
  EXPECT_EQ(MapRange(INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX), INT32_MAX);
  EXPECT_EQ(MapRange(0, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX), 0);
  EXPECT_EQ(MapRange(1000000, 0, 2000000, 0, 2000000000), 1000000000);
  // Outside the input range the result is clamped to what an int32 holds.
  EXPECT_EQ(MapRange(INT32_MAX, 0, 1, 0, INT32_MAX), INT32_MAX);
}

// ---- Dates and durations.

TEST(TextUtils, Dates) {
  TDateTime d = 0;
  ASSERT_TRUE(TryEncodeDate(2009, 5, 21, d));
  EXPECT_DOUBLE_EQ(d, 39954.0);
  EXPECT_EQ(DateToText(d), "2009-05-21");
  EXPECT_EQ(DateToText(d + 0.75), "2009-05-21");
  ASSERT_TRUE(TryEncodeDate(999, 1, 2, d));
  EXPECT_EQ(DateToText(d), "");  // before 1899-12-31: below 1.0
  EXPECT_DOUBLE_EQ(TextToDate(" 999-01-02", -1), d);
  EXPECT_EQ(DateToText(0.5), "");
  ASSERT_TRUE(TryEncodeDate(1899, 12, 31, d));
  EXPECT_EQ(DateToText(d), "1899-12-31");

  EXPECT_DOUBLE_EQ(TextToDate("2009-05-21", -1), 39954.0);
  EXPECT_DOUBLE_EQ(TextToDate("2009-05-21 and more", -1), 39954.0);
  EXPECT_DOUBLE_EQ(TextToDate("2008-02-30", -1), -1);  // no such day
  EXPECT_DOUBLE_EQ(TextToDate("2008-02-29", -1), 39507.0);
  EXPECT_DOUBLE_EQ(TextToDate("1900-02-29", -1), -1);
  EXPECT_DOUBLE_EQ(TextToDate("2008-2-3", -1), -1);    // too short
  EXPECT_DOUBLE_EQ(TextToDate("", -1), -1);
  EXPECT_DOUBLE_EQ(TextToDate("20x8-01-01", -1), -1);
  EXPECT_DOUBLE_EQ(TextToDate("2008-13-01", -1), -1);
}

TEST(TextUtils, DurationTextFlags) {
  EXPECT_EQ(DurationText(dtMillis, 3725.5), "01:02:05.500");
  EXPECT_EQ(DurationText(0, 5.25), "05");
  EXPECT_EQ(DurationText(dtMillis, 0.25), "0.250");
  EXPECT_EQ(DurationText(0, 0), "");
  EXPECT_EQ(DurationText(dtSeconds, 0), "00");
  EXPECT_EQ(DurationText(dtMinutes, 5), "00:05");
  EXPECT_EQ(DurationText(dtHours, 5), "00:00:05");
  EXPECT_EQ(DurationText(0, 65), "01:05");
  EXPECT_EQ(DurationText(0, 3600), "01:00:00");
  EXPECT_EQ(DurationText(dtHours | dtMillis, 0.0004), "00:00:00.000");
  EXPECT_EQ(DurationText(0, 59.9996), "01:00");  // rounded to the millisecond first
  EXPECT_EQ(DurationText(0, 100 * 3600.0), "100:00:00");
  EXPECT_EQ(DurationText(dtMillis, -3), "0.000");  // a negative duration is shown as 0
}

// ---- Sorting.

struct SortData {
  std::vector<int> items;
  int pivot = 0;
};

void SortSwap(void* data, void*, int32_t i, int32_t j) {
  auto* d = static_cast<SortData*>(data);
  std::swap(d->items[static_cast<size_t>(i)], d->items[static_cast<size_t>(j)]);
}
void SortPivot(void* data, void*, int32_t index) {
  auto* d = static_cast<SortData*>(data);
  d->pivot = d->items[static_cast<size_t>(index)];
}
int32_t SortCompare(void* data, void*, int32_t index) {
  auto* d = static_cast<SortData*>(data);
  const int v = d->items[static_cast<size_t>(index)];
  return v < d->pivot ? -1 : v > d->pivot ? 1 : 0;
}

TEST(TextUtils, QuickSortThroughCallbacks) {
  SortData d;
  uint32_t seed = 12345;
  for (int i = 0; i < 5000; ++i) {
    seed = seed * 1103515245 + 12345;
    d.items.push_back(static_cast<int>((seed >> 16) % 100));  // many equal keys
  }
  std::vector<int> expected = d.items;
  std::sort(expected.begin(), expected.end());
  QuickSort(&d, nullptr, SortSwap, SortPivot, SortCompare, 0, static_cast<int32_t>(d.items.size()) - 1);
  EXPECT_EQ(d.items, expected);

  // A sub-range only.
  d.items = {9, 8, 7, 6, 5, 4};
  QuickSort(&d, nullptr, SortSwap, SortPivot, SortCompare, 1, 4);
  EXPECT_EQ(d.items, (std::vector<int>{9, 5, 6, 7, 8, 4}));
  // lo >= hi does nothing.
  QuickSort(&d, nullptr, SortSwap, SortPivot, SortCompare, 3, 3);
  QuickSort(&d, nullptr, SortSwap, SortPivot, SortCompare, 4, 1);
  EXPECT_EQ(d.items, (std::vector<int>{9, 5, 6, 7, 8, 4}));

  // Already sorted and reversed inputs of a large size keep the stack shallow.
  d.items.resize(200000);
  for (size_t i = 0; i < d.items.size(); ++i) d.items[i] = static_cast<int>(d.items.size() - i);
  QuickSort(&d, nullptr, SortSwap, SortPivot, SortCompare, 0, static_cast<int32_t>(d.items.size()) - 1);
  EXPECT_TRUE(std::is_sorted(d.items.begin(), d.items.end()));
}

}  // namespace
}  // namespace tavelo

#include "core/services/text_utils.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/services/basic.h"

namespace tavelo {

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string PadLeft(const std::string& s, size_t width, char fill) {
  return s.size() >= width ? s : std::string(width - s.size(), fill) + s;
}

std::string Int2(int32_t v) { return PadLeft(std::to_string(v), 2, '0'); }

// The delimiters of NextWord.
const CharSet& WordDelimiters() {
  static const CharSet set = [] {
    CharSet s;
    for (int c = 0; c < 32; ++c) s.set(c);
    for (unsigned char c : std::string(" !\"$%&'()*+,./:;<=>?@[\\]^{|}~")) s.set(c);
    return s;
  }();
  return set;
}

// Days from 1899-12-30 for a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 25569;  // 25569: days from 1899-12-30 to 1970-01-01
}

bool LeapYear(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// A field of TextToDate: optional leading blanks, then digits only.
bool DateField(const std::string& text, size_t start, size_t length, int32_t& value) {
  size_t i = start;
  const size_t end = start + length;
  while (i < end && text[i] == ' ') ++i;
  if (i == end) return false;
  value = 0;
  for (; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

void QuickSortRange(void* userData, void* userExtra, QSortSwap swap, QSortSetPivot setPivot, QSortCompare compare,
                    int32_t lo, int32_t hi) {
  // The smaller side recurses and the larger one loops, so the stack stays shallow whatever the
  // data; each range is partitioned exactly as a plain recursion would.
  while (lo < hi) {
    setPivot(userData, userExtra, static_cast<int32_t>((static_cast<int64_t>(lo) + hi) / 2));
    int32_t i = lo, j = hi;
    while (i < j) {
      // The bounds keep an inconsistent compare callback from walking off the range.
      while (i < hi && compare(userData, userExtra, i) < 0) ++i;
      while (j > lo && compare(userData, userExtra, j) > 0) --j;
      if (i <= j) {
        swap(userData, userExtra, i, j);
        ++i;
        --j;
      }
    }
    if (static_cast<int64_t>(j) - lo < static_cast<int64_t>(hi) - i) {
      if (lo < j) QuickSortRange(userData, userExtra, swap, setPivot, compare, lo, j);
      lo = i;
    } else {
      if (i < hi) QuickSortRange(userData, userExtra, swap, setPivot, compare, i, hi);
      hi = j;
    }
  }
}

}  // namespace

std::string TrimBlanks(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && IsBlank(s[a])) ++a;
  while (b > a && IsBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

// ---- Sizes, numbers and text.

void SizeToText(int decimals, std::string& valueText, std::string& unitText, double bytes) {
  double divisor;
  if (bytes > 989560464998.4) {
    unitText = "TB";
    divisor = 1099511627776.0;
  } else if (bytes > 966367641.6) {
    unitText = "GB";
    divisor = 1073741824.0;
  } else if (bytes > 943718.4) {
    unitText = "MB";
    divisor = 1048576.0;
  } else {
    unitText = "kB";
    divisor = 1024.0;
  }
  valueText = FloatToStrW(bytes / divisor, 0, decimals);
}

std::string DimText(int32_t width, int32_t height, int32_t bpp) {
  std::string s = std::to_string(width) + " x " + std::to_string(height);
  if (bpp > 0) s += ", " + std::to_string(bpp) + "-bit";
  return s;
}

std::string ChannelsText(int32_t channels) {
  switch (channels) {
    case 0:
      return "-";
    case 1:
      return "Mono";
    case 2:
      return "Stereo";
    default:
      return std::to_string(channels);
  }
}

std::string WaveFmtText(uint32_t samplesPerSec, int32_t channels, int32_t bitsPerSample) {
  std::string s = std::to_string(samplesPerSec) + " Hz, " + ChannelsText(channels);
  if (bitsPerSample > 0) s += ", " + std::to_string(bitsPerSample) + "-bit";
  return s;
}

std::string SeparatorLine() { return std::string(75, '_') + "\r\n"; }

double StrToFloatDefault(const std::string& s, double def) {
  const std::string t = TrimBlanks(s);
  if (t.empty()) return def;
  const char* first = t.data();
  const char* last = t.data() + t.size();
  if (*first == '+') ++first;  // from_chars takes a '-' only
  if (first == last || *first == '+' || (*first == '-' && t[0] == '+')) return def;
  double value = 0;
  const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec != std::errc() || end != last || !std::isfinite(value)) return def;
  return value;
}

std::string TrimFloatZeros(const std::string& s) {
  if (s.find('.') == std::string::npos) return s;
  std::string r = s;
  while (r.size() > 1 && r.back() == ' ') r.pop_back();
  while (r.size() > 1 && r.back() == '0') r.pop_back();
  if (r.size() > 1 && r.back() == '.') r.pop_back();
  return r;
}

std::string FloatToTextTrim(int width, int decimals, double value) {
  // to_chars never looks at the locale, so the point stays a point under any LC_NUMERIC.
  decimals = std::clamp(decimals, 0, 100);
  width = std::clamp(width, 0, 255);
  char buffer[512];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  const std::string text = ec == std::errc() ? std::string(buffer, end) : std::string("0");
  return TrimFloatZeros(PadLeft(text, static_cast<size_t>(width), ' '));
}

CharSet MakeCharSet(const std::string& chars) {
  CharSet set;
  for (unsigned char c : chars) set.set(c);
  return set;
}

std::string KeepChars(const std::string& s, const CharSet& set) {
  std::string r;
  for (unsigned char c : s)
    if (set.test(c)) r += static_cast<char>(c);
  return r;
}

std::string KeepIntChars(const std::string& s) {
  static const CharSet set = MakeCharSet("-0123456789");
  return KeepChars(s, set);
}

std::string KeepFloatChars(const std::string& s) {
  static const CharSet set = MakeCharSet("-.0123456789");
  return KeepChars(s, set);
}

std::string JoinNonEmpty(const std::string& a, const std::string& sep, const std::string& b) {
  if (b.empty()) return a;
  return a.empty() ? b : a + sep + b;
}

void ReplaceAll(std::string& s, const std::string& oldText, const std::string& newText) {
  if (oldText.empty()) return;  // an empty text is found everywhere and would never end
  size_t pos = 0;
  while ((pos = s.find(oldText, pos)) != std::string::npos) {
    s.replace(pos, oldText.size(), newText);
    pos += newText.size();
  }
}

int64_t MemPos(const void* buffer, int64_t length, const std::string& pattern) {
  if (buffer == nullptr || length <= 0 || pattern.empty()) return 0;
  const void* hit = ::memmem(buffer, static_cast<size_t>(length), pattern.data(), pattern.size());
  if (hit == nullptr) return 0;
  return static_cast<const char*>(hit) - static_cast<const char*>(buffer) + 1;
}

int32_t PosFrom(const std::string& sub, const std::string& s, int32_t from, int32_t to) {
  if (sub.empty() || s.empty()) return 0;
  const int64_t last = std::min<int64_t>(to, static_cast<int64_t>(s.size()));
  const int64_t start = std::max<int64_t>(from, 1);
  if (start + static_cast<int64_t>(sub.size()) - 1 > last) return 0;
  const size_t hit = s.find(sub, static_cast<size_t>(start - 1));
  if (hit == std::string::npos || static_cast<int64_t>(hit + sub.size()) > last) return 0;
  return static_cast<int32_t>(hit + 1);
}

// ---- Key-value scanners.

bool NextWord(const std::string& s, std::string& word, int32_t& pos) {
  const int64_t len = static_cast<int64_t>(s.size());
  if (pos > len) return false;
  int64_t i = std::max<int32_t>(pos, 1);
  const CharSet& delim = WordDelimiters();
  while (i <= len && delim.test(static_cast<unsigned char>(s[i - 1]))) ++i;
  const int64_t start = i;
  while (i <= len && !delim.test(static_cast<unsigned char>(s[i - 1]))) ++i;
  word = s.substr(static_cast<size_t>(start - 1), static_cast<size_t>(i - start));
  pos = static_cast<int32_t>(i);
  return true;
}

bool NextField(const std::string& s, const std::string& sep, std::string& field, int32_t& pos) {
  const int64_t len = static_cast<int64_t>(s.size());
  const int64_t start = std::clamp<int64_t>(pos, 1, len + 1);
  const size_t hit = sep.empty() ? std::string::npos : s.find(sep, static_cast<size_t>(start - 1));
  int64_t next;
  if (hit == std::string::npos) {
    field = s.substr(static_cast<size_t>(start - 1));
    next = len + 1;
  } else {
    field = s.substr(static_cast<size_t>(start - 1), hit - static_cast<size_t>(start - 1));
    next = static_cast<int64_t>(hit + sep.size()) + 1;
  }
  const bool moved = next != pos;
  pos = static_cast<int32_t>(next);
  return moved;
}

bool TextBetween(const std::string& s, const std::string& startMark, const std::string& endMark, std::string& text,
                 int32_t& pos) {
  const int64_t start = std::max<int32_t>(pos, 1);
  if (start > static_cast<int64_t>(s.size()) + 1) return false;
  const size_t a = s.find(startMark, static_cast<size_t>(start - 1));
  if (a == std::string::npos) return false;
  const size_t from = a + startMark.size();
  const size_t b = s.find(endMark, from);
  if (b == std::string::npos) return false;
  text = s.substr(from, b - from);
  pos = static_cast<int32_t>(b + endMark.size() + 1);
  return true;
}

bool ParseVersion(const std::string& text, int32_t& a, int32_t& b, int32_t& c) {
  int32_t parts[3] = {0, 0, 0};
  size_t i = 0;
  int found = 0;
  while (found < 3) {
    while (i < text.size() && (text[i] < '0' || text[i] > '9')) ++i;
    if (i >= text.size()) break;
    int64_t v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      v = std::min<int64_t>(v * 10 + (text[i] - '0'), INT32_MAX);
      ++i;
    }
    parts[found++] = static_cast<int32_t>(v);
  }
  if (found == 0) return false;
  a = parts[0];
  b = parts[1];
  c = parts[2];
  return true;
}

double VersionDistance(const std::string& versionA, const std::string& versionB) {
  int32_t a1, b1, c1, a2, b2, c2;
  if (!ParseVersion(versionA, a1, b1, c1) || !ParseVersion(versionB, a2, b2, c2)) return 2147483647.0;
  const double x = a1 + b1 / 100.0 + c1 / 10000.0;
  const double y = a2 + b2 / 100.0 + c2 / 10000.0;
  return std::fabs(x - y);
}

// ---- Numbers and choice.

double TruncToStep(double value, double step) {
  if (step == 0) return value;
  const double q = std::trunc(value / step);
  return std::isfinite(q) ? q * step : value;
}

int32_t MapRange(int32_t x, int32_t inMin, int32_t inMax, int32_t outMin, int32_t outMax) {
  if (inMin == inMax) return outMax;
  // The product of two 33-bit differences needs more than 64 bits.
  __int128 num = static_cast<__int128>(static_cast<int64_t>(x) - inMin) * (static_cast<int64_t>(outMax) - outMin);
  __int128 den = static_cast<int64_t>(inMax) - inMin;
  if (den < 0) {
    num = -num;
    den = -den;
  }
  __int128 q = num / den, r = num % den;  // truncated toward zero
  if (r < 0) {
    q -= 1;
    r += den;
  }
  // Now num = q * den + r with 0 <= r < den: round half to even.
  if (2 * r > den || (2 * r == den && (q & 1) != 0)) q += 1;
  const __int128 result = q + outMin;
  if (result > INT32_MAX) return INT32_MAX;
  if (result < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(result);
}

// ---- Dates and durations.

bool TryEncodeDate(int32_t year, int32_t month, int32_t day, TDateTime& date) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const int last = kDays[month - 1] + (month == 2 && LeapYear(year) ? 1 : 0);
  if (day > last) return false;
  date = static_cast<TDateTime>(DaysFromCivil(year, month, day));
  return true;
}

void DecodeDate(TDateTime date, int32_t& year, int32_t& month, int32_t& day) {
  const double clamped = std::clamp(std::isfinite(date) ? date : 0.0, -693593.0, 2958465.0);
  int64_t z = static_cast<int64_t>(std::floor(clamped)) - 25569 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int32_t>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

std::string DateToText(TDateTime date) {
  if (!(date >= 1.0)) return "";
  int32_t y, m, d;
  DecodeDate(date, y, m, d);
  return PadLeft(std::to_string(y), 4, ' ') + "-" + Int2(m) + "-" + Int2(d);
}

TDateTime TextToDate(const std::string& text, TDateTime def) {
  if (text.size() < 10) return def;
  int32_t y, m, d;
  TDateTime date;
  if (!DateField(text, 0, 4, y) || !DateField(text, 5, 2, m) || !DateField(text, 8, 2, d) ||
      !TryEncodeDate(y, m, d, date))
    return def;
  return date;
}

std::string DurationText(int32_t flags, double seconds) {
  // Negative or absurd durations show as 0 and as the longest we can count, never as garbage.
  if (!(seconds > 0)) seconds = 0;
  seconds = std::min(seconds, 1e12);
  const int64_t total = FpuRound(static_cast<long double>(seconds) * 1000);
  const int64_t hours = total / 3600000;
  int64_t rest = total % 3600000;
  const int64_t minutes = rest / 60000;
  rest %= 60000;
  const int64_t secs = rest / 1000;
  const int64_t ms = rest % 1000;

  std::string text;
  if (hours >= 1 || (flags & dtHours)) {
    flags |= dtMinutes | dtSeconds;
    text = PadLeft(std::to_string(hours), 2, '0');
  }
  if (minutes >= 1 || (flags & dtMinutes)) {
    flags |= dtSeconds;
    if (!text.empty()) text += ':';
    text += PadLeft(std::to_string(minutes), 2, '0');
  }
  if (secs >= 1 || (flags & dtSeconds)) {
    if (!text.empty()) text += ':';
    text += PadLeft(std::to_string(secs), 2, '0');
  }
  if (flags & dtMillis) {
    if (text.empty()) text = "0";
    text += "." + PadLeft(std::to_string(ms), 3, '0');
  }
  return text;
}

// ---- Sorting.

void QuickSort(void* userData, void* userExtra, QSortSwap swap, QSortSetPivot setPivot, QSortCompare compare,
               int32_t lo, int32_t hi) {
  if (lo >= hi || swap == nullptr || setPivot == nullptr || compare == nullptr) return;
  QuickSortRange(userData, userExtra, swap, setPivot, compare, lo, hi);
}

}  // namespace tavelo

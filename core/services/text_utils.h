// Text, number, date and duration helpers shared by the application and the format layer: the
// texts of the media-information window, the version comparison and key-value scanners of the
// update check, and a quicksort over a collection only the caller knows. Strings are UTF-8
// bytes; positions are 1-based.
#pragma once
#include <bitset>
#include <cstdint>
#include <string>

namespace tavelo {

// Dates are days since 1899-12-30 with the time of day as the fraction.
using TDateTime = double;

// ---- Sizes, numbers and text.

// unit "TB" above 989560464998.4 bytes, "GB" above 966367641.6, "MB" above 943718.4, else "kB";
// valueText is bytes over 1024 to the unit's power with the given decimals.
void SizeToText(int decimals, std::string& valueText, std::string& unitText, double bytes);
// width + " x " + height, then ", " + bpp + "-bit" when bpp > 0.
std::string DimText(int32_t width, int32_t height, int32_t bpp);
// By channel count: 0 "-", 1 "Mono", 2 "Stereo", other the number.
std::string ChannelsText(int32_t channels);
// samples per second + " Hz, " + the channels text, then ", " + bits + "-bit" when bits > 0.
std::string WaveFmtText(uint32_t samplesPerSec, int32_t channels, int32_t bitsPerSample);
// The same for a wave format record (nChannels, nSamplesPerSec, wBitsPerSample).
template <class WaveFormat>
  requires requires(const WaveFormat& w) { w.nChannels; }
std::string ChannelsText(const WaveFormat& wf) {
  return ChannelsText(static_cast<int32_t>(wf.nChannels));
}
template <class WaveFormat>
  requires requires(const WaveFormat& w) { w.nChannels + w.nSamplesPerSec + w.wBitsPerSample; }
std::string WaveFmtText(const WaveFormat& wf) {
  return WaveFmtText(static_cast<uint32_t>(wf.nSamplesPerSec), static_cast<int32_t>(wf.nChannels),
                     static_cast<int32_t>(wf.wBitsPerSample));
}
// s without the blanks and control characters (bytes up to ' ') at both ends.
std::string TrimBlanks(const std::string& s);
// 75 '_' characters followed by CR LF.
std::string SeparatorLine();
// The number in the trimmed text ('.' as the decimal point, whatever the locale); def when
// the text does not convert completely or is not a finite number.
double StrToFloatDefault(const std::string& s, double def);
// For a text that contains '.': drop trailing blanks, then trailing '0's, then a trailing '.'
// (never below one character).
std::string TrimFloatZeros(const std::string& s);
// Fixed-point text of value with that field width and decimals, then TrimFloatZeros.
std::string FloatToTextTrim(int width, int decimals, double value);
using CharSet = std::bitset<256>;
CharSet MakeCharSet(const std::string& chars);
// The characters of s that are in the set, in order.
std::string KeepChars(const std::string& s, const CharSet& set);
std::string KeepIntChars(const std::string& s);    // '-' and digits
std::string KeepFloatChars(const std::string& s);  // '-', '.' and digits
// a; when b is non-empty, then sep (only when a is non-empty) and b.
std::string JoinNonEmpty(const std::string& a, const std::string& sep, const std::string& b);
// Replaces every occurrence of oldText from left to right; inserted text is never searched
// again. An empty oldText leaves s unchanged.
void ReplaceAll(std::string& s, const std::string& oldText, const std::string& newText);
// 1-based position of a byte pattern in a buffer; 0 when absent or when the pattern is empty.
int64_t MemPos(const void* buffer, int64_t length, const std::string& pattern);
// 1-based position of sub in s, where the match lies within from..to (to clipped to the length
// of s); 0 when absent or when sub or s is empty.
int32_t PosFrom(const std::string& sub, const std::string& s, int32_t from, int32_t to);
inline bool PtrAssigned(const void* p) { return p != nullptr; }

// ---- Key-value scanners.

// false when pos > length(s). Skips delimiters from pos, then takes the run of word characters;
// pos := just after it. Delimiters: characters 0-31, blank and !"$%&'()*+,./:;<=>?@[\]^{|}~.
bool NextWord(const std::string& s, std::string& word, int32_t& pos);
// field := the text from pos up to the next sep (or the end); pos := just after sep (or
// length + 1); true when pos moved.
bool NextField(const std::string& s, const std::string& sep, std::string& field, int32_t& pos);
// Finds startMark from pos, then endMark after it; text := what lies between; pos := just after
// endMark; false (nothing changed) when either is missing.
bool TextBetween(const std::string& s, const std::string& startMark, const std::string& endMark, std::string& text,
                 int32_t& pos);
// Three runs of decimal digits, each ended by any non-digits; missing numbers are 0; false when
// there is no first number.
bool ParseVersion(const std::string& text, int32_t& a, int32_t& b, int32_t& c);
// |(a + b/100 + c/10000) of versionA - the same of versionB|; 2147483647.0 when either does not
// parse.
double VersionDistance(const std::string& versionA, const std::string& versionB);

// ---- Numbers and choice.

// Integer part of value / step, times step (value itself for a step of 0).
double TruncToStep(double value, double step);
// outMin + round((x - inMin) * (outMax - outMin) / (inMax - inMin)), computed exactly and rounded
// half to even; outMax when inMin = inMax; clamped to the int32 range.
int32_t MapRange(int32_t x, int32_t inMin, int32_t inMax, int32_t outMin, int32_t outMax);
inline std::string IfThenStr(bool cond, const std::string& a, const std::string& b) { return cond ? a : b; }
inline int32_t IfThenInt(bool cond, int32_t a, int32_t b) { return cond ? a : b; }
inline double IfThenFloat(bool cond, double a, double b) { return cond ? a : b; }
template <class T>
T IfThenVar(bool cond, const T& a, const T& b) {
  return cond ? a : b;
}

// ---- Dates and durations.

// The date of a year, month and day; false when they form no valid date (years 1 to 9999).
bool TryEncodeDate(int32_t year, int32_t month, int32_t day, TDateTime& date);
void DecodeDate(TDateTime date, int32_t& year, int32_t& month, int32_t& day);
// year + "-" + month + "-" + day: the year padded with blanks to 4, month and day zero-padded to
// 2; '' for dates below 1.0.
std::string DateToText(TDateTime date);
// The date from characters 1-4 (year), 6-7 (month) and 9-10 (day); def when they do not form a
// valid date or the text is too short.
TDateTime TextToDate(const std::string& text, TDateTime def);
// Flag bits for DurationText.
enum : int32_t { dtHours = 1, dtMinutes = 2, dtSeconds = 4, dtMillis = 8 };
std::string DurationText(int32_t flags, double seconds);

// ---- Sorting.

using QSortSwap = void (*)(void* userData, void* userExtra, int32_t i, int32_t j);
using QSortSetPivot = void (*)(void* userData, void* userExtra, int32_t index);
using QSortCompare = int32_t (*)(void* userData, void* userExtra, int32_t index);
// Sorts lo..hi of a collection through the callbacks; nothing when lo >= hi.
void QuickSort(void* userData, void* userExtra, QSortSwap swap, QSortSetPivot setPivot, QSortCompare compare,
               int32_t lo, int32_t hi);

}  // namespace tavelo

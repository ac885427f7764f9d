// Small helpers shared by the whole program: rounding under a known floating-point state,
// memory fill/move/compare, number-to-text with width codes, clamps, a stopwatch and the
// machine's memory and disk figures.
#pragma once
#include <cstdint>
#include <string>

namespace tavelo {

// Floating point. Each first resets the FPU: all exceptions masked, round to nearest,
// 64-bit precision. NaN and values outside the int64 range give INT64_MIN.
int64_t FpuTrunc(long double x);
int64_t FpuRound(long double x);  // ties to even
long double FpuInt(long double x);
long double FpuFrac(long double x);
void FpuReset();

// Memory and bits.
void FillMem(void* dest, int64_t count, uint8_t value);
void MoveMem(const void* source, void* dest, int64_t count);  // overlap-safe
void SwapBytes(void* bufA, void* bufB, int64_t count);
int32_t MemCompare(const void* bufA, const void* bufB, int64_t count);
void SwapWord(uint16_t& w);
uint16_t SwappedWord(uint16_t w);
uint32_t SwappedLong(uint32_t v);
inline bool TestBits(int32_t value, int32_t mask) { return (value & mask) != 0; }

// The start-up counter raised by the unit initializations.
void CountInitPart();
int32_t InitPartCount();
// Back to no parts counted: for tests that bring the units up more than once in one process.
void ResetInitPartCount();

// Numbers and text.
std::string IntToStrW(uint32_t value, int widthCode);
std::string FloatToStrW(double value, int widthCode, int decimals);
int32_t DigitsToInt(const char* p);
int32_t IntClamp(int32_t value, int32_t lo, int32_t hi);
double FltClamp(double value, double lo, double hi);
inline int32_t IntMin(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t IntMax(int32_t a, int32_t b) { return a > b ? a : b; }
inline double FltMax(double a, double b) { return a > b ? a : b; }
bool FltSame(double a, double b);
inline int32_t BytesToMB(int64_t v) { return static_cast<int32_t>(v >> 20); }

// Stopwatch.
struct WatchRec {
  double Elapsed = 0;
  int32_t Mode = 0;  // 1 performance counter, 2 tick count
  int64_t StartCount = 0;
  uint32_t StartTicks = 0;
};
void WatchStart(WatchRec& w);
double WatchRead(WatchRec& w);

// System figures.
void GetMemStatus(int32_t& totalPhys, int32_t& freePhys, int32_t& totalSwap, int32_t& freeSwap);
void GetDiskSpace(const std::string& path, int32_t& totalMB, int32_t& freeMB);
void GetFileSystemName(const std::string& path, std::string& name);

// The owner of the program's message boxes: the foreground window, or none (the desktop).
using WindowHandle = void*;
WindowHandle GetTopWindowHandle();
using TopWindowProvider = WindowHandle (*)();
void SetTopWindowProvider(TopWindowProvider provider);

// Cuts a text to at most n bytes without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, size_t n);

}  // namespace tavelo

#include "core/services/basic.h"

#include <atomic>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

#include "core/services/trace.h"
#include "platform/fpu/fpu.h"
#include "platform/sysinfo/sysinfo.h"

namespace tavelo {

// ---- floating point ------------------------------------------------------------------------

void FpuReset() { platform::FpuResetControl(); }

namespace {
// 2^63 exactly; any value at or beyond it (or NaN) has no int64 result, and we answer the
// integer-indefinite value, as the x87 does.
constexpr long double kTwo63 = 9223372036854775808.0L;

int64_t ToInt64OrIndefinite(long double whole) {
  if (std::isnan(whole) || whole >= kTwo63 || whole < -kTwo63) return INT64_MIN;
  return static_cast<int64_t>(whole);
}
}  // namespace

int64_t FpuTrunc(long double x) {
  FpuReset();
  return ToInt64OrIndefinite(std::truncl(x));
}

int64_t FpuRound(long double x) {
  FpuReset();
  // nearbyintl follows the current rounding mode, which the reset set to nearest-even.
  return ToInt64OrIndefinite(std::nearbyintl(x));
}

long double FpuInt(long double x) {
  FpuReset();
  return std::truncl(x);
}

long double FpuFrac(long double x) {
  FpuReset();
  return x - std::truncl(x);
}

// ---- memory and bits -----------------------------------------------------------------------

void FillMem(void* dest, int64_t count, uint8_t value) {
  if (count <= 0 || dest == nullptr) return;
  std::memset(dest, value, static_cast<size_t>(count));
}

void MoveMem(const void* source, void* dest, int64_t count) {
  if (count <= 0 || source == dest || source == nullptr || dest == nullptr) return;
  std::memmove(dest, source, static_cast<size_t>(count));
}

void SwapBytes(void* bufA, void* bufB, int64_t count) {
  auto* a = static_cast<uint8_t*>(bufA);
  auto* b = static_cast<uint8_t*>(bufB);
  if (a == b) return;
  // Whole blocks through a buffer on the stack (picture rows are swapped with this), then the
  // rest byte by byte; the byte loop also keeps overlapping buffers as they always were.
  constexpr int64_t kBlock = 512;
  const auto ua = reinterpret_cast<uintptr_t>(a), ub = reinterpret_cast<uintptr_t>(b);
  const bool apart = count > 0 && (ua + static_cast<uintptr_t>(count) <= ub || ub + static_cast<uintptr_t>(count) <= ua);
  int64_t i = 0;
  if (apart) {
    uint8_t t[kBlock];
    for (; i + kBlock <= count; i += kBlock) {
      std::memcpy(t, a + i, kBlock);
      std::memcpy(a + i, b + i, kBlock);
      std::memcpy(b + i, t, kBlock);
    }
  }
  for (; i < count; ++i) {
    const uint8_t t = a[i];
    a[i] = b[i];
    b[i] = t;
  }
}

int32_t MemCompare(const void* bufA, const void* bufB, int64_t count) {
  if (count <= 0) return 0;
  const int r = std::memcmp(bufA, bufB, static_cast<size_t>(count));
  return r == 0 ? 0 : (r < 0 ? -1 : 1);
}

void SwapWord(uint16_t& w) { w = SwappedWord(w); }
uint16_t SwappedWord(uint16_t w) { return static_cast<uint16_t>((w >> 8) | (w << 8)); }
uint32_t SwappedLong(uint32_t v) { return __builtin_bswap32(v); }

namespace {
std::atomic<int32_t> g_initParts{0};
}
void CountInitPart() { ++g_initParts; }
int32_t InitPartCount() { return g_initParts.load(); }
void ResetInitPartCount() { g_initParts = 0; }

// ---- numbers and text ----------------------------------------------------------------------

namespace {
std::string GroupThousands(const std::string& digits) {
  std::string out;
  const size_t n = digits.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string PadLeft(const std::string& s, size_t width, char fill) {
  return s.size() >= width ? s : std::string(width - s.size(), fill) + s;
}
}  // namespace

std::string IntToStrW(uint32_t value, int widthCode) {
  const std::string digits = std::to_string(value);
  if (widthCode >= 200) return PadLeft(digits, static_cast<size_t>(widthCode - 200), '0');
  if (widthCode >= 100) return PadLeft(GroupThousands(digits), static_cast<size_t>(widthCode - 100), ' ');
  if (widthCode > 0) return PadLeft(digits, static_cast<size_t>(widthCode), ' ');
  return digits;
}

std::string FloatToStrW(double value, int widthCode, int decimals) {
  if (decimals < 0) decimals = 0;
  if (decimals > 30) decimals = 30;
  char buf[400];
  // to_chars never looks at the locale: the point is always '.'.
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  std::string text(buf, res.ec == std::errc() ? res.ptr : buf);
  if (widthCode >= 100 && std::isfinite(value)) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::string body = negative ? text.substr(1) : text;
    const size_t point = body.find('.');
    const std::string whole = point == std::string::npos ? body : body.substr(0, point);
    const std::string rest = point == std::string::npos ? std::string() : body.substr(point);
    text = (negative ? "-" : "") + GroupThousands(whole) + rest;
  }
  return PadLeft(text, static_cast<size_t>(widthCode % 100), ' ');
}

int32_t DigitsToInt(const char* p) {
  uint32_t v = 0;
  if (p == nullptr) return 0;
  for (; *p != '\0'; ++p) v = v * 10u + static_cast<uint32_t>(static_cast<uint8_t>(*p) - '0');
  return static_cast<int32_t>(v);
}

int32_t IntClamp(int32_t value, int32_t lo, int32_t hi) {
  if (value > hi) value = hi;
  if (value < lo) value = lo;
  return value;
}

double FltClamp(double value, double lo, double hi) {
  if (value > hi) value = hi;
  if (value < lo) value = lo;
  return value;
}

bool FltSame(double a, double b) { return std::fabs(b - a) <= 0.0001; }

std::string CutUtf8(const std::string& text, size_t n) {
  if (text.size() <= n) return text;
  size_t cut = n;
  // Step back over continuation bytes so the cut lands before a whole sequence.
  while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

// ---- stopwatch -----------------------------------------------------------------------------

namespace {
std::atomic<int64_t> g_frequency{-1};
}

void WatchStart(WatchRec& w) {
  if (g_frequency.load() == -1) g_frequency.store(platform::PerformanceFrequency());
  if (g_frequency.load() != 0) {
    w.Mode = 1;
    w.StartCount = platform::PerformanceCounter();
  } else {
    w.Mode = 2;
    w.StartTicks = platform::TickCount();
  }
}

double WatchRead(WatchRec& w) {
  switch (w.Mode) {
    case 1:
      w.Elapsed = static_cast<double>(platform::PerformanceCounter() - w.StartCount) /
                  static_cast<double>(g_frequency.load());
      break;
    case 2:
      // Unsigned subtraction: one wrap of the tick counter is tolerated.
      w.Elapsed = static_cast<double>(static_cast<uint32_t>(platform::TickCount() - w.StartTicks)) / 1000.0;
      break;
    default:
      w.Elapsed = 0;
  }
  return w.Elapsed;
}

// ---- system figures ------------------------------------------------------------------------

namespace {
int32_t ToMB(uint64_t bytes) {
  const uint64_t mb = bytes >> 20;
  return mb > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(mb);
}
}  // namespace

void GetMemStatus(int32_t& totalPhys, int32_t& freePhys, int32_t& totalSwap, int32_t& freeSwap) {
  platform::MemFigures m;
  platform::ReadMemFigures(m);
  totalPhys = ToMB(m.totalPhys);
  freePhys = ToMB(m.availPhys);
  totalSwap = ToMB(m.totalSwap);
  freeSwap = ToMB(m.availSwap);
}

void GetDiskSpace(const std::string& path, int32_t& totalMB, int32_t& freeMB) {
  uint64_t total = 0, avail = 0;
  platform::DiskFigures(CutUtf8(path, 255), total, avail);
  totalMB = ToMB(total);
  freeMB = ToMB(avail);
}

void GetFileSystemName(const std::string& path, std::string& name) { name = platform::FileSystemType(path); }

namespace {
std::atomic<TopWindowProvider> g_topWindow{nullptr};
}

void SetTopWindowProvider(TopWindowProvider provider) { g_topWindow.store(provider); }

WindowHandle GetTopWindowHandle() {
  TraceScope trace("Basic.GetTopWindowHandle");
  const TopWindowProvider provider = g_topWindow.load();
  return provider != nullptr ? provider() : nullptr;
}

}  // namespace tavelo

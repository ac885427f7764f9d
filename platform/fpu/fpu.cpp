#include "platform/fpu/fpu.h"

#include <cfenv>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace tavelo::platform {

void FpuResetControl() {
  std::feclearexcept(FE_ALL_EXCEPT);
  std::fesetround(FE_TONEAREST);
#if defined(__x86_64__) || defined(__i386__)
  // x87: all six exceptions masked (bits 0-5), precision control 11b (64-bit mantissa),
  // rounding control 00b (nearest).
  unsigned short cw = 0x037F;
  __asm__ __volatile__("fldcw %0" : : "m"(cw));
  // SSE: all exceptions masked (bits 7-12), round to nearest, no flush-to-zero or
  // denormals-are-zero, sticky flags cleared.
  _mm_setcsr(0x1F80);
#endif
}

}  // namespace tavelo::platform

#include "platform/fpu/fpu.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <stdexcept>

namespace tavelo::platform {
namespace {

struct FpuState {
  int Rounding = 0;
  int Trapped = 0;        // exceptions that trap
  unsigned X87Word = 0;   // the x87 control word (0 elsewhere)
  bool operator==(const FpuState&) const = default;
};

FpuState Now() {
  FpuState s{std::fegetround(), fegetexcept(), 0};
#if defined(__x86_64__) || defined(__i386__)
  unsigned short cw = 0;
  __asm__ __volatile__("fnstcw %0" : "=m"(cw));
  s.X87Word = cw;
#endif
  return s;
}

void SetX87Word(unsigned short cw) {
#if defined(__x86_64__) || defined(__i386__)
  __asm__ __volatile__("fldcw %0" : : "m"(cw));
#else
  (void)cw;
#endif
}

TEST(Fpu, GuardedCallStartsAndLeavesTheUnitReset) {
  FpuResetControl();
  const FpuState reset = Now();
  struct Case {
    const char* Name;
    void (*Leave)();  // what the foreign code does to the unit
    bool Throws;
  };
  const Case cases[] = {
      {"rounds upward", [] { std::fesetround(FE_UPWARD); }, false},
      {"unmasks exceptions", [] { feenableexcept(FE_DIVBYZERO | FE_INVALID); }, false},
      {"53-bit x87 precision", [] { SetX87Word(0x027F); }, false},
      {"rounds down, then throws", [] { std::fesetround(FE_DOWNWARD); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::fesetround(FE_TOWARDZERO);  // the caller's own state is not the reset one
    FpuState inside;
    auto call = [&]() -> int {
      inside = Now();
      c.Leave();
      if (c.Throws) throw std::runtime_error("foreign failure");
      return 7;
    };
    if (c.Throws)
      EXPECT_THROW(FpuGuarded(call), std::runtime_error);
    else
      EXPECT_EQ(FpuGuarded(call), 7);
    EXPECT_EQ(inside, reset);
    EXPECT_EQ(Now(), reset);
  }
}

}  // namespace
}  // namespace tavelo::platform

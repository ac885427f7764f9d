// Floating-point control: the state the program's arithmetic relies on.
#pragma once

namespace tavelo::platform {

// Masks every floating-point exception, selects round to nearest and, on x86, 64-bit (extended)
// precision for the x87 unit; SSE (MXCSR) gets the same masks and rounding.
void FpuResetControl();

// Holds a call into foreign code (a codec library, a decoder) between two resets: the unit is
// reset when the bracket is made and again when it goes, also when an exception leaves the
// scope. The other side starts from the reset state, and what it leaves behind is undone.
class FpuBracket {
 public:
  FpuBracket() { FpuResetControl(); }
  ~FpuBracket() { FpuResetControl(); }
  FpuBracket(const FpuBracket&) = delete;
  FpuBracket& operator=(const FpuBracket&) = delete;
};

// call() inside an FpuBracket; its result.
template <class Call>
auto FpuGuarded(Call&& call) {
  FpuBracket bracket;
  return call();
}

}  // namespace tavelo::platform

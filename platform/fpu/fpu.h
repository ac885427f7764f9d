// Floating-point control: the state the program's arithmetic relies on.
#pragma once

namespace tavelo::platform {

// Masks every floating-point exception, selects round to nearest and, on x86, 64-bit (extended)
// precision for the x87 unit; SSE (MXCSR) gets the same masks and rounding.
void FpuResetControl();

}  // namespace tavelo::platform

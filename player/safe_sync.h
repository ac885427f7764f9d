// Non-blocking re-entrancy guards (unit SafeSync): one-byte flags that a handler takes on entry and
// gives back on exit, so a second entry (a button pressed again while the first press is still
// handled, a message that arrives while a dialog runs inside the handler) is refused at once
// instead of waiting or running twice.
//
//   if (!SafeFlagTryEnter(busy)) return;
//   try { /* work */ } catch (...) { SafeFlagLeave(busy); throw; }
//   SafeFlagLeave(busy);
//
// Between SafeSyncInit and SafeSyncDone the test-and-take is made atomic between threads by one
// process-wide lock; outside that span the flags are used without locking.
#pragma once
#include <cstdint>

namespace tavelo {

// 1 = free, 0 = taken.
using SafeFlag = uint8_t;

void SafeFlagInit(SafeFlag& flag);
// True when the flag was free: the caller proceeds and must call SafeFlagLeave. The flag is taken
// in either case, so a flag that was never initialised (0) stays refused.
bool SafeFlagTryEnter(SafeFlag& flag);
void SafeFlagLeave(SafeFlag& flag);

void SafeSyncInit();
void SafeSyncDone();

}  // namespace tavelo

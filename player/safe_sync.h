// Non-blocking re-entrancy guards (unit SafeSync): one-byte flags that a handler takes on entry and
// gives back on exit, so a second entry (a button pressed again while the first press is still
// handled, a message that arrives while a dialog runs inside the handler) is refused at once
// instead of waiting or running twice.
//
//   const ReentryGuard entry(busy);
//   if (!entry) return;
//   /* work: the flag is given back when the scope ends, by an exception too */
//
// Between SafeSyncInit and SafeSyncDone the test-and-take is made atomic between threads by one
// process-wide lock; outside that span the flags are used without locking.
#pragma once
#include <cstdint>
#include <memory>

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

// One entry into a guarded scope. Over a SafeFlag it takes the flag as SafeFlagTryEnter does; over
// a plain busy bool (true while inside; for state that only the main thread touches) it sets it.
// A refused entry leaves the flag as the running entry holds it; an accepted one gives it back
// when the guard goes.
class ReentryGuard {
 public:
  explicit ReentryGuard(SafeFlag& flag) : flag_(&flag), entered_(SafeFlagTryEnter(flag)) {}
  explicit ReentryGuard(bool& busy) : busy_(&busy), entered_(!busy) { busy = true; }
  ~ReentryGuard() {
    if (!entered_) return;
    if (flag_ != nullptr)
      SafeFlagLeave(*flag_);
    else
      *busy_ = false;
  }
  ReentryGuard(const ReentryGuard&) = delete;
  ReentryGuard& operator=(const ReentryGuard&) = delete;

  // True when this entry was let in.
  explicit operator bool() const { return entered_; }

 private:
  SafeFlag* flag_ = nullptr;
  bool* busy_ = nullptr;
  bool entered_;
};

// Destroys what owner holds while owner still points at it, then empties it (reset() empties it
// first): a destructor that waits for its threads lets their last reports reach the object
// through its owner, as they may until the threads are gone.
template <class T>
void DestroyThenClear(std::unique_ptr<T>& owner) {
  if (!owner) return;
  owner.get_deleter()(owner.get());
  (void)owner.release();
}

}  // namespace tavelo

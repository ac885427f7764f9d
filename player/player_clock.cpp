#include "player/player_clock.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <thread>

namespace tavelo {

namespace {

class SystemClock final : public PlayerClock {
 public:
  double Seconds() override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }
  void Sleep(int32_t ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  void SleepUntil(double when, const std::function<bool()>& cut) override {
    // In slices that end on absolute readings of the monotonic clock: the last slice ends at
    // `when` itself, however late the earlier ones woke.
    for (;;) {
      const double now = Seconds();
      if (now >= when || (cut && cut())) return;
      const double until = when - now > kSleepCheck ? now + kSleepCheck : when;
      timespec at{};
      double whole = 0;
      const double fraction = std::modf(until, &whole);
      at.tv_sec = static_cast<time_t>(whole);
      // Rounded up: the deadline is never before `until`.
      at.tv_nsec = static_cast<long>(std::ceil(fraction * 1e9));
      if (at.tv_nsec >= 1000000000L) {
        ++at.tv_sec;
        at.tv_nsec -= 1000000000L;
      }
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
      }
    }
  }
};

}  // namespace

PlayerClock& SystemPlayerClock() {
  static SystemClock clock;
  return clock;
}

void WatchStart(PlayerWatch& w, PlayerClock& clock) { w.Start = clock.Seconds(); }

double WatchRead(const PlayerWatch& w, PlayerClock& clock) { return clock.Seconds() - w.Start; }

}  // namespace tavelo

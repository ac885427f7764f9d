// The time the playback engine and its worker threads run on: a monotonic clock in seconds and
// sleeps. The program uses the machine's; tests hand the engine their own, so that pacing,
// skipping and the sleeps can be checked without waiting for real time.
#pragma once
#include <cstdint>
#include <functional>

namespace tavelo {

class PlayerClock {
 public:
  virtual ~PlayerClock() = default;
  // Seconds from an arbitrary start; never goes back.
  virtual double Seconds() = 0;
  virtual void Sleep(int32_t ms) = 0;
  // Sleeps until Seconds() reads `when` or later (an absolute wait: never early, and no drift
  // from the time it took to get here), or until cut() holds; cut is asked at least every
  // kSleepCheck seconds. Returns at once when `when` has passed.
  virtual void SleepUntil(double when, const std::function<bool()>& cut) = 0;
};

// How often a SleepUntil looks at its cut: how long an end or a seek may wait at most.
constexpr double kSleepCheck = 0.02;

// steady_clock, this_thread::sleep_for and clock_nanosleep on CLOCK_MONOTONIC (the clock
// steady_clock reads) with an absolute deadline.
PlayerClock& SystemPlayerClock();

// A stopwatch on a player clock (the engine's media clock, the frame-rate meter).
struct PlayerWatch {
  double Start = 0;
};
void WatchStart(PlayerWatch& w, PlayerClock& clock);
double WatchRead(const PlayerWatch& w, PlayerClock& clock);

}  // namespace tavelo

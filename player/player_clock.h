// The time the playback engine and its worker threads run on: a monotonic clock in seconds and
// a sleep. The program uses the machine's; tests hand the engine their own, so that pacing,
// skipping and the sleeps can be checked without waiting for real time.
#pragma once
#include <cstdint>

namespace tavelo {

class PlayerClock {
 public:
  virtual ~PlayerClock() = default;
  // Seconds from an arbitrary start; never goes back.
  virtual double Seconds() = 0;
  virtual void Sleep(int32_t ms) = 0;
};

// steady_clock and this_thread::sleep_for.
PlayerClock& SystemPlayerClock();

// A stopwatch on a player clock (the engine's media clock, the frame-rate meter).
struct PlayerWatch {
  double Start = 0;
};
void WatchStart(PlayerWatch& w, PlayerClock& clock);
double WatchRead(const PlayerWatch& w, PlayerClock& clock);

}  // namespace tavelo

#include "player/player_clock.h"

#include <chrono>
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
};

}  // namespace

PlayerClock& SystemPlayerClock() {
  static SystemClock clock;
  return clock;
}

void WatchStart(PlayerWatch& w, PlayerClock& clock) { w.Start = clock.Seconds(); }

double WatchRead(const PlayerWatch& w, PlayerClock& clock) { return clock.Seconds() - w.Start; }

}  // namespace tavelo

#include "player/safe_sync.h"

#include <atomic>
#include <mutex>

namespace tavelo {

namespace {

std::mutex g_lock;
std::atomic<bool> g_active{false};

}  // namespace

void SafeFlagInit(SafeFlag& flag) { flag = 1; }

bool SafeFlagTryEnter(SafeFlag& flag) {
  if (!g_active.load()) {
    const bool free = flag == 1;
    flag = 0;
    return free;
  }
  std::lock_guard<std::mutex> lock(g_lock);
  const bool free = flag == 1;
  flag = 0;
  return free;
}

void SafeFlagLeave(SafeFlag& flag) {
  if (!g_active.load()) {
    flag = 1;
    return;
  }
  std::lock_guard<std::mutex> lock(g_lock);
  flag = 1;
}

void SafeSyncInit() { g_active.store(true); }

void SafeSyncDone() { g_active.store(false); }

}  // namespace tavelo

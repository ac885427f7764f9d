// Re-entrancy guards: refusal of a second entry, uninitialised flags, use without the lock, and
// the test-and-take between threads while the lock is active.
#include "player/safe_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tavelo {
namespace {

TEST(SafeSync, SecondEntryIsRefusedUntilLeave) {
  for (bool active : {false, true}) {
    if (active) SafeSyncInit();
    SafeFlag flag = 0;
    EXPECT_FALSE(SafeFlagTryEnter(flag)) << "a flag never initialised is taken";
    SafeFlagInit(flag);
    EXPECT_TRUE(SafeFlagTryEnter(flag));
    EXPECT_FALSE(SafeFlagTryEnter(flag));
    SafeFlagLeave(flag);
    EXPECT_TRUE(SafeFlagTryEnter(flag));
    SafeFlagLeave(flag);
    if (active) SafeSyncDone();
  }
  // After Done the flags still work, without the lock.
  SafeFlag flag;
  SafeFlagInit(flag);
  EXPECT_TRUE(SafeFlagTryEnter(flag));
  EXPECT_FALSE(SafeFlagTryEnter(flag));
}

TEST(SafeSync, OnlyOneThreadAtATimeGetsIn) {
  SafeSyncInit();
  SafeFlag flag;
  SafeFlagInit(flag);
  std::atomic<int> inside{0}, entries{0}, overlaps{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (!SafeFlagTryEnter(flag)) continue;
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        entries.fetch_add(1);
        inside.fetch_sub(1);
        SafeFlagLeave(flag);
      }
    });
  for (std::thread& t : threads) t.join();
  SafeSyncDone();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(entries.load(), 0);
}

}  // namespace
}  // namespace tavelo

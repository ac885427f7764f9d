// Re-entrancy guards: refusal of a second entry, uninitialised flags, use without the lock, the
// test-and-take between threads while the lock is active, and the scoped guard over both kinds of
// flag.
#include "player/safe_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
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

template <class Flag>
void CheckScopedEntry(Flag& flag) {
  const auto letIn = [&flag] { return static_cast<bool>(ReentryGuard(flag)); };
  {
    const ReentryGuard outer(flag);
    EXPECT_TRUE(static_cast<bool>(outer));
    EXPECT_FALSE(letIn()) << "a nested entry is let in";
    EXPECT_FALSE(letIn()) << "a refused entry gave the running one's flag back";
  }
  EXPECT_TRUE(letIn()) << "not given back at the end of the scope";
  try {
    const ReentryGuard entry(flag);
    throw std::runtime_error("leaves the scope");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(letIn()) << "not given back when an exception leaves the scope";
}

TEST(SafeSync, AScopedEntryRefusesANestedOneAndGivesItsFlagBack) {
  for (bool active : {false, true}) {
    SCOPED_TRACE(active ? "safe flag, lock active" : "safe flag, no lock");
    if (active) SafeSyncInit();
    SafeFlag flag;
    SafeFlagInit(flag);
    CheckScopedEntry(flag);
    SafeFlag never = 0;
    EXPECT_FALSE(static_cast<bool>(ReentryGuard(never))) << "a flag never initialised is taken";
    if (active) SafeSyncDone();
  }
  SCOPED_TRACE("busy bool");
  bool busy = false;
  CheckScopedEntry(busy);
  EXPECT_FALSE(busy);
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

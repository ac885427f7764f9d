// The reader's kept threads: a job never waits behind another where threads are started as jobs
// need them; one thread runs its jobs in order and runs those left when it ends; threads that do
// not finish their queue break off what runs and drop what waits when they end.
#include "ffreader/ff_kept_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tavelo::ffreader {
namespace {

// Waits (a bounded while, so that a fault fails instead of hanging) until flag is set.
bool WaitFor(const std::atomic<bool>& flag) {
  for (int i = 0; i < 5000 && !flag.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return flag.load();
}

KeptThreads::Job RunOnly(std::function<void()> run) {
  KeptThreads::Job job;
  job.Run = std::move(run);
  return job;
}

TEST(KeptThreads, AJobNeverWaitsBehindAnotherWhereThreadsAreStartedAsNeeded) {
  std::atomic<bool> ended{false}, secondRan{false}, firstSaw{false};
  {
    KeptThreads threads(std::numeric_limits<size_t>::max(), false, ended);
    auto first = RunOnly([&] { firstSaw = WaitFor(secondRan); });
    auto second = RunOnly([&] { secondRan = true; });
    threads.Add(first);
    threads.Add(second);
    EXPECT_TRUE(WaitFor(secondRan));
  }
  EXPECT_TRUE(firstSaw);
  EXPECT_TRUE(ended);
}

TEST(KeptThreads, EndingRunsOrDropsWhatWaits) {
  struct Case {
    bool finishQueue;
    std::string done;  // what ran (digits) and what was dropped (letters)
  };
  for (const Case& c : {Case{true, "123"}, Case{false, "1bc"}}) {
    SCOPED_TRACE(c.finishQueue);
    std::atomic<bool> ended{false}, started{false}, brokenOff{false};
    std::mutex m;
    std::string done;
    const auto note = [&](char ch) {
      std::lock_guard<std::mutex> lock(m);
      done += ch;
    };
    {
      KeptThreads thread(1, c.finishQueue, ended);
      KeptThreads::Job first;
      // The first job runs until the threads end, when it is told to break off.
      first.Run = [&] {
        started = true;
        if (!c.finishQueue) WaitFor(brokenOff);
        note('1');
      };
      first.BreakOff = [&] { brokenOff = true; };
      thread.Add(first);
      ASSERT_TRUE(WaitFor(started));
      for (const char n : {'2', '3'}) {
        KeptThreads::Job job;
        job.Run = [&, n] { note(n); };
        job.Dropped = [&, n] { note(static_cast<char>(n - '2' + 'b')); };
        thread.Add(job);
      }
    }
    EXPECT_EQ(done, c.done);
    if (!c.finishQueue) {
      EXPECT_TRUE(brokenOff);
    }
  }
}

}  // namespace
}  // namespace tavelo::ffreader

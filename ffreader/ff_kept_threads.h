// Threads kept to run jobs beside the callers: the reader's walks of a file's packets, closes of
// what a reader left behind and parts of a count, and the Video for Windows stand-in's layout
// read-aheads. Starting a thread costs about a tenth of a short file's open, waking a kept one a
// few microseconds.
#pragma once
#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

namespace tavelo::ffreader {

class KeptThreads {
 public:
  struct Job {
    std::function<void()> Run;
    // Called (under the threads' lock) for a job running or waiting when the threads end, so that
    // it stops soon; may be empty.
    std::function<void()> BreakOff;
    // Called instead of Run for a job still waiting when threads that do not finish their queue
    // end; may be empty.
    std::function<void()> Dropped;
  };

  // Threads are started as jobs need them, at most maxThreads: one for each job waiting while
  // none is free, so that with no limit a job never waits behind another. With finishQueue the
  // jobs still waiting when the threads end are run, in order; else they are dropped. ended is
  // set when the destructor begins (the holder's way of telling that the threads are gone).
  KeptThreads(size_t maxThreads, bool finishQueue, std::atomic<bool>& ended)
      : maxThreads_(maxThreads), finishQueue_(finishQueue), ended_(ended) {}
  // Breaks off what still runs or waits, runs or drops the jobs waiting and joins the threads.
  ~KeptThreads();
  KeptThreads(const KeptThreads&) = delete;
  KeptThreads& operator=(const KeptThreads&) = delete;

  // Queues job (moved from only when queued); throws when no thread can be had for it.
  void Add(Job& job);

 private:
  void Run();

  const size_t maxThreads_;
  const bool finishQueue_;
  std::atomic<bool>& ended_;
  std::mutex mutex_;
  // One release for every job queued (and for every thread when they end). Waking a thread this
  // way costs microseconds; a condition variable that many threads wait on can make the waker
  // wait for threads woken earlier to run (tenths of a millisecond on a busy machine).
  std::counting_semaphore<> ready_{0};
  std::deque<Job> queue_;
  std::vector<Job*> running_;
  std::vector<std::thread> threads_;
  size_t free_ = 0;  // threads not running a job (waiting, or started and not yet waiting)
  bool stop_ = false;
};

// The threads for jobs that must never wait behind another (walks of packets, parts of a count):
// one more is started whenever every one is busy, and jobs still waiting when the library unloads
// are dropped. nullptr once it has unloaded.
KeptThreads* JobThreads();
// The thread that closes what readers left behind, one close after the other; the unloading
// runs those left. nullptr once it has unloaded.
KeptThreads* CloserThread();

}  // namespace tavelo::ffreader

#include "ffreader/ff_kept_threads.h"

#include <sched.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace tavelo::ffreader {

KeptThreads::~KeptThreads() {
  ended_ = true;
  size_t threads = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    threads = threads_.size();
    for (Job& job : queue_)
      if (job.BreakOff) job.BreakOff();
    for (Job* job : running_)
      if (job->BreakOff) job->BreakOff();
  }
  // One more wake-up for every thread: each sees the stop once the queue is done (or at once).
  for (size_t i = 0; i < threads; ++i) ready_.release();
  for (std::thread& t : threads_) t.join();
  for (Job& job : queue_)
    if (job.Dropped) job.Dropped();
}

void KeptThreads::Add(Job& job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) throw std::runtime_error("ending");
    if (queue_.size() + 1 > free_ && threads_.size() < maxThreads_) {
      running_.reserve(threads_.size() + 1);
      threads_.reserve(threads_.size() + 1);
      threads_.emplace_back([this] { Run(); });
      ++free_;
    }
    queue_.push_back(std::move(job));
  }
  ready_.release();
}

void KeptThreads::Run() {
  // Work beside a caller: woken, the thread must not take the caller's processor from it (a
  // batch thread waits for a free one or the next tick instead).
  const sched_param none{};
  sched_setscheduler(0, SCHED_BATCH, &none);
  for (;;) {
    ready_.acquire();
    std::unique_lock<std::mutex> lock(mutex_);
    if (stop_ && (queue_.empty() || !finishQueue_)) return;
    if (queue_.empty()) continue;
    Job job = std::move(queue_.front());
    queue_.pop_front();
    --free_;
    running_.push_back(&job);
    lock.unlock();
    try {
      job.Run();
    } catch (...) {  // (jobs report their own failures)
    }
    lock.lock();
    running_.erase(std::find(running_.begin(), running_.end(), &job));
    ++free_;
    lock.unlock();
    // (What the job holds is freed here, outside the lock.)
  }
}

KeptThreads* JobThreads() {
  static std::atomic<bool> ended{false};
  if (ended.load()) return nullptr;
  static KeptThreads threads(std::numeric_limits<size_t>::max(), false, ended);
  return &threads;
}

KeptThreads* CloserThread() {
  static std::atomic<bool> ended{false};
  if (ended.load()) return nullptr;
  static KeptThreads thread(1, true, ended);
  return &thread;
}

}  // namespace tavelo::ffreader

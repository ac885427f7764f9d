#include "codecs/ffreader/ff_kept_threads.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace tavelo::ffreader {

KeptThreads::~KeptThreads() {
  ended_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    for (Job& job : queue_)
      if (job.BreakOff) job.BreakOff();
    for (Job* job : running_)
      if (job->BreakOff) job->BreakOff();
  }
  cv_.notify_all();
  for (std::thread& t : threads_) t.join();
  for (Job& job : queue_)
    if (job.Dropped) job.Dropped();
}

void KeptThreads::Add(Job& job) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stop_) throw std::runtime_error("ending");
  if (queue_.size() + 1 > free_ && threads_.size() < maxThreads_) {
    running_.reserve(threads_.size() + 1);
    threads_.reserve(threads_.size() + 1);
    threads_.emplace_back([this] { Run(); });
    ++free_;
  }
  queue_.push_back(std::move(job));
  cv_.notify_one();
}

void KeptThreads::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty() || (stop_ && !finishQueue_)) return;
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
    // What the job holds is freed outside the lock.
    lock.unlock();
    job = Job{};
    lock.lock();
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

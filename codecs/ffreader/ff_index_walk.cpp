#include "codecs/ffreader/ff_index_walk.h"

#include <limits>
#include <utility>
#include <vector>

namespace tavelo::ffreader {

namespace {

// Walks whose readers are gone: told to stop, and joined later (at the next reader closed, or
// when the library is unloaded), so that closing a reader does not wait for its walk to notice.
class WalkReaper {
 public:
  static WalkReaper& Get() {
    static WalkReaper reaper;
    return reaper;
  }
  // Takes walk's thread over (joins it at once when the reaper is gone: closing at unload).
  static void Retire(const std::shared_ptr<IndexWalk>& walk) {
    walk->Cancel = true;
    if (gone_.load()) {
      walk->Stop();
      return;
    }
    Get().Add(walk);
  }
  ~WalkReaper() {
    gone_ = true;
    for (auto& w : walks_) w->Stop();
  }

 private:
  void Add(const std::shared_ptr<IndexWalk>& walk) {
    std::vector<std::shared_ptr<IndexWalk>> done;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = walks_.begin(); it != walks_.end();) {
        bool finished = false;
        {
          std::lock_guard<std::mutex> w((*it)->M);
          finished = (*it)->Done;
        }
        if (finished) {
          done.push_back(std::move(*it));
          it = walks_.erase(it);
        } else {
          ++it;
        }
      }
      walks_.push_back(walk);
    }
    for (auto& w : done) w->Stop();  // (done: the thread is ending)
  }
  std::mutex mutex_;
  std::vector<std::shared_ptr<IndexWalk>> walks_;
  static inline std::atomic<bool> gone_{false};
};

// The part of a file walked first: about its first megabyte.
constexpr int64_t kEarlyWalkBytes = 1 << 20;

// Walks the file's first part, then (unless that was the whole file) the whole file.
void WalkPackets(IndexWalk& walk, const WalkPart& part) {
  std::shared_ptr<const Reader::Index> index;
  std::string error;
  for (const bool early : {true, false}) {
    bool partial = false;
    try {
      index = part(early ? kEarlyWalkBytes : std::numeric_limits<int64_t>::max(), walk.Cancel, partial, error);
    } catch (...) {
      error = "out of memory";
      index.reset();
    }
    const bool whole = index != nullptr && !partial;
    std::lock_guard<std::mutex> lock(walk.M);
    if (early && !whole) {
      walk.Early = std::move(index);
      walk.EarlyDone = true;
      walk.Cv.notify_all();
      if (!walk.Cancel.load()) continue;
    }
    walk.Full = std::move(index);
    walk.Error = std::move(error);
    walk.Done = true;
    walk.Cv.notify_all();
    return;
  }
}

}  // namespace

void StartWalk(const std::shared_ptr<IndexWalk>& walk, WalkPart part) {
  walk->Thread = std::thread([walk, part = std::move(part)] { WalkPackets(*walk, part); });
}

void RetireWalk(const std::shared_ptr<IndexWalk>& walk) { WalkReaper::Retire(walk); }

}  // namespace tavelo::ffreader

// The last picture description of each thread, for codec libraries whose read calls receive no
// buffer size: the info call remembers the size it described (the caller allocates that much),
// the read call refuses any other. A small table under a lock rather than thread-local storage: a
// library that is loaded and unloaded at run time keeps no per-thread blocks behind in the
// process's threads (and sanitizer thread walkers trip over such blocks at exit).
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace tavelo::codecs {

template <class Geometry>
class DescribedTable {
 public:
  // Remembers fileName's description for the calling thread (replacing its last one).
  void Remember(const char* fileName, const Geometry& geometry) {
    std::lock_guard<std::mutex> lock(lock_);
    Entry& e = Slot();
    e.valid = true;
    e.fileName = fileName;
    e.geometry = geometry;
  }
  // Forgets the calling thread's description.
  void Forget() {
    std::lock_guard<std::mutex> lock(lock_);
    if (Entry* e = Find()) e->valid = false;
  }
  // The calling thread's last description when it is of fileName.
  bool Recall(const char* fileName, Geometry& geometry) {
    std::lock_guard<std::mutex> lock(lock_);
    const Entry* e = Find();
    if (e == nullptr || !e->valid || e->fileName != fileName) return false;
    geometry = e->geometry;
    return true;
  }

 private:
  struct Entry {
    std::thread::id thread;
    uint64_t used = 0;
    bool valid = false;
    std::string fileName;
    Geometry geometry;
  };
  static constexpr int kEntries = 64;  // threads that describe pictures at the same time

  Entry* Find() {
    const std::thread::id me = std::this_thread::get_id();
    for (Entry& e : entries_)
      if (e.used != 0 && e.thread == me) {
        e.used = ++clock_;
        return &e;
      }
    return nullptr;
  }
  // This thread's entry, else the one used least recently.
  Entry& Slot() {
    if (Entry* e = Find()) return *e;
    Entry* oldest = &entries_[0];
    for (Entry& e : entries_)
      if (e.used < oldest->used) oldest = &e;
    oldest->thread = std::this_thread::get_id();
    oldest->used = ++clock_;
    oldest->valid = false;
    return *oldest;
  }

  std::mutex lock_;
  uint64_t clock_ = 0;
  Entry entries_[kEntries];
};

}  // namespace tavelo::codecs

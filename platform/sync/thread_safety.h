// Locks the compiler checks. Clang's thread-safety analysis (-Wthread-safety) proves that a field
// marked GUARDED_BY(lock) is only touched with that lock held and that a function marked
// REQUIRES(lock) is only called so; the clang builds treat its findings as errors. Other compilers
// see empty macros.
//
// The standard library's mutexes carry no capability attributes, so the guarded fields' locks are
// these thin wrappers, taken through the scoped lock below (or, where a lock is taken and given
// back in separate steps, through std::unique_lock over the wrapper, which the analysis does not
// follow: what such a scope touches is not annotated).
#pragma once
#include <chrono>
#include <mutex>

#if defined(__clang__)
#define TAVELO_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define TAVELO_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) TAVELO_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY TAVELO_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) TAVELO_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) TAVELO_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) TAVELO_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TAVELO_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TAVELO_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TAVELO_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TAVELO_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) TAVELO_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TAVELO_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace tavelo {

// std::mutex, as a capability. Still a std::mutex for code that takes it through the standard
// lock types (which the analysis does not follow).
class CAPABILITY("mutex") Mutex : public std::mutex {
 public:
  void lock() ACQUIRE() { std::mutex::lock(); }
  void unlock() RELEASE() { std::mutex::unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return std::mutex::try_lock(); }
};

// std::timed_mutex, as a capability.
class CAPABILITY("mutex") TimedMutex : public std::timed_mutex {
 public:
  void lock() ACQUIRE() { std::timed_mutex::lock(); }
  void unlock() RELEASE() { std::timed_mutex::unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return std::timed_mutex::try_lock(); }
  template <class Clock, class Duration>
  bool try_lock_until(const std::chrono::time_point<Clock, Duration>& at) TRY_ACQUIRE(true) {
    return std::timed_mutex::try_lock_until(at);
  }
};

// Holds a lock for its scope, as std::lock_guard does.
template <class Lockable>
class SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Lockable& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~LockGuard() RELEASE() { m_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lockable& m_;
};

}  // namespace tavelo

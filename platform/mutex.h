#pragma once
// Mutex is a lock that clang's thread-safety analysis understands: what it
// guards says so (GUARDED_BY), and functions that need it held say so
// (REQUIRES), so a field touched without its lock fails the clang build.

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KIV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KIV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KIV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KIV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KIV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KIV_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) KIV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KIV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KIV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KIV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KIV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kiv {

/// Mutex wraps std::mutex with the annotations the analysis reads.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

/// MutexLock holds a Mutex for the scope it lives in.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  /// Lets the mutex go inside the scope; lock takes it again before the scope ends.
  void unlock() RELEASE() { mutex_.unlock(); }
  void lock() ACQUIRE() { mutex_.lock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

/// CondVar is a condition variable waited on with its Mutex held (the
/// analysis cannot tell that mutex from the one the caller holds, so its
/// waits carry no annotation, as in leveldb).
class CondVar {
 public:
  explicit CondVar(Mutex& mutex) : mutex_(mutex) {}
  /// Releases the mutex while it waits; holds it again on return.
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_.mutex_, std::adopt_lock);
    condition_.wait(lock);
    lock.release();
  }
  /// As wait, for at most `timeout_ms`; false when the time ran out.
  bool wait_for_ms(unsigned timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_.mutex_, std::adopt_lock);
    bool woken = condition_.wait_for(lock, std::chrono::milliseconds(timeout_ms)) ==
                 std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  /// As wait, until `deadline` at the latest; false when it has passed.
  bool wait_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_.mutex_, std::adopt_lock);
    bool woken = condition_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  void signal() { condition_.notify_one(); }
  void signal_all() { condition_.notify_all(); }

 private:
  Mutex& mutex_;
  std::condition_variable condition_;
};

}  // namespace kiv

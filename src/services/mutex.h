// A mutex, its scoped lock and a condition variable that Clang's
// thread-safety analysis understands: members declared ZVT_GUARDED_BY(mu_)
// may only be touched with mu_ held, functions declared ZVT_REQUIRES(mu_)
// only called so, and a build with -Wthread-safety checks every access.
// Other compilers see plain std::mutex and std::condition_variable.
#ifndef ZVT_SERVICES_MUTEX_H_
#define ZVT_SERVICES_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ZVT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZVT_THREAD_ANNOTATION(x)
#endif

#define ZVT_CAPABILITY(x) ZVT_THREAD_ANNOTATION(capability(x))
#define ZVT_SCOPED_CAPABILITY ZVT_THREAD_ANNOTATION(scoped_lockable)
#define ZVT_GUARDED_BY(x) ZVT_THREAD_ANNOTATION(guarded_by(x))
#define ZVT_PT_GUARDED_BY(x) ZVT_THREAD_ANNOTATION(pt_guarded_by(x))
#define ZVT_REQUIRES(...) ZVT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZVT_EXCLUDES(...) ZVT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZVT_ACQUIRE(...) ZVT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZVT_TRY_ACQUIRE(...) ZVT_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ZVT_RELEASE(...) ZVT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ZVT_ASSERT_HELD(x) ZVT_THREAD_ANNOTATION(assert_capability(x))
#define ZVT_RETURN_CAPABILITY(x) ZVT_THREAD_ANNOTATION(lock_returned(x))
#define ZVT_NO_THREAD_SAFETY_ANALYSIS ZVT_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zvt {

class ZVT_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ZVT_ACQUIRE() { mu_.lock(); }
  bool TryLock() ZVT_TRY_ACQUIRE(true) { return mu_.try_lock(); }
  void Unlock() ZVT_RELEASE() { mu_.unlock(); }
  // Tells the analysis what the caller knows: the mutex is held here.
  void AssertHeld() const ZVT_ASSERT_HELD(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// A mutex that its holder may take again (each Lock needs its Unlock). For
// the analysis it is one capability: a function that takes it while it
// holds it is an error, as for Mutex; callers further up may hold it.
class ZVT_CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void Lock() ZVT_ACQUIRE() { mu_.lock(); }
  void Unlock() ZVT_RELEASE() { mu_.unlock(); }
  void AssertHeld() const ZVT_ASSERT_HELD(this) {}

 private:
  std::recursive_mutex mu_;
};

// Holds `mu` for its scope.
class ZVT_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ZVT_ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() ZVT_RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

class ZVT_SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex* mu) ZVT_ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~RecursiveMutexLock() ZVT_RELEASE() { mu_->Unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex* const mu_;
};

// A condition variable; each wait names the Mutex it holds (always the same
// one for one variable). A wait may return without a signal, so callers wait
// in a loop on their condition.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex* mu) ZVT_REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when `deadline` passed first.
  bool WaitUntil(Mutex* mu, std::chrono::steady_clock::time_point deadline) ZVT_REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    const bool signalled = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace zvt

#endif  // ZVT_SERVICES_MUTEX_H_

// Clang's thread-safety annotations, and a mutex that carries them (the
// std::mutex of libstdc++ carries none). Built with clang, -Wthread-safety
// rejects a read or write of state marked QORVA_GUARDED_BY a mutex that is not
// held, and a call to a function marked QORVA_REQUIRES a mutex without it; with
// g++ the macros expand to nothing and the contracts are only documentation.
// The project prefix keeps them apart from another library's macros of the
// same names.
#pragma once

#include <mutex>

#if defined(__clang__)
#define QORVA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QORVA_THREAD_ANNOTATION(x)
#endif

// On a type: it is a lock, named `x` in the compiler's messages.
#define QORVA_CAPABILITY(x) QORVA_THREAD_ANNOTATION(capability(x))
// On a type: an RAII guard that holds a lock for its lifetime.
#define QORVA_SCOPED_CAPABILITY QORVA_THREAD_ANNOTATION(scoped_lockable)
// On a member: read or written only with `x` held.
#define QORVA_GUARDED_BY(x) QORVA_THREAD_ANNOTATION(guarded_by(x))
// On a function: the caller holds the locks.
#define QORVA_REQUIRES(...) QORVA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// On a function: it takes or lets go of the locks (this object's when none are named).
#define QORVA_ACQUIRE(...) QORVA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QORVA_RELEASE(...) QORVA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// On a function: it returns the lock `x`, so that the analysis takes a call
// of it for `x` itself.
#define QORVA_RETURN_CAPABILITY(x) QORVA_THREAD_ANNOTATION(lock_returned(x))
// On a function: the caller must not hold the locks (it takes them itself).
#define QORVA_EXCLUDES(...) QORVA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// On a function whose locking the analysis cannot follow; say why beside it.
#define QORVA_NO_THREAD_SAFETY_ANALYSIS QORVA_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qorva {

// A std::mutex the analysis knows as a lock. Not recursive; not movable.
class QORVA_CAPABILITY("mutex") Mutex {
 public:
  void lock() QORVA_ACQUIRE() { mutex_.lock(); }
  void unlock() QORVA_RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex from construction to the end of the scope; may block.
class QORVA_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) QORVA_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() QORVA_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace qorva

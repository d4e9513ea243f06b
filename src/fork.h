// Telling a forked child from the process that made an object, without a
// system call, descriptors that a forked child never keeps, and process-wide
// mutexes that stay usable on both sides of fork(). A child inherits every
// object of its parent's memory: a ring mapping, a socket, a log's buffer.
// Using one there would act on the parent's shared state behind the parent's
// back, so each object records the fork generation it was made in and
// compares it before it acts.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>

#include "io_error.h"
#include "sys.h"
#include "thread_annotations.h"

namespace qorva {

namespace fork_detail {
// Bumped by a pthread_atfork child handler in every child; read relaxed, as
// only the child's single thread changes it, before it runs anything else.
extern std::atomic<std::uint64_t> generation;
// Installs the handler; idempotent and thread-safe. Called by ForkEpoch's
// constructor, so it is in place before any object it guards can be copied.
void install_handler();

inline void nothing_to_reset() {}

template <Mutex& (*mutex)()>
void lock_before_fork() QORVA_ACQUIRE(mutex()) {
  mutex().lock();
}

template <Mutex& (*mutex)()>
void unlock_after_fork() QORVA_RELEASE(mutex()) {
  mutex().unlock();
}

template <Mutex& (*mutex)(), void (*reset)()>
void reset_and_unlock_in_child() QORVA_RELEASE(mutex()) {
  reset();
  mutex().unlock();
}
}  // namespace fork_detail

// Keeps a process-wide mutex consistent on both sides of fork(): a child
// forked while another thread held it would inherit it locked for good.
// Registers, once per pair of `mutex` and `reset` (so once per mutex: a
// second pair naming the same mutex would lock it twice before fork()),
// handlers that lock it before fork() and unlock it after, in the parent and
// in the child; in the child `reset` runs first,
// with the mutex held, for a registry the child must start without. Both run
// inside fork(): `mutex` returns the same Mutex every time and takes no lock;
// `reset` takes no other lock and keeps to what the child of a threaded
// process may call (async-signal-safe functions, strictly). Thread-safe; call
// it where the mutex is made, before a second thread can take it.
template <Mutex& (*mutex)(), void (*reset)() = fork_detail::nothing_to_reset>
void keep_across_fork() {
  static const bool registered = [] {
    ::pthread_atfork(fork_detail::lock_before_fork<mutex>, fork_detail::unlock_after_fork<mutex>,
                     fork_detail::reset_and_unlock_in_child<mutex, reset>);
    return true;
  }();
  (void)registered;
}

// A process-wide registry of type R (its Mutex named by `mutex`), made on
// first use, kept across fork() (keep_across_fork), and never destroyed, so
// that what is torn down during static destruction or at exit still finds it.
template <class R, Mutex& (*mutex)(), void (*reset)() = fork_detail::nothing_to_reset>
R& lasting_registry() {
  static R* const registry = [] {
    auto* created = new R;
    keep_across_fork<mutex, reset>();
    return created;
  }();
  return *registry;
}

// The fork generation an object was made in. A plain value: copying or moving
// it keeps the origin.
class ForkEpoch {
 public:
  ForkEpoch() : born_((fork_detail::install_handler(), current())) {}

  // Whether this is the process that made the object: true until the
  // process forks, then true in the parent and false in the child.
  bool in_origin() const { return born_ == current(); }

 private:
  static std::uint64_t current() { return fork_detail::generation.load(std::memory_order_relaxed); }
  std::uint64_t born_;
};

// A descriptor that stays in the process that opened it: a forked child closes
// its copy before fork() returns there. An open file description lives while
// any descriptor of it is open, and so does what hangs on it: a lock taken
// through it, the far end's view of a connection as open. A child that kept a
// copy would keep those alive after the opener died, for as long as the child
// lives. Closing the child's copy leaves the opener's own descriptor, and
// everything on it, as it was.
//
// Move-only. In the opener's process it closes on destruction; in a child it
// only forgets the number, which the child has already closed (and may have
// reused). Thread-safe as a UniqueFd is: one owner at a time.
class ProcessLocalFd {
 public:
  ProcessLocalFd() = default;
  // Takes over a descriptor that is open already. A child forked between its
  // creation and this call keeps its copy; where that matters, use open().
  explicit ProcessLocalFd(UniqueFd fd);
  // Creates the descriptor by `create`, which runs while fork() waits, so that
  // no child is forked between creation and registration. `create` must not
  // fork nor make a ProcessLocalFd. Errors: those of `create`.
  static std::expected<ProcessLocalFd, IoError> open(const std::function<std::expected<UniqueFd, IoError>()>& create);

  ProcessLocalFd(ProcessLocalFd&& other) noexcept;
  ProcessLocalFd& operator=(ProcessLocalFd&& other) noexcept;
  ProcessLocalFd(const ProcessLocalFd&) = delete;
  ProcessLocalFd& operator=(const ProcessLocalFd&) = delete;
  ~ProcessLocalFd() { reset(); }

  // The descriptor; -1 when there is none, and in a forked child.
  int get() const { return epoch_.in_origin() ? fd_ : -1; }
  bool valid() const { return get() >= 0; }
  explicit operator bool() const { return valid(); }
  // Closes it in the opener's process (so that no fork falls between closing
  // and forgetting it); only forgets it in a child.
  void reset();

 private:
  int fd_ = -1;
  ForkEpoch epoch_;
};

}  // namespace qorva

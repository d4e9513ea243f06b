// Telling a forked child from the process that made an object, without a
// system call. A child inherits every object of its parent's memory: a ring
// mapping, a socket, a log's buffer. Using one there would act on the
// parent's shared state behind the parent's back, so each object records the
// fork generation it was made in and compares it before it acts.
#pragma once

#include <atomic>
#include <cstdint>

namespace qorva {

namespace fork_detail {
// Bumped by a pthread_atfork child handler in every child; read relaxed, as
// only the child's single thread changes it, before it runs anything else.
extern std::atomic<std::uint64_t> generation;
// Installs the handler; idempotent and thread-safe. Called by ForkEpoch's
// constructor, so it is in place before any object it guards can be copied.
void install_handler();
}  // namespace fork_detail

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

}  // namespace qorva

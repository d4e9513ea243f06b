#include "fork.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/transport_support.h"
#include "thread_annotations.h"

namespace qorva {
namespace {

using namespace std::chrono_literals;
using testing_support::Channel;
using testing_support::Child;

struct Registry {
  Mutex mutex;
  // How many times the child-side reset has run in this process's line of forks.
  int resets QORVA_GUARDED_BY(mutex) = 0;
};

Registry& registry() {
  static Registry r;
  return r;
}

Mutex& registry_mutex() QORVA_RETURN_CAPABILITY(registry().mutex) { return registry().mutex; }

void count_reset() QORVA_REQUIRES(registry().mutex) { ++registry().resets; }

int resets_now() QORVA_EXCLUDES(registry().mutex) {
  MutexLock guard(registry_mutex());
  return registry().resets;
}

// A fork while another thread holds the mutex: fork() waits for it, and then
// the parent and the child can each take it, the child after one reset. Run
// in a child of its own, so that a mutex left locked ends in a bounded wait.
TEST(KeepAcrossFork, ForkWhileAnotherThreadHoldsTheMutexLeavesItFreeOnBothSides) {
  keep_across_fork<registry_mutex, count_reset>();
  keep_across_fork<registry_mutex, count_reset>();  // registered once
  Child forking([] {
    const int before = resets_now();
    std::atomic<bool> held{false};
    std::thread holder([&] {
      MutexLock guard(registry_mutex());
      held.store(true, std::memory_order_release);
      std::this_thread::sleep_for(100ms);
    });
    while (!held.load(std::memory_order_acquire)) std::this_thread::yield();
    // The child's verdict comes through a pipe, as its exit status may be a
    // thread sanitizer's: it counts the holder, ended by then, as a thread
    // the child never joined.
    Channel verdict;
    Child child([&verdict, before] {
      verdict.send(resets_now() == before + 1 ? 0 : 1);
      return 0;
    });
    const int in_parent = resets_now();
    holder.join();
    if (in_parent != before) return 2;
    const std::optional<std::uint64_t> reset_once = verdict.receive(10000);
    child.wait(10s);
    return reset_once == 0u ? 0 : 3;
  });
  EXPECT_EQ(forking.wait(30s), 0);
}

}  // namespace
}  // namespace qorva

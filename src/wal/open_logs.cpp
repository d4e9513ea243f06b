#include "wal/open_logs.h"

#include <pthread.h>

#include <unordered_set>

#include "thread_annotations.h"
#include "wal/log_state.h"

namespace qorva::wal {
namespace {

// The mutex is held across each sync_open_logs, so a log's forget waits for
// a sync in progress and lock order is always this mutex, then a log's.
struct OpenLogs {
  Mutex mutex;
  std::unordered_set<LogState*> logs QORVA_GUARDED_BY(mutex);
};

OpenLogs& open_logs();

// Holding the mutex across fork keeps it and the set consistent on both
// sides. The child owns none of the logs (the parent writes them), so it
// starts with an empty set.
void before_fork() QORVA_NO_THREAD_SAFETY_ANALYSIS { open_logs().mutex.lock(); }
void after_fork_in_parent() QORVA_NO_THREAD_SAFETY_ANALYSIS { open_logs().mutex.unlock(); }
void after_fork_in_child() QORVA_NO_THREAD_SAFETY_ANALYSIS {
  open_logs().logs.clear();
  open_logs().mutex.unlock();
}

// Never destroyed, so that an exit hook or a log shut down during static
// destruction still finds it.
OpenLogs& open_logs() {
  static OpenLogs* const logs = [] {
    auto* created = new OpenLogs;
    ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return created;
  }();
  return *logs;
}

}  // namespace

void remember_open_log(LogState& state) {
  OpenLogs& open = open_logs();
  MutexLock lock(open.mutex);
  open.logs.insert(&state);
}

void forget_open_log(LogState& state) {
  OpenLogs& open = open_logs();
  MutexLock lock(open.mutex);
  open.logs.erase(&state);
}

void sync_open_logs() noexcept {
  try {
    OpenLogs& open = open_logs();
    MutexLock lock(open.mutex);
    for (LogState* state : open.logs) {
      MutexLock log_lock(state->mutex);
      state->sync_active_locked();
    }
  } catch (...) {
    // A mutex that cannot be locked: nothing more can be saved.
  }
}

}  // namespace qorva::wal

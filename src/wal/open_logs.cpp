#include "wal/open_logs.h"

#include <unordered_set>

#include "fork.h"
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
Mutex& open_logs_mutex() QORVA_RETURN_CAPABILITY(open_logs().mutex) { return open_logs().mutex; }

// The child owns none of the logs (the parent writes them), so it starts with
// an empty set.
void forget_all_in_child() QORVA_REQUIRES(open_logs().mutex) { open_logs().logs.clear(); }

OpenLogs& open_logs() { return lasting_registry<OpenLogs, open_logs_mutex, forget_all_in_child>(); }

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

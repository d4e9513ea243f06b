// The logs open in this process, for a last write-out at exit: a log whose
// owner is never destroyed (a publisher that a daemon thread or an
// uncollected cycle still holds) would otherwise end with records in its
// buffer that were acknowledged but never reached the file.
#pragma once

namespace qorva::wal {

struct LogState;

// Writes out and fdatasyncs the active segment of every log that this
// process opened and has not yet shut down, as a log's teardown does, but
// leaves the logs open and their flusher threads running; other threads may
// go on appending meanwhile. Takes each log's mutex in turn and blocks on
// disk. For an exit hook: it never throws, drops every failure and reports
// nothing. In a forked child it syncs only the logs the child opened itself.
void sync_open_logs() noexcept;

// Called by the log: `state` is counted as open from remember until forget.
// It must stay alive until forget returns; once forget returns, no
// sync_open_logs uses it any more. forget must not be called with the log's
// mutex held. Thread-safe.
void remember_open_log(LogState& state);
void forget_open_log(LogState& state);

}  // namespace qorva::wal

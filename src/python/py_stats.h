// The Python classes `TopicStats` and `WalStats`: read-only snapshots of a
// topic's statistics and of its write-ahead log's. Each object owns its values
// outright and refers to no publisher, log or bus.
#pragma once

#include "publisher.h"
#include "python/binding.h"
#include "wal/wal.h"

namespace qorva::python {

// Behind `TopicStats`: the core snapshot, moved in whole.
struct PyTopicStats {
  TopicStats stats;
};

// Behind `WalStats`: a copy of the log's nine values.
struct PyWalStats {
  wal::WalStats stats;
};

// Snapshots hold no shared state: a forked child may read the ones it inherited.
template <>
inline constexpr bool kProcessBound<PyTopicStats> = false;
template <>
inline constexpr bool kProcessBound<PyWalStats> = false;

// The two type objects, made on first use and kept for the process.
PyResult<PyTypeObject*> topic_stats_type();
PyResult<PyTypeObject*> wal_stats_type();

// to_python(TopicStats) (convert.h) makes a `TopicStats` object holding the
// snapshot; one that cannot be made is an internal failure.

}  // namespace qorva::python

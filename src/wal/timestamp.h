// Record time stamps from a log's two clocks: the wall clock read once at its
// opening plus the monotonic time since, so that they never go backwards
// within one opening, whatever the wall clock does.
#pragma once

#include <cstdint>

#include "clock.h"

namespace qorva::wal {

// opened_unix_ns plus the time from `opened_at` to `now` (two monotonic
// readings), saturating at UINT64_MAX; opened_unix_ns when `now` is not
// later than `opened_at`. Thread-safe.
std::uint64_t timestamp_since(std::uint64_t opened_unix_ns, MonotonicTime opened_at, MonotonicTime now);

}  // namespace qorva::wal

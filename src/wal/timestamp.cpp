#include "wal/timestamp.h"

#include "clock.h"

namespace qorva::wal {

std::uint64_t timestamp_since(std::uint64_t opened_unix_ns, MonotonicTime opened_at, MonotonicTime now) {
  const std::uint64_t elapsed = time_between(opened_at, now).saturating_nanos();
  return elapsed > UINT64_MAX - opened_unix_ns ? UINT64_MAX : opened_unix_ns + elapsed;
}

}  // namespace qorva::wal

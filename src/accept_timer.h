// When the publisher's next accept pass is due, told cheaply enough to ask on
// every publish.
#pragma once

#include <cstdint>

#include "clock.h"

namespace qorva {

// Tells when the last pass is `interval` old. A monotonic clock read costs a
// good part of a publish, so the processor's cycle counter answers first:
// below a count of cycles that surely takes less than the interval the pass
// is not due; past it the clock decides. The count is learnt from the clock
// and the counter read together at each pass, over the timer's life so far;
// until 100 ms have passed the clock decides alone. One thread.
class AcceptTimer {
 public:
  explicit AcceptTimer(Duration interval) : interval_(interval), last_(rate_.origin()) {}

  bool due() const {
    // A counter read lower than at the pass (another core's) wraps to a large
    // difference: the clock decides then.
    if (CycleCount::now().since(last_.cycles) < quiet_cycles_) return false;
    return time_between(last_.time, MonotonicTime::now()) >= interval_;
  }

  void mark_pass() {
    last_ = rate_.read();
    quiet_cycles_ = rate_.cycles_within(interval_);
  }

 private:
  Duration interval_;
  CycleRate rate_;
  CycleRate::Reading last_;
  std::uint64_t quiet_cycles_ = 0;
};

}  // namespace qorva

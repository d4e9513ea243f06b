#include "clock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <ctime>

namespace qorva {
namespace {

constexpr std::int64_t kMaxSecs = INT64_MAX;
constexpr std::uint32_t kNanosPerSec = 1'000'000'000;
// One nanosecond short of never(), so that no timeout turns into no limit.
constexpr MonotonicTime kFarthestDeadline = MonotonicTime::from_parts(kMaxSecs, kNanosPerSec - 2);
constexpr Duration kRateLearningTime = Duration::from_millis(100);
constexpr double kRateMargin = 0.9;

}  // namespace

std::optional<Duration> duration_from_secs(double secs) {
  if (std::isnan(secs) || secs < 0.0) return std::nullopt;  // -0.0 is not < 0
  if (std::isinf(secs) || secs >= 18446744073709551616.0) return std::nullopt;
  if (secs == 0.0) return Duration{};
  // secs = mantissa * 2^exp exactly, with a 53-bit integer mantissa.
  int exp = 0;
  double frac = std::frexp(secs, &exp);
  auto mantissa = static_cast<unsigned __int128>(std::ldexp(frac, 53));
  exp -= 53;
  unsigned __int128 nanos = mantissa * 1'000'000'000u;
  if (exp >= 0) {
    nanos <<= exp;  // secs < 2^64 keeps this within 128 bits
  } else if (exp < -127) {
    nanos = 0;  // far below half a nanosecond
  } else {
    unsigned shift = static_cast<unsigned>(-exp);
    unsigned __int128 whole = nanos >> shift;
    unsigned __int128 rest = nanos - (whole << shift);
    unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    if (rest > half || (rest == half && (whole & 1) != 0)) whole += 1;
    nanos = whole;
  }
  auto whole_secs = nanos / 1'000'000'000u;
  if (whole_secs > UINT64_MAX) return std::nullopt;
  return Duration{static_cast<std::uint64_t>(whole_secs), static_cast<std::uint32_t>(nanos % 1'000'000'000u)};
}

MonotonicTime MonotonicTime::now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return MonotonicTime(t.tv_sec, static_cast<std::uint32_t>(t.tv_nsec));
}

MonotonicTime operator+(MonotonicTime t, Duration d) {
  std::uint64_t secs = static_cast<std::uint64_t>(t.secs_);
  std::uint32_t nanos = t.nanos_ + d.nanos;
  if (nanos >= kNanosPerSec) {
    nanos -= kNanosPerSec;
    secs += 1;
  }
  constexpr auto kMax = static_cast<std::uint64_t>(kMaxSecs);
  if (secs > kMax || d.secs > kMax - secs) return MonotonicTime(kMaxSecs, kNanosPerSec - 1);
  return MonotonicTime(static_cast<std::int64_t>(secs + d.secs), nanos);
}

MonotonicTime operator-(MonotonicTime t, Duration d) {
  if (time_between(MonotonicTime(), t) <= d) return MonotonicTime();
  std::int64_t secs = t.secs_ - static_cast<std::int64_t>(d.secs);
  std::uint32_t nanos = t.nanos_;
  if (nanos < d.nanos) {
    nanos += kNanosPerSec;
    secs -= 1;
  }
  return MonotonicTime(secs, nanos - d.nanos);
}

CycleRate::CycleRate() : origin_{MonotonicTime::now(), CycleCount::now()} {}

CycleRate::Reading CycleRate::read() {
  const CycleCount before = CycleCount::now();
  const Reading reading{MonotonicTime::now(), CycleCount::now()};
  const Duration elapsed = time_between(origin_.time, reading.time);
  const std::uint64_t cycles = reading.cycles.since(origin_.cycles);
  if (elapsed >= kRateLearningTime && cycles / 1000 >= reading.cycles.since(before))
    cycles_per_nano_ = static_cast<double>(cycles) / static_cast<double>(elapsed.saturating_nanos());
  return reading;
}

std::uint64_t CycleRate::cycles_within(Duration d) const {
  return static_cast<std::uint64_t>(cycles_per_nano_ * static_cast<double>(d.saturating_nanos()) * kRateMargin);
}

std::optional<WallTime> WallTime::now() {
  timespec t{};
  if (clock_gettime(CLOCK_REALTIME, &t) != 0) return std::nullopt;
  return WallTime{t.tv_sec, t.tv_nsec};
}

std::uint64_t unix_time_ns() {
  const WallTime t = WallTime::now().value_or(WallTime{});
  if (t.secs < 0) return 0;
  return static_cast<std::uint64_t>(t.secs) * 1'000'000'000u + static_cast<std::uint64_t>(t.nanos);
}

Deadline Deadline::after(Duration d) { return Deadline(std::min(MonotonicTime::now() + d, kFarthestDeadline)); }

Deadline Deadline::earlier_by(Duration d) const { return *this == never() ? never() : Deadline(at_ - d); }

bool Deadline::passed() const { return remaining() == Duration{}; }

Duration Deadline::remaining() const {
  if (*this == never()) return Duration::max();
  if (*this == now()) return Duration{};
  return time_between(MonotonicTime::now(), at_);
}

int poll_millis(Duration d) {
  if (d.secs > static_cast<std::uint64_t>(INT_MAX)) return INT_MAX;
  std::uint64_t ms = d.secs * 1000 + d.nanos / 1'000'000;
  return ms > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
}

int Deadline::poll_millis() const {
  if (*this == never()) return -1;
  Duration left = remaining();
  int ms = qorva::poll_millis(left);
  // Round a partial millisecond up so that poll does not return early.
  if (ms < INT_MAX && left.nanos % 1'000'000 != 0) ms += 1;
  return ms;
}

// An absolute end: after an interruption the sleep goes on to the same point,
// whatever time the handler took.
void sleep_until(const Deadline& end) {
  const timespec at{end.at_.secs_, static_cast<long>(end.at_.nanos_)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

void sleep_for(Duration d) { sleep_until(Deadline::after(d)); }

}  // namespace qorva

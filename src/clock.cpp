#include "clock.h"

#include <cerrno>
#include <climits>
#include <cmath>

namespace qorva {
namespace {

constexpr std::int64_t kMaxSecs = INT64_MAX;
constexpr long kNanosPerSec = 1'000'000'000;

// Seconds count of a deadline: now plus d, saturated below 2^63.
timespec add_saturating(timespec t, Duration d) {
  std::uint64_t secs = static_cast<std::uint64_t>(t.tv_sec);
  long nanos = t.tv_nsec + static_cast<long>(d.nanos);
  if (nanos >= kNanosPerSec) {
    nanos -= kNanosPerSec;
    secs += 1;
  }
  if (d.secs > static_cast<std::uint64_t>(kMaxSecs) - secs) return timespec{kMaxSecs, kNanosPerSec - 1};
  return timespec{static_cast<time_t>(secs + d.secs), nanos};
}

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

timespec monotonic_now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

std::uint64_t unix_time_ns() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  if (t.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(t.tv_nsec);
}

Deadline Deadline::now() { return Deadline(monotonic_now()); }

Deadline Deadline::after(Duration d) { return Deadline(add_saturating(monotonic_now(), d)); }

bool Deadline::passed() const { return remaining() == Duration{}; }

Duration Deadline::remaining() const { return time_between(monotonic_now(), at_); }

int poll_millis(Duration d) {
  if (d.secs > static_cast<std::uint64_t>(INT_MAX)) return INT_MAX;
  std::uint64_t ms = d.secs * 1000 + d.nanos / 1'000'000;
  return ms > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
}

int Deadline::poll_millis() const {
  Duration left = remaining();
  int ms = qorva::poll_millis(left);
  // Round a partial millisecond up so that poll does not return early.
  if (ms < INT_MAX && left.nanos % 1'000'000 != 0) ms += 1;
  return ms;
}

// An absolute end: after an interruption the sleep goes on to the same point,
// whatever time the handler took.
void sleep_until(const Deadline& end) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end.at_, nullptr) == EINTR) {
  }
}

void sleep_for(Duration d) { sleep_until(Deadline::after(d)); }

}  // namespace qorva

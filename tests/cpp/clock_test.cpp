#include "clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <utility>

namespace qorva {
namespace {

struct SecsCase {
  double secs;
  std::optional<Duration> expected;
};

class DurationFromSecs : public testing::TestWithParam<SecsCase> {};

TEST_P(DurationFromSecs, RoundsToNearestNanosecondOrRefuses) {
  EXPECT_EQ(duration_from_secs(GetParam().secs), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, DurationFromSecs,
                         testing::Values(SecsCase{0.0, Duration{0, 0}}, SecsCase{-0.0, Duration{0, 0}},
                                         SecsCase{1.0, Duration{1, 0}}, SecsCase{1.5, Duration{1, 500'000'000}},
                                         SecsCase{0.005, Duration{0, 5'000'000}}, SecsCase{30.0, Duration{30, 0}},
                                         // Exact halves of a nanosecond: the tie goes to the even count.
                                         SecsCase{1.0 / 1024, Duration{0, 976'562}},
                                         SecsCase{3.0 / 1024, Duration{0, 2'929'688}},
                                         // The double nearest 0.5e-9 lies just above half a nanosecond.
                                         SecsCase{0.5e-9, Duration{0, 1}}, SecsCase{0.49e-9, Duration{0, 0}},
                                         SecsCase{1e-10, Duration{0, 0}}, SecsCase{1e-300, Duration{0, 0}},
                                         SecsCase{-1.0, std::nullopt}, SecsCase{std::nan(""), std::nullopt},
                                         SecsCase{std::numeric_limits<double>::infinity(), std::nullopt},
                                         SecsCase{18446744073709551616.0, std::nullopt},
                                         SecsCase{18446744073709549568.0, Duration{18446744073709549568ull, 0}}));

// About as far as a deadline on the clock reaches: seconds below 2^63.
constexpr Duration kFarthestTimeout{(std::uint64_t{1} << 63) - 1, 999'999'999};

struct OrderCase {
  Duration shorter;
  Duration longer;
};

// Seconds decide before nanoseconds, so a nanosecond count never outweighs a second.
TEST(Duration, OrdersByLengthAndMinPicksTheShorter) {
  const OrderCase cases[] = {
      {Duration{0, 0}, Duration{0, 1}},
      {Duration{0, 999'999'999}, Duration{1, 0}},
      {Duration{1, 999'999'999}, Duration{2, 0}},
      {Duration{5, 7}, Duration{5, 8}},
      {Duration{UINT64_MAX, 999'999'998}, Duration{UINT64_MAX, 999'999'999}},
      {kFarthestTimeout, Duration{UINT64_MAX, 0}},
  };
  for (const OrderCase& c : cases) {
    const std::string where = std::to_string(c.shorter.secs) + "." + std::to_string(c.shorter.nanos);
    EXPECT_LT(c.shorter, c.longer) << where;
    EXPECT_GT(c.longer, c.shorter) << where;
    EXPECT_LE(c.shorter, c.shorter) << where;
    EXPECT_EQ(std::min(c.shorter, c.longer), c.shorter) << where;
    EXPECT_EQ(std::min(c.longer, c.shorter), c.shorter) << where;
    EXPECT_EQ(std::max(c.shorter, c.longer), c.longer) << where;
  }
}

TEST(Duration, SaturatingNanosStopsAtTheLargestCount) {
  const std::pair<Duration, std::uint64_t> cases[] = {
      {Duration{}, 0},
      {Duration{1, 5}, 1'000'000'005},
      {Duration{18'446'744'073, 709'551'615}, UINT64_MAX},  // exactly the largest count
      {Duration{18'446'744'073, 709'551'616}, UINT64_MAX},
      {Duration{18'446'744'074, 0}, UINT64_MAX},
      {kFarthestTimeout, UINT64_MAX},
      {Duration::max(), UINT64_MAX},
  };
  for (const auto& [d, nanos] : cases) EXPECT_EQ(d.saturating_nanos(), nanos) << d.secs << "." << d.nanos;
}

constexpr MonotonicTime at(std::int64_t secs, std::uint32_t nanos) { return MonotonicTime::from_parts(secs, nanos); }

struct BetweenCase {
  MonotonicTime earlier;
  MonotonicTime later;
  Duration expected;
};

TEST(TimeBetween, SubtractsReadingsAndNeverGoesBelowZero) {
  const BetweenCase cases[] = {
      {at(5, 100), at(5, 100), Duration{}},
      {at(5, 100), at(5, 99), Duration{}},  // the later reading is earlier
      {at(6, 0), at(5, 999'999'999), Duration{}},
      {at(5, 100), at(5, 350), Duration{0, 250}},
      {at(5, 999'999'999), at(6, 0), Duration{0, 1}},  // borrows a second
      {at(1, 500'000'000), at(4, 250'000'000), Duration{2, 750'000'000}},
      {at(0, 0), at(INT64_MAX, 999'999'999), Duration{INT64_MAX, 999'999'999}},
  };
  for (const BetweenCase& c : cases) {
    EXPECT_EQ(time_between(c.earlier, c.later), c.expected) << c.expected.secs << "." << c.expected.nanos;
  }
}

struct ShiftCase {
  MonotonicTime from;
  Duration by;
  MonotonicTime later;    // from + by
  MonotonicTime earlier;  // from - by
};

// Moving a point carries and borrows whole seconds and stops at the ends of
// the clock: the last representable point and the origin.
TEST(MonotonicTime, ShiftsSaturateAtTheEndsOfTheClock) {
  const ShiftCase cases[] = {
      {at(7, 5), Duration{}, at(7, 5), at(7, 5)},
      {at(5, 100), Duration{0, 250}, at(5, 350), at(4, 999'999'850)},
      {at(5, 999'999'999), Duration{0, 1}, at(6, 0), at(5, 999'999'998)},
      {at(1, 0), Duration{2, 0}, at(3, 0), MonotonicTime()},
      {at(1, 0), Duration{1, 0}, at(2, 0), MonotonicTime()},
      {at(INT64_MAX, 0), Duration{1, 0}, at(INT64_MAX, 999'999'999), at(INT64_MAX - 1, 0)},
      {at(INT64_MAX, 999'999'999), Duration{0, 1}, at(INT64_MAX, 999'999'999), at(INT64_MAX, 999'999'998)},
      {MonotonicTime(), Duration::max(), at(INT64_MAX, 999'999'999), MonotonicTime()},
  };
  for (const ShiftCase& c : cases) {
    const std::string where = std::to_string(c.by.secs) + "." + std::to_string(c.by.nanos);
    EXPECT_EQ(c.from + c.by, c.later) << where;
    EXPECT_EQ(c.from - c.by, c.earlier) << where;
  }
}

TEST(MonotonicTime, ReadingsNeverGoBack) {
  MonotonicTime last = MonotonicTime::now();
  EXPECT_GT(last, MonotonicTime());  // the clock started before us
  for (int i = 0; i < 1000; ++i) {
    const MonotonicTime now = MonotonicTime::now();
    ASSERT_GE(now, last);
    last = now;
  }
}

struct Law {
  const char* name;
  bool (*holds)();
};

void PrintTo(const Law& law, std::ostream* os) { *os << law.name; }

class ClockLaw : public testing::TestWithParam<Law> {};

TEST_P(ClockLaw, Holds) { EXPECT_TRUE(GetParam().holds()) << GetParam().name; }

constexpr Duration kSecond{1, 0};
constexpr Duration kHour{3600, 0};

INSTANTIATE_TEST_SUITE_P(
    Table, ClockLaw,
    testing::Values(
        Law{"never does not pass", [] { return !Deadline::never().passed(); }},
        Law{"never leaves the longest time", [] { return Deadline::never().remaining() == Duration::max(); }},
        Law{"never polls without limit", [] { return Deadline::never().poll_millis() == -1; }},
        Law{"now has passed", [] { return Deadline::now().passed(); }},
        Law{"now leaves no time", [] { return Deadline::now().remaining() == Duration{}; }},
        Law{"now polls without waiting", [] { return Deadline::now().poll_millis() == 0; }},
        Law{"now comes before any timeout", [] { return Deadline::now() < Deadline::after(Duration{}); }},
        Law{"no timeout is never", [] { return Deadline::after(Duration::max()) < Deadline::never(); }},
        Law{"a longer timeout ends later", [] { return Deadline::after(kSecond) < Deadline::after(kHour); }},
        Law{"min picks the sooner", [] { return std::min(Deadline::never(), Deadline::now()) == Deadline::now(); }},
        Law{"never stays never earlier",
            [] { return Deadline::never().earlier_by(Duration::max()) == Deadline::never(); }},
        Law{"earlier by more than is left has passed",
            [] { return Deadline::after(kSecond).earlier_by(kHour).passed(); }},
        Law{"earlier by all there is gives now",
            [] { return Deadline::after(kSecond).earlier_by(Duration::max()) == Deadline::now(); }},
        Law{"earlier by a part keeps the rest",
            [] {
              const Duration left = Deadline::after(kHour).earlier_by(kSecond).remaining();
              return left <= Duration{3599, 0} && left > Duration{3598, 0};
            }},
        Law{"a cycle reading counts none since itself",
            [] {
              const CycleCount c = CycleCount::now();
              return c.since(c) == 0;
            }},
        Law{"a new cycle rate is unknown", [] { return CycleRate().cycles_within(kHour) == 0; }},
        Law{"a cycle rate is not learnt within 100 ms", [] {
              CycleRate rate;
              const CycleRate::Reading read = rate.read();
              return read.time >= rate.origin().time && rate.cycles_within(kHour) == 0;
            }}));

// What the accept timer trusts the rate for: once learnt, the cycles it gives
// for a time pass in less than that time, read on a window of cycles that
// holds the window of time.
TEST(CycleRate, OnceLearntCountsFewerCyclesThanRunInATime) {
  CycleRate rate;
  sleep_for(Duration::from_millis(110));
  // A preempted reading teaches nothing; one of the next readings does.
  for (int i = 0; i < 100 && rate.cycles_within(kSecond) == 0; ++i) rate.read();
  ASSERT_GT(rate.cycles_within(kSecond), 0u);
  const CycleCount first = CycleCount::now();
  const MonotonicTime start = MonotonicTime::now();
  sleep_for(Duration::from_millis(20));
  const Duration elapsed = time_between(start, MonotonicTime::now());
  const std::uint64_t ran = CycleCount::now().since(first);
  EXPECT_LT(rate.cycles_within(elapsed), ran);
  EXPECT_GT(rate.cycles_within(elapsed), ran / 4) << "a rate far off";
}

TEST(Deadline, RemainingShrinksToZero) {
  const Duration d = Duration::from_millis(1000);
  const Deadline deadline = Deadline::after(d);
  const Duration left = deadline.remaining();
  EXPECT_GT(left, Duration{});
  EXPECT_LE(left, d);
  EXPECT_EQ(Deadline::after(Duration{}).remaining(), Duration{});
}

TEST(UnixTime, ReadsTheWallClock) {
  timespec before{};
  clock_gettime(CLOCK_REALTIME, &before);
  const std::uint64_t now = unix_time_ns();
  timespec after{};
  clock_gettime(CLOCK_REALTIME, &after);
  const auto ns = [](const timespec& t) { return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; };
  EXPECT_GE(now, ns(before));
  EXPECT_LE(now, ns(after));
}

TEST(PollMillis, ConvertsAndSaturates) {
  EXPECT_EQ(poll_millis(Duration{0, 999'999}), 0);
  EXPECT_EQ(poll_millis(Duration{2, 5'000'000}), 2005);
  EXPECT_EQ(poll_millis(Duration{2147483, 647'000'000}), INT_MAX);
  EXPECT_EQ(poll_millis(Duration{2147483, 0}), 2147483000);
  EXPECT_EQ(poll_millis(kFarthestTimeout), INT_MAX);
  EXPECT_EQ(poll_millis(Duration::max()), INT_MAX);
}

TEST(Deadline, FarDeadlineNeverWraps) {
  Deadline far = Deadline::after(Duration{UINT64_MAX, 999'999'999});
  EXPECT_FALSE(far.passed());
  EXPECT_EQ(far.poll_millis(), INT_MAX);
  EXPECT_TRUE(Deadline::after(Duration{}).passed());
}

}  // namespace
}  // namespace qorva

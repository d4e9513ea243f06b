#include "clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
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
      {kMaxDuration, Duration{UINT64_MAX, 0}},
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
      {kMaxDuration, UINT64_MAX},
  };
  for (const auto& [d, nanos] : cases) EXPECT_EQ(d.saturating_nanos(), nanos) << d.secs << "." << d.nanos;
}

struct BetweenCase {
  timespec earlier;
  timespec later;
  Duration expected;
};

TEST(TimeBetween, SubtractsReadingsAndNeverGoesBelowZero) {
  const BetweenCase cases[] = {
      {{5, 100}, {5, 100}, Duration{}},
      {{5, 100}, {5, 99}, Duration{}},  // the later reading is earlier
      {{6, 0}, {5, 999'999'999}, Duration{}},
      {{5, 100}, {5, 350}, Duration{0, 250}},
      {{5, 999'999'999}, {6, 0}, Duration{0, 1}},  // borrows a second
      {{1, 500'000'000}, {4, 250'000'000}, Duration{2, 750'000'000}},
      {{0, 0}, {INT64_MAX, 999'999'999}, Duration{INT64_MAX, 999'999'999}},
  };
  for (const BetweenCase& c : cases) {
    EXPECT_EQ(time_between(c.earlier, c.later), c.expected) << c.earlier.tv_sec << " " << c.later.tv_sec;
  }
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
  EXPECT_EQ(poll_millis(kMaxDuration), INT_MAX);
}

TEST(Deadline, FarDeadlineNeverWraps) {
  Deadline far = Deadline::after(Duration{UINT64_MAX, 999'999'999});
  EXPECT_FALSE(far.passed());
  EXPECT_EQ(far.poll_millis(), INT_MAX);
  EXPECT_TRUE(Deadline::after(Duration{}).passed());
}

}  // namespace
}  // namespace qorva

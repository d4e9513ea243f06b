#include "clock.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

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

INSTANTIATE_TEST_SUITE_P(
    Table, DurationFromSecs,
    testing::Values(SecsCase{0.0, Duration{0, 0}}, SecsCase{-0.0, Duration{0, 0}},
                    SecsCase{1.0, Duration{1, 0}}, SecsCase{1.5, Duration{1, 500'000'000}},
                    SecsCase{0.005, Duration{0, 5'000'000}}, SecsCase{30.0, Duration{30, 0}},
                    // Exact halves of a nanosecond: the tie goes to the even count.
                    SecsCase{1.0 / 1024, Duration{0, 976'562}}, SecsCase{3.0 / 1024, Duration{0, 2'929'688}},
                    // The double nearest 0.5e-9 lies just above half a nanosecond.
                    SecsCase{0.5e-9, Duration{0, 1}}, SecsCase{0.49e-9, Duration{0, 0}}, SecsCase{1e-10, Duration{0, 0}},
                    SecsCase{1e-300, Duration{0, 0}}, SecsCase{-1.0, std::nullopt},
                    SecsCase{std::nan(""), std::nullopt},
                    SecsCase{std::numeric_limits<double>::infinity(), std::nullopt},
                    SecsCase{18446744073709551616.0, std::nullopt},
                    SecsCase{18446744073709549568.0, Duration{18446744073709549568ull, 0}}));

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

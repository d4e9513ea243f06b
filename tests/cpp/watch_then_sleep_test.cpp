#include "watch_then_sleep.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "publisher.h"
#include "ring.h"
#include "subscriber.h"
#include "support/peers.h"
#include "support/subscriber_fixture.h"
#include "support/transport_support.h"

namespace qorva {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

// The window after each sleep, from a new one: doubled after a sleep that
// ended within the longest window, halved after one that did not, dropped to
// none below the shortest, and never outside the shortest and the longest.
TEST(WatchWindow, FollowsTheSleepsItIsTold) {
  struct Case {
    const char* name;
    std::vector<bool> sleeps_within_longest;
    std::uint64_t nanos;
  };
  const Case cases[] = {
      {"a new window is the longest", {}, 50'000},
      {"doubled no further than the longest", {true}, 50'000},
      {"halved", {false}, 25'000},
      {"halved three times", {false, false, false}, 6'250},
      {"dropped below the shortest", {false, false, false, false}, 0},
      {"stays dropped", {false, false, false, false, false}, 0},
      {"from none to the shortest", {false, false, false, false, true}, 5'000},
      {"doubled from the shortest", {false, false, false, false, true, true}, 10'000},
      {"doubled", {false, false, false, true}, 12'500},
      {"doubled back to the longest", {false, true}, 50'000},
  };
  for (const Case& c : cases) {
    WatchWindow window;
    for (bool within : c.sleeps_within_longest) window.after_sleep(within);
    EXPECT_EQ(window.length().saturating_nanos(), c.nanos) << c.name;
  }
}

// The wait as a subscriber runs it.
class WatchThenSleepTest : public SubscriberTest {};

TEST_F(WatchThenSleepTest, BlockingReceiveIsWokenByAPublish) {
  start_publisher();
  auto subscriber = subscribe();
  std::jthread later([&] {
    std::this_thread::sleep_for(50ms);
    publish("late");
  });
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->receive_into(out));
  EXPECT_EQ(text(out), "late");
  EXPECT_EQ(RingBufferPeer::exchange_wakeup_armed(ring(), 0, 0), 0u);  // disarmed on waking
}

std::chrono::nanoseconds thread_cpu_time() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// A blocked receive watches the tail for at most 50 us, then sleeps: two
// seconds of waiting, timed and untimed, cost next to no processor time.
TEST_F(WatchThenSleepTest, BlockedReceiveSleepsOnceItsWatchIsOver) {
  start_publisher();
  auto subscriber = subscribe();
  std::vector<std::byte> out;
  const auto before = thread_cpu_time();
  auto got = subscriber->receive_timeout_into(kSecond, out);
  ASSERT_TRUE(got);
  EXPECT_FALSE(*got);
  std::jthread later([&] {
    std::this_thread::sleep_for(1s);
    publish("late");
  });
  ASSERT_TRUE(subscriber->receive_into(out));
  EXPECT_EQ(text(out), "late");
  EXPECT_LT(thread_cpu_time() - before, 200ms);
}

TEST_F(WatchThenSleepTest, WaitReadableTimesOutQuietly) {
  start_publisher();
  auto subscriber = subscribe();
  auto readable = subscriber->wait_readable(Deadline::after(Duration::from_millis(20)));
  ASSERT_TRUE(readable);
  EXPECT_FALSE(*readable);
  EXPECT_EQ(RingBufferPeer::exchange_wakeup_armed(ring(), 0, 0), 0u);
}

TEST_F(WatchThenSleepTest, ArmWakeupAnswersTrueWhenAMessageIsWaiting) {
  start_publisher();
  auto subscriber = subscribe();
  publish("a");
  EXPECT_TRUE(subscriber->arm_wakeup());
  EXPECT_EQ(RingBufferPeer::exchange_wakeup_armed(ring(), 0, 0), 0u);
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
  EXPECT_FALSE(subscriber->arm_wakeup());
  EXPECT_EQ(RingBufferPeer::exchange_wakeup_armed(ring(), 0, 1), 1u);
}

TEST_F(WatchThenSleepTest, DrainWakeupConsumesOneUnitAtATime) {
  start_publisher();
  auto subscriber = subscribe();
  EXPECT_EQ(subscriber->drain_wakeup(), false);
  ASSERT_FALSE(subscriber->arm_wakeup());
  publish("a");
  EXPECT_EQ(subscriber->drain_wakeup(), true);
  EXPECT_EQ(subscriber->drain_wakeup(), false);
  EXPECT_NE(subscriber->wake_fd(), subscriber->stream_fd());
}

}  // namespace
}  // namespace qorva

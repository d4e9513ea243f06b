#include "subscriber.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "publisher.h"
#include "ring.h"
#include "subscription.h"
#include "transport_support.h"

namespace qorva {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

constexpr Duration kSecond{1, 0};

class SubscriberTest : public testing::Test {
 protected:
  void start_publisher(std::uint32_t capacity = 8, std::uint32_t slot_size = 64, std::uint32_t max_subscribers = 4) {
    config_ = small_config(dir_.path(), capacity, slot_size, max_subscribers);
    auto created = Publisher::create("t", config_);
    ASSERT_TRUE(created);
    publisher_ = std::move(*created);
  }
  std::unique_ptr<Subscriber> subscribe(StartPosition start = StartPosition::tail()) {
    auto connected = Subscriber::connect_with("t", config_, kSecond, start);
    if (!connected) ADD_FAILURE() << "connect_with failed";
    return connected ? std::move(*connected) : nullptr;
  }
  void publish(std::string_view message) { ASSERT_TRUE(publisher_->publish(view(bytes(message)))); }
  void publish_n(int n) {
    for (int i = 0; i < n; ++i) publish("m" + std::to_string(i));
  }
  RingBuffer ring() {
    auto r = RingBuffer::open(dir_ / "t/ring.mmap");
    if (!r) std::abort();
    return std::move(*r);
  }

  TempDir dir_;
  TopicConfig config_ = small_config(dir_.path());
  std::unique_ptr<Publisher> publisher_;
};

TEST_F(SubscriberTest, ZeroTimeoutWithoutPublisherTimesOutNamingTheTopic) {
  const auto start = std::chrono::steady_clock::now();
  auto connected = Subscriber::connect_with("nobody \"here\"", config_, Duration{}, StartPosition::tail());
  ASSERT_FALSE(connected);
  const auto* timeout = connected.error().get_if<Error::ConnectTimeout>();
  ASSERT_NE(timeout, nullptr);
  EXPECT_EQ(timeout->what, "nobody \"here\"");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(SubscriberTest, InvalidTopicIsRefusedAtOnceNotRetried) {
  const auto start = std::chrono::steady_clock::now();
  auto connected = Subscriber::connect_with("../t", config_, Duration{10, 0}, StartPosition::tail());
  ASSERT_FALSE(connected);
  EXPECT_TRUE(is_io_text(connected.error(), io_text::kInvalidTopicName));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(SubscriberTest, WaitsForAPublisherThatAppearsLater) {
  std::jthread later([&] {
    std::this_thread::sleep_for(50ms);
    start_publisher();
  });
  auto connected = Subscriber::connect_with("t", config_, Duration{5, 0}, StartPosition::tail());
  EXPECT_TRUE(connected);
}

TEST_F(SubscriberTest, FullTopicRefusesAtOnceAndAFreedSlotIsReused) {
  start_publisher(8, 64, 2);
  auto a = subscribe();
  auto b = subscribe();
  EXPECT_EQ(a->cursor_idx(), 0u);
  EXPECT_EQ(b->cursor_idx(), 1u);
  auto refused = Subscriber::connect_with("t", config_, Duration{5, 0}, StartPosition::tail());
  ASSERT_FALSE(refused);
  const auto* full = refused.error().get_if<Error::TooManySubscribers>();
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->slots, 2u);
  a.reset();
  auto c = subscribe();
  EXPECT_EQ(c->cursor_idx(), 0u);
}

TEST_F(SubscriberTest, RingWithoutCursorSlotsHasRoomForNone) {
  start_publisher(8, 64, 0);
  auto refused = Subscriber::connect_with("t", config_, kSecond, StartPosition::tail());
  ASSERT_FALSE(refused);
  const auto* full = refused.error().get_if<Error::TooManySubscribers>();
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->slots, 0u);
}

TEST_F(SubscriberTest, GeometryComesFromTheRingFileNotTheConfig) {
  start_publisher(8, 48, 4);
  TopicConfig other = small_config(dir_.path(), 1024, 4096, 64);
  auto connected = Subscriber::connect_with("t", other, kSecond, StartPosition::tail());
  ASSERT_TRUE(connected);
  EXPECT_EQ((*connected)->max_payload_size(), 48u);
}

struct StartCase {
  const char* name;
  int published;
  StartPosition start;
  std::uint64_t expected_cursor;
  const char* first_message;  // null: nothing to read yet
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class StartPositions : public SubscriberTest, public testing::WithParamInterface<StartCase> {};

TEST_P(StartPositions, ChooseTheCursorAndTheFirstMessage) {
  const StartCase& c = GetParam();
  start_publisher(8);
  publish_n(c.published);
  auto subscriber = subscribe(c.start);
  EXPECT_EQ(subscriber->cursor(), c.expected_cursor);
  EXPECT_EQ(ring().load_cursor(static_cast<std::uint32_t>(subscriber->cursor_idx())), c.expected_cursor);
  std::vector<std::byte> out;
  if (c.first_message == nullptr) {
    EXPECT_FALSE(subscriber->try_receive_into(out));
  } else {
    ASSERT_TRUE(subscriber->try_receive_into(out));
    EXPECT_EQ(text(out), c.first_message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartPositions,
    testing::Values(StartCase{"Tail", 5, StartPosition::tail(), 5, nullptr},
                    StartCase{"HistoryWithinTheRing", 5, StartPosition::history(2), 3, "m3"},
                    StartCase{"HistoryBeyondTheTail", 5, StartPosition::history(9), 0, "m0"},
                    // Below the oldest held message: the read skips forward to
                    // the newest message of the cursor's slot.
                    StartCase{"HistoryBeyondTheRing", 12, StartPosition::history(12), 0, "m8"},
                    StartCase{"FromOldestInRing", 12, StartPosition::from(4), 4, "m4"},
                    StartCase{"FromAboveTheTail", 3, StartPosition::from(7), 7, nullptr}),
    [](const testing::TestParamInfo<StartCase>& info) { return info.param.name; });

TEST_F(SubscriberTest, FromBelowTheRingWithoutLogIsTooOldAndFreesTheSlot) {
  start_publisher(8);
  publish_n(12);
  auto refused = Subscriber::connect_with("t", config_, kSecond, StartPosition::from(3));
  ASSERT_FALSE(refused);
  const auto* too_old = refused.error().get_if<Error::CursorTooOld>();
  ASSERT_NE(too_old, nullptr);
  EXPECT_EQ(too_old->cursor, 3u);
  EXPECT_EQ(too_old->oldest, 4u);
  EXPECT_EQ(ring().load_cursor(0), ring_format::kFreeCursor);
  EXPECT_EQ(subscribe()->cursor_idx(), 0u);
}

TEST_F(SubscriberTest, FromAboveTheTailReceivesOnceTheTailPassesIt) {
  start_publisher(8);
  auto subscriber = subscribe(StartPosition::from(3));
  publish_n(3);
  std::vector<std::byte> out;
  EXPECT_FALSE(subscriber->try_receive_into(out));
  EXPECT_EQ(subscriber->lag(), 0u);
  publish("m3");
  ASSERT_TRUE(subscriber->try_receive_into(out));
  EXPECT_EQ(text(out), "m3");
}

TEST_F(SubscriberTest, ReadyMessageIsReadWithoutWaiting) {
  start_publisher();
  auto subscriber = subscribe();
  publish("hello");
  EXPECT_EQ(subscriber->lag(), 1u);
  // Cursor below the tail: wait_readable answers at once and leaves the flag off.
  auto readable = subscriber->wait_readable(-1);
  ASSERT_TRUE(readable);
  EXPECT_TRUE(*readable);
  EXPECT_EQ(ring().exchange_wakeup_armed(0, 0), 0u);
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->receive_into(out));
  EXPECT_EQ(text(out), "hello");
  EXPECT_EQ(subscriber->cursor(), 1u);
  EXPECT_EQ(subscriber->lag(), 0u);
  EXPECT_EQ(ring().load_cursor(0), 1u);
}

TEST_F(SubscriberTest, EmptyMessageIsAMessage) {
  start_publisher();
  auto subscriber = subscribe();
  ASSERT_TRUE(publisher_->publish({}));
  std::vector<std::byte> out = bytes("stale");
  EXPECT_TRUE(subscriber->try_receive_into(out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(subscriber->cursor(), 1u);
}

TEST_F(SubscriberTest, BlockingReceiveIsWokenByAPublish) {
  start_publisher();
  auto subscriber = subscribe();
  std::jthread later([&] {
    std::this_thread::sleep_for(50ms);
    publish("late");
  });
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->receive_into(out));
  EXPECT_EQ(text(out), "late");
  EXPECT_EQ(ring().exchange_wakeup_armed(0, 0), 0u);  // disarmed on waking
}

TEST_F(SubscriberTest, ReceiveTimeoutGivesFalseWhenNothingComes) {
  start_publisher();
  auto subscriber = subscribe();
  std::vector<std::byte> out;
  auto start = std::chrono::steady_clock::now();
  auto got = subscriber->receive_timeout_into(Duration{}, out);
  ASSERT_TRUE(got);
  EXPECT_FALSE(*got);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
  start = std::chrono::steady_clock::now();
  got = subscriber->receive_timeout_into(Duration{0, 60'000'000}, out);
  ASSERT_TRUE(got);
  EXPECT_FALSE(*got);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 55ms);
  EXPECT_LT(waited, 1s);
  // A huge timeout never wraps into the past.
  publish("x");
  got = subscriber->receive_timeout_into(kMaxDuration, out);
  ASSERT_TRUE(got);
  EXPECT_TRUE(*got);
}

TEST_F(SubscriberTest, WaitReadableTimesOutQuietly) {
  start_publisher();
  auto subscriber = subscribe();
  auto readable = subscriber->wait_readable(20);
  ASSERT_TRUE(readable);
  EXPECT_FALSE(*readable);
  EXPECT_EQ(ring().exchange_wakeup_armed(0, 0), 0u);
}

TEST_F(SubscriberTest, ShortSliceConsumesTheMessageAndReportsBothLengths) {
  start_publisher();
  auto subscriber = subscribe();
  publish("twelve bytes");
  publish("next");
  std::vector<std::byte> slice(11, std::byte{0x55});
  auto short_read = subscriber->try_receive_one_into_slice(slice);
  ASSERT_FALSE(short_read);
  const auto* too_large = short_read.error().get_if<Error::MessageTooLarge>();
  ASSERT_NE(too_large, nullptr);
  EXPECT_EQ(too_large->size, 12u);
  EXPECT_EQ(too_large->limit, 11u);
  EXPECT_EQ(slice, std::vector<std::byte>(11, std::byte{0x55}));
  auto next = subscriber->try_receive_one_into_slice(slice);
  ASSERT_TRUE(next);
  ASSERT_EQ(*next, std::optional<std::size_t>(4));
  EXPECT_EQ(text(std::span(slice).first(4)), "next");
  EXPECT_EQ(slice[4], std::byte{0x55});  // bytes past the message stay
  auto none = subscriber->try_receive_one_into_slice(slice);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->has_value());
}

TEST_F(SubscriberTest, SubscriptionReadsIntoACallerSlice) {
  start_publisher();
  subscription::Subscription subscription(subscribe());
  publish("abc");
  std::vector<std::byte> slice(8);
  auto got = subscription.try_receive_into_slice(slice);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, std::optional<std::size_t>(3));
  EXPECT_EQ(subscription.subscriber().cursor(), 1u);
}

TEST_F(SubscriberTest, PollRecvNeedsAWakeupUnit) {
  start_publisher();
  auto subscriber = subscribe();
  publish("a");
  auto none = subscriber->poll_recv();
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->has_value());  // a message waits, but no unit was pending
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->try_receive_into(out));
  ASSERT_FALSE(subscriber->arm_wakeup());
  publish("b");
  publish("c");  // flag already swapped off: one unit in all
  auto got = subscriber->poll_recv();
  ASSERT_TRUE(got);
  ASSERT_TRUE(got->has_value());
  EXPECT_EQ(text(**got), "b");
  got = subscriber->poll_recv();
  ASSERT_TRUE(got);
  EXPECT_FALSE(got->has_value());
}

TEST_F(SubscriberTest, ArmWakeupAnswersTrueWhenAMessageIsWaiting) {
  start_publisher();
  auto subscriber = subscribe();
  publish("a");
  EXPECT_TRUE(subscriber->arm_wakeup());
  EXPECT_EQ(ring().exchange_wakeup_armed(0, 0), 0u);
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->try_receive_into(out));
  EXPECT_FALSE(subscriber->arm_wakeup());
  EXPECT_EQ(ring().exchange_wakeup_armed(0, 1), 1u);
}

TEST_F(SubscriberTest, DrainWakeupConsumesOneUnitAtATime) {
  start_publisher();
  auto subscriber = subscribe();
  EXPECT_EQ(subscriber->drain_wakeup(), false);
  ASSERT_FALSE(subscriber->arm_wakeup());
  publish("a");
  EXPECT_EQ(subscriber->drain_wakeup(), true);
  EXPECT_EQ(subscriber->drain_wakeup(), false);
  EXPECT_NE(subscriber->wake_fd(), subscriber->stream_fd());
}

// A new publisher over the same ring while the old connection stays up: only
// consuming a unit reveals the restart.
TEST_F(SubscriberTest, ConsumedUnitAfterARestartReportsTheNewGeneration) {
  start_publisher();
  publish_n(2);  // the subscribers' cursors stay above the reset tail
  auto waiting = subscribe();
  auto polling = subscribe();
  ASSERT_FALSE(waiting->arm_wakeup());
  ASSERT_FALSE(polling->arm_wakeup());
  auto reused = RingBuffer::create_or_reuse(dir_ / "t/ring.mmap", 8, 64, 4);
  ASSERT_TRUE(reused);
  EXPECT_EQ(reused->load_generation(), 2u);
  publish("after the restart");
  auto readable = waiting->wait_readable(1000);
  ASSERT_FALSE(readable);
  EXPECT_TRUE(is_io_text(readable.error(), io_text::kPublisherRestarted));
  EXPECT_EQ(io_error(readable.error())->kind(), IoKind::UnexpectedEof);
  auto polled = polling->poll_recv();
  ASSERT_FALSE(polled);
  EXPECT_TRUE(is_io_text(polled.error(), io_text::kPublisherRestarted));
}

TEST_F(SubscriberTest, TeardownFreesTheSlot) {
  start_publisher();
  auto subscriber = subscribe();
  publish("a");  // accepted
  subscriber.reset();
  EXPECT_EQ(ring().load_cursor(0), ring_format::kFreeCursor);
  EXPECT_EQ(publisher_->stats().connected_sockets, 1u);
  publish("b");
  EXPECT_EQ(publisher_->stats().connected_sockets, 0u);
}

TEST_F(SubscriberTest, ForkedChildDestroyingItsCopyLeavesTheSlotHeld) {
  start_publisher();
  auto subscriber = subscribe();
  Child child([&] {
    subscriber.reset();
    return 0;
  });
  ASSERT_EQ(child.wait(5000ms), 0);
  EXPECT_EQ(ring().load_cursor(0), 0u);
  publish("still mine");
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->try_receive_into(out));
  EXPECT_EQ(text(out), "still mine");
}

}  // namespace
}  // namespace qorva

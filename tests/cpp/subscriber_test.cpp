#include "subscriber.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "logging.h"
#include "publisher.h"
#include "ring.h"
#include "subscription.h"
#include "sys.h"
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
  const TopicConfig config = config_;  // the thread below sets config_ anew
  std::jthread later([&] {
    std::this_thread::sleep_for(50ms);
    start_publisher();
  });
  auto connected = Subscriber::connect_with("t", config, Duration{5, 0}, StartPosition::tail());
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

std::chrono::nanoseconds thread_cpu_time() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// A blocked receive watches the tail for at most 50 us, then sleeps: two
// seconds of waiting, timed and untimed, cost next to no processor time.
TEST_F(SubscriberTest, BlockedReceiveSleepsOnceItsWatchIsOver) {
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

// A slot that a writer killed in the middle of a write left busy, under a
// number of another numbering above the tail: the message is stepped over,
// and a publisher under Backpressure::Error is never held back by it.
TEST_F(SubscriberTest, SlotLeftBusyByAKilledWriterIsSteppedOver) {
  start_publisher(8, 64, 4);
  publish_n(6);
  auto subscriber = subscribe(StartPosition::from(2));
  {
    const std::uint64_t offset = ring_format::header_size(4) + 3 * ring_format::stride(64) + ring_format::kSeqOffset;
    UniqueFd fd(::open((dir_ / "t/ring.mmap").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(fd);
    void* map = ::mmap(nullptr, offset + 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    ASSERT_NE(map, MAP_FAILED);
    std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(static_cast<char*>(map) + offset))
        .store(11 | ring_format::kBusyBit);
    ::munmap(map, offset + 8);
  }
  std::vector<std::byte> out;
  for (const char* expected : {"m2", "m4", "m5"}) {
    ASSERT_TRUE(subscriber->receive_into(out));
    EXPECT_EQ(text(out), expected);
  }
  // Nothing more: the wait sleeps instead of spinning.
  const std::int64_t cpu_before = thread_cpu_nanos();
  auto got = subscriber->receive_timeout_into(Duration{0, 200'000'000}, out);
  const std::int64_t cpu_used = thread_cpu_nanos() - cpu_before;
  ASSERT_TRUE(got);
  EXPECT_FALSE(*got);
  EXPECT_LT(cpu_used, 50'000'000);
  for (int i = 6; i < 14; ++i) publish("m" + std::to_string(i));
}

// --- Replay from the log ---

class SubscriberReplayTest : public SubscriberTest {
 protected:
  void start_logged_publisher(std::uint64_t max_segment_bytes = 64ull << 20) {
    config_ = logged_config(dir_.path(), 8, Backpressure::Error, max_segment_bytes);
    auto created = Publisher::create("t", config_);
    ASSERT_TRUE(created);
    publisher_ = std::move(*created);
  }
  // Ends the publisher (its log synced) and starts the next one over the same files.
  void restart_publisher() {
    publisher_.reset();
    auto created = Publisher::create("t", config_);
    ASSERT_TRUE(created);
    publisher_ = std::move(*created);
  }
  std::vector<std::filesystem::path> segments() const {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "t/wal")) found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
  }
};

// Records still in the publisher's write buffer when the subscriber connects
// are waited for, not skipped.
TEST_F(SubscriberReplayTest, ReplaysBelowTheRingThenReadsTheRingWithoutLoss) {
  start_logged_publisher();
  publish_n(30);
  auto subscriber = subscribe(StartPosition::from(3));
  EXPECT_EQ(subscriber->cursor(), 3u);
  EXPECT_EQ(ring().load_cursor(0), 30u);  // the tail while replaying
  std::vector<std::byte> out;
  for (int i = 3; i < 30; ++i) {
    ASSERT_TRUE(subscriber->receive_into(out)) << i;
    ASSERT_EQ(text(out), "m" + std::to_string(i));
  }
  publish("m30");
  ASSERT_TRUE(subscriber->receive_into(out));
  EXPECT_EQ(text(out), "m30");
  EXPECT_EQ(ring().load_cursor(0), 31u);
}

TEST_F(SubscriberReplayTest, ConnectSaysItReplays) {
  start_logged_publisher();
  publish_n(20);
  testing_support::TempDir log_dir;
  int fd = ::open((log_dir / "log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int previous = set_log_fd_for_testing(fd);
  init_logging("info");
  auto subscriber = subscribe(StartPosition::from(2));
  set_log_fd_for_testing(previous);
  ::close(fd);
  std::ifstream in(log_dir / "log");
  std::string lines((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(lines.find("subscriber connected topic=\"t\" cursor=2 cursor_idx=0 generation=1 replaying_via_wal=true"),
            std::string::npos)
      << lines;
}

TEST_F(SubscriberReplayTest, EveryReceivePathServesReplayedRecordsFirst) {
  start_logged_publisher();
  publish_n(20);
  restart_publisher();  // everything synced to the files
  auto subscriber = subscribe(StartPosition::from(0));
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->try_receive_into(out));
  EXPECT_EQ(text(out), "m0");
  auto timed = subscriber->receive_timeout_into(Duration{}, out);
  ASSERT_TRUE(timed && *timed);
  EXPECT_EQ(text(out), "m1");
  auto polled = subscriber->poll_recv();  // no wakeup unit needed for a record
  ASSERT_TRUE(polled && polled->has_value());
  EXPECT_EQ(text(**polled), "m2");
  std::vector<std::byte> slice(2);
  auto short_read = subscriber->try_receive_one_into_slice(slice);  // "m3" fits
  ASSERT_TRUE(short_read);
  EXPECT_EQ(*short_read, std::optional<std::size_t>(2));
  std::vector<std::byte> tiny(1);
  auto too_large = subscriber->try_receive_one_into_slice(tiny);
  ASSERT_FALSE(too_large);
  const auto* sizes = too_large.error().get_if<Error::MessageTooLarge>();
  ASSERT_NE(sizes, nullptr);
  EXPECT_EQ(sizes->size, 2u);
  EXPECT_EQ(sizes->limit, 1u);
  EXPECT_EQ(subscriber->cursor(), 5u);  // "m4" was consumed
  EXPECT_TRUE(subscriber->arm_wakeup());  // records still to come
  ASSERT_TRUE(subscriber->receive_into(out));
  EXPECT_EQ(text(out), "m5");
}

TEST_F(SubscriberReplayTest, CursorBelowTheFirstSegmentIsTheLogsOwnError) {
  start_logged_publisher(200);  // a few records per segment
  publish_n(30);
  restart_publisher();
  auto files = segments();
  ASSERT_GE(files.size(), 3u);
  std::filesystem::remove(files[0]);
  const std::uint64_t first = std::stoull(files[1].stem().string());
  auto refused = Subscriber::connect_with("t", config_, kSecond, StartPosition::from(0));
  ASSERT_FALSE(refused);
  const auto* log_error = refused.error().get_if<Error::Wal>();
  ASSERT_NE(log_error, nullptr);
  const auto* too_old = std::get_if<wal::WalError::CursorTooOld>(&log_error->error.value);
  ASSERT_NE(too_old, nullptr);
  EXPECT_EQ(too_old->cursor, 0u);
  EXPECT_EQ(too_old->oldest, first);
  EXPECT_EQ(ring().load_cursor(0), ring_format::kFreeCursor);
  auto served = Subscriber::connect_with("t", config_, kSecond, StartPosition::from(first));
  ASSERT_TRUE(served);
  std::vector<std::byte> out;
  ASSERT_TRUE((*served)->receive_into(out));
  EXPECT_EQ(text(out), "m" + std::to_string(first));
}

TEST_F(SubscriberReplayTest, LogWithoutSegmentsIsNoLog) {
  start_publisher(8);
  publish_n(12);
  std::filesystem::create_directories(dir_ / "t/wal");
  std::ofstream(dir_ / "t/wal/notes.txt") << "x";
  std::ofstream(dir_ / "t/wal/-5.seg") << "x";
  auto refused = Subscriber::connect_with("t", config_, kSecond, StartPosition::from(1));
  ASSERT_FALSE(refused);
  const auto* too_old = refused.error().get_if<Error::CursorTooOld>();
  ASSERT_NE(too_old, nullptr);
  EXPECT_EQ(too_old->oldest, 4u);
}

TEST_F(SubscriberReplayTest, ReplayErrorIsReportedOnceThenTheRingServes) {
  start_logged_publisher(300);
  publish_n(30);
  restart_publisher();
  // Damage the second record of the first segment (past its header and the
  // first record of 24 + 2 + 4 bytes).
  auto files = segments();
  {
    std::fstream f(files[0], std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(32 + 30 + 25);
    f.put('!');
  }
  auto subscriber = subscribe(StartPosition::from(0));
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->receive_into(out));
  EXPECT_EQ(text(out), "m0");
  auto failed = subscriber->receive_into(out);
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().get_if<Error::Wal>(), nullptr);
  EXPECT_EQ(ring().load_cursor(0), 30u);  // left at the connect's tail
  // The ring serves from the cursor reached: what it still holds of cursor 1's
  // slot is newer, so the read skips forward.
  ASSERT_TRUE(subscriber->receive_into(out));
  EXPECT_EQ(text(out), "m25");
  EXPECT_EQ(subscriber->cursor(), 26u);
}

// Subscribers keep joining from cursors the ring no longer holds while the
// publisher goes on appending to the live segment: every message must come,
// in order, with no spurious log error from a record caught half written.
TEST(SubscriberReplayConcurrent, CatchesUpWithALivePublisherWithoutLoss) {
  TempDir dir;
  const TopicConfig config = logged_config(dir.path(), 16, Backpressure::Error, 64 << 10);
  auto created = Publisher::create("t", config);
  ASSERT_TRUE(created);
  std::unique_ptr<Publisher> publisher = std::move(*created);
  std::atomic<std::uint64_t> published{0};
  std::atomic<bool> done{false};
  std::jthread publishing([&] {
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < end) {
      const std::uint64_t seq = published.load();
      auto r = publisher->publish(view(bytes("m" + std::to_string(seq))));
      if (r) {
        published.store(seq + 1);
      } else {
        ASSERT_NE(r.error().get_if<Error::BusFull>(), nullptr);
      }
    }
    done = true;
  });
  auto join_and_follow = [&] {
    std::mt19937 rng(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    std::vector<std::byte> out;
    int joins = 0;
    while (!done.load()) {
      const std::uint64_t now = published.load();
      const std::uint64_t from = now > 300 ? now - 300 + rng() % 100 : 0;
      auto s = Subscriber::connect_with("t", config, Duration{5, 0}, StartPosition::from(from));
      ASSERT_TRUE(s);
      ++joins;
      int idle_waits = 0;
      for (std::uint64_t expected = from; expected < from + 400;) {
        auto got = (*s)->receive_timeout_into(Duration{0, 200'000'000}, out);
        ASSERT_TRUE(got) << "from " << from << " at " << expected;
        if (!*got) {
          if (done.load()) break;
          ASSERT_LT(++idle_waits, 25) << "from " << from << " at " << expected;
          continue;
        }
        ASSERT_EQ(text(out), "m" + std::to_string(expected)) << "from " << from;
        ++expected;
      }
    }
    EXPECT_GT(joins, 0);
  };
  {
    std::vector<std::jthread> followers;
    for (int i = 0; i < 3; ++i) followers.emplace_back(join_and_follow);
  }
  publishing.join();
  EXPECT_GT(published.load(), 1000u);
}

}  // namespace
}  // namespace qorva

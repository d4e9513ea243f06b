#include "publisher.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>
#include <variant>

#include "logging.h"
#include "ring.h"
#include "subscriber.h"
#include "support/log_capture.h"
#include "support/peers.h"
#include "support/publisher_fixture.h"
#include "support/transport_support.h"
#include "support/wal_test_util.h"
#include "wal/record.h"
#include "wal/segment_name.h"

namespace qorva {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

constexpr Duration kSecond{1, 0};

std::unique_ptr<Subscriber> make_subscriber(const TopicConfig& config, StartPosition start = StartPosition::tail(),
                                            std::string_view topic = "t") {
  auto connected = Subscriber::connect_with(topic, config, kSecond, start);
  if (!connected) ADD_FAILURE() << "Subscriber::connect_with failed";
  return connected ? std::move(*connected) : nullptr;
}

TEST(PublisherCreate, LaysOutTheTopicDirectory) {
  TempDir dir;
  auto publisher = make_publisher(small_config(dir.path()));
  for (const char* file : {"producer.lock", "ring.mmap", "signal.sock"})
    EXPECT_TRUE(std::filesystem::exists(dir / "t/" + file)) << file;
  EXPECT_FALSE(std::filesystem::exists(dir / "t/wal"));
  RingBuffer ring = open_ring(dir);
  EXPECT_EQ(ring.load_generation(), 1u);
  EXPECT_EQ(ring.load_tail(), 0u);
  EXPECT_FALSE(publisher->stats().wal.has_value());
}

TEST(PublisherCreate, LogsTheCreationWithItsSettings) {
  TempDir dir;
  LogCapture log;
  TopicConfig config;
  config.dir = dir.path();
  config.wal.enabled = false;
  auto publisher = make_publisher(config, "orders");
  EXPECT_NE(log.lines().find(" INFO qorva::publisher: publisher created topic=\"orders\" ring_capacity=256 "
                             "slot_size=65536 wal_enabled=false backpressure=Error"),
            std::string::npos)
      << log.lines();
}

TEST(PublisherCreate, SecondPublisherOfATopicIsRefusedBeforeTheRing) {
  TempDir dir;
  auto first = make_publisher(small_config(dir.path()));
  auto second = Publisher::create("t", small_config(dir.path(), 16));
  ASSERT_FALSE(second);
  const auto* refused = second.error().get_if<Error::AlreadyPublishing>();
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->topic, "t");
  EXPECT_EQ(open_ring(dir).load_generation(), 1u);
  EXPECT_EQ(open_ring(dir).capacity(), 8u);
}

TEST(PublisherCreate, ReusesAMatchingRingAndRecreatesAnother) {
  TempDir dir;
  {
    auto publisher = make_publisher(small_config(dir.path()));
    publish_n(*publisher, 3);
  }
  {
    auto publisher = make_publisher(small_config(dir.path()));
    RingBuffer ring = open_ring(dir);
    EXPECT_EQ(ring.load_generation(), 2u);
    EXPECT_EQ(ring.load_tail(), 0u);
  }
  auto publisher = make_publisher(small_config(dir.path(), 16));
  RingBuffer ring = open_ring(dir);
  EXPECT_EQ(ring.load_generation(), 1u);
  EXPECT_EQ(ring.capacity(), 16u);
  for (std::uint32_t i = 0; i < ring.max_subscribers(); ++i) EXPECT_EQ(ring.load_cursor(i), ring_format::kFreeCursor);
}

TEST(PublisherCreate, RefusesUnusableGeometryBeforeTouchingTheDisk) {
  struct Geometry {
    std::uint32_t capacity, slot_size, max_subscribers;
  };
  for (Geometry g : {Geometry{0, 64, 4}, Geometry{0xFFFFFFFF, 0xFFFFFFFF, 16}}) {
    TempDir dir;
    auto created = Publisher::create("t", small_config(dir / "bus", g.capacity, g.slot_size, g.max_subscribers));
    ASSERT_FALSE(created);
    EXPECT_TRUE(is_io_text(created.error(), "out of range integral type conversion attempted"));
    EXPECT_EQ(io_error(created.error())->kind(), IoKind::InvalidInput);
    EXPECT_FALSE(std::filesystem::exists(dir / "bus"));
  }
}

TEST(PublisherCreate, RefusesInvalidTopicNamesBeforeTouchingTheDisk) {
  TempDir dir;
  for (std::string_view topic : {"", ".", "..", "a/b", "/abs"}) {
    auto created = Publisher::create(topic, small_config(dir / "bus"));
    ASSERT_FALSE(created) << topic;
    EXPECT_TRUE(is_io_text(created.error(), "invalid topic name")) << topic;
  }
  auto nul = Publisher::create(std::string_view("a\0b", 3), small_config(dir / "bus"));
  ASSERT_FALSE(nul);
  EXPECT_TRUE(is_io_text(nul.error(), "file name contained an unexpected NUL byte"));
  EXPECT_FALSE(std::filesystem::exists(dir / "bus"));
}

TEST(PublisherCreate, SocketPathOverTheLimitFailsAndReleasesTheLock) {
  TempDir dir;
  std::string deep = dir / std::string(100, 'd');
  auto created = Publisher::create("t", small_config(deep));
  ASSERT_FALSE(created);
  EXPECT_TRUE(is_io_text(created.error(), "path must be shorter than SUN_LEN"));
  // The lock was given back: trying again fails the same way, not as
  // already publishing.
  auto again = Publisher::create("t", small_config(deep));
  ASSERT_FALSE(again);
  EXPECT_TRUE(is_io_text(again.error(), "path must be shorter than SUN_LEN"));
}

TEST(PublisherWait, ZeroSubscribersSucceedAtOnce) {
  TempDir dir;
  auto publisher = make_publisher(small_config(dir.path()));
  EXPECT_TRUE(publisher->wait_for_subscribers(0, Duration{}));
}

TEST(PublisherWait, TimesOutAsAWaitForSubscribers) {
  TempDir dir;
  auto publisher = make_publisher(small_config(dir.path()));
  auto waited = publisher->wait_for_subscribers(1, Duration{});
  ASSERT_FALSE(waited);
  const auto* timeout = waited.error().get_if<Error::ConnectTimeout>();
  ASSERT_NE(timeout, nullptr);
  EXPECT_EQ(timeout->awaited, Error::ConnectTimeout::Awaited::Subscribers);
}

TEST(PublisherWait, ReturnsOnceEnoughSubscribersConnected) {
  TempDir dir;
  TopicConfig config = small_config(dir.path());
  auto publisher = make_publisher(config);
  std::jthread subscribers([&] {
    auto a = make_subscriber(config);
    auto b = make_subscriber(config);
    std::this_thread::sleep_for(300ms);
  });
  EXPECT_TRUE(publisher->wait_for_subscribers(2, Duration{5, 0}));
  EXPECT_EQ(publisher->stats().connected_sockets, 2u);
}

TEST(PublisherStats, LagsPerHeldSlotInSlotOrder) {
  TempDir dir;
  TopicConfig config = small_config(dir.path(), 16);
  auto publisher = make_publisher(config);
  publish_n(*publisher, 10);
  auto a = make_subscriber(config, StartPosition::from(5));
  auto b = make_subscriber(config, StartPosition::from(9));
  auto ahead = make_subscriber(config, StartPosition::from(12));
  TopicStats stats = publisher->stats();
  EXPECT_EQ(stats.tail, 10u);
  EXPECT_EQ(stats.active_subscribers, 3u);
  EXPECT_EQ(stats.lags, (std::vector<std::uint64_t>{5, 1, 0}));
  EXPECT_EQ(stats.connected_sockets, 0u);  // accepted only by the next publish
  EXPECT_EQ(stats.published_total, 10u);
  EXPECT_EQ(publisher->slow_subscribers(1), (std::vector<SlotLag>{{0, 5}, {1, 1}}));
  EXPECT_EQ(publisher->slow_subscribers(0).size(), 3u);
}

TEST(PublisherPublish, PayloadLimitIsTheSlotSize) {
  TempDir dir;
  TopicConfig config = small_config(dir.path(), 8, 64);
  auto publisher = make_publisher(config);
  EXPECT_TRUE(publisher->publish(std::vector<std::byte>(64)));
  // A subscriber waiting to be accepted is not accepted by a refused publish.
  auto subscriber = make_subscriber(config);
  auto refused = publisher->publish(std::vector<std::byte>(65));
  ASSERT_FALSE(refused);
  const auto* too_large = refused.error().get_if<Error::MessageTooLarge>();
  ASSERT_NE(too_large, nullptr);
  EXPECT_EQ(too_large->size, 65u);
  EXPECT_EQ(too_large->limit, 64u);
  TopicStats stats = publisher->stats();
  EXPECT_EQ(stats.connected_sockets, 0u);
  EXPECT_EQ(stats.published_total, 1u);
}

TEST(PublisherPublish, NoHeldSlotMeansNeverFull) {
  TempDir dir;
  auto publisher = make_publisher(small_config(dir.path(), 4));
  publish_n(*publisher, 40);
  EXPECT_EQ(publisher->stats().tail, 40u);
}

TEST(PublisherPublish, SubscriberAboveTheTailDoesNotFillTheRing) {
  TempDir dir;
  TopicConfig config = small_config(dir.path(), 4);
  auto publisher = make_publisher(config);
  auto future = make_subscriber(config, StartPosition::from(6));
  publish_n(*publisher, 10);  // 4..9 pass the cursor only when it is reached
  std::vector<std::byte> out;
  // The ring holds 6..9; a fifth message past the cursor would have been refused.
  ASSERT_TRUE(future->try_receive_deferring_error(out));
  EXPECT_EQ(text(out), "m6");
}

// The publisher keeps the slowest cursor it saw; a holder that moves its
// cursor below it says so, and the very next publish holds back for it.
TEST(PublisherPublish, CursorRewoundBelowTheSlowestSeenHoldsThePublisherBack) {
  TempDir dir;
  TopicConfig config = small_config(dir.path(), 8);
  auto publisher = make_publisher(config);
  publish_n(*publisher, 4);
  auto subscriber = make_subscriber(config);
  publish_n(*publisher, 1);  // accepts it at cursor 4
  RingBufferPeer::rewind_cursor(open_ring(dir), static_cast<std::uint32_t>(SubscriberPeer::cursor_idx(*subscriber)), 1);
  publish_n(*publisher, 4);  // messages 5 to 8; 8 takes the slot of 0
  auto refused = publisher->publish(view(bytes("m9")));
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().get_if<Error::BusFull>(), nullptr);
}

TEST(PublisherPublish, DropOldestNeverRefusesAndLaggardsSkipForward) {
  TempDir dir;
  TopicConfig config = small_config(dir.path(), 4, 64, 4, Backpressure::DropOldest);
  auto publisher = make_publisher(config);
  auto subscriber = make_subscriber(config);
  publish_n(*publisher, 10);
  std::vector<std::byte> out;
  // The ring holds 6..9: the laggard moves to the oldest of them.
  for (const char* expected : {"m6", "m7", "m8", "m9"}) {
    ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
    EXPECT_EQ(text(out), expected);
  }
  EXPECT_FALSE(subscriber->try_receive_deferring_error(out));
}

TEST(PublisherPublishMany, StopsWhereTheRingBecomesFull) {
  TempDir dir;
  TopicConfig config = small_config(dir.path(), 4);
  auto publisher = make_publisher(config);
  auto slowest = make_subscriber(config);
  auto subscriber = make_subscriber(config);
  publish_n(*publisher, 1);
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
  ASSERT_FALSE(subscriber->arm_wakeup());
  std::vector<std::vector<std::byte>> owned;
  for (int i = 0; i < 5; ++i) owned.push_back(bytes("b" + std::to_string(i)));
  std::vector<std::span<const std::byte>> payloads(owned.begin(), owned.end());
  auto written = publisher->publish_many(payloads);
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, 3u);
  TopicStats stats = publisher->stats();
  EXPECT_EQ(stats.published_total, 4u);
  EXPECT_EQ(stats.full_rejected_total, 0u);
  EXPECT_EQ(stats.wakeups_sent_total, 1u);  // one pass for the batch
  EXPECT_EQ(subscriber->drain_wakeup(), true);
  EXPECT_EQ(subscriber->drain_wakeup(), false);
}

TEST(PublisherPublishMany, TooLargePayloadEndsTheBatchAfterTheEarlierOnes) {
  TempDir dir;
  TopicConfig config = small_config(dir.path(), 8, 8);
  auto publisher = make_publisher(config);
  auto subscriber = make_subscriber(config);
  std::vector<std::byte> ok = bytes("ok"), big(9), never = bytes("never");
  std::vector<std::span<const std::byte>> payloads{ok, big, never};
  auto written = publisher->publish_many(payloads);
  ASSERT_FALSE(written);
  const auto* too_large = written.error().get_if<Error::MessageTooLarge>();
  ASSERT_NE(too_large, nullptr);
  EXPECT_EQ(too_large->size, 9u);
  EXPECT_EQ(too_large->limit, 8u);
  EXPECT_EQ(publisher->stats().published_total, 1u);
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
  EXPECT_EQ(text(out), "ok");
  EXPECT_FALSE(subscriber->try_receive_deferring_error(out));
}

TEST(PublisherPublishMany, EmptyBatchAcceptsButWritesNothing) {
  TempDir dir;
  TopicConfig config = small_config(dir.path());
  auto publisher = make_publisher(config);
  auto subscriber = make_subscriber(config);
  ASSERT_FALSE(subscriber->arm_wakeup());
  auto written = publisher->publish_many({});
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, 0u);
  TopicStats stats = publisher->stats();
  EXPECT_EQ(stats.connected_sockets, 1u);
  EXPECT_EQ(stats.wakeups_sent_total, 0u);
  EXPECT_EQ(stats.tail, 0u);
}

TEST(PublisherWakeupPass, WakesOnlyArmedSubscribers) {
  TempDir dir;
  TopicConfig config = small_config(dir.path());
  auto publisher = make_publisher(config);
  auto armed = make_subscriber(config);
  auto idle = make_subscriber(config);
  ASSERT_FALSE(armed->arm_wakeup());
  publish_n(*publisher, 1);
  EXPECT_EQ(publisher->stats().wakeups_sent_total, 1u);
  EXPECT_EQ(armed->drain_wakeup(), true);
  EXPECT_EQ(idle->drain_wakeup(), false);
  // The pass disarmed the flag: the next publish writes nothing more.
  publish_n(*publisher, 1);
  EXPECT_EQ(publisher->stats().wakeups_sent_total, 1u);
}

TEST(PublisherWakeupPass, DropsClientsWhoseSlotWasReleased) {
  TempDir dir;
  LogCapture log;
  TopicConfig config = small_config(dir.path());
  auto publisher = make_publisher(config);
  auto staying = make_subscriber(config);
  auto leaving = make_subscriber(config);
  publish_n(*publisher, 1);
  EXPECT_EQ(publisher->stats().connected_sockets, 2u);
  leaving.reset();
  EXPECT_EQ(publisher->stats().connected_sockets, 2u);  // noticed only by the next pass
  publish_n(*publisher, 1);
  TopicStats stats = publisher->stats();
  EXPECT_EQ(stats.connected_sockets, 1u);
  EXPECT_EQ(stats.subscribers_dropped_total, 1u);
  EXPECT_EQ(stats.active_subscribers, 1u);
  EXPECT_NE(log.lines().find("subscriber dropped (cursor released; clean disconnect) remaining_clients=1"),
            std::string::npos)
      << log.lines();
}

TEST(PublisherWakeupPass, ReclaimedSlotWakesItsNewHolder) {
  TempDir dir;
  TopicConfig config = small_config(dir.path());
  auto publisher = make_publisher(config);
  auto first = make_subscriber(config);
  publish_n(*publisher, 1);  // accepts the first holder of slot 0
  first.reset();
  auto second = make_subscriber(config);
  ASSERT_EQ(SubscriberPeer::cursor_idx(*second), 0u);
  std::vector<std::byte> out;
  std::jthread publishing([&] {
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(publisher->publish(view(bytes("for the new holder"))));
  });
  auto received = second->receive_timeout_into(Duration{5, 0}, out);
  ASSERT_TRUE(received);
  EXPECT_TRUE(*received);
  EXPECT_EQ(text(out), "for the new holder");
  publishing.join();
  TopicStats stats = publisher->stats();
  EXPECT_EQ(stats.connected_sockets, 1u);
  EXPECT_EQ(stats.subscribers_dropped_total, 1u);
}

TEST(PublisherTeardown, LeavesTheFilesAndHangsUpOnSubscribers) {
  TempDir dir;
  TopicConfig config = small_config(dir.path());
  auto publisher = make_publisher(config);
  auto subscriber = make_subscriber(config);
  publish_n(*publisher, 2);
  publisher.reset();
  for (const char* file : {"producer.lock", "ring.mmap", "signal.sock"})
    EXPECT_TRUE(std::filesystem::exists(dir / "t/" + file)) << file;
  RingBuffer ring = open_ring(dir);
  EXPECT_EQ(ring.load_tail(), 2u);
  EXPECT_EQ(ring.load_cursor(0), 0u);
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->receive_into(out));
  ASSERT_TRUE(subscriber->receive_into(out));
  auto ended = subscriber->receive_into(out);
  ASSERT_FALSE(ended);
  EXPECT_TRUE(is_io_text(ended.error(), "publisher disconnected"));
  EXPECT_EQ(io_error(ended.error())->kind(), IoKind::UnexpectedEof);
  EXPECT_TRUE(ended.error().is(IoOutcome::PublisherDisconnected));
  EXPECT_TRUE(publisher_gone(ended.error()));
  // The lock was released: a new publisher takes the topic over.
  EXPECT_TRUE(Publisher::create("t", config));
}

// A copy inherited by a forked child only unmaps and closes: the parent keeps
// its lock, its log and its subscribers.
TEST(PublisherFork, ChildDestroyingItsCopyLeavesTheParentsPublisherWhole) {
  TempDir dir;
  TopicConfig config = logged_config(dir.path());
  auto publisher = make_publisher(config);
  auto subscriber = make_subscriber(config);
  publish_n(*publisher, 1);
  Child child([&] {
    publisher.reset();
    return 0;
  });
  ASSERT_EQ(child.wait(10s), 0);
  Child rival([&] { return Publisher::create("t", config) ? 1 : 0; });
  EXPECT_EQ(rival.wait(10s), 0);
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
  ASSERT_FALSE(subscriber->arm_wakeup());
  ASSERT_TRUE(publisher->publish(view(bytes("after the child"))));
  EXPECT_EQ(subscriber->drain_wakeup(), true);  // its connection and wakeup descriptor still work
  ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
  EXPECT_EQ(text(out), "after the child");
  EXPECT_EQ(publisher->stats().wal->pending_cursor, 2u);
}

// --- With the log ---

TEST(PublisherLog, CreationOpensTheLogAndSaysSo) {
  TempDir dir;
  LogCapture log;
  auto publisher = make_publisher(logged_config(dir.path()), "orders");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "orders/wal"));
  EXPECT_NE(log.lines().find("publisher created topic=\"orders\" ring_capacity=8 slot_size=64 wal_enabled=true "
                             "backpressure=Error"),
            std::string::npos)
      << log.lines();
  TopicStats stats = publisher->stats();
  ASSERT_TRUE(stats.wal.has_value());
  EXPECT_EQ(stats.wal->pending_cursor, 0u);
}

TEST(PublisherLog, NumberingContinuesAcrossPublishers) {
  TempDir dir;
  {
    auto publisher = make_publisher(logged_config(dir.path()));
    publish_n(*publisher, 42);
    EXPECT_EQ(publisher->stats().wal->pending_cursor, 42u);
  }
  auto publisher = make_publisher(logged_config(dir.path()));
  RingBuffer ring = open_ring(dir);
  EXPECT_EQ(ring.load_generation(), 2u);
  EXPECT_EQ(ring.load_tail(), 42u);
  EXPECT_EQ(publisher->stats().published_total, 0u);
  EXPECT_TRUE(publisher->publish(view(bytes("m42"))));
  EXPECT_EQ(publisher->stats().wal->pending_cursor, 43u);
}

// The publisher hands the log the clock reading it took for the publish:
// every record, single or batched, is stamped with the wall-clock time of
// its publish, never earlier than the one before it.
TEST(PublisherLog, RecordsCarryTheTimeOfTheirPublishInOrder) {
  TempDir dir;
  const std::uint64_t before = unix_time_ns();
  {
    auto publisher = make_publisher(logged_config(dir.path()));
    publish_n(*publisher, 3);
    std::this_thread::sleep_for(2ms);
    std::vector<std::byte> b1 = bytes("b1"), b2 = bytes("b2");
    std::vector<std::span<const std::byte>> batch{b1, b2};
    ASSERT_TRUE(publisher->publish_many(batch));
    publish_n(*publisher, 1);
  }
  const std::uint64_t after = unix_time_ns();
  auto records = wal::testing::decode_records(wal::testing::read_file(dir / "t/wal/" + wal::segment_file_name(0)));
  ASSERT_EQ(records.size(), 6u);
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].cursor, i);
    EXPECT_GE(records[i].timestamp_ns, i == 0 ? before : records[i - 1].timestamp_ns) << i;
    EXPECT_LE(records[i].timestamp_ns, after) << i;
  }
  EXPECT_GE(records[3].timestamp_ns, records[2].timestamp_ns + 2'000'000) << "the batch was stamped before its publish";
}

// With the log on, a record refused for fullness must reach neither the log
// nor the ring.
class PublisherFullRing : public testing::TestWithParam<bool> {};

TEST_P(PublisherFullRing, ErrorPolicyRefusesUntilTheSlowestReads) {
  const bool logged = GetParam();
  TempDir dir;
  TopicConfig config = logged ? logged_config(dir.path(), 4) : small_config(dir.path(), 4);
  auto publisher = make_publisher(config);
  auto subscriber = make_subscriber(config);
  publish_n(*publisher, 4);
  auto refused = publisher->publish(view(bytes("x")));
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().get_if<Error::BusFull>(), nullptr);
  std::vector<std::byte> b1 = bytes("b1"), b2 = bytes("b2");
  std::vector<std::span<const std::byte>> batch{b1, b2};
  auto written = publisher->publish_many(batch);
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, 0u);
  TopicStats stats = publisher->stats();
  EXPECT_EQ(stats.full_rejected_total, 1u);
  EXPECT_EQ(stats.published_total, 4u);
  EXPECT_EQ(stats.tail, 4u);
  EXPECT_EQ(stats.wal.has_value(), logged);
  if (logged) {
    EXPECT_EQ(stats.wal->pending_cursor, 4u);
  }
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
  EXPECT_EQ(text(out), "m0");
  written = publisher->publish_many(batch);
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, 1u);
  stats = publisher->stats();
  EXPECT_EQ(stats.tail, 5u);
  if (logged) {
    EXPECT_EQ(stats.wal->pending_cursor, 5u);
  }
}

INSTANTIATE_TEST_SUITE_P(LogOffAndOn, PublisherFullRing, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Logged" : "Unlogged"; });

TEST(PublisherLog, RecordTheLogRefusesIsNotWritten) {
  TempDir dir;
  TopicConfig config = logged_config(dir.path(), 1);
  config.slot_size = wal::kMaxPayloadLen + 1;
  auto publisher = make_publisher(config);
  auto refused = publisher->publish(std::vector<std::byte>(wal::kMaxPayloadLen + 1));
  ASSERT_FALSE(refused);
  const auto* log_error = refused.error().get_if<Error::Wal>();
  ASSERT_NE(log_error, nullptr);
  EXPECT_TRUE(std::holds_alternative<wal::WalError::PayloadTooLarge>(log_error->error.value));
  TopicStats stats = publisher->stats();
  EXPECT_EQ(stats.tail, 0u);
  EXPECT_EQ(stats.published_total, 0u);
  EXPECT_TRUE(publisher->publish(view(bytes("fits"))));
}

// A failed per-record sync leaves the record accepted by the log: it must
// reach the ring as well, or every later append would break the numbering.
TEST(PublisherLog, RecordAcceptedButNotSyncedStillReachesTheRing) {
  TempDir dir;
  TopicConfig config = logged_config(dir.path());
  config.wal.sync_mode = SyncMode::EveryAppend;
  Child child([&] {
    auto publisher = Publisher::create("t", config);
    if (!publisher) return 1;
    auto subscriber = Subscriber::connect_with("t", config, kSecond, StartPosition::tail());
    if (!subscriber || !(*publisher)->publish(view(bytes("synced")))) return 2;
    // Writes past the segment's present size now fail.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(std::filesystem::file_size(dir / "t/wal/00000000000000000000.seg"));
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto failed = (*publisher)->publish(view(bytes("accepted, not durable")));
    limit.rlim_cur = unlimited;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    if (failed || failed.error().get_if<Error::Wal>() == nullptr) return 3;
    TopicStats stats = (*publisher)->stats();
    if (stats.tail != 2 || stats.published_total != 2 || stats.wal->pending_cursor != 2) return 4;
    if (!(*publisher)->publish(view(bytes("next")))) return 5;
    std::vector<std::byte> out;
    for (const char* expected : {"synced", "accepted, not durable", "next"}) {
      if (!(*subscriber)->try_receive_deferring_error(out) || text(out) != expected) return 6;
    }
    return 0;
  });
  EXPECT_EQ(child.wait(30s), 0);
}

// Subscribers connecting far behind the tail make the ring full between a
// publish's fullness check and its write; the write goes ahead anyway, so
// that the log never runs ahead of the ring.
TEST(PublisherLogConcurrent, LogAndRingStayInStepWhileSubscribersConnectBehind) {
  TempDir dir;
  TopicConfig config = logged_config(dir.path(), 8);
  auto publisher = make_publisher(config);
  std::atomic<bool> stop{false};
  std::jthread connecting([&] {
    while (!stop.load()) {
      auto s = Subscriber::connect_with("t", config, kSecond, StartPosition::history(100));
      std::vector<std::byte> out;
      if (s) (*s)->try_receive_deferring_error(out);
    }
  });
  std::vector<std::byte> a = bytes("a"), b = bytes("b"), c = bytes("c");
  std::vector<std::span<const std::byte>> batch{a, b, c};
  const auto end = std::chrono::steady_clock::now() + 1s;
  while (std::chrono::steady_clock::now() < end) {
    auto one = publisher->publish(a);
    if (!one) {
      ASSERT_NE(one.error().get_if<Error::BusFull>(), nullptr);
    }
    ASSERT_TRUE(publisher->publish_many(batch));
  }
  stop = true;
  connecting.join();
  TopicStats stats = publisher->stats();
  EXPECT_GT(stats.tail, 0u);
  EXPECT_EQ(stats.wal->pending_cursor, stats.tail);
  EXPECT_EQ(stats.wal->appends_total, stats.published_total);
}

}  // namespace
}  // namespace qorva

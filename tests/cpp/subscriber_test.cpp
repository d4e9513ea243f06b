#include "subscriber.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <variant>

#include "logging.h"
#include "publisher.h"
#include "ring.h"
#include "support/log_capture.h"
#include "support/peers.h"
#include "support/subscriber_fixture.h"
#include "support/transport_support.h"
#include "sys.h"
#include "waker.h"
#include "wal/record.h"
#include "wal/segment_name.h"

namespace qorva {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

template <class T>
std::optional<Error> error_of(Result<T> result) {
  if (result) return std::nullopt;
  return std::move(result.error());
}

TEST_F(SubscriberTest, ZeroTimeoutWithoutPublisherTimesOutNamingTheTopic) {
  const auto start = std::chrono::steady_clock::now();
  auto connected = Subscriber::connect_with("nobody \"here\"", config_, Duration{}, StartPosition::tail());
  ASSERT_FALSE(connected);
  const auto* timeout = connected.error().get_if<Error::ConnectTimeout>();
  ASSERT_NE(timeout, nullptr);
  EXPECT_EQ(timeout->awaited, Error::ConnectTimeout::Awaited::Topic);
  EXPECT_EQ(timeout->topic, "nobody \"here\"");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(SubscriberTest, InvalidTopicIsRefusedAtOnceNotRetried) {
  const auto start = std::chrono::steady_clock::now();
  auto connected = Subscriber::connect_with("../t", config_, Duration{10, 0}, StartPosition::tail());
  ASSERT_FALSE(connected);
  EXPECT_TRUE(is_io_text(connected.error(), "invalid topic name"));
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

// A listener in the publisher's place that never accepts, its backlog full:
// a blocking connect to it would wait for good.
TEST_F(SubscriberTest, ConnectEndsByItsDeadlineWhenThePublishersBacklogIsFull) {
  start_publisher();
  const std::string path = dir_ / "t/signal.sock";
  ASSERT_EQ(::unlink(path.c_str()), 0);
  UniqueFd stuck(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(stuck.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(stuck.get(), 0), 0);
  std::vector<UniqueFd> queued;
  int refusal = 0;  // the errno of the first connect the full backlog turned away
  for (int i = 0; i < 64 && refusal == 0; ++i) {
    queued.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (::connect(queued.back().get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) refusal = errno;
  }
  ASSERT_EQ(refusal, EAGAIN);
  Child child([&] {
    auto connected = Subscriber::connect_with("t", config_, Duration::from_millis(300), StartPosition::tail());
    return !connected && connected.error().get_if<Error::ConnectTimeout>() != nullptr ? 0 : 1;
  });
  EXPECT_EQ(child.wait(10s), 0);
}

TEST_F(SubscriberTest, FullTopicRefusesAtOnceAndAFreedSlotIsReused) {
  start_publisher(8, 64, 2);
  auto a = subscribe();
  auto b = subscribe();
  EXPECT_EQ(SubscriberPeer::cursor_idx(*a), 0u);
  EXPECT_EQ(SubscriberPeer::cursor_idx(*b), 1u);
  auto refused = Subscriber::connect_with("t", config_, Duration{5, 0}, StartPosition::tail());
  ASSERT_FALSE(refused);
  const auto* full = refused.error().get_if<Error::TooManySubscribers>();
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->slots, 2u);
  a.reset();
  auto c = subscribe();
  EXPECT_EQ(SubscriberPeer::cursor_idx(*c), 0u);
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

TEST_F(SubscriberTest, ReadyMessageIsReadWithoutWaiting) {
  start_publisher();
  auto subscriber = subscribe();
  publish("hello");
  EXPECT_EQ(subscriber->lag(), 1u);
  // Cursor below the tail: wait_readable answers at once and leaves the flag off.
  auto readable = subscriber->wait_readable(Deadline::never());
  ASSERT_TRUE(readable);
  EXPECT_TRUE(*readable);
  EXPECT_EQ(RingBufferPeer::exchange_wakeup_armed(ring(), 0, 0), 0u);
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
  EXPECT_TRUE(subscriber->try_receive_deferring_error(out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(subscriber->cursor(), 1u);
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
  got = subscriber->receive_timeout_into(Duration::max(), out);
  ASSERT_TRUE(got);
  EXPECT_TRUE(*got);
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

TEST_F(SubscriberTest, AReadIntoACallerSliceMovesTheCursorOn) {
  start_publisher();
  auto subscriber = subscribe();
  publish("abc");
  std::vector<std::byte> slice(8);
  auto got = subscriber->try_receive_one_into_slice(slice);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, std::optional<std::size_t>(3));
  EXPECT_EQ(subscriber->cursor(), 1u);
}

TEST_F(SubscriberTest, PollRecvNeedsAWakeupUnit) {
  start_publisher();
  auto subscriber = subscribe();
  publish("a");
  auto none = subscriber->poll_recv();
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->has_value());  // a message waits, but no unit was pending
  std::vector<std::byte> out;
  ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
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
  auto readable = waiting->wait_readable(Deadline::after(Duration{1, 0}));
  ASSERT_FALSE(readable);
  EXPECT_TRUE(is_io_text(readable.error(), "publisher restarted (generation changed)"));
  EXPECT_EQ(io_error(readable.error())->kind(), IoKind::UnexpectedEof);
  EXPECT_TRUE(readable.error().is(IoOutcome::PublisherRestarted));
  auto polled = polling->poll_recv();
  ASSERT_FALSE(polled);
  EXPECT_TRUE(is_io_text(polled.error(), "publisher restarted (generation changed)"));
}

struct GoneCase {
  const char* name;
  Error error;
  bool gone;
};

// Only the named outcomes and a reset connection end a subscription: the
// words alone, a broken pipe or a log failure do not.
TEST(PublisherGone, TellsTheEndOfASubscriptionByOutcome) {
  const GoneCase cases[] = {
      {"disconnected", publisher_disconnected(), true},
      {"restarted", publisher_restarted(), true},
      {"reset", IoError::from_errno(ECONNRESET), true},
      {"the words alone", IoError::fixed(IoKind::UnexpectedEof, "publisher disconnected"), false},
      {"broken pipe", IoError::from_errno(EPIPE), false},
      {"poll timeout", IoError::fixed(IoKind::WouldBlock, "poll timeout"), false},
      {"log reset", wal::WalError{wal::WalError::Io{IoError::from_errno(ECONNRESET)}}, false},
      {"bus full", Error::BusFull{}, false},
  };
  for (const GoneCase& c : cases) EXPECT_EQ(publisher_gone(c.error), c.gone) << c.name;
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
  ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
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

// Another process wrote a tail far ahead of the messages, or beyond every
// sequence number: each receive still ends (timed ones by their deadline), and
// the reader's cursor slot never reads as free.
TEST(SubscriberForgedTail, EveryReceiveEndsAndTheSlotStaysHeld) {
  for (std::uint64_t forged : {std::uint64_t{1} << 62, ring_format::kBusyBit + 5, ~std::uint64_t{0}}) {
    TempDir dir;
    const TopicConfig config = small_config(dir.path(), 8, 64, 4);
    auto publisher = Publisher::create("t", config);
    ASSERT_TRUE(publisher);
    auto subscriber = Subscriber::connect_with("t", config, kSecond, StartPosition::tail());
    ASSERT_TRUE(subscriber);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE((*publisher)->publish(view(bytes("m" + std::to_string(i)))));
    auto ring = RingBuffer::open(dir / "t/ring.mmap");
    ASSERT_TRUE(ring);
    RingBufferPeer::store_tail(*ring, forged);
    Child reader([&] {
      std::vector<std::byte> out;
      for (int i = 0; i < 3; ++i) (*subscriber)->try_receive_deferring_error(out);
      std::vector<std::byte> slice(64);
      if (!(*subscriber)->try_receive_one_into_slice(slice)) return 2;
      if (!(*subscriber)->receive_timeout_into(Duration{0, 100'000'000}, out)) return 3;
      return ring->load_cursor(0) == ring_format::kFreeCursor ? 4 : 0;
    });
    EXPECT_EQ(reader.wait(10s), 0) << forged;
  }
}

// --- Replay from the log ---

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
  LogCapture log;
  auto subscriber = subscribe(StartPosition::from(2));
  const std::string lines = log.lines();
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
  ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
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
  EXPECT_EQ(subscriber->cursor(), 5u);    // "m4" was consumed
  EXPECT_TRUE(subscriber->arm_wakeup());  // records still to come
  ASSERT_TRUE(subscriber->receive_into(out));
  EXPECT_EQ(text(out), "m5");
}

// Counts the steps a receive runs through its hook, and notes whether the
// caller's buffer changed while one ran.
class RecordingSteps final : public Subscriber::BlockingSteps {
 public:
  explicit RecordingSteps(const std::vector<std::byte>& sink) : sink_(sink) {}
  void run(FunctionRef<void()> step) override {
    const std::vector<std::byte> before = sink_;
    step();
    ++runs;
    if (sink_ != before) sink_written_in_a_step = true;
  }
  int runs = 0;
  bool sink_written_in_a_step = false;

 private:
  const std::vector<std::byte>& sink_;
};

// What lets the Python layer release its interpreter lock around a step and
// still have every write into a caller's buffer made with the lock held:
// catching up and waiting run as steps, the sink is written between them, and
// a message already in the ring takes no step at all.
TEST_F(SubscriberReplayTest, BlockingStepsCoverCatchingUpAndWaitsButNeverTheSinksWrite) {
  start_logged_publisher();
  publish_n(20);
  restart_publisher();  // messages 18 and 19 now come from the log alone
  auto subscriber = subscribe(StartPosition::from(18));
  std::vector<std::byte> buf(8);
  RecordingSteps steps(buf);
  const auto receive = [&](const Deadline& deadline) -> std::string {
    auto got = subscriber->receive(Subscriber::Sink::slice(buf), deadline, steps);
    if (!got || !*got) return got ? "nothing" : "error";
    return text(std::span(buf).first(**got));
  };
  EXPECT_EQ(receive(Deadline::never()), "m18");
  EXPECT_EQ(receive(Deadline::never()), "m19");
  EXPECT_GE(steps.runs, 2);
  publish("m20");
  EXPECT_EQ(receive(Deadline::never()), "m20");  // the catch-up's end, then the ring
  const int after_catching_up = steps.runs;
  publish("m21");
  EXPECT_EQ(receive(Deadline::never()), "m21");
  EXPECT_EQ(steps.runs, after_catching_up);  // ready in the ring: no step
  EXPECT_EQ(receive(Deadline::after(Duration::from_millis(20))), "nothing");
  EXPECT_GT(steps.runs, after_catching_up);  // the wait was a step
  EXPECT_FALSE(steps.sink_written_in_a_step);
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
  // The ring serves from the cursor reached: it holds 22..29 only, so the
  // read moves to the oldest of them.
  ASSERT_TRUE(subscriber->receive_into(out));
  EXPECT_EQ(text(out), "m22");
  EXPECT_EQ(subscriber->cursor(), 23u);
}

// A new publisher over the same ring file numbers from its log's next cursor,
// or from 0 without a log (here the log is cut after record 10, as a publisher
// killed before the rest reached the disk leaves it). A subscription that has
// read past that start would get reused numbers as if they followed its own:
// every receive path ends it instead. One at or below the start reads on and
// gets exactly the old messages it had not read, then the new ones.
TEST_F(SubscriberReplayTest, RestartedNumberingBelowTheCursorEndsTheSubscription) {
  struct Case {
    const char* name;
    bool logged;
    std::uint64_t first_cursor;  // of the new publisher
  };
  for (const Case& c : {Case{"log off", false, 0}, Case{"log cut at 10", true, 10}}) {
    TempDir dir;
    config_ = c.logged ? logged_config(dir.path(), 32) : small_config(dir.path(), 32);
    auto created = Publisher::create("t", config_);
    ASSERT_TRUE(created);
    publisher_ = std::move(*created);
    const std::uint64_t read_before[] = {0, 8, 10, 16};
    std::vector<std::unique_ptr<Subscriber>> subscribers;
    for (std::size_t i = 0; i < std::size(read_before); ++i) subscribers.push_back(subscribe());
    publish_n(16);
    std::vector<std::byte> out;
    for (std::size_t i = 0; i < subscribers.size(); ++i)
      for (std::uint64_t k = 0; k < read_before[i]; ++k) ASSERT_TRUE(subscribers[i]->try_receive_deferring_error(out));

    publisher_.reset();
    if (c.logged) std::filesystem::resize_file(dir / ("t/wal/" + wal::segment_file_name(0)), 32 + 10 * 30);
    created = Publisher::create("t", config_);
    ASSERT_TRUE(created);
    publisher_ = std::move(*created);
    EXPECT_EQ(RingBuffer::open(dir / "t/ring.mmap")->load_first_cursor(), c.first_cursor) << c.name;
    for (std::uint64_t n = c.first_cursor; n <= 20; ++n) publish("r" + std::to_string(n));

    for (std::size_t i = 0; i < subscribers.size(); ++i) {
      Subscriber& s = *subscribers[i];
      const std::string where = std::string(c.name) + ", read " + std::to_string(read_before[i]);
      if (read_before[i] > c.first_cursor) {
        std::vector<std::byte> slice(64);
        const std::optional<Error> failures[] = {
            error_of(s.try_receive(out)),
            error_of(s.receive_into(out)),
            error_of(s.receive_timeout_into(kSecond, out)),
            error_of(s.try_receive_one_into_slice(slice)),
            error_of(s.poll_recv()),
        };
        for (const auto& failed : failures) {
          ASSERT_TRUE(failed) << where;
          EXPECT_TRUE(is_io_text(*failed, "publisher restarted (generation changed)")) << where;
          EXPECT_TRUE(failed->is(IoOutcome::PublisherRestarted)) << where;
        }
        continue;
      }
      for (std::uint64_t n = read_before[i]; n <= 20; ++n) {
        auto got = s.try_receive(out);
        ASSERT_TRUE(got && *got) << where << " at " << n;
        EXPECT_EQ(text(out), (n < c.first_cursor ? "m" : "r") + std::to_string(n)) << where;
      }
    }
    subscribers.clear();
    publisher_.reset();
  }
}

// A record damaged in an older segment: whatever the next open makes of that
// segment, a replay that reaches the damage reports it, and never passes on
// to the next segment as if nothing were missing.
TEST_F(SubscriberReplayTest, DamageInAnOlderSegmentIsReportedNotPassedOver) {
  const auto files = sealed_segments_of(300);
  ASSERT_GE(files.size(), 3u);
  {
    std::fstream f(files[0], std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(32 + 5 * 30 + 25);  // a payload byte of record 5
    f.put('!');
  }
  auto created = Publisher::create("t", config_);
  ASSERT_TRUE(created);
  publisher_ = std::move(*created);
  auto subscriber = subscribe(StartPosition::from(0));
  std::vector<std::byte> out;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(subscriber->receive_into(out)) << i;
    EXPECT_EQ(text(out), "m" + std::to_string(i));
  }
  auto damaged = subscriber->receive_timeout_into(kSecond, out);
  ASSERT_FALSE(damaged) << text(out);
  EXPECT_NE(damaged.error().get_if<Error::Wal>(), nullptr);
}

// While the log cannot be written out, messages the ring has moved past sit
// only in the publisher's buffer. Catching up takes what the ring holds at
// once, and reports the first message that neither holds, with the oldest
// the ring has, instead of passing over it.
TEST_F(SubscriberReplayTest, CatchUpReportsAMessageNeitherTheRingNorTheLogHolds) {
  start_logged_publisher();
  publish_n(10);
  config_.wal.sync_mode = SyncMode::Off;  // from here, nothing reaches the files
  restart_publisher();
  for (int i = 10; i < 30; ++i) publish("m" + std::to_string(i));  // the ring holds m22..m29
  std::vector<std::byte> out;
  auto within = subscribe(StartPosition::from(24));
  for (int i = 24; i < 30; ++i) {
    ASSERT_TRUE(within->try_receive_deferring_error(out)) << i;
    EXPECT_EQ(text(out), "m" + std::to_string(i));
  }
  auto behind = subscribe(StartPosition::from(5));
  for (int i = 5; i < 10; ++i) {
    ASSERT_TRUE(behind->receive_into(out)) << i;
    EXPECT_EQ(text(out), "m" + std::to_string(i));
  }
  auto lost = behind->receive_timeout_into(Duration{10, 0}, out);
  ASSERT_FALSE(lost);
  const auto* too_old = lost.error().get_if<Error::CursorTooOld>();
  ASSERT_NE(too_old, nullptr);
  EXPECT_EQ(too_old->cursor, 10u);
  EXPECT_EQ(too_old->oldest, 22u);
  // Reported once; the ring then serves what it holds.
  auto got = behind->receive_timeout_into(kSecond, out);
  ASSERT_TRUE(got && *got);
  EXPECT_EQ(text(out), "m22");

  // The non-blocking receives: the one that can fail reports it; the one that
  // cannot keeps it for the next receive that can.
  auto polling = subscribe(StartPosition::from(9));
  auto never_failing = subscribe(StartPosition::from(9));
  for (Subscriber* s : {polling.get(), never_failing.get()}) {
    ASSERT_TRUE(s->try_receive_deferring_error(out));
    EXPECT_EQ(text(out), "m9");
    EXPECT_FALSE(s->try_receive_deferring_error(out));  // waits for the log from here
  }
  std::this_thread::sleep_for(1200ms);
  auto reported = polling->try_receive(out);
  ASSERT_FALSE(reported);
  EXPECT_NE(reported.error().get_if<Error::CursorTooOld>(), nullptr);
  EXPECT_FALSE(never_failing->try_receive_deferring_error(out));
  auto kept = never_failing->receive_timeout_into(kSecond, out);
  ASSERT_FALSE(kept);
  EXPECT_NE(kept.error().get_if<Error::CursorTooOld>(), nullptr);
  for (Subscriber* s : {polling.get(), never_failing.get()}) {
    ASSERT_TRUE(s->try_receive_deferring_error(out));
    EXPECT_EQ(text(out), "m22");
  }
}

// After catching up fails, the ring serves from the cursor reached, below
// the connect's tail that the slot held. The publisher keeps the slowest
// cursor it last saw and looks again only when the connect count moves: the
// slot must come down that way before the ring is read, or under
// Backpressure::Error the publisher writes over messages still to be read.
TEST_F(SubscriberReplayTest, AFailedCatchUpBringsTheSlotDownBeforeTheRingIsRead) {
  start_logged_publisher(300);  // segments of 8 records
  publish_n(10);
  restart_publisher();
  for (int i = 10; i < 30; ++i) publish("m" + std::to_string(i));  // the ring holds m22..m29
  {
    std::fstream f(segments()[0], std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(32 + 2 * 30 + 25);  // a payload byte of record 2
    f.put('!');
  }
  auto subscriber = subscribe(StartPosition::from(0));
  publish("m30");  // over m22: the slot holds the connect's tail, 30
  std::vector<std::byte> out;
  auto next = [&] {
    auto got = subscriber->receive_timeout_into(kSecond, out);
    return got && *got ? text(out) : std::string(got ? "nothing" : "an error");
  };
  EXPECT_EQ(next(), "m0");
  EXPECT_EQ(next(), "m1");
  auto damaged = subscriber->receive_timeout_into(kSecond, out);
  ASSERT_FALSE(damaged);
  EXPECT_NE(damaged.error().get_if<Error::Wal>(), nullptr);
  EXPECT_EQ(next(), "m23");
  ASSERT_TRUE(publisher_->publish(view(bytes("m31"))));  // over m23, which was read
  auto held_back = publisher_->publish(view(bytes("m32")));
  ASSERT_FALSE(held_back);
  EXPECT_NE(held_back.error().get_if<Error::BusFull>(), nullptr);
  for (int i = 24; i < 32; ++i) EXPECT_EQ(next(), "m" + std::to_string(i));
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

// The transport across real processes: a publisher and subscribers in forked
// children exchanging many messages, crashes of either side, and wakeups
// racing with connecting subscribers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "publisher.h"
#include "subscriber.h"
#include "support/peers.h"
#include "support/transport_support.h"

namespace qorva {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

// Exit codes of the children, so that a failure says what went wrong.
enum ChildExit : int {
  kOk = 0,
  kConnectFailed = 10,
  kReceiveFailed = 11,
  kTimedOut = 12,
  kWrongContent = 13,
  kOutOfOrder = 14,
  kPublishFailed = 15,
  kWrongError = 16,
};

// A message that carries its own sequence number and a body derived from it,
// so that loss, reordering and torn copies are all visible.
std::vector<std::byte> numbered_message(std::uint64_t seq) {
  std::vector<std::byte> m(8 + seq % 97);
  std::memcpy(m.data(), &seq, 8);
  for (std::size_t i = 8; i < m.size(); ++i) m[i] = static_cast<std::byte>((seq * 131 + i * 7) & 0xFF);
  return m;
}

// The sequence number of a well-formed message, or none.
std::optional<std::uint64_t> check_numbered(const std::vector<std::byte>& m) {
  if (m.size() < 8) return std::nullopt;
  std::uint64_t seq = 0;
  std::memcpy(&seq, m.data(), 8);
  if (m != numbered_message(seq)) return std::nullopt;
  return seq;
}

constexpr std::uint64_t kMessages = 40000;
constexpr int kSubscribers = 4;

int run_publisher(const TopicConfig& config, std::uint64_t messages) {
  auto publisher = Publisher::create("t", config);
  if (!publisher) return kPublishFailed;
  if (!(*publisher)->wait_for_subscribers(kSubscribers, Duration{20, 0})) return kTimedOut;
  const Deadline deadline = Deadline::after(Duration{60, 0});
  for (std::uint64_t seq = 0; seq < messages;) {
    auto published = (*publisher)->publish(numbered_message(seq));
    if (published) {
      ++seq;
    } else if (published.error().get_if<Error::BusFull>() != nullptr && !deadline.passed()) {
      std::this_thread::yield();
    } else {
      return kPublishFailed;
    }
  }
  return kOk;
}

// Receives until the last message; every message must be well formed and, with
// `gapless`, exactly the next one. The publisher may start as soon as it has
// accepted the last handshake, before that subscriber reads the tail, so a
// gapless subscriber starts from message 0, which its cursor slot, claimed
// before the handshake, keeps in the ring.
int run_subscriber(const TopicConfig& config, std::uint64_t messages, bool gapless) {
  const StartPosition start = gapless ? StartPosition::from(0) : StartPosition::tail();
  auto subscriber = Subscriber::connect_with("t", config, Duration{20, 0}, start);
  if (!subscriber) return kConnectFailed;
  std::vector<std::byte> out;
  std::uint64_t expected = 0;
  while (expected < messages) {
    auto got = (*subscriber)->receive_timeout_into(Duration{10, 0}, out);
    if (!got) return kReceiveFailed;
    if (!*got) return kTimedOut;
    auto seq = check_numbered(out);
    if (!seq) return kWrongContent;
    if (gapless ? *seq != expected : *seq < expected) return kOutOfOrder;
    expected = *seq + 1;
  }
  return kOk;
}

void exchange(Backpressure backpressure, std::uint32_t capacity) {
  TempDir dir;
  const TopicConfig config = small_config(dir.path(), capacity, 128, 8, backpressure);
  const bool gapless = backpressure == Backpressure::Error;
  std::vector<std::unique_ptr<Child>> subscribers;
  for (int i = 0; i < kSubscribers; ++i)
    subscribers.push_back(std::make_unique<Child>([&] { return run_subscriber(config, kMessages, gapless); }));
  Child publisher([&] { return run_publisher(config, kMessages); });
  EXPECT_EQ(publisher.wait(90s), kOk);
  for (auto& subscriber : subscribers) EXPECT_EQ(subscriber->wait(90s), kOk);
}

TEST(TransportProcessesConcurrent, ErrorPolicyDeliversEveryMessageInOrderToEverySubscriber) {
  exchange(Backpressure::Error, 64);
}

TEST(TransportProcessesConcurrent, DropOldestOnlyEverSkipsForward) { exchange(Backpressure::DropOldest, 16); }

TEST(TransportProcesses, KilledSubscriberHoldsItsPublisherBackUntilTheNextPublisherFreesItsSlot) {
  TempDir dir;
  const TopicConfig config = small_config(dir.path(), 8);
  auto publisher = Publisher::create("t", config);
  ASSERT_TRUE(publisher);
  Signal connected;
  Child subscriber([&] {
    auto s = Subscriber::connect_with("t", config, Duration{5, 0}, StartPosition::tail());
    if (!s) return int{kConnectFailed};
    (*s)->arm_wakeup();
    connected.notify();
    std::this_thread::sleep_for(60s);
    return int{kOk};
  });
  ASSERT_TRUE(connected.wait(5000));
  ASSERT_TRUE((*publisher)->publish(numbered_message(0)));  // accepts it
  subscriber.kill_now();
  for (std::uint64_t seq = 1; seq < 8; ++seq) ASSERT_TRUE((*publisher)->publish(numbered_message(seq)));
  auto refused = (*publisher)->publish(numbered_message(8));
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().get_if<Error::BusFull>(), nullptr);
  TopicStats stats = (*publisher)->stats();
  EXPECT_EQ(stats.active_subscribers, 1u);
  EXPECT_EQ(stats.lags, std::vector<std::uint64_t>{8});
  // Its wakeup was written to an eventfd the publisher still holds.
  EXPECT_EQ(stats.wakeups_sent_total, 1u);
  EXPECT_EQ(stats.connected_sockets, 1u);
  EXPECT_EQ(stats.subscribers_dropped_total, 0u);

  // The next publisher over the same ring frees the dead subscriber's slot.
  publisher->reset();
  auto next = Publisher::create("t", config);
  ASSERT_TRUE(next);
  EXPECT_EQ((*next)->stats().active_subscribers, 0u);
  auto newcomer = Subscriber::connect_with("t", config, Duration{1, 0}, StartPosition::tail());
  ASSERT_TRUE(newcomer);
  EXPECT_EQ(SubscriberPeer::cursor_idx(**newcomer), 0u);
  std::vector<std::byte> out;
  for (std::uint64_t seq = 0; seq < 8; ++seq) {
    ASSERT_TRUE((*next)->publish(numbered_message(seq)));
    ASSERT_TRUE((*newcomer)->try_receive_deferring_error(out));
  }
  EXPECT_TRUE((*next)->publish(numbered_message(8)));
}

TEST(TransportProcesses, KilledPublisherEndsOldSubscribersAndARestartServesNewOnes) {
  TempDir dir;
  const TopicConfig config = small_config(dir.path(), 8);
  Signal created, subscribed, published, blocked;
  Child publisher([&] {
    auto p = Publisher::create("t", config);
    if (!p) return int{kPublishFailed};
    created.notify();
    if (!subscribed.wait(5000)) return int{kTimedOut};
    for (std::uint64_t seq = 0; seq < 3; ++seq)
      if (!(*p)->publish(numbered_message(seq))) return int{kPublishFailed};
    published.notify();
    std::this_thread::sleep_for(60s);
    return int{kOk};
  });
  ASSERT_TRUE(created.wait(5000));
  auto old_here = Subscriber::connect_with("t", config, Duration{5, 0}, StartPosition::tail());
  ASSERT_TRUE(old_here);
  // A subscriber in its own process, blocked in a receive when the publisher dies.
  Signal child_connected;
  Child old_there([&] {
    auto s = Subscriber::connect_with("t", config, Duration{5, 0}, StartPosition::from(3));
    if (!s) return int{kConnectFailed};
    child_connected.notify();
    std::vector<std::byte> out;
    auto ended = (*s)->receive_into(out);
    if (ended) return int{kWrongContent};
    const bool disconnected =
        ended.error().is(IoOutcome::PublisherDisconnected) && is_io_text(ended.error(), "publisher disconnected");
    return disconnected ? int{kOk} : int{kWrongError};
  });
  ASSERT_TRUE(child_connected.wait(5000));
  subscribed.notify();
  ASSERT_TRUE(published.wait(5000));
  std::this_thread::sleep_for(20ms);  // let the child block
  publisher.kill_now();
  EXPECT_EQ(old_there.wait(5s), kOk);

  std::vector<std::byte> out;
  for (std::uint64_t seq = 0; seq < 3; ++seq) {
    ASSERT_TRUE((*old_here)->receive_into(out));
    EXPECT_EQ(check_numbered(out), seq);
  }
  auto ended = (*old_here)->receive_into(out);
  ASSERT_FALSE(ended);
  EXPECT_TRUE(is_io_text(ended.error(), "publisher disconnected"));
  EXPECT_TRUE(ended.error().is(IoOutcome::PublisherDisconnected));

  auto restarted = Publisher::create("t", config);
  ASSERT_TRUE(restarted);
  auto fresh = Subscriber::connect_with("t", config, Duration{1, 0}, StartPosition::tail());
  ASSERT_TRUE(fresh);
  EXPECT_EQ((*fresh)->cursor(), 0u);
  std::jthread later([&] {
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE((*restarted)->publish(numbered_message(7)));
  });
  ASSERT_TRUE((*fresh)->receive_into(out));
  EXPECT_EQ(check_numbered(out), 7u);
  later.join();
  // The old subscriber stays ended: the new numbering starts below its cursor.
  auto still_ended = (*old_here)->receive_timeout_into(Duration{1, 0}, out);
  ASSERT_FALSE(still_ended);
  EXPECT_TRUE(is_io_text(still_ended.error(), "publisher restarted (generation changed)"));
  EXPECT_TRUE(still_ended.error().is(IoOutcome::PublisherRestarted));
}

// --- Cursor slots of subscribers that are gone ---

// Publishes seq on, riding out a full ring up to a deadline; false when it
// could not publish for another reason or in time.
bool publish_patiently(Publisher& publisher, std::uint64_t seq, const Deadline& deadline) {
  for (;;) {
    auto published = publisher.publish(numbered_message(seq));
    if (published) return true;
    if (published.error().get_if<Error::BusFull>() == nullptr || deadline.passed()) return false;
    std::this_thread::sleep_for(100us);
  }
}

// Polls without blocking (a blocking wait of a subscriber whose publisher has
// gone reports the hang-up) until message `end` - 1; every message must be
// exactly the next one.
int poll_until(Subscriber& subscriber, std::uint64_t end) {
  const Deadline deadline = Deadline::after(Duration{20, 0});
  std::vector<std::byte> out;
  while (subscriber.cursor() < end) {
    const std::uint64_t expected = subscriber.cursor();
    if (!subscriber.try_receive_deferring_error(out)) {
      if (deadline.passed()) return kTimedOut;
      std::this_thread::sleep_for(200us);
      continue;
    }
    if (check_numbered(out) != expected) return kOutOfOrder;
  }
  return kOk;
}

// A logged topic of 16 slots whose messages all fit.
TopicConfig logged_16(const TempDir& dir) {
  TopicConfig config = logged_config(dir.path(), 16);
  config.slot_size = 128;
  return config;
}

// The whole application, publisher and subscribers each in its own process of
// one process group, is killed at once; the next publisher over the same ring
// and log goes on numbering and is never held back by the dead slots.
TEST(TransportProcesses, NextPublisherAfterTheWholeApplicationWasKilledIsNotHeldBack) {
  TempDir dir;
  const TopicConfig config = logged_16(dir);
  constexpr std::uint64_t kFirst = 20;
  Signal published;
  Channel received;
  Child publisher([&] {
    ::setpgid(0, 0);
    auto p = Publisher::create("t", config);
    if (!p || !(*p)->wait_for_subscribers(2, Duration{10, 0})) return int{kConnectFailed};
    const Deadline deadline = Deadline::after(Duration{20, 0});
    for (std::uint64_t seq = 0; seq < kFirst; ++seq)
      if (!publish_patiently(**p, seq, deadline)) return int{kPublishFailed};
    while ((*p)->stats().wal->durable_cursor < kFirst) {
      if (deadline.passed()) return int{kTimedOut};
      std::this_thread::sleep_for(1ms);
    }
    published.notify();
    std::this_thread::sleep_for(60s);
    return int{kOk};
  });
  const pid_t group = publisher.pid();
  ::setpgid(group, group);  // here too, whichever of the two runs first
  auto subscriber_body = [&] {
    ::setpgid(0, group);
    auto s = Subscriber::connect_with("t", config, Duration{10, 0}, StartPosition::from(0));
    if (!s) return int{kConnectFailed};
    std::vector<std::byte> out;
    for (std::uint64_t seq = 0; seq < kFirst; ++seq) {
      auto got = (*s)->receive_timeout_into(Duration{10, 0}, out);
      if (!got || !*got) return int{kTimedOut};
      if (check_numbered(out) != seq) return int{kOutOfOrder};
    }
    received.send(kFirst);
    std::this_thread::sleep_for(60s);
    return int{kOk};
  };
  Child first(subscriber_body);
  Child second(subscriber_body);
  ::setpgid(first.pid(), group);
  ::setpgid(second.pid(), group);
  ASSERT_TRUE(published.wait(20000));
  ASSERT_EQ(received.receive(20000), kFirst);
  ASSERT_EQ(received.receive(20000), kFirst);
  ASSERT_EQ(::kill(-group, SIGKILL), 0);
  for (Child* child : {&publisher, &first, &second}) EXPECT_EQ(child->wait(5s), -1);

  auto next = Publisher::create("t", config);
  ASSERT_TRUE(next);
  EXPECT_EQ((*next)->stats().tail, kFirst);
  EXPECT_EQ((*next)->stats().active_subscribers, 0u);
  for (std::uint64_t seq = kFirst; seq < kFirst + 10 * config.capacity; ++seq)
    ASSERT_TRUE((*next)->publish(numbered_message(seq))) << "message " << seq;
}

// A subscriber process in one of the ways a live subscriber holds its slot
// while its publisher is replaced. The body signals `holding` once it holds
// the slot, then waits for `go` and reads up to `end` when it reads at all.
struct LiveHolder {
  const char* what;
  bool reads;  // a connected subscriber, which goes on receiving
  int (*body)(const TopicConfig& config, Signal& holding, Signal& go, std::uint64_t end);
};

int connect_then_poll(const TopicConfig& config, Signal& holding, Signal& go, std::uint64_t end,
                      const std::function<void(std::unique_ptr<Subscriber>&)>& meanwhile) {
  auto s = Subscriber::connect_with("t", config, Duration{5, 0}, StartPosition::from(0));
  if (!s) return kConnectFailed;
  meanwhile(*s);
  holding.notify();
  if (!go.wait(20000)) return kTimedOut;
  return poll_until(**s, end);
}

const LiveHolder kLiveHolders[] = {
    {"a subscriber of the earlier publisher", true,
     [](const TopicConfig& config, Signal& holding, Signal& go, std::uint64_t end) {
       return connect_then_poll(config, holding, go, end, [](std::unique_ptr<Subscriber>&) {});
     }},
    {"a subscriber whose forked child destroyed its copy and exited", true,
     [](const TopicConfig& config, Signal& holding, Signal& go, std::uint64_t end) {
       return connect_then_poll(config, holding, go, end, [](std::unique_ptr<Subscriber>& s) {
         Child child([&] {
           s.reset();
           return int{kOk};
         });
         child.wait(5s);
       });
     }},
    {"a subscriber still connecting: its slot claimed, no handshake yet", false,
     [](const TopicConfig& config, Signal& holding, Signal& go, std::uint64_t) {
       std::optional<RingBuffer> ring;
       eventually([&] {
         if (auto opened = RingBuffer::open(config.dir + "/t/ring.mmap")) ring = std::move(*opened);
         return ring.has_value();
       });
       if (!ring) return int{kConnectFailed};
       auto reader = RingReader::claim(std::move(*ring), 0);
       if (!reader || reader->slot() != 0u) return int{kConnectFailed};
       // Held until the process ends, never released, as by a subscriber
       // that is still connecting.
       new RingReader(std::move(*reader));
       holding.notify();
       return go.wait(20000) ? int{kOk} : int{kTimedOut};
     }},
};

TEST(TransportProcesses, LiveSubscribersKeepTheirSlotsWhenTheNextPublisherStarts) {
  for (const LiveHolder& holder : kLiveHolders) {
    SCOPED_TRACE(holder.what);
    TempDir dir;
    const TopicConfig config = logged_16(dir);
    constexpr std::uint64_t kBefore = 5;
    const std::uint64_t end = kBefore + 3 * config.capacity;
    Signal holding, go;
    // Forked before the publisher exists, so that it holds no copy of the
    // producer lock.
    Child child([&] { return holder.body(config, holding, go, end); });
    auto earlier = Publisher::create("t", config);
    ASSERT_TRUE(earlier);
    ASSERT_TRUE(holding.wait(10000));
    for (std::uint64_t seq = 0; seq < kBefore; ++seq) ASSERT_TRUE((*earlier)->publish(numbered_message(seq)));
    earlier->reset();

    auto next = Publisher::create("t", config);
    ASSERT_TRUE(next);
    EXPECT_EQ((*next)->stats().active_subscribers, 1u);
    go.notify();
    if (holder.reads) {
      const Deadline deadline = Deadline::after(Duration{20, 0});
      for (std::uint64_t seq = kBefore; seq < end; ++seq)
        ASSERT_TRUE(publish_patiently(**next, seq, deadline)) << "message " << seq;
    } else {
      // The claim's cursor still holds the ring: a ring's worth, then full.
      for (std::uint64_t seq = kBefore; seq < config.capacity; ++seq)
        ASSERT_TRUE((*next)->publish(numbered_message(seq)));
      EXPECT_FALSE((*next)->publish(numbered_message(config.capacity)));
    }
    EXPECT_EQ(child.wait(20s), kOk);
  }
}

// A subscriber killed while a child it forked lives on: the child closed its
// copies of the subscriber's descriptors when it was made, so it keeps
// neither the slot nor the connection, and the next publisher frees the slot.
TEST(TransportProcesses, KilledSubscriberWhoseForkedChildLivesOnHasItsSlotFreed) {
  TempDir dir;
  const TopicConfig config = small_config(dir.path(), 16, 128);
  Channel forked;
  Signal past_fork;
  // Forked before the publisher exists, so that neither it nor its child
  // holds a copy of the producer lock.
  Child subscriber([&] {
    auto s = Subscriber::connect_with("t", config, Duration{5, 0}, StartPosition::tail());
    if (!s) return int{kConnectFailed};
    ChildProcess child([&] {
      past_fork.notify();  // past fork(), as any code of its own is
      std::this_thread::sleep_for(30s);
      return 0;
    });
    if (!past_fork.wait(10000)) return int{kTimedOut};
    forked.send(static_cast<std::uint64_t>(child.pid()));
    std::this_thread::sleep_for(60s);
    return int{kOk};
  });
  auto earlier = Publisher::create("t", config);
  ASSERT_TRUE(earlier);
  auto child = forked.receive(10000);
  ASSERT_TRUE(child);
  ASSERT_TRUE((*earlier)->wait_for_subscribers(1, Duration{5, 0}));
  subscriber.kill_now();
  earlier->reset();

  auto next = Publisher::create("t", config);
  ::kill(static_cast<pid_t>(*child), SIGKILL);
  ASSERT_TRUE(next);
  EXPECT_EQ((*next)->stats().active_subscribers, 0u);
  for (std::uint64_t seq = 0; seq < 3 * config.capacity; ++seq)
    ASSERT_TRUE((*next)->publish(numbered_message(seq))) << "message " << seq;
}

// --- Rings of another numbering ---

// A ring re-created with another geometry under a log-raised tail holds none
// of the messages below that tail: a subscriber starting there gets them from
// the log, then follows the ring, and neither it nor the publisher stays stuck.
TEST(TransportProcesses, RecreatedRingBelowARaisedTailIsServedFromTheLog) {
  TempDir dir;
  {
    auto first = Publisher::create("t", logged_config(dir.path(), 8));
    ASSERT_TRUE(first);
    for (std::uint64_t seq = 0; seq < 20; ++seq) ASSERT_TRUE((*first)->publish(numbered_message(seq)));
  }
  const TopicConfig config = logged_config(dir.path(), 16);
  auto publisher = Publisher::create("t", config);
  ASSERT_TRUE(publisher);
  ASSERT_EQ((*publisher)->stats().tail, 20u);
  Signal waited;
  Child subscriber([&] {
    auto s = Subscriber::connect_with("t", config, Duration{5, 0}, StartPosition::history(5));
    if (!s) return int{kConnectFailed};
    std::vector<std::byte> out;
    for (std::uint64_t seq = 15; seq < 20; ++seq) {
      auto got = (*s)->receive_timeout_into(Duration{5, 0}, out);
      if (!got || !*got) return int{kTimedOut};
      if (check_numbered(out) != seq) return int{kOutOfOrder};
    }
    auto got = (*s)->receive_timeout_into(Duration{0, 200'000'000}, out);
    if (!got || *got) return int{kWrongContent};
    if ((*s)->cursor() != 20) return int{kOutOfOrder};
    waited.notify();
    got = (*s)->receive_timeout_into(Duration{5, 0}, out);
    if (!got || !*got) return int{kTimedOut};
    return check_numbered(out) == 20u ? int{kOk} : int{kWrongContent};
  });
  ASSERT_TRUE(waited.wait(5000));
  // The subscriber's slot now holds 20: a ring's worth fits.
  for (std::uint64_t seq = 20; seq < 36; ++seq) ASSERT_TRUE((*publisher)->publish(numbered_message(seq)));
  EXPECT_EQ(subscriber.wait(10s), kOk);
}

// A publisher's child body: publishes `count` messages of 1000 bytes, numbered
// from the tail on, signals, then waits to be killed.
int publish_then_wait_to_be_killed(const TopicConfig& config, std::uint64_t count, Signal& published) {
  auto p = Publisher::create("t", config);
  if (!p) return kPublishFailed;
  const std::uint64_t first = (*p)->stats().tail;
  for (std::uint64_t seq = first; seq < first + count; ++seq) {
    std::vector<std::byte> m = numbered_message(seq);
    m.resize(1000, std::byte{0x5A});
    if (!(*p)->publish(m)) return kPublishFailed;
  }
  published.notify();
  std::this_thread::sleep_for(60s);
  return kOk;
}

// A killed publisher's last records die in its write buffer, so the next
// publisher numbers from below the old tail, over slots that still hold the
// lost messages: those must never be delivered as if they were the new ones.
TEST(TransportProcesses, LostTailOfAKilledPublisherIsNeverDeliveredAsNew) {
  TempDir dir;
  TopicConfig config = logged_config(dir.path(), 8);
  config.slot_size = 2048;
  config.wal.sync_mode = SyncMode::Off;  // nothing leaves the buffer but full buffers
  Signal published;
  Child killed([&] { return publish_then_wait_to_be_killed(config, 20, published); });
  ASSERT_TRUE(published.wait(5000));
  killed.kill_now();
  auto publisher = Publisher::create("t", config);
  ASSERT_TRUE(publisher);
  const std::uint64_t restart = (*publisher)->stats().tail;
  ASSERT_LT(restart, 20u) << "every record reached the file; nothing to test";
  ASSERT_GE(restart, 8u);
  // A whole ring back: the first slot read is the one the restart's next
  // message goes to, and it holds the lost message of that number.
  auto subscriber = Subscriber::connect_with("t", config, Duration{5, 0}, StartPosition::history(8));
  ASSERT_TRUE(subscriber);
  std::vector<std::byte> out;
  // Whatever the ring still holds below the restart is the log's own message.
  while ((*subscriber)->try_receive_deferring_error(out)) {
    ASSERT_GE(out.size(), 8u);
    std::uint64_t seq = 0;
    std::memcpy(&seq, out.data(), 8);
    EXPECT_LT(seq, restart);
    EXPECT_EQ((*subscriber)->cursor(), seq + 1);
  }
  EXPECT_EQ((*subscriber)->cursor(), restart);
  // Nothing more to read, and waiting for it sleeps instead of spinning.
  const std::int64_t cpu_before = thread_cpu_nanos();
  auto got = (*subscriber)->receive_timeout_into(Duration{0, 200'000'000}, out);
  const std::int64_t cpu_used = thread_cpu_nanos() - cpu_before;
  ASSERT_TRUE(got);
  EXPECT_FALSE(*got);
  EXPECT_LT(cpu_used, 50'000'000);
  ASSERT_TRUE((*publisher)->publish(numbered_message(restart)));
  ASSERT_TRUE((*subscriber)->try_receive_deferring_error(out));
  EXPECT_EQ(check_numbered(out), restart);
}

// After a publisher is killed, the ring holds, in some slots, messages that
// never reached the log, under numbers the next publisher gives out again. A
// subscription starting below the restart still gets every message the log
// holds, each under its own number, however it asks for its start.
TEST(TransportProcesses, StartBelowAKilledPublishersTailGetsEveryLoggedMessage) {
  TempDir dir;
  TopicConfig config = logged_config(dir.path(), 64);
  config.slot_size = 2048;
  config.wal.sync_mode = SyncMode::Off;  // nothing leaves the buffer but full buffers
  for (int round = 0; round < 3; ++round) {
    Signal published;
    Child killed([&] { return publish_then_wait_to_be_killed(config, 300, published); });
    ASSERT_TRUE(published.wait(5000));
    killed.kill_now();
    auto publisher = Publisher::create("t", config);
    ASSERT_TRUE(publisher);
    const std::uint64_t restart = (*publisher)->stats().tail;
    ASSERT_GE(restart, 64u);
    for (StartPosition start : {StartPosition::history(64), StartPosition::from(restart - 64)}) {
      auto subscriber = Subscriber::connect_with("t", config, Duration{5, 0}, start);
      ASSERT_TRUE(subscriber);
      std::vector<std::byte> out;
      for (std::uint64_t expected = restart - 64; expected < restart; ++expected) {
        auto got = (*subscriber)->receive_timeout_into(Duration{5, 0}, out);
        ASSERT_TRUE(got && *got) << "round " << round << " at " << expected;
        ASSERT_EQ(out.size(), 1000u);
        std::uint64_t seq = 0;
        std::memcpy(&seq, out.data(), 8);
        ASSERT_EQ(seq, expected) << "round " << round;
      }
      EXPECT_EQ((*subscriber)->cursor(), restart);
    }
  }
}

// --- Wakeups racing with connecting subscribers ---
//
// Each round, subscribers connect and block while the publisher publishes a few
// messages at random moments and then stops. A subscriber must receive every
// message from its start cursor on; a wakeup lost to a subscriber whose
// handshake arrived during a publish leaves it asleep until its timeout.

constexpr int kRaceMessagesPerRound = 2;
constexpr Duration kRaceReceiveTimeout{2, 0};

// Receives the messages [max(start, first), first + count) of a round.
int receive_round(Subscriber& subscriber, std::uint64_t first, std::uint64_t count) {
  const std::uint64_t end = first + count;
  std::vector<std::byte> out;
  while (subscriber.cursor() < end) {
    const std::uint64_t expected = std::max(subscriber.cursor(), first);
    auto got = subscriber.receive_timeout_into(kRaceReceiveTimeout, out);
    if (!got) return kReceiveFailed;
    if (!*got) return kTimedOut;
    if (check_numbered(out) != expected) return kWrongContent;
  }
  return kOk;
}

int connect_and_receive_round(const TopicConfig& config, std::uint64_t first, std::uint64_t count) {
  auto subscriber = Subscriber::connect_with("t", config, Duration{5, 0}, StartPosition::tail());
  if (!subscriber) return kConnectFailed;
  return receive_round(**subscriber, first, count);
}

void publish_round(Publisher& publisher, std::uint64_t first, std::mt19937& rng) {
  std::uniform_int_distribution<int> gap_us(0, 150);
  for (std::uint64_t seq = first; seq < first + kRaceMessagesPerRound; ++seq) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(gap_us(rng));
    while (std::chrono::steady_clock::now() < until) {
    }
    ASSERT_TRUE(publisher.publish(numbered_message(seq)));
  }
}

// A publisher that accepted only at the start of a publish fails these: a
// handshake arriving just after that accept, from a subscriber that reads its
// start cursor and sleeps before the tail moves, is missed by the wakeup pass,
// and the subscriber sleeps until the next publish.
constexpr int kRaceRounds = 4000;
constexpr int kRaceSubscribers = 3;

// Runs rounds until one fails: `start(first)` sets the subscribers of a round
// going, the publisher publishes the round's messages from `first` on, and
// `finish()` gives each subscriber's result.
void race_rounds(std::uint32_t seed, const std::function<void(std::uint64_t)>& start,
                 const std::function<std::vector<int>()>& finish, const TopicConfig& config) {
  auto publisher = Publisher::create("t", config);
  ASSERT_TRUE(publisher);
  std::mt19937 rng(seed);
  for (int round = 0; round < kRaceRounds; ++round) {
    const std::uint64_t first = (*publisher)->stats().tail;
    start(first);
    publish_round(**publisher, first, rng);
    std::vector<int> results = finish();
    for (int r : results) EXPECT_EQ(r, kOk) << "round " << round;
    if (std::count(results.begin(), results.end(), kOk) != static_cast<long>(results.size())) return;
  }
}

TopicConfig race_config(const TempDir& dir) { return small_config(dir.path(), 64, 128, 8, Backpressure::DropOldest); }

TEST(TransportConcurrent, ConnectingThreadsNeverMissAWakeup) {
  TempDir dir;
  const TopicConfig config = race_config(dir);
  std::vector<int> results(kRaceSubscribers);
  std::vector<std::jthread> threads;
  std::barrier ready(kRaceSubscribers + 1);
  auto start = [&](std::uint64_t first) {
    for (int i = 0; i < kRaceSubscribers; ++i) {
      threads.emplace_back([&, i, first] {
        ready.arrive_and_wait();
        results[i] = connect_and_receive_round(config, first, kRaceMessagesPerRound);
      });
    }
    ready.arrive_and_wait();
  };
  auto finish = [&] {
    threads.clear();  // joins
    return results;
  };
  race_rounds(12345, start, finish, config);
}

// A subscriber process that, for every round the parent starts, connects,
// receives the round's messages, disconnects and reports.
class RoundWorker {
 public:
  explicit RoundWorker(const TopicConfig& config)
      : child_([this, config] {
          for (;;) {
            auto first = go_.receive(30000);
            if (!first || *first == kStop) return int{kOk};
            done_.send(static_cast<std::uint64_t>(connect_and_receive_round(config, *first, kRaceMessagesPerRound)));
          }
        }) {}
  ~RoundWorker() {
    go_.send(kStop);
    child_.wait(5s);
  }

  void start_round(std::uint64_t first) { go_.send(first); }
  int result() { return static_cast<int>(done_.receive(10000).value_or(kTimedOut)); }

 private:
  static constexpr std::uint64_t kStop = ~std::uint64_t{0};
  Channel go_;
  Channel done_;
  Child child_;
};

TEST(TransportProcessesConcurrent, ConnectingProcessesNeverMissAWakeup) {
  TempDir dir;
  const TopicConfig config = race_config(dir);
  std::vector<std::unique_ptr<RoundWorker>> workers;
  for (int i = 0; i < kRaceSubscribers; ++i) workers.push_back(std::make_unique<RoundWorker>(config));
  auto start = [&](std::uint64_t first) {
    for (auto& worker : workers) worker->start_round(first);
  };
  auto finish = [&] {
    std::vector<int> results;
    for (auto& worker : workers) results.push_back(worker->result());
    return results;
  };
  race_rounds(54321, start, finish, config);
}

// Joining under "error" while the publisher runs flat out, in single publishes
// and in batches. A subscriber joins from the tail or some messages back,
// waits a little so that a publisher that had not seen its start would run
// past it, then must get exactly its start and every message after it.
class JoinersUnderError {
 public:
  static constexpr std::uint32_t kCapacity = 32;
  static constexpr int kJoiners = 3;
  static constexpr int kRounds = 60;

  explicit JoinersUnderError(const TopicConfig& config) : config_(config) {}

  std::string publish_until_stopped(Publisher& publisher) {
    const Deadline deadline = Deadline::after(Duration{60, 0});
    for (std::uint64_t seq = 0, call = 0; !stop_.load(); ++call) {
      if (deadline.passed()) return "publisher ran past its deadline";
      if (call % 2 == 0) {
        auto published = publisher.publish(numbered_message(seq));
        if (published) {
          ++seq;
        } else if (published.error().get_if<Error::BusFull>() == nullptr) {
          return "publish failed";
        }
      } else {
        std::vector<std::vector<std::byte>> owned;
        for (std::uint64_t i = 0; i < 4; ++i) owned.push_back(numbered_message(seq + i));
        std::vector<std::span<const std::byte>> batch(owned.begin(), owned.end());
        auto written = publisher.publish_many(batch);
        if (!written) return "publish_many failed";
        seq += *written;
      }
      std::this_thread::yield();
    }
    return {};
  }

  // Empty when every round held.
  std::string join_rounds(int joiner) {
    for (int round = 0; round < kRounds; ++round) {
      const std::uint64_t back = (round + joiner) % 3 == 0 ? 0 : (round * 7 + joiner) % (kCapacity / 2 + 1);
      const StartPosition start = back == 0 ? StartPosition::tail() : StartPosition::history(back);
      std::string failure = join_once(start, std::chrono::microseconds(200 * (round % 4)));
      if (!failure.empty())
        return "joiner " + std::to_string(joiner) + " round " + std::to_string(round) + ": " + failure;
    }
    return {};
  }

  void stop() { stop_.store(true); }

 private:
  std::string join_once(StartPosition start, std::chrono::microseconds pause) {
    auto subscriber = Subscriber::connect_with("t", config_, Duration{10, 0}, start);
    if (!subscriber) return "connect failed";
    std::uint64_t expected = (*subscriber)->cursor();
    std::this_thread::sleep_for(pause);
    std::vector<std::byte> out;
    for (std::uint32_t i = 0; i < 2 * kCapacity + 1; ++i) {
      auto got = (*subscriber)->receive_timeout_into(Duration{10, 0}, out);
      if (!got || !*got) return "no message " + std::to_string(expected);
      auto seq = check_numbered(out);
      if (!seq) return "torn message after " + std::to_string(expected - 1);
      if (*seq != expected) return "got " + std::to_string(*seq) + " for " + std::to_string(expected);
      ++expected;
    }
    return {};
  }

  TopicConfig config_;
  std::atomic<bool> stop_{false};
};

TEST(TransportConcurrent, JoinersFromHistoryAndTailGetEveryMessageUnderError) {
  TempDir dir;
  const TopicConfig config = small_config(dir.path(), JoinersUnderError::kCapacity, 128, 8, Backpressure::Error);
  auto publisher = Publisher::create("t", config);
  ASSERT_TRUE(publisher);
  JoinersUnderError joiners(config);
  std::string publisher_failure;
  std::jthread publishing([&] { publisher_failure = joiners.publish_until_stopped(**publisher); });
  std::vector<std::string> failures(JoinersUnderError::kJoiners);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < JoinersUnderError::kJoiners; ++i)
      threads.emplace_back([&, i] { failures[i] = joiners.join_rounds(i); });
  }
  joiners.stop();
  publishing.join();
  EXPECT_EQ(publisher_failure, "");
  for (const std::string& failure : failures) EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace qorva

#include "admission.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "publisher.h"
#include "ring.h"
#include "subscriber.h"
#include "support/peers.h"
#include "support/publisher_fixture.h"
#include "support/transport_support.h"
#include "sys.h"
#include "waker.h"

namespace qorva {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

// A cursor slot claimed at the tail through a mapping of its own, as a
// subscriber's connect claims one; empty when none is free.
std::optional<RingReader> claim_at_tail(const TempDir& dir) {
  RingBuffer ring = open_ring(dir);
  const std::uint64_t tail = ring.load_tail();
  return RingReader::claim(std::move(ring), tail);
}

// An error as a test failure shows it.
std::string describe(const Error& e) {
  const IoError* io = io_error(e);
  return io != nullptr ? io->text() : "error of kind " + std::to_string(e.value.index());
}

// A raw connection to the topic's socket, bypassing the subscriber; `counted`
// adds it to the ring's connect count as a subscriber does.
UniqueFd raw_connect(const TempDir& dir, bool counted) {
  auto stream = connect_unix(dir / "t/signal.sock");
  if (!stream) std::abort();
  if (counted) RingBufferPeer::add_connect_count(open_ring(dir));
  return std::move(*stream);
}

// Whether the publisher closed its end of `peer` within the timeout: the
// peer reads end of file, or a reset when its own data was left unread.
bool sees_closed(int peer, int timeout_ms = 5000) {
  pollfd p{peer, POLLIN, 0};
  char c;
  if (::poll(&p, 1, timeout_ms) != 1) return false;
  const ssize_t n = ::recv(peer, &c, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Sends `word_bytes` of the word `word` with a descriptor of a fresh eventfd.
void send_word(int peer, std::size_t word_bytes, std::uint32_t word) {
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  send_raw(peer, word_bytes, {wake->get()}, word);
}

// Publishes `n` messages, alternating single publishes and batches of one,
// about a millisecond apart (so timed accept passes run among them); each
// must succeed within 50 ms.
void publish_promptly(Publisher& publisher, int n) {
  for (int i = 0; i < n; ++i) {
    std::vector<std::byte> payload = bytes("p" + std::to_string(i));
    std::vector<std::span<const std::byte>> batch{payload};
    const auto start = std::chrono::steady_clock::now();
    if (i % 2 == 0) {
      auto published = publisher.publish(payload);
      ASSERT_TRUE(published) << i << ": " << describe(published.error());
    } else {
      auto written = publisher.publish_many(batch);
      ASSERT_TRUE(written) << i << ": " << describe(written.error());
      ASSERT_EQ(*written, 1u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms) << i;
    std::this_thread::sleep_for(1ms);
  }
}

// What a peer that is no subscriber does after connecting: hang up, or send
// something that is no handshake.
struct PeerFault {
  const char* name;
  std::function<void(UniqueFd&)> act;
  bool hangs_up;
};

void PrintTo(const PeerFault& fault, std::ostream* out) { *out << fault.name; }

class AdmissionPeerFault : public testing::TestWithParam<PeerFault> {};

// A peer's fault never costs a publish: the publisher closes the connection
// and goes on, whether the peer counted itself or not, and closes it by
// itself while it publishes nothing.
TEST_P(AdmissionPeerFault, ClosesThePeerAndNeverFailsAPublish) {
  TempDir dir;
  auto publisher = make_publisher(small_config(dir.path(), 64, 64, 4));
  if (!GetParam().hangs_up) {
    UniqueFd peer = raw_connect(dir, false);
    GetParam().act(peer);
    EXPECT_TRUE(sees_closed(peer.get())) << "idle";
  }
  for (bool counted : {true, false}) {
    UniqueFd peer = raw_connect(dir, false);
    GetParam().act(peer);
    if (counted) RingBufferPeer::add_connect_count(open_ring(dir));
    publish_promptly(*publisher, 12);
    if (!GetParam().hangs_up) {
      EXPECT_TRUE(sees_closed(peer.get())) << (counted ? "counted" : "uncounted");
    }
  }
  EXPECT_EQ(publisher->stats().tail, 24u);
  EXPECT_EQ(publisher->stats().connected_sockets, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AdmissionPeerFault,
    testing::Values(PeerFault{"HangsUpWithoutSending", [](UniqueFd& peer) { peer.reset(); }, true},
                    PeerFault{"SendsOnlyData", [](UniqueFd& peer) { send_raw(peer.get(), 4, {}); }, false},
                    PeerFault{"SendsAShortWord", [](UniqueFd& peer) { send_word(peer.get(), 2, 0); }, false},
                    PeerFault{"NamesASlotBeyondTheRing", [](UniqueFd& peer) { send_word(peer.get(), 4, 4); }, false}),
    [](const testing::TestParamInfo<PeerFault>& info) { return std::string(info.param.name); });

// Peers that connect and send nothing (a stray process, or a subscriber
// stopped between its connect and its handshake) stay connected and cost no
// publish anything.
TEST(AdmissionHandshake, SilentPeersNeverStallAPublish) {
  TempDir dir;
  auto publisher = make_publisher(small_config(dir.path(), 64));
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 4; ++i) silent.push_back(raw_connect(dir, true));
  publish_promptly(*publisher, 50);
  EXPECT_EQ(publisher->stats().tail, 50u);
  for (UniqueFd& peer : silent) EXPECT_FALSE(sees_closed(peer.get(), 0));
}

// A subscriber that hands its descriptor over long after connecting, as one
// stopped in between does: the passes it misses leave it waiting, a later
// one takes it in, and it is woken for the next message.
TEST(AdmissionHandshake, HandshakeArrivingLateIsTakenByALaterPass) {
  TempDir dir;
  auto publisher = make_publisher(small_config(dir.path(), 16));
  publish_n(*publisher, 1);
  auto reader = claim_at_tail(dir);
  ASSERT_TRUE(reader);
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  UniqueFd connection = raw_connect(dir, false);
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(11ms);  // past the timed pass
    ASSERT_TRUE(publisher->publish(view(bytes("while connecting")))) << i;
  }
  ASSERT_TRUE(send_fd(connection.get(), wake->get(), reader->slot()));
  reader->add_connect_count();
  const std::uint64_t cursor = reader->load_tail();
  reader->store_cursor(cursor);
  ASSERT_EQ(reader->arm_wakeup(), cursor);  // nothing new: sleep
  std::jthread later([&] {
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(publisher->publish(view(bytes("late"))));
  });
  auto woken = poll_wakeup(wake->get(), connection.get(), Deadline::after(Duration{5, 0}));
  ASSERT_TRUE(woken) << woken.error().text();
  later.join();
  std::vector<std::byte> out;
  EXPECT_EQ(reader->try_receive(cursor, out).status, ReadStatus::Message);
  EXPECT_EQ(text(out), "late");
  EXPECT_EQ(publisher->stats().connected_sockets, 1u);
  reader.reset();  // releases the slot
}

// Handshakes arrive in no fixed order: an older connection's may come after
// a newer one's naming the same slot. Every subscriber claims its slot before
// it connects and leaves it only after, so the newer one is the slot's holder:
// the older one is closed, and the holder keeps getting its wakeups.
TEST(AdmissionHandshake, LateHandshakeForASlotTakenOverSinceIsClosed) {
  TempDir dir;
  auto publisher = make_publisher(small_config(dir.path()));
  auto reader = claim_at_tail(dir);
  ASSERT_TRUE(reader);
  auto older_wake = create_wake_fd(), holder_wake = create_wake_fd();
  ASSERT_TRUE(older_wake && holder_wake);
  UniqueFd older = raw_connect(dir, false);
  UniqueFd holder = raw_connect(dir, false);
  ASSERT_TRUE(send_fd(holder.get(), holder_wake->get(), reader->slot()));
  reader->add_connect_count();
  publish_n(*publisher, 1);
  ASSERT_EQ(publisher->stats().connected_sockets, 1u);
  ASSERT_TRUE(send_fd(older.get(), older_wake->get(), reader->slot()));
  reader->add_connect_count();
  publish_n(*publisher, 1);
  EXPECT_TRUE(sees_closed(older.get()));
  EXPECT_EQ(publisher->stats().connected_sockets, 1u);

  const std::uint64_t cursor = reader->load_tail();
  reader->store_cursor(cursor);
  ASSERT_EQ(reader->arm_wakeup(), cursor);
  publish_n(*publisher, 1);
  EXPECT_TRUE(poll_wakeup(holder_wake->get(), holder.get(), Deadline::after(Duration{2, 0})));
  EXPECT_FALSE(read_wakeup(older_wake->get()));
  reader.reset();  // releases the slot
}

// Every subscription that comes and goes while the publisher is idle leaves a
// connection behind; unless something takes those in, the listener's queue
// fills and refuses every later subscriber. Under a descriptor limit well
// below what the churn's handshakes would hold if they piled up instead.
TEST(Admission, IdlePublisherLetsSubscribersInHoweverManyCameAndWent) {
  TempDir dir;
  const TopicConfig config = small_config(dir.path());
  enum : int { kOk, kNoPublisher, kChurnRefused, kLastRefused, kNotReceived };
  Child child([&] {
    const rlimit limit{1024, 1024};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return int{kNoPublisher};
    auto publisher = Publisher::create("t", config);
    if (!publisher || !(*publisher)->publish(view(bytes("before")))) return int{kNoPublisher};
    for (int i = 0; i < 5000; ++i) {
      if (!Subscriber::connect_with("t", config, Duration{2, 0}, StartPosition::tail())) return int{kChurnRefused};
    }
    auto last = Subscriber::connect_with("t", config, Duration{2, 0}, StartPosition::tail());
    if (!last) return int{kLastRefused};
    if (!(*publisher)->publish(view(bytes("after the churn")))) return int{kNotReceived};
    std::vector<std::byte> out;
    auto received = (*last)->receive_timeout_into(Duration{5, 0}, out);
    return received && *received && text(out) == "after the churn" ? int{kOk} : int{kNotReceived};
  });
  EXPECT_EQ(child.wait(60s), kOk);
}

}  // namespace
}  // namespace qorva

#include "waker.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>
#include "support/temp_dir.h"
#include "support/transport_support.h"

namespace qorva {
namespace {

using testing_support::ChildEnd;
using testing_support::ChildProcess;
using testing_support::send_raw;
using testing_support::TempDir;

using Clock = std::chrono::steady_clock;

bool has_cloexec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }
bool is_nonblocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

// A pipe whose write end is passed to the publisher: once every copy of that
// end is closed, the read end sees end of file. So it shows whether the
// receiver closed the descriptor it was given.
struct Probe {
  UniqueFd read_end, write_end;
  Probe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
  }
  // After our own write end is closed: true when no copy survives anywhere.
  bool all_copies_closed() {
    write_end.reset();
    char c;
    return ::read(read_end.get(), &c, 1) == 0;
  }
};

class Handshakes : public testing::Test {
 protected:
  using Received = std::expected<std::optional<Handshake>, IoError>;

  void SetUp() override {
    auto l = listen_unix(sock_path_);
    ASSERT_TRUE(l) << l.error().text();
    listener_ = std::move(*l);
  }
  UniqueFd connect() {
    auto c = connect_unix(sock_path_);
    EXPECT_TRUE(c) << c.error().text();
    return c ? std::move(*c) : UniqueFd();
  }
  // The publisher's end of the next queued connection.
  UniqueFd accept() {
    auto accepted = accept_connection(listener_.get());
    EXPECT_TRUE(accepted && *accepted) << "no connection queued";
    return accepted && *accepted ? std::move(**accepted) : UniqueFd();
  }
  Received receive(UniqueFd& connection, std::uint32_t max_subscribers = 16) {
    return try_receive_handshake(connection, max_subscribers);
  }
  void expect_refused(const Received& r) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), IoKind::InvalidData);
    EXPECT_EQ(r.error().text(), "expected SCM_RIGHTS");
  }

  TempDir dir_;
  std::string sock_path_ = dir_.file("signal.sock");
  UniqueFd listener_;
};

// --- The wakeup descriptor ---

TEST(WakeFd, IsASemaphoreNonBlockingCloseOnExec) {
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  EXPECT_TRUE(has_cloexec(wake->get()));
  EXPECT_TRUE(is_nonblocking(wake->get()));
  auto empty = read_wakeup(wake->get());
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind(), IoKind::WouldBlock);
  ASSERT_TRUE(write_wakeup(wake->get()));
  ASSERT_TRUE(write_wakeup(wake->get()));
  EXPECT_TRUE(read_wakeup(wake->get()));
  EXPECT_TRUE(read_wakeup(wake->get()));
  auto third = read_wakeup(wake->get());
  ASSERT_FALSE(third);
  EXPECT_EQ(third.error().kind(), IoKind::WouldBlock);
}

TEST(WakeFd, FullCounterRefusesWithoutBlocking) {
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  std::uint64_t near_full = 0xFFFFFFFFFFFFFFFE;
  ASSERT_EQ(::write(wake->get(), &near_full, 8), 8);
  auto r = write_wakeup(wake->get());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoKind::WouldBlock);
}

// --- The handshake ---

TEST_F(Handshakes, WordAndDescriptorArriveAndTheDescriptorWakes) {
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  UniqueFd conn = connect();
  ASSERT_TRUE(send_fd(conn.get(), wake->get(), 3));
  UniqueFd server = accept();
  EXPECT_TRUE(has_cloexec(server.get()));
  EXPECT_TRUE(is_nonblocking(server.get()));  // no read of it ever waits
  auto got = receive(server);
  ASSERT_TRUE(got) << got.error().text();
  ASSERT_TRUE(got->has_value());
  Handshake& h = **got;
  EXPECT_EQ(h.cursor_idx, 3u);
  EXPECT_NE(h.wake_fd.get(), wake->get());
  EXPECT_TRUE(has_cloexec(h.wake_fd.get()));
  EXPECT_TRUE(h.connection);
  EXPECT_FALSE(server);  // moved into the handshake

  auto idle = poll_wakeup(wake->get(), conn.get(), Deadline::now());
  ASSERT_FALSE(idle);
  EXPECT_EQ(idle.error().kind(), IoKind::WouldBlock);
  EXPECT_EQ(idle.error().text(), "poll timeout");
  ASSERT_TRUE(write_wakeup(h.wake_fd.get()));
  EXPECT_TRUE(poll_wakeup(wake->get(), conn.get(), Deadline::after(Duration{1, 0})));
  EXPECT_TRUE(read_wakeup(wake->get()));
  EXPECT_FALSE(read_wakeup(wake->get()));
}

TEST_F(Handshakes, NothingQueuedIsNoConnection) {
  auto accepted = accept_connection(listener_.get());
  ASSERT_TRUE(accepted);
  EXPECT_FALSE(accepted->has_value());
}

// A peer that has sent nothing yet is no refusal: its handshake is read
// whenever it comes, however late.
TEST_F(Handshakes, HandshakeNotYetSentIsWaitedForWithoutBlocking) {
  UniqueFd conn = connect();
  UniqueFd server = accept();
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    auto nothing = receive(server);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
    ASSERT_TRUE(nothing) << nothing.error().text();
    EXPECT_FALSE(nothing->has_value());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  ASSERT_TRUE(send_fd(conn.get(), wake->get(), 5));
  auto got = receive(server);
  ASSERT_TRUE(got) << got.error().text();
  ASSERT_TRUE(got->has_value());
  EXPECT_EQ((*got)->cursor_idx, 5u);
}

TEST_F(Handshakes, PeerThatClosesWithoutSendingIsRefused) {
  connect().reset();
  UniqueFd server = accept();
  expect_refused(receive(server));
  auto next = accept_connection(listener_.get());
  ASSERT_TRUE(next);
  EXPECT_FALSE(next->has_value());
}

TEST_F(Handshakes, MalformedHandshakesAreRefusedAndTheirDescriptorsClosed) {
  struct Case {
    const char* what;
    std::size_t word_bytes;
    int descriptors;
    std::uint32_t word;
  };
  for (Case c : {Case{"data only", 4, 0, 1}, Case{"short word", 2, 1, 1}, Case{"one byte", 1, 1, 0},
                 Case{"index at max_subscribers", 4, 1, 16}, Case{"index far out", 4, 1, 0xFFFFFFFF},
                 Case{"three descriptors", 4, 3, 1}}) {
    UniqueFd conn = connect();
    std::vector<Probe> probes(static_cast<std::size_t>(c.descriptors));
    std::vector<int> fds;
    for (auto& p : probes) fds.push_back(p.write_end.get());
    send_raw(conn.get(), c.word_bytes, fds, c.word);
    UniqueFd server = accept();
    expect_refused(receive(server, 16));
    for (auto& p : probes) EXPECT_TRUE(p.all_copies_closed()) << c.what;
  }
}

TEST_F(Handshakes, DescriptorsPastTheFirstAreClosed) {
  UniqueFd conn = connect();
  Probe first, second;
  send_raw(conn.get(), 4, {first.write_end.get(), second.write_end.get()}, 15);
  UniqueFd server = accept();
  auto got = receive(server, 16);
  ASSERT_TRUE(got) << got.error().text();
  ASSERT_TRUE(got->has_value());
  EXPECT_EQ((*got)->cursor_idx, 15u);
  EXPECT_TRUE(second.all_copies_closed());
  EXPECT_FALSE(first.all_copies_closed());  // the one taken lives on
}

TEST_F(Handshakes, SendToAClosedPeerFailsWithoutASignal) {
  UniqueFd conn = connect();
  accept().reset();  // accept and drop the publisher's end
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  std::expected<void, IoError> r;
  for (int i = 0; i < 3 && r; ++i) r = send_fd(conn.get(), wake->get(), 0);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().os_errno() == EPIPE || r.error().os_errno() == ECONNRESET) << r.error().text();
}

// --- Waiting ---

TEST(PollWakeup, HangUpWinsOverAPendingUnit) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd sub_end(pair[0]), pub_end(pair[1]);
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  ASSERT_TRUE(write_wakeup(wake->get()));
  EXPECT_TRUE(poll_wakeup(wake->get(), sub_end.get(), Deadline::now()));
  pub_end.reset();
  auto r = poll_wakeup(wake->get(), sub_end.get(), Deadline::never());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoKind::UnexpectedEof);
  EXPECT_EQ(r.error().text(), "publisher disconnected");
}

void ignore_signal(int) {}

TEST(PollWakeup, SignalDoesNotEndTheWait) {
  struct sigaction sa {
  }, old{};
  sa.sa_handler = ignore_signal;  // no SA_RESTART: poll fails with EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd sub_end(pair[0]), pub_end(pair[1]);
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  pthread_t waiter = ::pthread_self();
  std::thread poker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::pthread_kill(waiter, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    (void)write_wakeup(wake->get());
  });
  auto r = poll_wakeup(wake->get(), sub_end.get(), Deadline::after(Duration{5, 0}));
  poker.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  EXPECT_TRUE(r) << r.error().text();
}

// --- Sockets ---

TEST(UnixSockets, PathsOver107BytesAreRefusedAtBindAndConnect) {
  TempDir dir;
  std::string base = dir.path() + "/";
  std::string longest = base + std::string(107 - base.size(), 's');
  std::string too_long = longest + "s";
  ASSERT_EQ(longest.size(), 107u);
  for (auto make : {listen_unix, connect_unix}) {
    auto r = make(too_long);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), IoKind::InvalidInput);
    EXPECT_EQ(r.error().text(), "path must be shorter than SUN_LEN");
  }
  auto listener = listen_unix(longest);
  ASSERT_TRUE(listener) << listener.error().text();
  EXPECT_TRUE(connect_unix(longest));
}

TEST(UnixSockets, ListenerIsNonBlockingAndConnectionsCloseOnExec) {
  TempDir dir;
  auto listener = listen_unix(dir.file("signal.sock"));
  ASSERT_TRUE(listener);
  EXPECT_TRUE(is_nonblocking(listener->get()));
  EXPECT_TRUE(has_cloexec(listener->get()));
  auto conn = connect_unix(dir.file("signal.sock"));
  ASSERT_TRUE(conn);
  EXPECT_TRUE(has_cloexec(conn->get()));
  EXPECT_FALSE(is_nonblocking(conn->get()));
  auto nobody = connect_unix(dir.file("absent.sock"));
  ASSERT_FALSE(nobody);
  EXPECT_EQ(nobody.error().kind(), IoKind::NotFound);
  auto nul = listen_unix(dir.file("a") + std::string(1, '\0') + "b");
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().text(), "file name contained an unexpected NUL byte");
}

// Subscribers in other processes hand over their eventfds; the publisher
// wakes each through the descriptor it received.
TEST(WakerConcurrent, ForkedSubscribersHandshakeAndAreWoken) {
  TempDir dir;
  const std::string path = dir.file("signal.sock");
  auto listener = listen_unix(path);
  ASSERT_TRUE(listener);
  constexpr std::uint32_t kSubscribers = 8;
  std::vector<ChildProcess> children;
  for (std::uint32_t k = 0; k < kSubscribers; ++k) {
    children.emplace_back([&, k] {
      auto wake = create_wake_fd();
      auto conn = connect_unix(path);
      if (!wake || !conn || !send_fd(conn->get(), wake->get(), k)) return 2;
      if (!poll_wakeup(wake->get(), conn->get(), Deadline::after(Duration{10, 0})) || !read_wakeup(wake->get()))
        return 3;
      return 0;
    });
  }
  std::vector<Handshake> accepted;
  std::vector<UniqueFd> pending;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (accepted.size() < kSubscribers && Clock::now() < deadline) {
    auto queued = accept_connection(listener->get());
    ASSERT_TRUE(queued) << queued.error().text();
    if (queued->has_value()) pending.push_back(std::move(**queued));
    for (auto it = pending.begin(); it != pending.end();) {
      auto got = try_receive_handshake(*it, kSubscribers);
      ASSERT_TRUE(got) << got.error().text();
      if (!got->has_value()) {
        ++it;
        continue;
      }
      accepted.push_back(std::move(**got));
      it = pending.erase(it);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(accepted.size(), kSubscribers);
  std::vector<bool> seen(kSubscribers);
  for (auto& h : accepted) {
    EXPECT_FALSE(seen[h.cursor_idx]);
    seen[h.cursor_idx] = true;
    EXPECT_TRUE(write_wakeup(h.wake_fd.get()));
  }
  for (ChildProcess& child : children) EXPECT_EQ(child.wait(std::chrono::seconds(20)), ChildEnd::exited(0));
}

}  // namespace
}  // namespace qorva

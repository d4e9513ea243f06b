// Every timed wait ends by its deadline while a periodic signal keeps
// interrupting it: an interrupted wait must go on with the time that remains,
// never start over with its full timeout.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "publisher.h"
#include "subscriber.h"
#include "support/transport_support.h"
#include "waker.h"

namespace qorva {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

constexpr Duration kWait = Duration::from_millis(300);
constexpr auto kTickEvery = 20ms;
// A wait still running after this many ticks (5 s, many times its timeout)
// never ends while the signals go on.
constexpr int kMaxTicks = 250;

std::atomic<int> g_signals_seen{0};
void count_signal(int) { g_signals_seen.fetch_add(1, std::memory_order_relaxed); }

class InterruptedWait : public testing::Test {
 protected:
  void SetUp() override {
    struct sigaction sa {};
    sa.sa_handler = count_signal;  // no SA_RESTART: blocking calls fail with EINTR
    ASSERT_EQ(::sigaction(SIGALRM, &sa, &old_), 0);
    g_signals_seen = 0;
  }
  void TearDown() override { ::sigaction(SIGALRM, &old_, nullptr); }

  // Runs `wait` on this thread while another sends it SIGALRM every 20 ms;
  // true when it ended before the ticks ran out.
  bool ends_while_interrupted(const std::function<void()>& wait) {
    std::atomic<bool> done{false};
    const pthread_t waiter = ::pthread_self();
    int ticks = 0;
    std::thread ticker([&] {
      for (; ticks < kMaxTicks && !done.load(); ++ticks) {
        std::this_thread::sleep_for(kTickEvery);
        if (!done.load()) ::pthread_kill(waiter, SIGALRM);
      }
    });
    wait();
    done = true;
    ticker.join();
    EXPECT_GT(g_signals_seen.load(), 0) << "the wait was never interrupted";
    return ticks < kMaxTicks;
  }

  TempDir dir_;
  TopicConfig config_ = small_config(dir_.path());
  struct sigaction old_ {};
};

TEST_F(InterruptedWait, PollForAWakeup) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd sub_end(pair[0]), pub_end(pair[1]);
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  std::expected<void, IoError> polled;
  EXPECT_TRUE(
      ends_while_interrupted([&] { polled = poll_wakeup(wake->get(), sub_end.get(), Deadline::after(kWait)); }));
  ASSERT_FALSE(polled);
  EXPECT_EQ(polled.error().text(), "poll timeout");
}

TEST_F(InterruptedWait, ReceiveWithATimeoutAndWaitReadable) {
  auto publisher = Publisher::create("t", config_);
  ASSERT_TRUE(publisher);
  auto sub = Subscriber::connect_with("t", config_, Duration{5, 0}, StartPosition::tail());
  ASSERT_TRUE(sub);
  std::vector<std::byte> out;
  Result<bool> got, woken;
  EXPECT_TRUE(ends_while_interrupted([&] { got = (*sub)->receive_timeout_into(kWait, out); }));
  ASSERT_TRUE(got);
  EXPECT_FALSE(*got);
  EXPECT_TRUE(ends_while_interrupted([&] { woken = (*sub)->wait_readable(Deadline::after(kWait)); }));
  ASSERT_TRUE(woken);
  EXPECT_FALSE(*woken);
}

TEST_F(InterruptedWait, WaitForSubscribersAndConnectRetries) {
  auto publisher = Publisher::create("t", config_);
  ASSERT_TRUE(publisher);
  Result<void> waited;
  EXPECT_TRUE(ends_while_interrupted([&] { waited = (*publisher)->wait_for_subscribers(1, kWait); }));
  ASSERT_FALSE(waited);
  EXPECT_NE(waited.error().get_if<Error::ConnectTimeout>(), nullptr);

  Result<std::unique_ptr<Subscriber>> connected;
  EXPECT_TRUE(ends_while_interrupted(
      [&] { connected = Subscriber::connect_with("absent", config_, kWait, StartPosition::tail()); }));
  ASSERT_FALSE(connected);
  EXPECT_NE(connected.error().get_if<Error::ConnectTimeout>(), nullptr);
}

TEST_F(InterruptedWait, Sleep) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(ends_while_interrupted([] { sleep_for(kWait); }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);  // an interruption does not cut it short
}

}  // namespace
}  // namespace qorva

#include "support/child_process.h"

#include <sys/ptrace.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace qorva::testing_support {
namespace {

using namespace std::chrono_literals;

TEST(ChildProcess, ReportsHowTheChildEnded) {
  struct Case {
    const char* name;
    std::function<int()> body;
    ChildEnd want;
  };
  const Case cases[] = {
      {"returns 0", [] { return 0; }, ChildEnd::exited(0)},
      {"returns 7", [] { return 7; }, ChildEnd::exited(7)},
      {"ends itself with _exit", []() -> int { ::_exit(5); }, ChildEnd::exited(5)},
      {"throws", []() -> int { throw std::runtime_error("in the child"); }, ChildEnd::exited(kChildThrew)},
      {"throws something odd", []() -> int { throw 42; }, ChildEnd::exited(kChildThrew)},
      {"killed by a signal", [] { return ::raise(SIGTERM); }, ChildEnd::killed_by(SIGTERM)},
  };
  for (const Case& c : cases) EXPECT_EQ(run_in_child(c.body, 10s), c.want) << c.name;
}

// The child never returns into the test: what the parent does after the
// fork runs once.
TEST(ChildProcess, BodyRunsOnlyInTheChild) {
  int runs = 0;
  ChildProcess child([&] {
    ++runs;
    return runs == 1 ? 0 : 1;
  });
  EXPECT_GT(child.pid(), 0);
  EXPECT_EQ(child.wait(10s), ChildEnd::exited(0));
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(child.pid(), -1);
  EXPECT_EQ(child.wait(10s), ChildEnd::exited(0));  // told again once reaped
}

TEST(ChildProcess, AChildStillRunningAtTheTimeoutIsKilledAndFails) {
  ChildEnd end;
  EXPECT_NONFATAL_FAILURE(end = run_in_child([] { return ::pause(); }, 50ms), "still running after 50 ms; killed");
  EXPECT_TRUE(end.timed_out);
  EXPECT_EQ(end.signal, SIGKILL);
}

TEST(ChildProcess, KillEndsARunningChildAndReportsAnEarlierExit) {
  ChildProcess sleeper([] { return ::pause(); });
  const pid_t pid = sleeper.pid();
  EXPECT_EQ(sleeper.kill(), ChildEnd::killed_by(SIGKILL));
  EXPECT_NE(::kill(pid, 0), 0);  // reaped: no such process any more

  ChildProcess quick([] { return 3; });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(quick.kill(), ChildEnd::exited(3));
}

TEST(ChildProcess, DestructionKillsAndReapsAChildNotWaitedFor) {
  pid_t pid = -1;
  pid = ChildProcess([] { return ::pause(); }).pid();  // destroyed at once
  ASSERT_GT(pid, 0);
  EXPECT_NE(::kill(pid, 0), 0);
}

// A traced child that stops once at its start, then runs `rest`.
ChildProcess traced(int (*rest)()) {
  return ChildProcess([rest] {
    ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    ::raise(SIGSTOP);
    return rest();
  });
}

TEST(ChildProcess, WaitStopSeesEachStopThenTheEnd) {
  ChildProcess child = traced([] { return 4; });
  const std::optional<int> stop = child.wait_stop(10s);
  ASSERT_TRUE(stop);
  EXPECT_TRUE(WIFSTOPPED(*stop));
  EXPECT_EQ(WSTOPSIG(*stop), SIGSTOP);
  ASSERT_EQ(::ptrace(PTRACE_CONT, child.pid(), nullptr, 0), 0);
  EXPECT_EQ(child.wait_stop(10s), std::nullopt);
  EXPECT_EQ(child.wait(10s), ChildEnd::exited(4));
}

TEST(ChildProcess, ATracedChildThatNeverStopsIsKilledAndFails) {
  ChildProcess child = traced([] { return ::pause(); });
  ASSERT_TRUE(child.wait_stop(10s));
  ASSERT_EQ(::ptrace(PTRACE_CONT, child.pid(), nullptr, 0), 0);
  std::optional<int> stop;
  EXPECT_NONFATAL_FAILURE(stop = child.wait_stop(50ms), "did not stop within 50 ms; killed");
  EXPECT_EQ(stop, std::nullopt);
  EXPECT_EQ(child.pid(), -1);
}

}  // namespace
}  // namespace qorva::testing_support

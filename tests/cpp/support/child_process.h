// A test's child process: a callable run in a real fork()ed child, and a
// bounded wait for its end, so that a hung child fails its test instead of
// hanging the suite.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cxxabi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <thread>
#include <utility>

#include "sys.h"

namespace qorva::testing_support {

// How a child ended. Compare with EXPECT_EQ(end, ChildEnd::exited(0)): a
// mismatch prints how it really ended.
struct ChildEnd {
  int exit_code = -1;      // its exit status; -1 unless it exited
  int signal = 0;          // the signal that ended it; 0 unless one did
  bool timed_out = false;  // still running when the wait gave up, then killed

  static ChildEnd exited(int code) { return {code, 0, false}; }
  static ChildEnd killed_by(int sig) { return {-1, sig, false}; }
  bool operator==(const ChildEnd&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const ChildEnd& end) {
  if (end.timed_out) return out << "timed out and killed";
  if (end.signal != 0) return out << "killed by signal " << end.signal << " (" << ::strsignal(end.signal) << ")";
  if (end.exit_code >= 0) return out << "exited with " << end.exit_code;
  return out << "never started or not reaped";
}

// The exit status of a child whose body threw.
inline constexpr int kChildThrew = 99;

// A callable run in a fork()ed child. The child ends with _exit(what the body
// returned), or kChildThrew when it threw: nothing unwinds into the test
// runner's copy there, and no destructor, atexit handler or gtest teardown of
// the parent's state runs in it. The body may end the child itself with
// _exit. A child not yet reaped when this is destroyed is killed (SIGKILL)
// and reaped. Move-only; waited for by the thread that made it. A failed fork
// fails the test, and every wait then reports a child that never started.
class ChildProcess {
 public:
  explicit ChildProcess(const std::function<int()>& body) {
    pid_ = ::fork();
    if (pid_ < 0) {
      ADD_FAILURE() << "fork: " << std::strerror(errno);
      return;
    }
    if (pid_ == 0) {
      int status = kChildThrew;
      try {
        status = body();
      } catch (abi::__forced_unwind&) {
        throw;  // a pthread_exit in the body: the thread must go on ending
      } catch (...) {
      }
      ::_exit(status);
    }
  }
  ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)), end_(other.end_) {}
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess() {
    if (pid_ > 0) kill();
  }

  // The child's pid; -1 once it was reaped, or when fork failed.
  pid_t pid() const { return pid_; }

  // Polls the child until it ends or `timeout` passes; then it is killed
  // (SIGKILL), reaped, and the test fails. Reaps the child; once reaped,
  // returns how it ended again.
  ChildEnd wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return end_;
    if (auto status = next_status(after(timeout), false)) return reaped(*status);
    if (pid_ <= 0) return end_;
    ADD_FAILURE() << "child " << pid_ << " still running after " << timeout.count() << " ms; killed";
    end_ = kill();
    end_.timed_out = true;
    return end_;
  }

  // Kills the child (SIGKILL) and reaps it: how it ended, which is its own
  // exit if that came first. Fails the test when even that takes 10 s (a
  // child stuck in the kernel), leaving it unreaped.
  ChildEnd kill() {
    if (pid_ <= 0) return end_;
    ::kill(pid_, SIGKILL);
    if (auto status = next_status(after(std::chrono::seconds(10)), false)) return reaped(*status);
    if (pid_ <= 0) return end_;
    ADD_FAILURE() << "child " << pid_ << " not reaped 10 s after SIGKILL";
    pid_ = -1;
    end_ = ChildEnd{-1, SIGKILL, true};
    return end_;
  }

  // For a child under ptrace(2), whose stops are reported to this process:
  // waits at most `timeout` for its next stop and returns the whole wait
  // status (WSTOPSIG tells the stop). None when it ended instead (it is reaped
  // and wait() tells how) or did not stop in time (it is killed and the test
  // fails).
  std::optional<int> wait_stop(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    auto status = next_status(after(timeout), true);
    if (status && WIFSTOPPED(*status)) return status;
    if (status) {
      (void)reaped(*status);
    } else if (pid_ > 0) {
      ADD_FAILURE() << "traced child " << pid_ << " did not stop within " << timeout.count() << " ms; killed";
      (void)kill();
    }
    return std::nullopt;
  }

 private:
  static std::chrono::steady_clock::time_point after(std::chrono::milliseconds timeout) {
    return std::chrono::steady_clock::now() + timeout;
  }

  // The child's next wait status, an end or (with `stops`) a stop, polled
  // until `deadline`: none when it passed. A child reaped by someone else
  // (SIGCHLD ignored, a waitpid(-1) elsewhere) fails the test and counts as
  // reaped, with no end known.
  std::optional<int> next_status(std::chrono::steady_clock::time_point deadline, bool stops) {
    // Between looks it sleeps in poll on a pidfd, which wakes the moment the
    // child ends, for up to 1 ms (a stop does not wake it); without a pidfd
    // it sleeps from 10 us up to 1 ms.
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    std::chrono::microseconds pause(10);
    for (;;) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ && (stops || WIFEXITED(status) || WIFSIGNALED(status))) return status;
      if (r < 0 && errno != EINTR) {
        ADD_FAILURE() << "waitpid(" << pid_ << "): " << std::strerror(errno);
        pid_ = -1;
        return std::nullopt;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      if (pidfd.get() >= 0) {
        pollfd ended{pidfd.get(), POLLIN, 0};
        ::poll(&ended, 1, 1);
      } else {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
      }
    }
  }

  ChildEnd reaped(int status) {
    pid_ = -1;
    end_ = WIFSIGNALED(status) ? ChildEnd::killed_by(WTERMSIG(status)) : ChildEnd::exited(WEXITSTATUS(status));
    return end_;
  }

  pid_t pid_ = -1;
  ChildEnd end_;  // how it ended, once reaped
};

// Runs `body` in a fork()ed child (ChildProcess) and waits for it at most
// `timeout`.
inline ChildEnd run_in_child(const std::function<int()>& body,
                             std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  return ChildProcess(body).wait(timeout);
}

}  // namespace qorva::testing_support

// Shared helpers of the transport tests: a fresh directory per test, small
// configurations, byte conversions and forked child processes with bounded
// waits.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "config.h"
#include "error.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace qorva::testing_support {

// A fresh directory under /tmp, removed with everything in it at the end.
// A small topic configuration without a log.
inline TopicConfig small_config(const std::string& dir, std::uint32_t capacity = 8, std::uint32_t slot_size = 64,
                                std::uint32_t max_subscribers = 4, Backpressure backpressure = Backpressure::Error) {
  TopicConfig config;
  config.dir = dir;
  config.capacity = capacity;
  config.slot_size = slot_size;
  config.max_subscribers = max_subscribers;
  config.backpressure = backpressure;
  config.wal.enabled = false;
  return config;
}

// The same with the log on, flushed every 5 ms, in segments of
// `max_segment_bytes`.
inline TopicConfig logged_config(const std::string& dir, std::uint32_t capacity = 8,
                                 Backpressure backpressure = Backpressure::Error,
                                 std::uint64_t max_segment_bytes = 64ull << 20) {
  TopicConfig config = small_config(dir, capacity, 64, 4, backpressure);
  config.wal.enabled = true;
  config.wal.max_segment_bytes = max_segment_bytes;
  return config;
}

inline std::vector<std::byte> bytes(std::string_view text) {
  std::vector<std::byte> out(text.size());
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

inline std::string text(std::span<const std::byte> data) {
  return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

inline std::span<const std::byte> view(const std::vector<std::byte>& data) { return data; }

// The I/O error inside an Error, or null.
inline const IoError* io_error(const Error& e) {
  const auto* io = e.get_if<Error::Io>();
  return io == nullptr ? nullptr : &io->error;
}

inline bool is_io_text(const Error& e, std::string_view expected) {
  const IoError* io = io_error(e);
  return io != nullptr && io->text() == expected;
}

// Sends `bytes` of the word and the given descriptors in one sendmsg, as a
// foreign or faulty subscriber might.
inline void send_raw(int socket, std::size_t bytes, const std::vector<int>& fds, std::uint32_t word = 0) {
  iovec iov{&word, bytes};
  std::vector<unsigned char> control(CMSG_SPACE(sizeof(int) * std::max<std::size_t>(fds.size(), 1)), 0);
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (!fds.empty()) {
    msg.msg_control = control.data();
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  }
  ASSERT_EQ(::sendmsg(socket, &msg, MSG_NOSIGNAL), static_cast<ssize_t>(bytes));
}

// A forked child running `body`, whose int result becomes its exit status
// (ChildProcess, with the exit status alone). Destruction kills a child that
// is still running.
class Child {
 public:
  explicit Child(const std::function<int()>& body) : process_(body) {}

  pid_t pid() const { return process_.pid(); }

  // The exit status, or -1 when it ended by a signal or did not exit within
  // the timeout (then it is killed and the test fails).
  int wait(std::chrono::milliseconds timeout) { return process_.wait(timeout).exit_code; }

  void kill_now() { (void)process_.kill(); }

 private:
  ChildProcess process_;
};

// A pipe carrying 8-byte values from one process to another.
class Channel {
 public:
  Channel() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) std::abort();
  }
  ~Channel() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  void send(std::uint64_t v) { (void)!::write(fds_[1], &v, sizeof v); }
  // The next value, or none when nothing came within the timeout.
  std::optional<std::uint64_t> receive(int timeout_ms) {
    pollfd p{fds_[0], POLLIN, 0};
    std::uint64_t v = 0;
    if (::poll(&p, 1, timeout_ms) != 1 || ::read(fds_[0], &v, sizeof v) != sizeof v) return std::nullopt;
    return v;
  }

 private:
  int fds_[2];
};

// A one-way signal between processes.
class Signal {
 public:
  void notify() { channel_.send(1); }
  // True when the signal came within the timeout.
  bool wait(int timeout_ms) { return channel_.receive(timeout_ms).has_value(); }

 private:
  Channel channel_;
};

// CPU time this thread has used, in nanoseconds: a wait that spins instead of
// sleeping shows up here.
inline std::int64_t thread_cpu_nanos() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Polls `condition` every millisecond until it holds or the timeout passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace qorva::testing_support

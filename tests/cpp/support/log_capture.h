// Log sinks for tests: the lines kept in memory, or written to a descriptor.
#pragma once

#include <expected>
#include <mutex>
#include <string>
#include <string_view>

#include "logging.h"
#include "sys.h"

namespace qorva::testing_support {

// Installs itself as the log sink, with logging switched on at "info" (or
// whatever an earlier test of the process chose), and puts the previous sink
// back when it goes. Thread-safe.
class LogCapture : public LogSink {
 public:
  LogCapture() : previous_(set_log_sink(this)) { init_logging("info"); }
  ~LogCapture() override { set_log_sink(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::expected<void, IoError> write(std::string_view line) override {
    std::lock_guard guard(mutex_);
    lines_.append(line);
    return {};
  }
  // Every line so far, newlines included.
  std::string lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::string lines_;
  LogSink* previous_;
};

// Installs itself as the log sink, writing each line to a descriptor it does
// not own as standard error would, and puts the previous sink back when it goes.
class FdLogSink : public LogSink {
 public:
  explicit FdLogSink(int fd) : fd_(fd), previous_(set_log_sink(this)) {}
  ~FdLogSink() override { set_log_sink(previous_); }
  FdLogSink(const FdLogSink&) = delete;
  FdLogSink& operator=(const FdLogSink&) = delete;

  std::expected<void, IoError> write(std::string_view line) override {
    return write_all(fd_, line.data(), line.size());
  }

 private:
  int fd_;
  LogSink* previous_;
};

}  // namespace qorva::testing_support

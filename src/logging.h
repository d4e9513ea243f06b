// Diagnostic log events written as text lines to standard error, or to the
// LogSink installed in its place. Silent until init_logging installs a
// filter; until then an event costs one atomic load.
//
// A line reads, with single spaces unless shown otherwise:
//   2024-05-01T12:00:00.123456Z  INFO qorva::subscriber: subscriber connected topic="t" cursor=0 ...
//   time (UTC, microseconds), level in five columns (" INFO", " WARN", "DEBUG"),
//   target and ": ", the message unquoted, then " name=value" per field, "\n".
#pragma once

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "config.h"
#include "io_error.h"

namespace qorva {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

namespace log_target {
inline constexpr std::string_view kPublisher = "qorva::publisher";
inline constexpr std::string_view kSubscriber = "qorva::subscriber";
inline constexpr std::string_view kWal = "qorva::wal";
}  // namespace log_target

// Installs the process's log output. Only the first call in a process does
// anything: it builds the filter from RUST_LOG (when set, valid UTF-8 and
// parsable), else from `level` (or "info" when absent), else from "info", and
// returns true; every later call returns false at once. Thread-safe; reads the
// environment, blocks on nothing else.
bool init_logging(std::optional<std::string_view> level);

// Whether an event of this level and target would be written. One atomic load
// while nothing is installed. Thread-safe.
bool enabled(Level level, std::string_view target);

// The system's events. Each is a level check and, when enabled, one line
// written to the sink (standard error: in a single write, which may block
// like any write to it). Thread-safe; never fails: a failed write is noticed on standard
// error and the event is lost.
void log_publisher_created(std::string_view topic, std::uint32_t ring_capacity, std::uint32_t slot_size,
                           bool wal_enabled, Backpressure backpressure);
// A client was removed because its subscriber released its cursor slot.
void log_subscriber_dropped_released(std::uint64_t remaining_clients);
// A client was removed because writing its wakeup failed.
void log_subscriber_dropped_write_failed(std::uint64_t remaining_clients);
// A client was removed because its connection hung up: its subscriber's
// process is gone, or the subscriber is tearing down.
void log_subscriber_dropped_hung_up(std::uint64_t cursor_idx, std::uint64_t remaining_clients);
// The cursor slot of a subscriber that ended without releasing it was freed.
void log_cursor_slot_freed(std::string_view topic, std::uint64_t cursor_idx, std::uint64_t cursor);
void log_subscriber_connected(std::string_view topic, std::uint64_t cursor, std::uint64_t cursor_idx,
                              std::uint64_t generation, bool replaying_via_wal);
void log_publisher_restarted(std::uint64_t connected_generation, std::uint64_t current_generation,
                             std::uint64_t cursor_idx);
// `path` may hold any bytes; invalid UTF-8 is shown as U+FFFD.
void log_torn_tail_truncated(std::string_view path, std::uint64_t bytes_dropped, std::uint64_t truncate_offset);

// One named value of a line. Refers to its name and text: both must outlive the
// call it is passed to.
class LogField {
 public:
  static LogField u64(std::string_view name, std::uint64_t value) { return {name, Kind::Unsigned, value, {}}; }
  static LogField i64(std::string_view name, std::int64_t value) {
    return {name, Kind::Signed, static_cast<std::uint64_t>(value), {}};
  }
  static LogField boolean(std::string_view name, bool value) { return {name, Kind::Bool, value, {}}; }
  // Written as quote_string(text).
  static LogField quoted(std::string_view name, std::string_view text) { return {name, Kind::Quoted, 0, text}; }
  // Written unquoted; invalid UTF-8 shown as U+FFFD.
  static LogField display(std::string_view name, std::string_view text) { return {name, Kind::Display, 0, text}; }

  // Appends " name=value".
  void append_to(std::string& line) const;

 private:
  enum class Kind : std::uint8_t { Unsigned, Signed, Bool, Quoted, Display };
  LogField(std::string_view name, Kind kind, std::uint64_t bits, std::string_view text)
      : name_(name), kind_(kind), bits_(bits), text_(text) {}
  std::string_view name_;
  Kind kind_;
  std::uint64_t bits_;
  std::string_view text_;
};

// A DEBUG line with a message and fields of the caller's choice, for
// diagnostics beyond the six events. Same contract as the events.
void log_debug(std::string_view target, std::string_view message, std::initializer_list<LogField> fields = {});

// `text` as a quoted string literal: in double quotes; `"` and `\` after a
// backslash; line feed, carriage return, tab and NUL as \n, \r, \t, \0; other
// control, format, separator (every space but U+0020), private-use and
// non-characters as \u{hex} (lower case, no padding); everything else
// unchanged. Invalid UTF-8 becomes U+FFFD. Pure.
std::string quote_string(std::string_view text);

// Which events a directive text enables: comma-separated directives, each a
// level name or `target=level`; level names trace, debug, info, warn, error
// and off, in any case. Empty directives are skipped; nothing is trimmed. A
// directive applies to events whose target begins with its target; the
// longest matching target decides (a bare level matches every target, least
// specifically; among equals the later one); an event no directive matches is
// off. Immutable once parsed, so safe to share between threads.
class LogFilter {
 public:
  // Empty when any directive is invalid (a bare word that is no level, an
  // unknown level, an empty target or level). An empty text enables nothing.
  static std::optional<LogFilter> parse(std::string_view text);

  bool enabled(Level level, std::string_view target) const;

 private:
  struct Directive {
    std::string target;  // empty for a bare level
    int max_verbosity;   // 0 for off; see the .cpp
  };
  std::vector<Directive> directives_;
};

// The filter init_logging installs for this RUST_LOG value (absent when unset)
// and `level` argument. Pure.
LogFilter select_filter(std::optional<std::string_view> rust_log, std::optional<std::string_view> level);

// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ" in UTC, or "<unknown time>" for a time that
// has no four-digit year or an invalid nanosecond count. Pure.
std::string format_utc_time(const WallTime& wall_time);

// One whole line, newline included, with the given time text. Pure.
std::string format_log_line(std::string_view time, Level level, std::string_view target, std::string_view message,
                            std::span<const LogField> fields);

// Where the lines go; standard error unless another sink is installed. The
// logger hands write() one whole line, newline included, under its own lock,
// so lines of different threads never interleave. A failed write is noticed
// on standard error (never through the sink) and the line is lost.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual std::expected<void, IoError> write(std::string_view line) = 0;
};

// Sends every later line to `sink` (null: standard error again) and returns
// the sink it replaces (null for standard error). Once it returns, the
// replaced sink gets no more lines; `sink` must live until it is replaced.
// Thread-safe; waits for a line being written.
LogSink* set_log_sink(LogSink* sink);

}  // namespace qorva

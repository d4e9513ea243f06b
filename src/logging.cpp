#include "logging.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "fork.h"
#include "sys.h"
#include "thread_annotations.h"

namespace qorva {
namespace {

// ---- UTF-8 -------------------------------------------------------------

struct Decoded {
  char32_t code_point;
  std::size_t length;  // bytes taken; for an invalid sequence its maximal subpart
  bool valid;
};

// Decodes the sequence starting at text[at] after the well-formed byte
// sequences of the Unicode standard; an ill-formed one is cut at its maximal
// subpart, so each becomes exactly one U+FFFD.
Decoded decode_utf8(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(at);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length = 0;
  unsigned second_lo = 0x80, second_hi = 0xBF;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
    if (lead == 0xE0) second_lo = 0xA0;
    if (lead == 0xED) second_hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
    if (lead == 0xF0) second_lo = 0x90;
    if (lead == 0xF4) second_hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {0, 1, false};
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned lo = i == 1 ? second_lo : 0x80;
    const unsigned hi = i == 1 ? second_hi : 0xBF;
    if (at + i >= text.size() || byte(at + i) < lo || byte(at + i) > hi) return {0, i, false};
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  return {value, length, true};
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const Decoded d = decode_utf8(text, at);
    if (!d.valid) return false;
    at += d.length;
  }
  return true;
}

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

void append_lossy(std::string& out, std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const Decoded d = decode_utf8(text, at);
    if (d.valid)
      out.append(text.substr(at, d.length));
    else
      out.append(kReplacementCharacter);
    at += d.length;
  }
}

// Characters a quoted literal must not show raw: controls, format characters,
// space, line and paragraph separators other than the plain space, private use
// and non-characters.
bool must_escape(char32_t c) {
  struct Range {
    char32_t first, last;
  };
  static constexpr Range kRanges[] = {
      {0x0000, 0x001F},   {0x007F, 0x00A0},   {0x00AD, 0x00AD},    {0x0600, 0x0605},   {0x061C, 0x061C},
      {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},    {0x08E2, 0x08E2},   {0x1680, 0x1680},
      {0x180E, 0x180E},   {0x2000, 0x200F},   {0x2028, 0x202F},    {0x205F, 0x2064},   {0x2066, 0x206F},
      {0x3000, 0x3000},   {0xE000, 0xF8FF},   {0xFDD0, 0xFDEF},    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
      {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},  {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
      {0xE0001, 0xE0001}, {0xE0020, 0xE007F}, {0xF0000, 0x10FFFF},
  };
  if ((c & 0xFFFE) == 0xFFFE) return true;  // U+xFFFE and U+xFFFF of every plane
  for (const Range& r : kRanges)
    if (c >= r.first && c <= r.last) return true;
  return false;
}

void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (std::size_t at = 0; at < text.size();) {
    const Decoded d = decode_utf8(text, at);
    const std::string_view raw = text.substr(at, d.length);
    at += d.length;
    if (!d.valid) {
      out.append(kReplacementCharacter);
      continue;
    }
    switch (d.code_point) {
      case '"':
        out.append("\\\"");
        continue;
      case '\\':
        out.append("\\\\");
        continue;
      case '\n':
        out.append("\\n");
        continue;
      case '\r':
        out.append("\\r");
        continue;
      case '\t':
        out.append("\\t");
        continue;
      case '\0':
        out.append("\\0");
        continue;
      default:
        break;
    }
    if (must_escape(d.code_point)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(d.code_point));
      out.append(buf);
    } else {
      out.append(raw);
    }
  }
  out.push_back('"');
}

// ---- Levels and filter ---------------------------------------------------

// A directive's level as a verbosity: 0 off, 1 error ... 5 trace. An event
// passes when its own verbosity is at most the directive's.
int verbosity(Level level) { return 5 - static_cast<int>(level); }

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::optional<int> parse_verbosity(std::string_view word) {
  static constexpr std::string_view kNames[] = {"off", "error", "warn", "info", "debug", "trace"};
  for (int v = 0; v < 6; ++v)
    if (equals_ignoring_ascii_case(word, kNames[v])) return v;
  return std::nullopt;
}

std::string_view level_column(Level level) {
  static constexpr std::string_view kColumns[] = {"TRACE", "DEBUG", " INFO", " WARN", "ERROR"};
  return kColumns[static_cast<int>(level)];
}

// ---- Output ----------------------------------------------------------------

std::atomic<bool> attempted{false};
// Set once by init_logging and never freed: the filter lives as long as the process.
std::atomic<const LogFilter*> installed_filter{nullptr};

// Keeps lines of different threads apart even when one write is split.
Mutex& write_mutex() {
  static Mutex mutex;
  return mutex;
}

// Null while lines go to standard error.
LogSink* installed_sink QORVA_GUARDED_BY(write_mutex()) = nullptr;

void write_line(const std::string& line) QORVA_EXCLUDES(write_mutex()) {
  MutexLock guard(write_mutex());
  auto written = installed_sink != nullptr ? installed_sink->write(line) : write_all(2, line.data(), line.size());
  if (written) return;
  // One notice, written directly: it must not come back here.
  const std::string notice = "qorva: failed to write a log line to standard error: " + written.error().text() + "\n";
  (void)write_all(2, notice.data(), notice.size());
}

std::string current_time_text() {
  const std::optional<WallTime> now = WallTime::now();
  if (!now) return "<unknown time>";
  return format_utc_time(*now);
}

// Building the fields costs no allocation, so call sites build them before
// the level check; formatting happens only for an enabled event.
void emit_if_enabled(Level level, std::string_view target, std::string_view message, std::span<const LogField> fields) {
  if (enabled(level, target)) write_line(format_log_line(current_time_text(), level, target, message, fields));
}

}  // namespace

// ---- Public ------------------------------------------------------------------

std::string quote_string(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

std::optional<LogFilter> LogFilter::parse(std::string_view text) {
  LogFilter filter;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view directive = text.substr(start, end - start);
    start = end + 1;
    if (directive.empty()) continue;
    const std::size_t equals = directive.find('=');
    const std::string_view target = equals == std::string_view::npos ? "" : directive.substr(0, equals);
    const std::string_view level = equals == std::string_view::npos ? directive : directive.substr(equals + 1);
    const std::optional<int> v = parse_verbosity(level);
    if (!v || (equals != std::string_view::npos && target.empty())) return std::nullopt;
    filter.directives_.push_back(Directive{std::string(target), *v});
  }
  return filter;
}

bool LogFilter::enabled(Level level, std::string_view target) const {
  const Directive* decider = nullptr;
  for (const Directive& d : directives_)
    if (target.starts_with(d.target) && (decider == nullptr || d.target.size() >= decider->target.size())) decider = &d;
  return decider != nullptr && verbosity(level) <= decider->max_verbosity;
}

LogFilter select_filter(std::optional<std::string_view> rust_log, std::optional<std::string_view> level) {
  if (rust_log && is_valid_utf8(*rust_log))
    if (auto filter = LogFilter::parse(*rust_log)) return *filter;
  if (auto filter = LogFilter::parse(level.value_or("info"))) return *filter;
  return *LogFilter::parse("info");
}

bool init_logging(std::optional<std::string_view> level) {
  if (attempted.exchange(true, std::memory_order_seq_cst)) return false;
  const char* rust_log = std::getenv("RUST_LOG");
  auto* filter = new LogFilter(
      select_filter(rust_log != nullptr ? std::optional<std::string_view>(rust_log) : std::nullopt, level));
  keep_across_fork<write_mutex>();
  // Release pairs with the acquire in enabled(): an emitter that sees the
  // pointer sees the whole filter.
  installed_filter.store(filter, std::memory_order_release);
  return true;
}

bool enabled(Level level, std::string_view target) {
  const LogFilter* filter = installed_filter.load(std::memory_order_acquire);
  return filter != nullptr && filter->enabled(level, target);
}

void LogField::append_to(std::string& line) const {
  line.push_back(' ');
  line.append(name_);
  line.push_back('=');
  switch (kind_) {
    case Kind::Unsigned:
      line.append(std::to_string(bits_));
      break;
    case Kind::Signed:
      line.append(std::to_string(static_cast<std::int64_t>(bits_)));
      break;
    case Kind::Bool:
      line.append(bits_ != 0 ? "true" : "false");
      break;
    case Kind::Quoted:
      append_quoted(line, text_);
      break;
    case Kind::Display:
      append_lossy(line, text_);
      break;
  }
}

std::string format_utc_time(const WallTime& wall_time) {
  constexpr const char* kUnknown = "<unknown time>";
  std::tm utc{};
  const std::time_t secs = wall_time.secs;
  if (wall_time.nanos < 0 || wall_time.nanos >= 1'000'000'000 || ::gmtime_r(&secs, &utc) == nullptr) return kUnknown;
  const long year = utc.tm_year + 1900L;
  if (year < 0 || year > 9999) return kUnknown;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04ld-%02d-%02dT%02d:%02d:%02d.%06ldZ", year, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long>(wall_time.nanos / 1000));
  return buf;
}

std::string format_log_line(std::string_view time, Level level, std::string_view target, std::string_view message,
                            std::span<const LogField> fields) {
  std::string line;
  line.reserve(128);
  line.append(time).append(" ").append(level_column(level)).append(" ");
  line.append(target).append(": ").append(message);
  for (const LogField& field : fields) field.append_to(line);
  line.push_back('\n');
  return line;
}

LogSink* set_log_sink(LogSink* sink) {
  MutexLock guard(write_mutex());
  return std::exchange(installed_sink, sink);
}

void log_publisher_created(std::string_view topic, std::uint32_t ring_capacity, std::uint32_t slot_size,
                           bool wal_enabled, Backpressure backpressure) {
  const LogField fields[] = {LogField::quoted("topic", topic), LogField::u64("ring_capacity", ring_capacity),
                             LogField::u64("slot_size", slot_size), LogField::boolean("wal_enabled", wal_enabled),
                             LogField::display("backpressure", debug_text(backpressure))};
  emit_if_enabled(Level::Info, log_target::kPublisher, "publisher created", fields);
}

void log_subscriber_dropped_released(std::uint64_t remaining_clients) {
  const LogField fields[] = {LogField::u64("remaining_clients", remaining_clients)};
  emit_if_enabled(Level::Info, log_target::kPublisher, "subscriber dropped (cursor released; clean disconnect)",
                  fields);
}

void log_subscriber_dropped_write_failed(std::uint64_t remaining_clients) {
  const LogField fields[] = {LogField::u64("remaining_clients", remaining_clients)};
  emit_if_enabled(Level::Info, log_target::kPublisher, "subscriber dropped (wake failed; peer closed)", fields);
}

void log_subscriber_dropped_hung_up(std::uint64_t cursor_idx, std::uint64_t remaining_clients) {
  const LogField fields[] = {LogField::u64("cursor_idx", cursor_idx),
                             LogField::u64("remaining_clients", remaining_clients)};
  emit_if_enabled(Level::Info, log_target::kPublisher, "subscriber dropped (connection hung up)", fields);
}

void log_cursor_slot_freed(std::string_view topic, std::uint64_t cursor_idx, std::uint64_t cursor) {
  const LogField fields[] = {LogField::quoted("topic", topic), LogField::u64("cursor_idx", cursor_idx),
                             LogField::u64("cursor", cursor)};
  emit_if_enabled(Level::Info, log_target::kPublisher, "cursor slot of a gone subscriber freed", fields);
}

void log_subscriber_connected(std::string_view topic, std::uint64_t cursor, std::uint64_t cursor_idx,
                              std::uint64_t generation, bool replaying_via_wal) {
  const LogField fields[] = {LogField::quoted("topic", topic), LogField::u64("cursor", cursor),
                             LogField::u64("cursor_idx", cursor_idx), LogField::u64("generation", generation),
                             LogField::boolean("replaying_via_wal", replaying_via_wal)};
  emit_if_enabled(Level::Info, log_target::kSubscriber, "subscriber connected", fields);
}

void log_publisher_restarted(std::uint64_t connected_generation, std::uint64_t current_generation,
                             std::uint64_t cursor_idx) {
  const LogField fields[] = {LogField::u64("connected_generation", connected_generation),
                             LogField::u64("current_generation", current_generation),
                             LogField::u64("cursor_idx", cursor_idx)};
  emit_if_enabled(Level::Warn, log_target::kSubscriber, "publisher restarted (generation changed); ending subscription",
                  fields);
}

void log_torn_tail_truncated(std::string_view path, std::uint64_t bytes_dropped, std::uint64_t truncate_offset) {
  const LogField fields[] = {LogField::display("path", path), LogField::u64("bytes_dropped", bytes_dropped),
                             LogField::u64("truncate_offset", truncate_offset)};
  emit_if_enabled(Level::Warn, log_target::kWal, "recover_truncate dropped trailing torn bytes", fields);
}

void log_debug(std::string_view target, std::string_view message, std::initializer_list<LogField> fields) {
  emit_if_enabled(Level::Debug, target, message, std::span<const LogField>(fields.begin(), fields.size()));
}

}  // namespace qorva

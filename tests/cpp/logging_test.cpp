#include "logging.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "support/child_process.h"
#include "support/log_capture.h"

namespace qorva {
namespace {

using testing_support::ChildProcess;

// ---- Filter grammar --------------------------------------------------------

struct Check {
  Level level;
  std::string_view target;
  bool enabled;
};

struct FilterCase {
  const char* text;
  std::vector<Check> checks;  // empty: the text must not parse
};

constexpr std::string_view kPub = log_target::kPublisher;
constexpr std::string_view kSub = log_target::kSubscriber;
constexpr std::string_view kWal = log_target::kWal;

void expect_checks(const LogFilter& filter, const std::vector<Check>& checks, const std::string& context) {
  for (const Check& c : checks)
    EXPECT_EQ(filter.enabled(c.level, c.target), c.enabled)
        << context << ": level " << static_cast<int>(c.level) << " target " << c.target;
}

TEST(LogFilter, DirectivesSelectEventsByTargetPrefixAndLevel) {
  const FilterCase cases[] = {
      {"info",
       {{Level::Info, kPub, true},
        {Level::Warn, kSub, true},
        {Level::Debug, kPub, false},
        {Level::Info, "elsewhere", true}}},
      {"WARN", {{Level::Info, kPub, false}, {Level::Warn, kWal, true}, {Level::Error, kWal, true}}},
      {"Trace", {{Level::Trace, kPub, true}, {Level::Debug, kSub, true}}},
      {"off", {{Level::Error, kPub, false}}},
      {"", {{Level::Error, kPub, false}, {Level::Warn, "x", false}}},
      {",,", {{Level::Error, kPub, false}}},
      {"qorva::subscriber=info",
       {{Level::Info, kSub, true}, {Level::Warn, kSub, true}, {Level::Info, kPub, false}, {Level::Warn, kWal, false}}},
      {"qorva=debug", {{Level::Debug, kPub, true}, {Level::Trace, kPub, false}, {Level::Error, "other", false}}},
      // A target is a plain text prefix, not a whole component.
      {"qorva::pub=info", {{Level::Info, kPub, true}, {Level::Info, kSub, false}}},
      // The longest matching target decides, wherever it stands.
      {"warn,qorva::publisher=info",
       {{Level::Info, kPub, true}, {Level::Info, kSub, false}, {Level::Warn, kSub, true}}},
      {"qorva::publisher=info,warn",
       {{Level::Info, kPub, true}, {Level::Info, kSub, false}, {Level::Warn, kSub, true}}},
      {"qorva=off,qorva::wal=warn",
       {{Level::Warn, kWal, true}, {Level::Warn, kPub, false}, {Level::Error, "x", false}}},
      {"qorva=trace,qorva::subscriber=off", {{Level::Error, kSub, false}, {Level::Trace, kPub, true}}},
      // Among equally specific directives the later one holds.
      {"info,warn", {{Level::Info, kPub, false}, {Level::Warn, kPub, true}}},
      {"qorva=error,qorva=info", {{Level::Info, kPub, true}}},
      {"qorva::subscriber=INFO,,", {{Level::Info, kSub, true}, {Level::Info, kPub, false}}},
      {"q\xc3\xb6rva=warn", {{Level::Warn, "q\xc3\xb6rva::x", true}, {Level::Warn, kPub, false}}},
      // Invalid: bare non-level words, unknown levels, empty parts, spaces.
      {"verbose", {}},
      {"qorva", {}},
      {"qorva=loud", {}},
      {"warning", {}},
      {"=info", {}},
      {"qorva=", {}},
      {" info", {}},
      {"info ", {}},
      {"qorva = info", {}},
      {"a=b=info", {}},
      {"info,bogus", {}},
  };
  for (const FilterCase& c : cases) {
    const std::optional<LogFilter> filter = LogFilter::parse(c.text);
    ASSERT_EQ(filter.has_value(), !c.checks.empty()) << '"' << c.text << '"';
    if (filter) expect_checks(*filter, c.checks, c.text);
  }
}

struct SelectCase {
  std::optional<std::string_view> rust_log;
  std::optional<std::string_view> level;
  std::vector<Check> checks;
};

TEST(LogFilter, EnvironmentThenArgumentThenInfo) {
  const SelectCase cases[] = {
      {std::nullopt, std::nullopt, {{Level::Info, kPub, true}, {Level::Debug, kPub, false}}},
      {"warn", "info", {{Level::Info, kPub, false}, {Level::Warn, kSub, true}}},
      // Set but empty enables nothing, whatever the argument says.
      {"", "debug", {{Level::Error, kPub, false}, {Level::Warn, kWal, false}}},
      {"bogus", "warn", {{Level::Info, kPub, false}, {Level::Warn, kPub, true}}},
      {"\xff", "warn", {{Level::Info, kPub, false}, {Level::Warn, kPub, true}}},
      {"qorva=bogus", std::nullopt, {{Level::Info, kPub, true}, {Level::Debug, kPub, false}}},
      {std::nullopt, "qorva=loud", {{Level::Info, kPub, true}, {Level::Warn, kWal, true}, {Level::Debug, kSub, false}}},
      {std::nullopt, "verbose", {{Level::Info, kPub, true}}},
      {std::nullopt, "", {{Level::Error, kPub, false}}},
      {std::nullopt, "qorva::subscriber=info", {{Level::Info, kSub, true}, {Level::Info, kPub, false}}},
      {"qorva=debug", "off", {{Level::Debug, kPub, true}}},
  };
  for (const SelectCase& c : cases) {
    const std::string context = std::string("RUST_LOG=") + std::string(c.rust_log.value_or("<unset>")) +
                                " level=" + std::string(c.level.value_or("<none>"));
    expect_checks(select_filter(c.rust_log, c.level), c.checks, context);
  }
}

// ---- Quoting, time and line layout -----------------------------------------

TEST(QuoteString, EscapesQuotesBackslashesAndUnprintables) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", R"("")"},
      {"fast", R"("fast")"},
      {"it's a space", R"("it's a space")"},
      {"a\"b", R"("a\"b")"},
      {"back\\slash", R"("back\\slash")"},
      {"\n\r\t", R"("\n\r\t")"},
      {std::string_view("a\0b", 3), R"("a\0b")"},
      {"\x01", R"("\u{1}")"},
      {"\x1b[0m", R"("\u{1b}[0m")"},
      {"\x7f", R"("\u{7f}")"},
      {"\xc2\x85", R"("\u{85}")"},        // NEL, a C1 control
      {"\xc2\xad", R"("\u{ad}")"},        // soft hyphen, a format character
      {"\xe2\x80\xa8", R"("\u{2028}")"},  // line separator
      {"a\xc2\xa0"
       "b",
       R"("a\u{a0}b")"},                  // no-break space: only U+0020 stays raw
      {"\xe3\x80\x80", R"("\u{3000}")"},  // ideographic space
      {"\xe2\x80\x8a\xe2\x80\xaf", R"("\u{200a}\u{202f}")"},
      {"\xef\xbb\xbf", R"("\u{feff}")"},  // byte order mark
      {"\xef\xbf\xbf", R"("\u{ffff}")"},  // a non-character
      {"\xee\x80\x80", R"("\u{e000}")"},  // private use
      {"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac", "\"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac\""},
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
      // Invalid UTF-8: one U+FFFD per maximal ill-formed subpart.
      {"a\xff"
       "b",
       "\"a\xef\xbf\xbd"
       "b\""},
      {"\xe2\x82", "\"\xef\xbf\xbd\""},
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
  };
  for (const auto& [text, quoted] : cases) EXPECT_EQ(quote_string(text), quoted) << text;
}

TEST(FormatUtcTime, MicrosecondsInUtcOrUnknown) {
  struct Case {
    std::int64_t secs;
    long nanos;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, "1970-01-01T00:00:00.000000Z"},
      {951782400, 123456789, "2000-02-29T00:00:00.123456Z"},
      {-1, 999999999, "1969-12-31T23:59:59.999999Z"},
      {-62167219200, 0, "0000-01-01T00:00:00.000000Z"},
      {253402300799, 999999000, "9999-12-31T23:59:59.999999Z"},
      {253402300800, 0, "<unknown time>"},
      {-62167219201, 0, "<unknown time>"},
      {0, 1000000000, "<unknown time>"},
      {0, -1, "<unknown time>"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_utc_time(WallTime{c.secs, c.nanos}), c.text) << c.secs;
}

TEST(FormatLogLine, LevelColumnsAndFieldKinds) {
  constexpr std::string_view kTime = "2024-01-02T03:04:05.000006Z";
  const LogField fields[] = {LogField::u64("n", 18446744073709551615ull), LogField::i64("d", -5),
                             LogField::boolean("b", false), LogField::quoted("q", "a \"b\""),
                             LogField::display("p", "/x/\xff.seg")};
  EXPECT_EQ(format_log_line(kTime, Level::Debug, "qorva::publisher", "accept failed", fields),
            "2024-01-02T03:04:05.000006Z DEBUG qorva::publisher: accept failed n=18446744073709551615 d=-5 b=false "
            "q=\"a \\\"b\\\"\" p=/x/\xef\xbf\xbd.seg\n");
  const std::pair<Level, std::string_view> columns[] = {{Level::Trace, "TRACE"},
                                                        {Level::Debug, "DEBUG"},
                                                        {Level::Info, " INFO"},
                                                        {Level::Warn, " WARN"},
                                                        {Level::Error, "ERROR"}};
  for (const auto& [level, column] : columns)
    EXPECT_EQ(format_log_line("T", level, "t", "m", {}), "T " + std::string(column) + " t: m\n");
}

// ---- The installed output, each in a fresh child process -------------------

struct ChildRun {
  std::string output;  // what the child wrote to its standard error
  int exit_code = -1;
};

// Runs `body` in a forked child whose standard error is a pipe, and collects
// what it writes. Bounded: a child still running after 20 s is killed.
ChildRun run_capturing_stderr(const std::function<int()>& body) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  ChildProcess child([&] {
    ::dup2(fds[1], 2);
    return body();
  });
  ::close(fds[1]);
  ChildRun run;
  const Deadline deadline = Deadline::after(Duration{20, 0});
  char buf[65536];
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, deadline.poll_millis()) <= 0) {
      (void)child.kill();
      break;
    }
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    run.output.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  run.exit_code = child.wait(std::chrono::seconds(10)).exit_code;
  return run;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

constexpr std::size_t kTimeWidth = 27;  // "YYYY-MM-DDTHH:MM:SS.uuuuuuZ"

bool looks_like_time(std::string_view t) {
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.ddddddZ";
  if (t.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < t.size(); ++i)
    if (kShape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != kShape[i]) return false;
  return true;
}

// Every emission, with the line it must give after the time.
struct Emission {
  std::function<void()> emit;
  std::string_view rest;
};

const std::vector<Emission>& emissions() {
  static const std::vector<Emission> all = {
      {[] { log_publisher_created("orders \"eu\"", 256, 65536, true, Backpressure::Error); },
       R"(  INFO qorva::publisher: publisher created topic="orders \"eu\"" ring_capacity=256 slot_size=65536 )"
       R"(wal_enabled=true backpressure=Error)"},
      {[] { log_publisher_created("t\n1", 4294967295u, 1, false, Backpressure::DropOldest); },
       R"(  INFO qorva::publisher: publisher created topic="t\n1" ring_capacity=4294967295 slot_size=1 )"
       R"(wal_enabled=false backpressure=DropOldest)"},
      {[] { log_subscriber_dropped_released(3); },
       "  INFO qorva::publisher: subscriber dropped (cursor released; clean disconnect) remaining_clients=3"},
      {[] { log_subscriber_dropped_write_failed(0); },
       "  INFO qorva::publisher: subscriber dropped (wake failed; peer closed) remaining_clients=0"},
      {[] { log_subscriber_connected("t", 18446744073709551615ull, 1, 7, false); },
       R"(  INFO qorva::subscriber: subscriber connected topic="t" cursor=18446744073709551615 cursor_idx=1 )"
       R"(generation=7 replaying_via_wal=false)"},
      {[] { log_subscriber_connected("caf\xc3\xa9", 0, 15, 1, true); },
       "  INFO qorva::subscriber: subscriber connected topic=\"caf\xc3\xa9\" cursor=0 cursor_idx=15 generation=1 "
       "replaying_via_wal=true"},
      {[] { log_publisher_restarted(2, 3, 5); },
       "  WARN qorva::subscriber: publisher restarted (generation changed); ending subscription "
       "connected_generation=2 current_generation=3 cursor_idx=5"},
      {[] { log_torn_tail_truncated("/tmp/q/b/t/wal/00000000000000000000.seg", 12, 20); },
       "  WARN qorva::wal: recover_truncate dropped trailing torn bytes "
       "path=/tmp/q/b/t/wal/00000000000000000000.seg bytes_dropped=12 truncate_offset=20"},
      {[] { log_torn_tail_truncated("/tmp/\xff.seg", 0, 32); },
       "  WARN qorva::wal: recover_truncate dropped trailing torn bytes path=/tmp/\xef\xbf\xbd.seg bytes_dropped=0 "
       "truncate_offset=32"},
      {[] { log_debug(log_target::kPublisher, "accept failed", {LogField::display("error", "poll timeout")}); },
       " DEBUG qorva::publisher: accept failed error=poll timeout"},
  };
  return all;
}

void emit_all() {
  for (const Emission& e : emissions()) e.emit();
}

// Sets or unsets RUST_LOG in the (child) process.
void set_rust_log(std::optional<const char*> value) {
  if (value)
    ::setenv("RUST_LOG", *value, 1);
  else
    ::unsetenv("RUST_LOG");
}

// The rests of the lines, after checking each line's time.
std::vector<std::string> rests_of(const std::string& output, const std::string& before, const std::string& after) {
  std::vector<std::string> rests;
  for (const std::string& line : split_lines(output)) {
    const std::string time = line.substr(0, kTimeWidth);
    EXPECT_TRUE(looks_like_time(time)) << line;
    EXPECT_LE(before, time);
    EXPECT_GE(after, time);
    rests.push_back(line.substr(std::min(kTimeWidth, line.size())));
  }
  return rests;
}

std::string now_text() { return format_utc_time(WallTime::now().value()); }

TEST(Logging, EachEventLineByteForByte) {
  const std::string before = now_text();
  const ChildRun run = run_capturing_stderr([] {
    set_rust_log("qorva=debug");
    if (!init_logging(std::nullopt)) return 1;
    emit_all();
    return 0;
  });
  const std::string after = now_text();
  ASSERT_EQ(run.exit_code, 0);
  ASSERT_FALSE(run.output.empty());
  EXPECT_EQ(run.output.back(), '\n');
  const std::vector<std::string> rests = rests_of(run.output, before, after);
  ASSERT_EQ(rests.size(), emissions().size()) << run.output;
  for (std::size_t i = 0; i < rests.size(); ++i) EXPECT_EQ(rests[i], emissions()[i].rest);
}

// An installed sink gets the very lines standard error would, and none once
// it is replaced.
TEST(Logging, AnInstalledSinkGetsTheLinesUntilItIsReplaced) {
  const ChildRun run = run_capturing_stderr([] {
    set_rust_log("qorva=debug");
    if (!init_logging(std::nullopt)) return 1;
    std::string captured;
    {
      testing_support::LogCapture sink;
      emit_all();
      captured = sink.lines();
    }
    emit_all();  // to standard error again
    return write_all(2, captured.data(), captured.size()) ? 0 : 2;
  });
  ASSERT_EQ(run.exit_code, 0);
  std::vector<std::string> expected;
  for (int copy = 0; copy < 2; ++copy)
    for (const Emission& e : emissions()) expected.emplace_back(e.rest);
  EXPECT_EQ(rests_of(run.output, "", "~"), expected);
}

struct InitCase {
  const char* name;
  std::optional<const char*> rust_log;
  std::vector<std::optional<std::string_view>> calls;  // the init_logging calls, in order
  unsigned returned;                                   // bit i: call i returned true
  std::vector<std::size_t> written;                    // indices into emissions()
};

TEST(Logging, FirstCallDecidesTheFilter) {
  const std::vector<std::size_t> kInfoAndWarn = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<std::size_t> kWarn = {6, 7, 8};
  const InitCase cases[] = {
      {"no call writes nothing", std::nullopt, {}, 0, {}},
      {"default is info", std::nullopt, {std::nullopt}, 1, kInfoAndWarn},
      {"second call changes nothing", std::nullopt, {"warn", "info", std::nullopt}, 1, kWarn},
      {"environment wins", "warn", {"info"}, 1, kWarn},
      {"subscriber target only", std::nullopt, {"qorva::subscriber=info"}, 1, {4, 5, 6}},
      {"unknown level falls back to info", std::nullopt, {"qorva=loud"}, 1, kInfoAndWarn},
      {"empty environment enables nothing", "", {"info"}, 1, {}},
      {"unparsable environment uses the argument", "verbose", {"warn"}, 1, kWarn},
  };
  for (const InitCase& c : cases) {
    const ChildRun run = run_capturing_stderr([&c] {
      set_rust_log(c.rust_log);
      int returned = 0;
      for (std::size_t i = 0; i < c.calls.size(); ++i)
        if (init_logging(c.calls[i])) returned |= 1 << i;
      emit_all();
      return returned;
    });
    EXPECT_EQ(run.exit_code, static_cast<int>(c.returned)) << c.name;
    std::vector<std::string> expected;
    for (std::size_t i : c.written) expected.emplace_back(emissions()[i].rest);
    EXPECT_EQ(rests_of(run.output, "", "~"), expected) << c.name;
  }
}

TEST(Logging, FailedWriteGivesOneNoticeOnStandardError) {
  const ChildRun run = run_capturing_stderr([] {
    set_rust_log(std::nullopt);
    init_logging(std::nullopt);
    // A descriptor open only for reading refuses every write.
    testing_support::FdLogSink read_only(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    log_subscriber_dropped_released(1);
    return 0;
  });
  EXPECT_EQ(run.output, "qorva: failed to write a log line to standard error: Bad file descriptor (os error 9)\n");
}

TEST(LoggingConcurrent, ExactlyOneOfRacingInitCallsInstalls) {
  const ChildRun run = run_capturing_stderr([] {
    std::atomic<int> installed{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        if (init_logging("warn")) installed.fetch_add(1);
      });
    go.store(true);
    for (auto& t : threads) t.join();
    return installed.load();
  });
  EXPECT_EQ(run.exit_code, 1);
}

TEST(LoggingConcurrent, LinesFromThreadsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 100;
  // Longer than PIPE_BUF, so a single write may be split by the kernel.
  const auto topic_of = [](int t) { return std::string(6000, static_cast<char>('a' + t)); };
  const ChildRun run = run_capturing_stderr([&] {
    set_rust_log(std::nullopt);
    init_logging(std::nullopt);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        const std::string topic = topic_of(t);
        for (int i = 0; i < kLinesEach; ++i) log_publisher_created(topic, 1, 2, true, Backpressure::Error);
      });
    for (auto& t : threads) t.join();
    return 0;
  });
  ASSERT_EQ(run.exit_code, 0);
  std::vector<int> per_thread(kThreads, 0);
  for (const std::string& rest : rests_of(run.output, "", "~")) {
    const char letter = rest.size() > 50 ? rest[50] : '?';
    const int t = letter - 'a';
    ASSERT_TRUE(t >= 0 && t < kThreads) << rest.substr(0, 80);
    EXPECT_EQ(rest, "  INFO qorva::publisher: publisher created topic=\"" + topic_of(t) +
                        "\" ring_capacity=1 slot_size=2 wal_enabled=true backpressure=Error");
    ++per_thread[t];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(per_thread[t], kLinesEach) << t;
}

}  // namespace
}  // namespace qorva

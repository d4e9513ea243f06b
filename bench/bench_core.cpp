// Core benchmark: one-way latency and throughput between processes, and the
// publisher's own cost per message. Prints one `name: value unit` line per
// figure. Not a test: nothing here asserts a timing.
//
// Method: each subscriber process receives with the blocking receive (or, for
// latency_spin and throughput_64b_spin, spins on the non-blocking one) and
// checks that every message carries the next sequence number; the publisher
// publishes one message per call and backs off briefly on a full ring.
// Latency runs are paced with gaps of 500 us, ten times the longest a
// blocking receive watches the ring before it sleeps, so that their figure is
// a real wake. Throughput runs are untimed per message and report the median
// of three runs: where the scheduler places the processes changes the cost of
// every shared cache line they pass, by up to three times on a VM.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bus.h"
#include "disk_floor.h"

namespace {

using qorva::Bus;
using qorva::BusConfig;
using qorva::Duration;

std::uint64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(t.tv_nsec);
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "bench: %s failed\n", what);
  std::exit(1);
}

// Every message carries its send time (when timed) and its sequence number.
constexpr std::size_t kSentAtOffset = 0;
constexpr std::size_t kSeqOffset = 8;

struct Options {
  std::size_t payload = 64;  // at least 16
  std::uint64_t count = 100'000;
  int subscribers = 1;
  bool wal = false;
  bool spin = false;         // subscribers spin on try_receive_into
  std::uint64_t gap_ns = 0;  // publisher pause between messages (0: flat out)
  // Stamp every message with its send time and collect the latencies; off for
  // throughput runs, which would otherwise time the clock reads as well.
  bool timed = true;
};

// What one subscriber process reports back through a pipe.
struct Report {
  std::uint64_t received = 0;
  std::uint64_t first_ns = 0;
  std::uint64_t last_ns = 0;
  std::uint64_t p50_ns = 0;
  std::uint64_t p99_ns = 0;
};

// One run: the reports of every subscriber and the publisher's wakeup writes.
struct Run {
  std::vector<Report> reports;
  std::uint64_t wakeups = 0;
};

BusConfig config_for(const std::string& base, const Options& o) {
  BusConfig c;
  c.base_dir = base;
  c.wal.enabled = o.wal;
  c.slot_size = static_cast<std::uint32_t>(std::max<std::size_t>(o.payload, 64));
  c.capacity = o.payload > 4096 ? 256 : 4096;
  return c;
}

std::uint64_t word_at(const std::vector<std::byte>& m, std::size_t offset) {
  std::uint64_t v = 0;
  std::memcpy(&v, m.data() + offset, sizeof v);
  return v;
}

void receive_next(qorva::Subscriber& sub, const Options& o, std::vector<std::byte>& buf, std::uint64_t seq) {
  if (o.spin) {
    while (!sub.try_receive_deferring_error(buf)) {
    }
  } else if (auto got = sub.receive_into(buf); !got) {
    const auto* io = got.error().get_if<qorva::Error::Io>();
    std::fprintf(stderr, "bench: receive of message %llu: %s\n", static_cast<unsigned long long>(seq),
                 io != nullptr ? io->error.text().c_str() : "not an I/O error");
    die("receive");
  }
  if (buf.size() != o.payload || word_at(buf, kSeqOffset) != seq) die("sequence check");
}

Report run_subscriber(const std::string& base, const Options& o) {
  Bus bus = Bus::with_config("bench", config_for(base, o));
  // From the first message: the publisher starts once it has accepted the
  // handshake, which can be before a tail start would have been read.
  auto sub = bus.subscribe_from_timeout("t", 0, Duration{10, 0});
  if (!sub) die("subscribe");
  std::vector<std::byte> buf;
  std::vector<std::uint64_t> latencies;
  latencies.reserve(o.count);
  Report r;
  while (r.received < o.count) {
    receive_next(**sub, o, buf, r.received);
    if (o.timed || r.received == 0 || r.received + 1 == o.count) {
      std::uint64_t t = now_ns();
      if (o.timed) latencies.push_back(t - word_at(buf, kSentAtOffset));
      if (r.received == 0) r.first_ns = t;
      r.last_ns = t;
    }
    ++r.received;
  }
  if (o.timed) {
    std::sort(latencies.begin(), latencies.end());
    r.p50_ns = latencies[latencies.size() / 2];
    r.p99_ns = latencies[latencies.size() * 99 / 100];
  }
  return r;
}

// Publishes through the topic's publisher itself, not the bus's lookup by
// name; returns the wakeups it wrote.
std::uint64_t run_publisher(const std::string& base, const Options& o) {
  Bus bus = Bus::with_config("bench", config_for(base, o));
  auto publisher = bus.create_publisher("t");
  if (!publisher) die("create_publisher");
  if (!(*publisher)->wait_for_subscribers(static_cast<std::size_t>(o.subscribers), Duration{10, 0}))
    die("wait_for_subscribers");
  std::vector<std::byte> payload(o.payload, std::byte{0x5a});
  for (std::uint64_t i = 0; i < o.count; ++i) {
    if (o.gap_ns != 0) {
      std::uint64_t until = now_ns() + o.gap_ns;
      while (now_ns() < until) {
      }
    }
    std::memcpy(payload.data() + kSeqOffset, &i, sizeof i);
    for (;;) {
      if (o.timed) {
        std::uint64_t t = now_ns();
        std::memcpy(payload.data() + kSentAtOffset, &t, sizeof t);
      }
      auto r = (*publisher)->publish(payload);
      if (r) break;
      if (!r.error().get_if<qorva::Error::BusFull>()) die("publish");
      // A full ring waits for the subscriber: back off rather than keep
      // pulling its cursor's cache line away from it.
      for (int i = 0; i < 64; ++i) __builtin_ia32_pause();
    }
  }
  return (*publisher)->stats().wakeups_sent_total;
}

// Runs the publisher here and each subscriber in a process of its own.
Run run_group(const Options& o) {
  char dir[] = "/tmp/qorva-bench-XXXXXX";
  if (!mkdtemp(dir)) die("mkdtemp");
  std::string base = dir;
  std::vector<pid_t> children;
  std::vector<int> pipes;
  for (int s = 0; s < o.subscribers; ++s) {
    int fds[2];
    if (pipe(fds) != 0) die("pipe");
    pid_t child = fork();
    if (child < 0) die("fork");
    if (child == 0) {
      close(fds[0]);
      Report r = run_subscriber(base, o);
      if (write(fds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(1);
      _exit(0);
    }
    close(fds[1]);
    children.push_back(child);
    pipes.push_back(fds[0]);
  }
  Run run;
  run.wakeups = run_publisher(base, o);
  for (std::size_t s = 0; s < children.size(); ++s) {
    Report r;
    if (read(pipes[s], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) die("subscriber report");
    close(pipes[s]);
    int status = 0;
    waitpid(children[s], &status, 0);
    run.reports.push_back(r);
  }
  std::string rm = "rm -rf " + base;
  if (std::system(rm.c_str()) != 0) die("cleanup");
  return run;
}

// Messages per second, each delivered to every subscriber: from the first
// receive of any subscriber to the last of the slowest.
double per_second(const Run& run) {
  std::uint64_t first = ~std::uint64_t{0}, last = 0, received = ~std::uint64_t{0};
  for (const Report& r : run.reports) {
    first = std::min(first, r.first_ns);
    last = std::max(last, r.last_ns);
    received = std::min(received, r.received);
  }
  double secs = static_cast<double>(last - first) / 1e9;
  return secs > 0 ? static_cast<double>(received - 1) / secs : 0.0;
}

struct Throughput {
  double per_second = 0;
  double wakeups_per_message = 0;
};

// The median of a few runs by rate, since other work on the machine can stall
// any process for milliseconds.
Throughput throughput(Options o, int runs) {
  o.timed = false;
  std::vector<Throughput> results;
  for (int i = 0; i < runs; ++i) {
    Run run = run_group(o);
    results.push_back({per_second(run), static_cast<double>(run.wakeups) / static_cast<double>(o.count)});
  }
  std::sort(results.begin(), results.end(),
            [](const Throughput& a, const Throughput& b) { return a.per_second < b.per_second; });
  return results[results.size() / 2];
}

// Publisher's own cost per message with no subscriber attached.
double publish_ns(std::size_t payload, bool wal, std::uint64_t count) {
  char dir[] = "/tmp/qorva-bench-XXXXXX";
  if (!mkdtemp(dir)) die("mkdtemp");
  Options o;
  o.payload = payload;
  o.wal = wal;
  double ns = 0;
  {
    Bus bus = Bus::with_config("bench", config_for(dir, o));
    auto publisher = bus.create_publisher("t");
    if (!publisher) die("create_publisher");
    std::vector<std::byte> data(payload, std::byte{1});
    if (!(*publisher)->publish(data)) die("publish");
    std::uint64_t start = now_ns();
    for (std::uint64_t i = 0; i < count; ++i)
      if (!(*publisher)->publish(data)) die("publish");
    ns = static_cast<double>(now_ns() - start) / static_cast<double>(count);
  }
  std::string rm = std::string("rm -rf ") + dir;
  if (std::system(rm.c_str()) != 0) die("cleanup");
  return ns;
}

void line(const char* name, double value, const char* unit, int decimals = 2) {
  std::printf("%s: %.*f%s%s\n", name, decimals, value, *unit != '\0' ? " " : "", unit);
}

// The log's cost per 64 KiB message against the floor under it: the publish
// without the log plus the bare write-and-sync loop of the same record
// (disk_floor.h). The three take turns; each figure is the median of `runs`.
void publish_wal_over_floor(std::uint64_t count, int runs) {
  std::vector<double> off, bare, on;
  for (int i = 0; i < runs; ++i) {
    off.push_back(publish_ns(65536, false, count));
    bare.push_back(bench::floor_ns_per_record("/tmp", 65536 + 28, count));
    on.push_back(publish_ns(65536, true, count));
  }
  auto median = [](std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  line("bare_write_ns_64k", median(bare), "ns");
  line("ratio_publish_64k_wal_floor", median(on) / (median(off) + median(bare)), "x");
}

// Which figures to measure: every one, or those whose names start with one of
// the given prefixes.
struct Selection {
  std::vector<std::string> prefixes;
  bool wants(const char* name) const {
    if (prefixes.empty()) return true;
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](const std::string& p) { return std::strncmp(name, p.c_str(), p.size()) == 0; });
  }
};

}  // namespace

int main(int argc, char** argv) {
  // `--quick` shortens every run for a smoke test; other arguments select
  // figures by name prefix (`bench/core throughput_64b_wal publish_ns`).
  bool quick = false;
  Selection only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else {
      only.prefixes.emplace_back(argv[i]);
    }
  }
  std::uint64_t scale = quick ? 20 : 1;
  int runs = quick ? 1 : 3;

  Options latency;
  latency.count = 4'000 / scale;
  latency.gap_ns = 500'000;
  if (only.wants("latency_block")) {
    Report blocking = run_group(latency).reports[0];
    line("latency_block_p50", blocking.p50_ns / 1e3, "us");
    line("latency_block_p99", blocking.p99_ns / 1e3, "us");
  }
  // The same with the log on, its default: what the log adds to a wake.
  Options latency_wal = latency;
  latency_wal.wal = true;
  if (only.wants("latency_block_wal")) {
    Report blocking = run_group(latency_wal).reports[0];
    line("latency_block_wal_p50", blocking.p50_ns / 1e3, "us");
    line("latency_block_wal_p99", blocking.p99_ns / 1e3, "us");
  }
  latency.spin = true;
  if (only.wants("latency_spin")) {
    Report spinning = run_group(latency).reports[0];
    line("latency_spin_p50", spinning.p50_ns / 1e3, "us");
    line("latency_spin_p99", spinning.p99_ns / 1e3, "us");
  }

  Options small;
  small.count = 2'000'000 / scale;
  Options small_4subs = small;
  small_4subs.subscribers = 4;
  Options large;
  large.payload = 64 * 1024;
  large.count = 200'000 / scale;
  // The log writes every byte to disk: keep the logged runs within its
  // retention limit.
  Options small_wal = small;
  small_wal.wal = true;
  Options large_wal = large;
  large_wal.wal = true;
  large_wal.count /= 10;

  // The blocking throughputs with the publisher's wakeup writes per message:
  // a subscriber that keeps up should never need one.
  auto blocking_throughput = [&](const char* name, const char* wakeups_name, const Options& o) {
    Throughput t = throughput(o, runs);
    line(name, t.per_second / 1e6, "Mmsg/s");
    line(wakeups_name, t.wakeups_per_message, "", 4);
    return t.per_second;
  };
  const bool ratios = only.wants("wal_ratio");
  double small_off = 0, large_off = 0, small_on = 0, large_on = 0;
  if (ratios || only.wants("throughput_64b")) {
    small_off = blocking_throughput("throughput_64b", "wakeups_per_message_64b", small);
  }
  if (only.wants("throughput_64b_4subs")) {
    blocking_throughput("throughput_64b_4subs", "wakeups_per_message_64b_4subs", small_4subs);
  }
  // The same stream to a subscriber that spins on the non-blocking receive:
  // no wakeups, so this is what the ring itself carries.
  Options small_spin = small;
  small_spin.spin = true;
  if (only.wants("throughput_64b_spin"))
    line("throughput_64b_spin", throughput(small_spin, runs).per_second / 1e6, "Mmsg/s");
  if (ratios || only.wants("throughput_64k")) large_off = throughput(large, runs).per_second;
  if (only.wants("throughput_64k")) line("throughput_64k", large_off * 65536 / 1e9, "GB/s");

  if (only.wants("publish_ns_64b")) line("publish_ns_64b", publish_ns(64, false, 2'000'000 / scale), "ns");
  if (only.wants("publish_ns_64b_wal")) line("publish_ns_64b_wal", publish_ns(64, true, 2'000'000 / scale), "ns");
  // The same for 64 KiB messages, which separates the log's cost per byte
  // from the subscriber's (within the log's retention limit).
  if (only.wants("publish_ns_64k")) line("publish_ns_64k", publish_ns(65536, false, 10'000 / scale), "ns");
  if (only.wants("publish_ns_64k_wal")) line("publish_ns_64k_wal", publish_ns(65536, true, 10'000 / scale), "ns");
  if (only.wants("ratio_publish_64k_wal_floor")) publish_wal_over_floor(10'000 / scale, runs);

  if (ratios || only.wants("throughput_64b_wal")) small_on = throughput(small_wal, runs).per_second;
  if (ratios || only.wants("throughput_64k_wal")) large_on = throughput(large_wal, runs).per_second;
  if (only.wants("throughput_64b_wal")) line("throughput_64b_wal", small_on / 1e6, "Mmsg/s");
  if (only.wants("throughput_64k_wal")) line("throughput_64k_wal", large_on * 65536 / 1e9, "GB/s");
  if (ratios) {
    line("wal_ratio_64b", small_on / small_off, "x");
    line("wal_ratio_64k", large_on / large_off, "x");
  }
  return 0;
}

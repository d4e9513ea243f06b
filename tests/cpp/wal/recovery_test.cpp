// Recovery of a log's segment files, seen through opening the log: what a
// crash left is cut or removed, damage further back is left for replay to
// report, and the numbering goes on after the last stored record.
#include "wal/recovery.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "logging.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/wal_log.h"
#include "support/wal_test_util.h"
#include "wal/reader.h"
#include "wal/record.h"
#include "wal/wal.h"

namespace qorva::wal {
namespace {

// The log tests' helpers (support/wal_log.h, support/wal_test_util.h).
using namespace testing;
using testing_support::ChildEnd;
using testing_support::ChildProcess;
using testing_support::run_in_child;

TEST(Recovery, ContinuesAfterTheNewestRecordInAFreshSegment) {
  testing::TempDir topic;
  const std::string dir = make_log_dir(topic);
  write_file(dir + "/" + seg_name(0), reference_segment(0, 10));
  write_file(dir + "/" + seg_name(10), reference_segment(10, 20));
  write_file(dir + "/" + seg_name(30), reference_segment(30, 12));
  Wal wal = open_wal(topic.path());
  EXPECT_EQ(file_size(dir + "/" + seg_name(42)), kHeaderLen);
  WalStats s = wal.stats();
  EXPECT_EQ(s.pending_cursor, 42u);
  EXPECT_EQ(s.durable_cursor, 42u);
  EXPECT_EQ(s.oldest_cursor, 0u);
  EXPECT_EQ(s.active_segment_bytes, kHeaderLen);
  EXPECT_EQ(s.total_wal_bytes, kHeaderLen + segment_bytes(0, 10) + segment_bytes(10, 20) + segment_bytes(30, 12));
  EXPECT_EQ(s.segments, 4u);
  EXPECT_EQ(s.appends_total + s.append_bytes_total + s.flushes_total, 0u);
}

TEST(Recovery, CutsATornTailBeforeCountingAndContinuesAfterIt) {
  testing::TempDir topic;
  const std::string dir = make_log_dir(topic);
  Bytes newest = reference_segment(5, 4);
  const std::uint64_t sound = newest.size();
  Bytes torn = reference_segment(5, 5);
  torn.resize(torn.size() - 3);  // the fifth record lost its last bytes in a crash
  write_file(dir + "/" + seg_name(5), torn);
  Wal wal = open_wal(topic.path());
  EXPECT_EQ(file_size(dir + "/" + seg_name(5)), sound);
  EXPECT_EQ(wal.pending_cursor(), 9u);
  EXPECT_EQ(wal.stats().total_wal_bytes, sound + kHeaderLen);
}

// A crash tears only the segment being appended to, and a full segment is
// synced before the next one is made: damage in any older segment is
// corruption, which opening leaves as it is (cutting there would destroy the
// intact records after it) and replay reports when it reaches it.
TEST(Recovery, DamageInAnOlderSegmentIsLeftAndReplayReportsIt) {
  struct Case {
    const char* name;
    std::uint64_t damaged;      // the record whose payload gets a flipped byte
    std::uint64_t header_only;  // a newest segment without records (0: none)
  };
  const Case cases[] = {
      {"oldest", 50, 0},
      {"middle", 150, 0},
      {"one before a newest without records", 250, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir topic;
    const std::string dir = make_log_dir(topic);
    for (std::uint64_t first : {0u, 100u, 200u}) write_file(dir + "/" + seg_name(first), reference_segment(first, 100));
    if (c.header_only != 0) write_file(dir + "/" + seg_name(c.header_only), testing::reference_header(c.header_only));
    const std::string damaged_path = dir + "/" + seg_name(c.damaged / 100 * 100);
    Bytes damaged = read_file(damaged_path);
    const DecodedRecord target = decode_records(damaged).at(c.damaged % 100);
    damaged.at(target.offset + kRecordPayloadOffset) ^= std::byte{0x01};
    write_file(damaged_path, damaged);

    {
      Wal wal = open_wal(topic.path());
      EXPECT_EQ(wal.pending_cursor(), c.header_only != 0 ? c.header_only : 300u);
    }
    EXPECT_EQ(file_size(damaged_path), damaged.size());  // every record after the damage kept
    EXPECT_TRUE(read_file(damaged_path) == damaged);

    auto index = WalReader::open(topic.path());
    ASSERT_TRUE(index);
    auto replay = index->read_from(c.damaged / 100 * 100);
    ASSERT_TRUE(replay);
    for (std::uint64_t want = c.damaged / 100 * 100; want < c.damaged; ++want) {
      auto item = replay->next();
      ASSERT_TRUE(item && *item) << want;
      EXPECT_EQ((*item)->cursor, want);
    }
    auto at_damage = replay->next();
    ASSERT_TRUE(at_damage);
    ASSERT_FALSE(*at_damage);
    EXPECT_TRUE(std::holds_alternative<WalError::Reader>(at_damage->error().value)) << at_damage->error().message();
  }
}

TEST(Recovery, NextCursorFollowsTheLastStoredRecordEvenAfterAGap) {
  testing::TempDir topic;
  const std::string dir = make_log_dir(topic);
  Bytes seg = testing::reference_header(0);
  for (std::uint64_t c : {0u, 1u, 2u, 7u}) {
    Bytes r = testing::reference_record(c, 0, payload_for(c));
    seg.insert(seg.end(), r.begin(), r.end());
  }
  write_file(dir + "/" + seg_name(0), seg);
  Wal wal = open_wal(topic.path());
  EXPECT_EQ(wal.pending_cursor(), 8u);
}

TEST(Recovery, UnrecoverableSegmentsFailEveryOpen) {
  struct Case {
    const char* name;
    Bytes contents;
    const char* message;
  };
  Bytes bad_magic = reference_segment(9, 1);
  testing::put_le(bad_magic, 0, 42, 8);
  const Case cases[] = {
      {"9.seg", Bytes{}, "segment reader: segment header: segment header truncated: 0 bytes < 32"},
      {"9.seg", bad_magic,
       "segment reader: segment header: segment magic mismatch: got 0x000000000000002a, want 0x716f72766157414c"},
  };
  for (const auto& c : cases) {
    testing::TempDir topic;
    const std::string dir = make_log_dir(topic);
    write_file(dir + "/" + c.name, c.contents);
    write_file(dir + "/" + seg_name(20), reference_segment(20, 1));  // 9.seg is not the newest
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto wal = Wal::open(topic.path(), config_with(SyncMode::Periodic));
      ASSERT_FALSE(wal);
      EXPECT_EQ(wal.error().message(), c.message);
    }
    EXPECT_EQ(read_file(dir + "/" + c.name), c.contents);
  }
}

TEST(Recovery, NewestSegmentCutShortAtCreationIsRemoved) {
  for (std::size_t size : {0u, 10u, 31u}) {
    testing::TempDir topic;
    const std::string dir = make_log_dir(topic);
    write_file(dir + "/" + seg_name(0), reference_segment(0, 50));
    Bytes partial = testing::reference_header(50);
    partial.resize(size);
    write_file(dir + "/" + seg_name(50), partial);
    {
      Wal wal = open_wal(topic.path());
      EXPECT_EQ(wal.pending_cursor(), 50u);
      EXPECT_EQ(file_size(dir + "/" + seg_name(50)), kHeaderLen);  // made afresh
      append_range(wal, 50, 52);
    }
    expect_contiguous(all_records(dir), 0, 52);
  }
}

// What opening a log reports about the repairs it makes: one WARN line per
// cut segment, and nothing for a sound one.
TEST(Recovery, ReportsEachRepairAsATornTailEvent) {
  struct Case {
    const char* name;
    std::size_t newest_len;  // bytes of a 3-record segment starting at 5 that remain
    std::string line;        // expected after the time stamp; empty for none
  };
  const std::size_t whole = segment_bytes(5, 3);
  const Case cases[] = {
      {"sound", whole, ""},
      {"torn last record", whole - 3,
       " WARN qorva::wal: recover_truncate dropped trailing torn bytes path=WAL/" + seg_name(5) + " bytes_dropped=" +
           std::to_string(record_size(7) - 3) + " truncate_offset=" + std::to_string(whole - record_size(7))},
      {"creation cut short", 17,
       " WARN qorva::wal: recover_truncate dropped trailing torn bytes path=WAL/" + seg_name(5) +
           " bytes_dropped=17 truncate_offset=0"},
  };
  constexpr int kCannotObserve = 77;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir topic;
    const std::string dir = make_log_dir(topic);
    write_file(dir + "/" + seg_name(0), reference_segment(0, 5));
    Bytes newest = reference_segment(5, 3);
    newest.resize(c.newest_len);
    write_file(dir + "/" + seg_name(5), newest);
    const std::string log_path = topic / "log.txt";
    const ChildEnd end = run_in_child([&] {
      ::unsetenv("RUST_LOG");
      // Logging is set up once per process: an earlier test in this one may
      // have done it, with a filter that hides the event.
      init_logging("warn");
      if (!enabled(Level::Warn, log_target::kWal)) return kCannotObserve;
      testing_support::FdLogSink log_file(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      return Wal::open(topic.path(), config_with(SyncMode::Off)) ? 0 : 3;
    });
    if (end == ChildEnd::exited(kCannotObserve))
      GTEST_SKIP() << "logging was set up earlier in this process without WARN events";
    ASSERT_EQ(end, ChildEnd::exited(0));
    const Bytes out = read_file(log_path);
    std::string text(reinterpret_cast<const char*>(out.data()), out.size());
    if (c.line.empty()) {
      EXPECT_EQ(text, "");
      continue;
    }
    std::string want = c.line;
    want.replace(want.find("WAL"), 3, dir);
    // One line: a time stamp, then the event.
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_TRUE(text.ends_with(want + "\n")) << text;
  }
}

// A child appends as fast as it can and is killed at a random moment; a
// new log recovers, continues the numbering, and holds every record up to
// the durable cursor the child last saw, intact.
TEST(RecoveryConcurrent, SigkilledAppenderRecoversAndContinues) {
  testing::TempDir topic;
  struct Progress {
    std::atomic<std::uint64_t> durable;
    std::atomic<std::uint64_t> started;
  };
  void* mem = ::mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  auto* progress = new (mem) Progress{};
  std::mt19937 rng(20240611);
  std::uint64_t expected_next = 0;
  for (int round = 0; round < 6; ++round) {
    progress->durable.store(0);
    progress->started.store(0);
    // The child ends only by the kill, or with _exit where it fails: no
    // teardown of the log ever runs in it.
    ChildProcess appender([&]() -> int {
      ::alarm(30);
      auto wal = Wal::open(topic.path(), config_with(SyncMode::Periodic, 256 << 10));
      if (!wal) ::_exit(2);
      progress->started.store(1);
      for (std::uint64_t c = wal->pending_cursor();; ++c) {
        if (!wal->append(c, wal->timestamp_now(), payload_for(c))) ::_exit(3);
        progress->durable.store(wal->durable_cursor());
      }
    });
    ASSERT_GT(appender.pid(), 0);
    ASSERT_TRUE(eventually([&] { return progress->started.load() == 1; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(1, 40)(rng)));
    const ChildEnd end = appender.kill();
    ASSERT_NE(end.signal, 0) << "child ended on its own: " << end;
    const std::uint64_t durable = progress->durable.load();

    Wal wal = open_wal(topic.path(), config_with(SyncMode::Off));
    const std::uint64_t next = wal.pending_cursor();
    EXPECT_GE(next, durable) << "round " << round;
    EXPECT_GE(next, expected_next) << "round " << round;
    expect_contiguous(all_records(topic / "wal"), 0, next);
    expected_next = next;
  }
  ::munmap(mem, sizeof(Progress));
}

}  // namespace
}  // namespace qorva::wal

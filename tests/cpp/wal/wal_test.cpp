#include "wal/wal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "clock.h"
#include "logging.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/peers.h"
#include "support/wal_fault_file.h"
#include "support/wal_test_util.h"
#include "wal/open_logs.h"
#include "wal/reader.h"
#include "wal/record.h"

namespace qorva::wal {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::decode_records;
using testing::DecodedRecord;
using testing::eventually;
using testing::file_size;
using testing::payload_for;
using testing::read_file;
using testing::reference_segment;
using testing::seg_name;
using testing::write_file;
using testing_support::ChildEnd;
using testing_support::ChildProcess;
using testing_support::run_in_child;

WalConfig config_with(SyncMode mode, std::uint64_t max_segment = 64ull << 20, std::uint64_t max_total = 1ull << 30) {
  WalConfig c;
  c.sync_mode = mode;
  c.max_segment_bytes = max_segment;
  c.max_total_bytes = max_total;
  return c;
}

Wal open_wal(const std::string& topic, const WalConfig& config = config_with(SyncMode::Periodic)) {
  auto wal = Wal::open(topic, config);
  if (!wal) {
    ADD_FAILURE() << wal.error().message();
    std::abort();
  }
  return std::move(*wal);
}

std::uint64_t record_size(std::uint64_t cursor) { return payload_for(cursor).size() + kRecordFramingLen; }

void append_range(Wal& wal, std::uint64_t from, std::uint64_t to) {
  for (std::uint64_t c = from; c < to; ++c) {
    auto r = wal.append(c, wal.timestamp_now(), payload_for(c));
    ASSERT_TRUE(r) << c << ": " << r.error().message();
  }
}

// Every record in every segment file of `wal_dir`, in name order, decoded
// independently of the reader under test.
std::vector<DecodedRecord> all_records(const std::string& wal_dir) {
  std::vector<DecodedRecord> out;
  for (const auto& name : testing::dir_names(wal_dir)) {
    if (!name.ends_with(".seg")) continue;
    for (auto& r : decode_records(read_file(wal_dir + "/" + name))) out.push_back(std::move(r));
  }
  return out;
}

// The records must be exactly first..first+n-1 with their payloads, intact.
void expect_contiguous(const std::vector<DecodedRecord>& records, std::uint64_t first, std::uint64_t count) {
  ASSERT_EQ(records.size(), count);
  for (std::uint64_t i = 0; i < count; ++i) {
    ASSERT_EQ(records[i].cursor, first + i);
    ASSERT_TRUE(records[i].crc_ok) << records[i].cursor;
    ASSERT_EQ(records[i].payload, payload_for(first + i)) << records[i].cursor;
  }
}

std::uint64_t segment_bytes(std::uint64_t first, std::uint64_t count) { return reference_segment(first, count).size(); }

// --- Opening and recovery ---

TEST(WalOpen, EmptyTopicStartsAtZeroWithNoSegment) {
  testing::TempDir topic;
  Wal wal = open_wal(topic / "deeper/topic");
  EXPECT_TRUE(std::filesystem::is_directory(topic / "deeper/topic/wal"));
  EXPECT_TRUE(testing::dir_names(topic / "deeper/topic/wal").empty());
  EXPECT_EQ(wal.stats(), WalStats{});
}

TEST(WalOpen, ContinuesAfterTheNewestRecordInAFreshSegment) {
  testing::TempDir topic;
  const std::string dir = topic / "wal";
  std::filesystem::create_directories(dir);
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

TEST(WalOpen, CutsATornTailBeforeCountingAndContinuesAfterIt) {
  testing::TempDir topic;
  const std::string dir = topic / "wal";
  std::filesystem::create_directories(dir);
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
TEST(WalOpen, DamageInAnOlderSegmentIsLeftAndReplayReportsIt) {
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
    const std::string dir = topic / "wal";
    std::filesystem::create_directories(dir);
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

TEST(WalOpen, NextCursorFollowsTheLastStoredRecordEvenAfterAGap) {
  testing::TempDir topic;
  const std::string dir = topic / "wal";
  std::filesystem::create_directories(dir);
  Bytes seg = testing::reference_header(0);
  for (std::uint64_t c : {0u, 1u, 2u, 7u}) {
    Bytes r = testing::reference_record(c, 0, payload_for(c));
    seg.insert(seg.end(), r.begin(), r.end());
  }
  write_file(dir + "/" + seg_name(0), seg);
  Wal wal = open_wal(topic.path());
  EXPECT_EQ(wal.pending_cursor(), 8u);
}

TEST(WalOpen, HeaderOnlyNewestSegmentStaysAndTheFirstAppendReplacesIt) {
  testing::TempDir topic;
  const std::string dir = topic / "wal";
  std::filesystem::create_directories(dir);
  write_file(dir + "/" + seg_name(0), reference_segment(0, 42));
  write_file(dir + "/" + seg_name(42), testing::reference_header(42));
  {
    Wal wal = open_wal(topic.path());
    WalStats s = wal.stats();
    EXPECT_EQ(s.pending_cursor, 42u);
    EXPECT_EQ(s.durable_cursor, 42u);
    EXPECT_EQ(s.active_segment_bytes, 0u);
    EXPECT_EQ(s.total_wal_bytes, segment_bytes(0, 42) + kHeaderLen);
    EXPECT_EQ(s.segments, 2u);
    EXPECT_EQ(testing::dir_names(dir).size(), 2u);
    append_range(wal, 42, 45);
    s = wal.stats();
    EXPECT_EQ(s.segments, 2u);
    EXPECT_EQ(s.active_segment_bytes, segment_bytes(42, 3));
    EXPECT_EQ(s.total_wal_bytes, segment_bytes(0, 42) + segment_bytes(42, 3));
  }
  expect_contiguous(all_records(dir), 0, 45);
}

TEST(WalOpen, ReopeningWithoutAppendsNeverBricksTheLog) {
  testing::TempDir topic;
  {
    Wal wal = open_wal(topic.path());
    append_range(wal, 0, 3);
  }
  for (int i = 0; i < 3; ++i) {
    Wal wal = open_wal(topic.path());  // each leaves a header-only newest segment
    EXPECT_EQ(wal.pending_cursor(), 3u);
  }
  {
    Wal wal = open_wal(topic.path());
    append_range(wal, 3, 6);
  }
  expect_contiguous(all_records(topic / "wal"), 0, 6);
}

TEST(WalOpen, EquivalentNamesIndexOnceAndOtherNamesAreLeftAlone) {
  testing::TempDir topic;
  const std::string dir = topic / "wal";
  std::filesystem::create_directories(dir);
  write_file(dir + "/+7.seg", reference_segment(7, 2));
  write_file(dir + "/007.seg", reference_segment(7, 2));
  for (const char* other : {"notes.txt", "7.seg.bak", "-5.seg", "+.seg", ".seg", "5.SEG"})
    write_file(dir + "/" + other, bytes_of("not a segment"));
  Wal wal = open_wal(topic.path());
  WalStats s = wal.stats();
  EXPECT_EQ(s.segments, 2u);  // key 7 once, plus the fresh segment at 9
  EXPECT_EQ(s.oldest_cursor, 7u);
  EXPECT_EQ(s.pending_cursor, 9u);
  EXPECT_EQ(read_file(dir + "/notes.txt"), bytes_of("not a segment"));
  EXPECT_EQ(read_file(dir + "/-5.seg"), bytes_of("not a segment"));
}

TEST(WalOpen, UnrecoverableSegmentsFailEveryOpen) {
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
    const std::string dir = topic / "wal";
    std::filesystem::create_directories(dir);
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

TEST(WalOpen, NewestSegmentCutShortAtCreationIsRemoved) {
  for (std::size_t size : {0u, 10u, 31u}) {
    testing::TempDir topic;
    const std::string dir = topic / "wal";
    std::filesystem::create_directories(dir);
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
TEST(WalOpen, ReportsEachRepairAsATornTailEvent) {
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
    const std::string dir = topic / "wal";
    std::filesystem::create_directories(dir);
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

TEST(WalOpen, DirectoryThatCannotBeMadeIsAnIoError) {
  testing::TempDir topic;
  write_file(topic / "wal", bytes_of("a file"));
  auto wal = Wal::open(topic.path(), config_with(SyncMode::Periodic));
  ASSERT_FALSE(wal);
  EXPECT_TRUE(std::holds_alternative<WalError::Io>(wal.error().value)) << wal.error().message();
}

// --- Appending ---

TEST(WalAppend, RecordsSurviveReopenAndNumberingContinues) {
  testing::TempDir topic;
  const std::uint64_t before = unix_time_ns();
  {
    Wal wal = open_wal(topic.path());
    append_range(wal, 0, 100);
    WalStats s = wal.stats();
    EXPECT_EQ(s.pending_cursor, 100u);
    EXPECT_EQ(s.appends_total, 100u);
    std::uint64_t payload_bytes = 0;
    for (std::uint64_t c = 0; c < 100; ++c) payload_bytes += payload_for(c).size();
    EXPECT_EQ(s.append_bytes_total, payload_bytes);
    EXPECT_EQ(s.active_segment_bytes, segment_bytes(0, 100));
  }
  EXPECT_TRUE(testing::exists(topic / ("wal/" + seg_name(0))));
  auto records = all_records(topic / "wal");
  expect_contiguous(records, 0, 100);
  for (std::size_t i = 1; i < records.size(); ++i) EXPECT_GE(records[i].timestamp_ns, records[i - 1].timestamp_ns);
  EXPECT_GE(records.front().timestamp_ns, before);
  EXPECT_LE(records.back().timestamp_ns, unix_time_ns() + 1'000'000'000);

  Wal wal = open_wal(topic.path());
  EXPECT_EQ(wal.pending_cursor(), 100u);
  append_range(wal, 100, 110);
}

TEST(WalAppend, FirstAppendOfAnEmptyLogNamesTheSegmentAfterItsCursor) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path());
  ASSERT_TRUE(wal.append(1234, 0, payload_for(1234)));
  EXPECT_TRUE(testing::exists(topic / ("wal/" + seg_name(1234))));
  EXPECT_EQ(wal.pending_cursor(), 1235u);
}

TEST(WalAppend, RefusesAnUnexpectedCursorWithoutChangingAnything) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path());
  append_range(wal, 0, 6);
  const WalStats before = wal.stats();
  auto r = wal.append(5, 0, bytes_of("again"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "segment writer: cursor must be monotonic: tried to append 5 after pending_cursor was 6");
  WalStats after = wal.stats();
  after.durable_cursor = before.durable_cursor;
  after.flushes_total = before.flushes_total;
  EXPECT_EQ(after, before);
}

TEST(WalAppend, PayloadLimitIsCheckedFirst) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path());
  Bytes big(kMaxPayloadLen + 1);
  auto r = wal.append(0, 0, big);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "payload too large: 16777189 > MAX_PAYLOAD_LEN (16777188)");
  EXPECT_EQ(wal.stats(), WalStats{});
  big.pop_back();
  ASSERT_TRUE(wal.append(0, 0, big));
  EXPECT_EQ(wal.stats().active_segment_bytes, kHeaderLen + kMaxRecordLen);
}

TEST(WalAppend, EmptyPayloadCountsAsAnAppendOfNoBytes) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path());
  ASSERT_TRUE(wal.append(0, 0, {}));
  EXPECT_EQ(wal.stats().appends_total, 1u);
  EXPECT_EQ(wal.stats().append_bytes_total, 0u);
  EXPECT_EQ(wal.stats().active_segment_bytes, kHeaderLen + 28);
}

TEST(WalAppend, DisabledLogDoesNothing) {
  testing::TempDir topic;
  WalConfig off = config_with(SyncMode::Periodic);
  off.enabled = false;
  Wal wal = open_wal(topic.path(), off);
  ASSERT_TRUE(wal.append(77, 0, bytes_of("x")));
  EXPECT_EQ(wal.stats(), WalStats{});
  EXPECT_TRUE(testing::dir_names(topic / "wal").empty());
}

TEST(WalRotation, RotatesWhenARecordWouldPassTheSegmentLimit) {
  testing::TempDir topic;
  // Room for exactly records 0..2; record 3 goes to a new segment.
  const std::uint64_t limit = kHeaderLen + record_size(0) + record_size(1) + record_size(2);
  Wal wal = open_wal(topic.path(), config_with(SyncMode::Off, limit));
  append_range(wal, 0, 3);
  EXPECT_EQ(wal.stats().segments, 1u);
  EXPECT_EQ(wal.stats().active_segment_bytes, limit);  // exactly full: no rotation
  append_range(wal, 3, 4);
  WalStats s = wal.stats();
  EXPECT_EQ(s.segments, 2u);
  EXPECT_EQ(s.active_segment_bytes, kHeaderLen + record_size(3));
  EXPECT_EQ(s.total_wal_bytes, limit + kHeaderLen + record_size(3));
  // The sealed segment was closed with a sync: all of it is on disk.
  EXPECT_EQ(file_size(topic / ("wal/" + seg_name(0))), limit);
  EXPECT_TRUE(testing::exists(topic / ("wal/" + seg_name(3))));
}

TEST(WalRotation, SplitsALongRunIntoSegmentsNamedAfterTheirFirstRecords) {
  testing::TempDir topic;
  {
    Wal wal = open_wal(topic.path(), config_with(SyncMode::Off, 1000));
    append_range(wal, 0, 300);
    EXPECT_GT(wal.stats().segments, 10u);
  }
  const std::string dir = topic / "wal";
  std::uint64_t expect_first = 0;
  for (const auto& name : testing::dir_names(dir)) {
    auto records = decode_records(read_file(dir + "/" + name));
    ASSERT_FALSE(records.empty()) << name;
    EXPECT_EQ(name, seg_name(records.front().cursor));
    EXPECT_EQ(records.front().cursor, expect_first);
    EXPECT_LE(file_size(dir + "/" + name), 1000u);
    expect_first = records.back().cursor + 1;
  }
  expect_contiguous(all_records(dir), 0, 300);
}

TEST(WalRotation, RecordLargerThanASegmentGetsOneOfItsOwn) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path(), config_with(SyncMode::Off, 200));
  ASSERT_TRUE(wal.append(0, 0, Bytes(500)));  // into the fresh segment
  EXPECT_EQ(wal.stats().segments, 1u);
  ASSERT_TRUE(wal.append(1, 0, Bytes(500)));  // rotates, again alone
  ASSERT_TRUE(wal.append(2, 0, Bytes(10)));   // rotates away from the oversized one
  WalStats s = wal.stats();
  EXPECT_EQ(s.segments, 3u);
  EXPECT_EQ(s.active_segment_bytes, kHeaderLen + 38);
  EXPECT_EQ(s.total_wal_bytes, 2 * (kHeaderLen + 528) + kHeaderLen + 38);
}

// Buffered small records and large ones written straight through, mixed
// across rotations under the periodic flusher: the files hold every record
// in cursor order, byte for byte, and a reopened log continues after them.
TEST(WalRotation, MixedRecordSizesLandInOrderAcrossSegments) {
  testing::TempDir topic;
  const std::size_t sizes[] = {0, 10, 9000, 8163, 8164, 10, 70000, 3, 8192, 1};
  auto payload = [&](std::uint64_t c) { return payload_for(c, sizes[c % std::size(sizes)]); };
  constexpr std::uint64_t kCount = 60;
  {
    Wal wal = open_wal(topic.path(), config_with(SyncMode::Periodic, 100'000));
    for (std::uint64_t c = 0; c < kCount; ++c) ASSERT_TRUE(wal.append(c, wal.timestamp_now(), payload(c))) << c;
    EXPECT_GT(wal.stats().segments, 5u);
  }
  const std::string dir = topic / "wal";
  std::vector<DecodedRecord> records;
  for (const auto& name : testing::dir_names(dir)) {
    const Bytes file = read_file(dir + "/" + name);
    auto decoded = decode_records(file);
    ASSERT_FALSE(decoded.empty()) << name;
    EXPECT_EQ(name, seg_name(decoded.front().cursor));
    EXPECT_EQ(decoded.back().offset + decoded.back().record_len, file.size()) << name;  // no stray bytes
    for (auto& r : decoded) records.push_back(std::move(r));
  }
  ASSERT_EQ(records.size(), kCount);
  for (std::uint64_t c = 0; c < kCount; ++c) {
    EXPECT_EQ(records[c].cursor, c);
    EXPECT_TRUE(records[c].crc_ok) << c;
    EXPECT_EQ(records[c].payload, payload(c)) << c;
  }
  EXPECT_EQ(open_wal(topic.path()).pending_cursor(), kCount);
}

TEST(WalRetention, DeletesTheOldestSegmentsAndNeverTheActiveOne) {
  testing::TempDir topic;
  const std::string dir = topic / "wal";
  const std::uint64_t total_limit = 1000;
  WalStats s;
  {
    Wal wal = open_wal(topic.path(), config_with(SyncMode::Off, 400, total_limit));
    append_range(wal, 0, 200);
    s = wal.stats();
  }
  EXPECT_LE(s.total_wal_bytes, total_limit);
  EXPECT_GT(s.oldest_cursor, 0u);
  EXPECT_EQ(s.segments, testing::dir_names(dir).size());
  // What is left is the newest run of records, contiguous up to the last,
  // and exactly the bytes the log counted.
  expect_contiguous(all_records(dir), s.oldest_cursor, 200 - s.oldest_cursor);
  std::uint64_t on_disk = 0;
  for (const auto& name : testing::dir_names(dir)) on_disk += file_size(dir + "/" + name);
  EXPECT_EQ(on_disk, s.total_wal_bytes);
}

TEST(WalRetention, ActiveSegmentSurvivesAloneOverTheLimit) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path(), config_with(SyncMode::Off, 64ull << 20, 100));
  append_range(wal, 0, 50);
  WalStats s = wal.stats();
  EXPECT_EQ(s.segments, 1u);
  EXPECT_GT(s.total_wal_bytes, 100u);
}

TEST(WalRetention, AVanishedSegmentIsDroppedFromTheIndexQuietly) {
  testing::TempDir topic;
  const std::string dir = topic / "wal";
  std::filesystem::create_directories(dir);
  write_file(dir + "/" + seg_name(0), reference_segment(0, 20));
  Wal wal = open_wal(topic.path(), config_with(SyncMode::Off, 64ull << 20, segment_bytes(0, 20) + 100));
  std::filesystem::remove(dir + "/" + seg_name(0));
  append_range(wal, 20, 25);
  WalStats s = wal.stats();
  EXPECT_EQ(s.segments, 1u);
  EXPECT_EQ(s.oldest_cursor, 20u);
  EXPECT_EQ(s.total_wal_bytes, s.active_segment_bytes);
}

// --- Sync modes, teardown and the flusher ---

TEST(WalSync, EveryAppendSyncsEachRecord) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path(), config_with(SyncMode::EveryAppend));
  for (std::uint64_t c = 0; c < 5; ++c) {
    ASSERT_TRUE(wal.append(c, 0, payload_for(c)));
    EXPECT_EQ(wal.durable_cursor(), c + 1);
    EXPECT_EQ(wal.stats().flushes_total, c + 1);
    EXPECT_EQ(file_size(topic / ("wal/" + seg_name(0))), segment_bytes(0, c + 1));
  }
}

TEST(WalSync, OffNeverSyncsButTeardownDoes) {
  testing::TempDir topic;
  {
    Wal wal = open_wal(topic.path(), config_with(SyncMode::Off));
    append_range(wal, 0, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(wal.durable_cursor(), 0u);
    EXPECT_EQ(wal.stats().flushes_total, 0u);
    EXPECT_EQ(file_size(topic / ("wal/" + seg_name(0))), kHeaderLen);
  }
  expect_contiguous(all_records(topic / "wal"), 0, 10);
  Wal wal = open_wal(topic.path(), config_with(SyncMode::Off));
  EXPECT_EQ(wal.pending_cursor(), 10u);
}

TEST(WalSync, MovedLogTearsDownOnce) {
  testing::TempDir topic;
  std::optional<Wal> holder;
  {
    Wal wal = open_wal(topic.path(), config_with(SyncMode::Off));
    append_range(wal, 0, 3);
    holder.emplace(std::move(wal));
  }
  append_range(*holder, 3, 6);
  Wal other = open_wal(topic.path() + "/other", config_with(SyncMode::Off));
  other = std::move(*holder);  // tears down the other log, takes this one
  holder.reset();
  append_range(other, 6, 8);
}

TEST(WalFlusherConcurrent, IdleActiveSegmentIsSyncedEveryInterval) {
  testing::TempDir topic;
  {
    Wal wal = open_wal(topic.path());
    append_range(wal, 0, 1);
  }
  Wal wal = open_wal(topic.path());  // continued: a fresh active segment
  EXPECT_TRUE(eventually([&] { return wal.stats().flushes_total >= 5; }));
  EXPECT_EQ(wal.durable_cursor(), wal.pending_cursor());
}

TEST(WalFlusherConcurrent, NoActiveSegmentMeansNoSync) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(wal.stats().flushes_total, 0u);
  EXPECT_EQ(wal.durable_cursor(), 0u);
}

TEST(WalFlusherConcurrent, AppendsBecomeDurableWithinAnInterval) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path());
  append_range(wal, 0, 3);
  EXPECT_TRUE(eventually([&] { return wal.durable_cursor() == 3; }, std::chrono::seconds(2)));
  EXPECT_EQ(file_size(topic / ("wal/" + seg_name(0))), segment_bytes(0, 3));
}

TEST(WalFlusherConcurrent, DurableCursorNeverPassesPendingUnderLoad) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path(), config_with(SyncMode::Periodic, 64 << 10));
  std::uint64_t last_durable = 0;
  for (std::uint64_t c = 0; c < 20000; ++c) {
    ASSERT_TRUE(wal.append(c, 0, payload_for(c)));
    WalStats s = wal.stats();
    ASSERT_LE(s.durable_cursor, s.pending_cursor);
    ASSERT_GE(s.durable_cursor, last_durable);
    last_durable = s.durable_cursor;
  }
  EXPECT_TRUE(eventually([&] { return wal.durable_cursor() == 20000; }));
}

// Lowers RLIMIT_NOFILE and takes every descriptor left under it, so that
// no call can get one until the shortage is destroyed.
class DescriptorShortage {
 public:
  DescriptorShortage() {
    EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &saved_), 0);
    rlimit low = saved_;
    low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 64);
    EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    while (true) {
      UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
      if (!fd) break;
      held_.push_back(std::move(fd));
    }
    EXPECT_EQ(errno, EMFILE);
  }
  ~DescriptorShortage() {
    held_.clear();
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  rlimit saved_{};
  std::vector<UniqueFd> held_;
};

// The flusher syncs through the segment's own descriptor, so descriptors
// running out for ten intervals and more costs it nothing.
TEST(WalFlusherConcurrent, ADescriptorShortageLeavesTheFlusherSyncing) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path());
  append_range(wal, 0, 1);
  ASSERT_TRUE(eventually([&] { return wal.durable_cursor() == 1; }));
  bool synced_meanwhile = false;
  {
    DescriptorShortage shortage;
    const std::uint64_t before = wal.stats().flushes_total;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    synced_meanwhile = eventually([&] { return wal.stats().flushes_total >= before + 2; }, std::chrono::seconds(2));
  }
  EXPECT_TRUE(synced_meanwhile);
  auto appended = wal.append(1, 0, payload_for(1));
  ASSERT_TRUE(appended) << appended.error().message();
  EXPECT_TRUE(eventually([&] { return wal.durable_cursor() == 2; }));
}

// Write failures come from a fault-injecting file in front of each segment
// file (wal_fault_file.h).

using testing::FaultInjector;

// How a flush or a sync is made to fail: at the write-out of the buffer (the
// file may not grow any more) or at the fdatasync after it, for good or just
// once (a failed sync is never retried: what it covered is unknown).
struct SyncFault {
  const char* name;
  void (*inject)(FaultInjector&, std::uint64_t file_size);
};
const SyncFault kSyncFaults[] = {
    {"write-out", [](FaultInjector& f, std::uint64_t size) { f.limit_size(size, EFBIG); }},
    {"fdatasync", [](FaultInjector& f, std::uint64_t) { f.fail_sync(EIO); }},
    {"one fdatasync", [](FaultInjector& f, std::uint64_t) { f.fail_one_sync(1, EIO); }},
};

TEST(WalFlusherConcurrent, AFailedFlushKillsTheFlusherAndEveryLaterAppend) {
  for (const SyncFault& fault : kSyncFaults) {
    SCOPED_TRACE(fault.name);
    testing::TempDir topic;
    auto faults = FaultInjector::make();
    auto wal = Wal::open(topic.path(), config_with(SyncMode::Periodic), faults->maker());
    ASSERT_TRUE(wal);
    ASSERT_TRUE(wal->append(0, 0, bytes_of("durable")));
    ASSERT_TRUE(eventually([&] { return wal->durable_cursor() == 1; }));
    fault.inject(*faults, file_size(topic / ("wal/" + seg_name(0))));
    std::uint64_t cursor = 1;
    std::optional<WalError> refused;
    for (int i = 0; i < 200 && !refused; ++i) {
      if (auto r = wal->append(cursor, 0, bytes_of("x")); r) {
        ++cursor;  // buffered; the flusher will fail to make it durable
      } else {
        refused = r.error();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->message(), "WAL flusher thread died; further appends would silently lose durability");
    faults->heal();
    for (std::size_t size : {0u, 1u, 100000u}) {
      auto r = wal->append(cursor, 0, Bytes(size));
      ASSERT_FALSE(r);
      EXPECT_TRUE(std::holds_alternative<WalError::FlusherDied>(r.error().value)) << r.error().message();
    }
    WalStats s = wal->stats();
    EXPECT_EQ(s.durable_cursor, 1u);
    EXPECT_EQ(s.pending_cursor, cursor);
  }  // and the teardown still finishes
}

// A reader catching up from the files waits about a second for a record
// the log is about to hold. A sync slower than that (a busy disk) must not
// hold back the write-outs: records reach the file within an interval or
// so while the sync goes on, and the durable cursor keeps to what each
// finished sync covered.
TEST(WalFlusherConcurrent, WriteOutsGoOnDuringASlowSync) {
  testing::TempDir topic;
  auto faults = FaultInjector::make();
  auto wal = Wal::open(topic.path(), config_with(SyncMode::Periodic), faults->maker());
  ASSERT_TRUE(wal);
  append_range(*wal, 0, 1);
  ASSERT_TRUE(eventually([&] { return wal->durable_cursor() == 1; }));
  faults->slow_syncs(std::chrono::milliseconds(1500));
  ASSERT_TRUE(eventually([&] { return faults->slow_syncs_begun() == 1; }));  // covers record 0 only

  append_range(*wal, 1, 4);
  const std::string segment = topic / ("wal/" + seg_name(0));
  ASSERT_TRUE(eventually([&] { return file_size(segment) == segment_bytes(0, 4) || faults->slow_syncs_ended() > 0; }));
  const std::uint64_t durable = wal->durable_cursor();
  ASSERT_EQ(faults->slow_syncs_ended(), 0) << "the records were written out only after the slow sync";
  EXPECT_EQ(durable, 1u);
  expect_contiguous(all_records(topic / "wal"), 0, 4);

  // The next sync, which covers all four, is slow too: the one that ended
  // still counts for record 0 alone.
  faults->slow_syncs(std::chrono::milliseconds(300));
  ASSERT_TRUE(eventually([&] { return faults->slow_syncs_ended() == 1; }));
  EXPECT_EQ(wal->durable_cursor(), 1u);
  faults->heal();
  EXPECT_TRUE(eventually([&] { return wal->durable_cursor() == 4; }));
}

TEST(WalFailure, FailedPerRecordSyncStillAcceptsTheRecord) {
  for (const SyncFault& fault : kSyncFaults) {
    SCOPED_TRACE(fault.name);
    testing::TempDir topic;
    auto faults = FaultInjector::make();
    {
      auto wal = Wal::open(topic.path(), config_with(SyncMode::EveryAppend), faults->maker());
      ASSERT_TRUE(wal);
      ASSERT_TRUE(wal->append(0, 0, bytes_of("synced")));
      fault.inject(*faults, file_size(topic / ("wal/" + seg_name(0))));
      auto r = wal->append(1, 0, bytes_of("accepted, not durable"));
      ASSERT_FALSE(r);
      EXPECT_TRUE(std::holds_alternative<WalError::Writer>(r.error().value)) << r.error().message();
      // The caller tells this failure from a refusal by the pending cursor.
      WalStats s = wal->stats();
      EXPECT_EQ(s.pending_cursor, 2u);
      EXPECT_EQ(s.durable_cursor, 1u);
      EXPECT_EQ(s.appends_total, 2u);
      faults->heal();
      ASSERT_TRUE(wal->append(2, 0, bytes_of("next")));
      EXPECT_EQ(wal->durable_cursor(), 3u);
    }
    auto records = all_records(topic / "wal");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].payload, bytes_of("accepted, not durable"));
    EXPECT_EQ(records[2].cursor, 2u);
  }
}

// The size of a segment that holds records 0 and 1 and nothing more.
const std::uint64_t kTwoRecordSegment = kHeaderLen + record_size(0) + record_size(1);

// A log over `faults` whose first segment is full with records 0 and 1.
Wal open_full_segment(const std::string& topic, SyncMode mode, FaultInjector& faults) {
  auto wal = Wal::open(topic, config_with(mode, kTwoRecordSegment), faults.maker());
  if (!wal) {
    ADD_FAILURE() << wal.error().message();
    std::abort();
  }
  for (std::uint64_t c = 0; c < 2; ++c) EXPECT_TRUE(wal->append(c, 0, payload_for(c)));
  return std::move(*wal);
}

TEST(WalFailure, FailedRotationChangesNothingAndIsRetried) {
  testing::TempDir topic;
  const std::uint64_t limit = kTwoRecordSegment;
  auto faults = FaultInjector::make();
  {
    Wal wal = open_full_segment(topic.path(), SyncMode::Off, *faults);
    // Both records are still buffered; sealing the full segment fails.
    faults->limit_size(kHeaderLen, EFBIG);
    const WalStats before = wal.stats();
    auto r = wal.append(2, 0, payload_for(2));
    ASSERT_FALSE(r);
    EXPECT_TRUE(std::holds_alternative<WalError::Writer>(r.error().value)) << r.error().message();
    EXPECT_EQ(wal.stats(), before);
    faults->heal();
    ASSERT_TRUE(wal.append(2, 0, payload_for(2)));
    WalStats s = wal.stats();
    EXPECT_EQ(s.segments, 2u);
    EXPECT_EQ(s.total_wal_bytes, limit + kHeaderLen + record_size(2));
  }
  EXPECT_EQ(file_size(topic / ("wal/" + seg_name(0))), limit);
  expect_contiguous(all_records(topic / "wal"), 0, 3);
}

// Sealing succeeds but the next segment cannot be made: the sealed segment
// is counted once, nothing is active, and the next append starts afresh.
TEST(WalFailure, FailedCreationAtRotationCountsTheSealedSegmentOnce) {
  testing::TempDir topic;
  const std::uint64_t limit = kTwoRecordSegment;
  auto faults = FaultInjector::make();
  {
    Wal wal = open_full_segment(topic.path(), SyncMode::EveryAppend, *faults);
    faults->limit_size(kHeaderLen - 1, EFBIG);  // all written already; only the new header fails
    auto r = wal.append(2, 0, payload_for(2));
    ASSERT_FALSE(r);
    EXPECT_TRUE(std::holds_alternative<WalError::Writer>(r.error().value)) << r.error().message();
    WalStats s = wal.stats();
    EXPECT_EQ(s.segments, 1u);
    EXPECT_EQ(s.active_segment_bytes, 0u);
    EXPECT_EQ(s.total_wal_bytes, limit);
    EXPECT_EQ(s.pending_cursor, 2u);
    EXPECT_FALSE(testing::exists(topic / ("wal/" + seg_name(2))));  // no half-made file left
    faults->heal();
    ASSERT_TRUE(wal.append(2, 0, payload_for(2)));
    s = wal.stats();
    EXPECT_EQ(s.segments, 2u);
    EXPECT_EQ(s.total_wal_bytes, limit + kHeaderLen + record_size(2));
  }
  expect_contiguous(all_records(topic / "wal"), 0, 3);
}

// A child of fork() must leave the parent's segment alone, whether it
// destroys its copy of the log or runs the exit sync: no duplicated buffer,
// no join, no lock.
TEST(WalFork, ChildLeavesTheParentsLogIntact) {
  struct Case {
    const char* child_does;
    void (*act)(Wal& inherited);
  };
  const Case kCases[] = {
      {"destroys its copy", [](Wal& inherited) { Wal gone = std::move(inherited); }},
      {"syncs the open logs", [](Wal&) { sync_open_logs(); }},
  };
  for (const Case& c : kCases) {
    for (SyncMode mode : {SyncMode::Off, SyncMode::Periodic}) {
      SCOPED_TRACE(c.child_does);
      testing::TempDir topic;
      {
        Wal wal = open_wal(topic.path(), config_with(mode));
        append_range(wal, 0, 10);  // still in the 8 KiB buffer
        const ChildEnd end = run_in_child([&] {
          c.act(wal);
          return 0;
        });
        EXPECT_EQ(end, ChildEnd::exited(0));
        append_range(wal, 10, 20);
      }
      Bytes on_disk = read_file(topic / ("wal/" + seg_name(0)));
      expect_contiguous(decode_records(on_disk), 0, 20);
      EXPECT_EQ(on_disk.size(), segment_bytes(0, 20));
    }
  }
}

// --- The exit sync ---

// A process that ends without destroying its logs (their owners are still
// referenced at exit) keeps every record it appended once sync_open_logs
// has run. Logs that were moved are still found; logs already shut down are
// no longer touched.
TEST(WalExit, SyncOpenLogsSavesTheLogsNobodyDestroys) {
  testing::TempDir dir;
  const std::string kept = dir / "kept", moved = dir / "moved";
  const WalConfig off = config_with(SyncMode::Off);  // nothing else writes the buffer out
  const ChildEnd end = run_in_child([&] {
    // Never destroyed: the child ends with _exit.
    auto* kept_log = new Wal(open_wal(kept, off));
    auto* moved_log = new Wal(open_wal(dir / "replaced", off));
    append_range(*kept_log, 0, 10);
    {
      Wal log = open_wal(moved, off);
      append_range(log, 0, 10);
      *moved_log = std::move(log);  // shuts "replaced" down and takes "moved"
    }
    { Wal closed = open_wal(dir / "closed", off); }
    sync_open_logs();
    return kept_log->durable_cursor() == 10 && moved_log->durable_cursor() == 10 ? 0 : 1;
  });
  ASSERT_EQ(end, ChildEnd::exited(0));
  for (const std::string& topic : {kept, moved}) {
    SCOPED_TRACE(topic);
    expect_contiguous(all_records(topic + "/wal"), 0, 10);
    EXPECT_EQ(open_wal(topic, off).pending_cursor(), 10u);
  }
}

// The exit sync may run while another thread still appends and the flusher
// still syncs: the durable cursor only moves forward, never past the
// pending one, and the log reopens with every record.
TEST(WalExitConcurrent, SyncOpenLogsRunsBesideAppendsAndTheFlusher) {
  testing::TempDir topic;
  constexpr std::uint64_t kRecords = 20000;
  {
    Wal wal = open_wal(topic.path(), config_with(SyncMode::Periodic, 64 << 10));
    std::atomic<bool> done{false};
    std::thread appender([&] {
      append_range(wal, 0, kRecords);
      done.store(true);
    });
    std::uint64_t last_durable = 0;
    while (!done.load()) {
      sync_open_logs();
      const std::uint64_t durable = wal.durable_cursor();
      EXPECT_GE(durable, last_durable);
      last_durable = durable;
    }
    appender.join();
    EXPECT_TRUE(eventually([&] { return wal.durable_cursor() == kRecords; }));
  }
  expect_contiguous(all_records(topic / "wal"), 0, kRecords);
}

// A child appends as fast as it can and is killed at a random moment; a
// new log recovers, continues the numbering, and holds every record up to
// the durable cursor the child last saw, intact.
TEST(WalCrashConcurrent, SigkilledAppenderRecoversAndContinues) {
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

TEST(WalClock, TimestampsStartAtTheWallClockAndNeverGoBack) {
  testing::TempDir topic;
  const std::uint64_t before = unix_time_ns();
  Wal wal = open_wal(topic.path(), config_with(SyncMode::Off));
  EXPECT_GE(WalPeer::opened_unix_ns(wal), before);
  std::uint64_t last = wal.timestamp_now();
  EXPECT_GE(last, WalPeer::opened_unix_ns(wal));
  for (int i = 0; i < 1000; ++i) {
    std::uint64_t now = wal.timestamp_now();
    ASSERT_GE(now, last);
    last = now;
  }
  EXPECT_LT(last - WalPeer::opened_unix_ns(wal), 10'000'000'000ull);
}

TEST(WalClock, TimestampFromAReadingCountsFromTheOpening) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path(), config_with(SyncMode::Off));
  const MonotonicTime at = WalPeer::opened_at(wal);
  const std::uint64_t base = WalPeer::opened_unix_ns(wal);
  struct Case {
    MonotonicTime reading;
    std::uint64_t want;
    const char* what;
  };
  const Case cases[] = {
      {at, base, "the opening"},
      {at + Duration{1, 0}, base + 1'000'000'000, "a second later"},
      {at - Duration{1, 0}, base, "before the opening: never earlier than it"},
      {at + Duration{std::uint64_t{1} << 62, 0}, UINT64_MAX, "saturates"},
  };
  for (const Case& c : cases) EXPECT_EQ(wal.timestamp_at(c.reading), c.want) << c.what;
}

}  // namespace
}  // namespace qorva::wal

#include "wal/wal.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "clock.h"
#include "support/child_process.h"
#include "support/peers.h"
#include "support/wal_fault_file.h"
#include "support/wal_log.h"
#include "support/wal_test_util.h"
#include "wal/open_logs.h"
#include "wal/record.h"

namespace qorva::wal {
namespace {

// The log tests' helpers (support/wal_log.h, support/wal_test_util.h).
using namespace testing;
using testing_support::ChildEnd;
using testing_support::run_in_child;

// --- Opening ---

TEST(WalOpen, EmptyTopicStartsAtZeroWithNoSegment) {
  testing::TempDir topic;
  Wal wal = open_wal(topic / "deeper/topic");
  EXPECT_TRUE(std::filesystem::is_directory(topic / "deeper/topic/wal"));
  EXPECT_TRUE(testing::dir_names(topic / "deeper/topic/wal").empty());
  EXPECT_EQ(wal.stats(), WalStats{});
}

TEST(WalOpen, HeaderOnlyNewestSegmentStaysAndTheFirstAppendReplacesIt) {
  testing::TempDir topic;
  const std::string dir = make_log_dir(topic);
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
  const std::string dir = make_log_dir(topic);
  write_file(dir + "/" + seg_name(0), reference_segment(0, 20));
  Wal wal = open_wal(topic.path(), config_with(SyncMode::Off, 64ull << 20, segment_bytes(0, 20) + 100));
  std::filesystem::remove(dir + "/" + seg_name(0));
  append_range(wal, 20, 25);
  WalStats s = wal.stats();
  EXPECT_EQ(s.segments, 1u);
  EXPECT_EQ(s.oldest_cursor, 20u);
  EXPECT_EQ(s.total_wal_bytes, s.active_segment_bytes);
}

// --- Sync modes and teardown ---

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

// Write failures come from a fault-injecting file in front of each segment
// file (wal_fault_file.h).

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

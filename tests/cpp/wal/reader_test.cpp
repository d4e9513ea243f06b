#include "wal/reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/wal_test_util.h"
#include "wal/record.h"
#include "wal/wal.h"

namespace qorva::wal {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::payload_for;
using testing::reference_record;
using testing::reference_segment;
using testing::seg_name;
using testing::write_file;

// The outcome of one next() call, flattened for comparison.
struct Step {
  std::optional<std::uint64_t> cursor;  // a record
  std::optional<std::string> error;     // an error's message
  bool live_end = false;
  std::optional<WalError> failure;  // the error itself
};

Step step(WalReplayer& replayer) {
  auto item = replayer.next();
  if (!item) return {};
  if (!*item) return {std::nullopt, item->error().message(), replayer.at_live_end(), item->error()};
  EXPECT_EQ((*item)->payload, payload_for((*item)->cursor)) << (*item)->cursor;
  return {(*item)->cursor, std::nullopt, false, std::nullopt};
}

// Cursors yielded until the first error or the end.
std::vector<std::uint64_t> drain(WalReplayer& replayer) {
  std::vector<std::uint64_t> out;
  for (Step s = step(replayer); s.cursor; s = step(replayer)) out.push_back(*s.cursor);
  return out;
}

std::vector<std::uint64_t> range(std::uint64_t from, std::uint64_t to) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t c = from; c < to; ++c) out.push_back(c);
  return out;
}

class WalReplay : public ::testing::Test {
 protected:
  std::string wal_dir() const { return topic_ / "wal"; }
  void put_segment(std::uint64_t first, std::uint64_t count) {
    std::filesystem::create_directories(wal_dir());
    write_file(wal_dir() + "/" + seg_name(first), reference_segment(first, count));
  }
  WalReplayer replay_from(std::uint64_t cursor) {
    auto index = WalReader::open(topic_.path());
    EXPECT_TRUE(index);
    auto replayer = index->read_from(cursor);
    EXPECT_TRUE(replayer) << replayer.error().message();
    return std::move(*replayer);
  }
  testing::TempDir topic_;
};

TEST_F(WalReplay, MissingDirectoryIsAnEmptyIndexThatEndsAtOnce) {
  auto index = WalReader::open(topic_.path());
  ASSERT_TRUE(index);
  EXPECT_FALSE(index->has_segments());
  for (std::uint64_t cursor : {0ull, 5ull, ~0ull}) {
    auto replayer = index->read_from(cursor);
    ASSERT_TRUE(replayer);
    EXPECT_FALSE(replayer->next());
    EXPECT_FALSE(replayer->next());
  }
}

TEST_F(WalReplay, ListingFailureOtherThanMissingIsReturned) {
  write_file(topic_ / "wal", bytes_of("a file, not a directory"));
  auto index = WalReader::open(topic_.path());
  ASSERT_FALSE(index);
  EXPECT_EQ(index.error().os_errno(), ENOTDIR);
}

TEST_F(WalReplay, StartsInTheSegmentHoldingTheCursor) {
  put_segment(0, 100);
  put_segment(100, 100);
  put_segment(200, 50);
  struct Case {
    std::uint64_t from;
    std::vector<std::uint64_t> cursors;
  };
  const Case cases[] = {
      {0, range(0, 250)}, {99, range(99, 250)}, {100, range(100, 250)}, {150, range(150, 250)}, {249, {249}},
      {250, {}},          {1000, {}},
  };
  for (const auto& c : cases) {
    WalReplayer replayer = replay_from(c.from);
    EXPECT_EQ(drain(replayer), c.cursors) << c.from;
    EXPECT_FALSE(replayer.next()) << c.from;
  }
}

TEST_F(WalReplay, CursorBelowTheOldestSegmentIsTooOld) {
  put_segment(100, 3);
  auto index = WalReader::open(topic_.path());
  ASSERT_TRUE(index);
  auto replayer = index->read_from(5);
  ASSERT_FALSE(replayer);
  auto* too_old = std::get_if<WalError::CursorTooOld>(&replayer.error().value);
  ASSERT_NE(too_old, nullptr);
  EXPECT_EQ(too_old->cursor, 5u);
  EXPECT_EQ(too_old->oldest, 100u);
  EXPECT_EQ(replayer.error().message(), "cursor 5 is older than the oldest in-WAL slot (100)");
}

TEST_F(WalReplay, IndexesOnlySegmentNames) {
  std::filesystem::create_directories(wal_dir());
  for (const char* name : {"notes.txt", ".seg", "+.seg", "-5.seg", "12a.seg", "999999999999999999999.seg", "3.seg.tmp"})
    write_file(wal_dir() + "/" + name, reference_segment(3, 1));
  write_file(wal_dir() + "/+7.seg", reference_segment(7, 1));
  std::filesystem::create_directories(wal_dir() + "/9.seg");  // the kind is not looked at
  auto index = WalReader::open(topic_.path());
  ASSERT_TRUE(index);
  std::vector<std::uint64_t> keys;
  for (const auto& [key, path] : index->segment_paths()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::uint64_t>{7, 9}));
  EXPECT_EQ(index->segment_paths().at(7), wal_dir() + "/+7.seg");
}

TEST_F(WalReplay, ChecksumErrorEndsOnlyItsSegment) {
  put_segment(0, 10);
  put_segment(10, 5);
  Bytes seg = reference_segment(0, 10);
  // Damage record 6's payload.
  std::size_t at = kHeaderLen;
  for (std::uint64_t c = 0; c < 6; ++c) at += payload_for(c).size() + kRecordFramingLen;
  seg[at + 25] ^= std::byte{4};
  write_file(wal_dir() + "/" + seg_name(0), seg);

  WalReplayer replayer = replay_from(2);
  EXPECT_EQ(drain(replayer), range(2, 6));  // drain stopped at the error
  EXPECT_EQ(drain(replayer), range(10, 15));
  EXPECT_FALSE(replayer.next());
}

// Records missing between two that are intact (a segment cut short, or one
// gone from the middle): the replay stops at the hole with an error naming it,
// once, and goes on with the record found after it.
TEST_F(WalReplay, HoleInTheNumberingIsAnErrorNotPassedOver) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> segments;  // (first cursor, records)
    std::uint64_t from;
    std::vector<std::uint64_t> before;
    WalError::RecordsMissing hole;
    std::string error;
    std::vector<std::uint64_t> after;
  };
  const Case cases[] = {
      {"older segment cut short",
       {{0, 50}, {100, 100}, {200, 100}},
       0,
       range(0, 50),
       {50, 100},
       "I/O error: log record 100 found where 50 was expected",
       range(100, 300)},
      {"start inside the cut segment",
       {{0, 50}, {100, 10}},
       30,
       range(30, 50),
       {50, 100},
       "I/O error: log record 100 found where 50 was expected",
       range(100, 110)},
      {"segment gone from the middle",
       {{0, 10}, {20, 10}},
       5,
       range(5, 10),
       {10, 20},
       "I/O error: log record 20 found where 10 was expected",
       range(20, 30)},
      {"start in the hole",
       {{0, 10}, {20, 10}},
       12,
       {},
       {12, 20},
       "I/O error: log record 20 found where 12 was expected",
       range(20, 30)},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(wal_dir());
    for (auto [first, count] : c.segments) put_segment(first, count);
    WalReplayer replayer = replay_from(c.from);
    std::vector<std::uint64_t> before;
    Step s = step(replayer);
    for (; s.cursor; s = step(replayer)) before.push_back(*s.cursor);
    EXPECT_EQ(before, c.before) << c.name;
    const auto* hole = s.failure ? std::get_if<WalError::RecordsMissing>(&s.failure->value) : nullptr;
    ASSERT_NE(hole, nullptr) << c.name;
    EXPECT_EQ(hole->expected, c.hole.expected) << c.name;
    EXPECT_EQ(hole->found, c.hole.found) << c.name;
    EXPECT_EQ(s.error, c.error) << c.name;
    EXPECT_EQ(drain(replayer), c.after) << c.name;
    EXPECT_FALSE(replayer.next()) << c.name;
  }
}

TEST_F(WalReplay, ReportsTheErrorOnce) {
  put_segment(0, 3);
  put_segment(3, 3);
  Bytes seg = reference_segment(0, 3);
  seg[kHeaderLen + 30] ^= std::byte{1};
  write_file(wal_dir() + "/" + seg_name(0), seg);
  WalReplayer replayer = replay_from(0);
  Step first = step(replayer);
  ASSERT_TRUE(first.error);
  EXPECT_TRUE(first.error->starts_with("segment reader: CRC mismatch at offset 32:")) << *first.error;
  EXPECT_FALSE(first.live_end);
  EXPECT_EQ(drain(replayer), range(3, 6));
}

TEST_F(WalReplay, VanishedSegmentIsOneErrorThenTheNextSegment) {
  put_segment(0, 4);
  put_segment(4, 4);
  WalReplayer replayer = replay_from(1);
  std::filesystem::remove(wal_dir() + "/" + seg_name(0));
  Step first = step(replayer);
  ASSERT_TRUE(first.error);
  EXPECT_EQ(*first.error, "segment reader: I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(drain(replayer), range(4, 8));
}

TEST_F(WalReplay, IncompleteLastRecordIsAShortReadAtTheLiveEnd) {
  put_segment(0, 3);
  Bytes seg = reference_segment(0, 4);
  const std::size_t full = seg.size();
  seg.resize(full - 5);
  write_file(wal_dir() + "/" + seg_name(0), seg);
  WalReplayer replayer = replay_from(0);
  EXPECT_EQ(drain(replayer), range(0, 3));
  EXPECT_TRUE(replayer.at_live_end());
  EXPECT_FALSE(replayer.next());  // the end, as for any error

  // The publisher's write lands; refresh reads on from the incomplete record.
  write_file(wal_dir() + "/" + seg_name(0), reference_segment(0, 5));
  ASSERT_TRUE(replayer.refresh(topic_.path()));
  EXPECT_EQ(drain(replayer), range(3, 5));
  EXPECT_FALSE(replayer.next());
}

TEST_F(WalReplay, ShortReadInASealedUnchangedSegmentIsNotTheLiveEnd) {
  Bytes torn = reference_segment(0, 3);
  torn.resize(torn.size() - 2);
  std::filesystem::create_directories(wal_dir());
  write_file(wal_dir() + "/" + seg_name(0), torn);
  put_segment(3, 2);
  WalReplayer replayer = replay_from(0);
  EXPECT_EQ(drain(replayer), range(0, 2));
  EXPECT_FALSE(replayer.at_live_end());
  EXPECT_EQ(drain(replayer), range(3, 5));
}

TEST_F(WalReplay, ReadsNoFurtherThanAtOpeningUntilRefreshed) {
  put_segment(0, 3);
  WalReplayer replayer = replay_from(0);
  EXPECT_EQ(step(replayer).cursor, 0u);
  write_file(wal_dir() + "/" + seg_name(0), reference_segment(0, 6));  // grown while open
  put_segment(6, 2);                                                   // created after read_from
  EXPECT_EQ(drain(replayer), range(1, 3));
  EXPECT_FALSE(replayer.next());
  ASSERT_TRUE(replayer.refresh(topic_.path()));
  EXPECT_EQ(drain(replayer), range(3, 8));
  ASSERT_TRUE(replayer.refresh(topic_.path()));  // nothing new
  EXPECT_FALSE(replayer.next());
}

TEST_F(WalReplay, NewestSegmentWithoutAWholeHeaderIsTheLiveEnd) {
  put_segment(0, 2);
  Bytes header = testing::reference_header(2);
  header.resize(0);  // created, header not yet written
  write_file(wal_dir() + "/" + seg_name(2), header);
  WalReplayer replayer = replay_from(0);
  EXPECT_EQ(drain(replayer), range(0, 2));
  EXPECT_TRUE(replayer.at_live_end());
  put_segment(2, 3);
  ASSERT_TRUE(replayer.refresh(topic_.path()));
  EXPECT_EQ(drain(replayer), range(2, 5));
}

TEST_F(WalReplay, FollowsALogAcrossSegmentBoundaries) {
  {
    WalConfig config;
    config.max_segment_bytes = 700;
    config.sync_mode = SyncMode::Off;
    auto wal = Wal::open(topic_.path(), config);
    ASSERT_TRUE(wal);
    for (std::uint64_t c = 0; c < 500; ++c) ASSERT_TRUE(wal->append(c, wal->timestamp_now(), payload_for(c)));
    ASSERT_GT(wal->stats().segments, 20u);
  }
  for (std::uint64_t from : {0u, 137u, 499u}) {
    WalReplayer replayer = replay_from(from);
    EXPECT_EQ(drain(replayer), range(from, 500)) << from;
  }
}

// A log appended to by a live Wal in another thread, replayed from its start:
// every record arrives once, in order, through rotations, live-end short
// reads and refreshes.
TEST(WalReplayConcurrent, FollowsAGrowingLog) {
  testing::TempDir topic;
  WalConfig config;
  config.max_segment_bytes = 16 << 10;
  auto wal = Wal::open(topic.path(), config);
  ASSERT_TRUE(wal);
  constexpr std::uint64_t kRecords = 20000;
  std::thread writer([&] {
    for (std::uint64_t c = 0; c < kRecords; ++c) {
      ASSERT_TRUE(wal->append(c, 0, payload_for(c, c % 300)));
      if (c % 64 == 0) std::this_thread::yield();
    }
  });

  auto index = WalReader::open(topic.path());
  ASSERT_TRUE(index);
  auto replayer = index->read_from(0);
  ASSERT_TRUE(replayer);
  std::uint64_t expect = 0;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (expect < kRecords && std::chrono::steady_clock::now() < give_up) {
    auto item = replayer->next();
    if (item && *item) {
      ASSERT_EQ((*item)->cursor, expect);
      ASSERT_EQ((*item)->payload, payload_for(expect, expect % 300));
      ++expect;
      continue;
    }
    if (item) {
      ASSERT_TRUE(replayer->at_live_end()) << item->error().message();
    }
    ASSERT_TRUE(replayer->refresh(topic.path()));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  writer.join();
  EXPECT_EQ(expect, kRecords);
}

}  // namespace
}  // namespace qorva::wal

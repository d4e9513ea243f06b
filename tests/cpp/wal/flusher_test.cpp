// The flusher of SyncMode::Periodic, seen through the log it serves: records
// become durable within an interval, a slow sync holds back no write-out,
// and a failed write-out or sync ends it and every later append.
#include "wal/flusher.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

#include "support/wal_fault_file.h"
#include "support/wal_log.h"
#include "support/wal_test_util.h"
#include "sys.h"
#include "wal/wal.h"

namespace qorva::wal {
namespace {

// The log tests' helpers (support/wal_log.h, support/wal_test_util.h).
using namespace testing;

TEST(FlusherConcurrent, IdleActiveSegmentIsSyncedEveryInterval) {
  testing::TempDir topic;
  {
    Wal wal = open_wal(topic.path());
    append_range(wal, 0, 1);
  }
  Wal wal = open_wal(topic.path());  // continued: a fresh active segment
  EXPECT_TRUE(eventually([&] { return wal.stats().flushes_total >= 5; }));
  EXPECT_EQ(wal.durable_cursor(), wal.pending_cursor());
}

TEST(FlusherConcurrent, NoActiveSegmentMeansNoSync) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(wal.stats().flushes_total, 0u);
  EXPECT_EQ(wal.durable_cursor(), 0u);
}

TEST(FlusherConcurrent, AppendsBecomeDurableWithinAnInterval) {
  testing::TempDir topic;
  Wal wal = open_wal(topic.path());
  append_range(wal, 0, 3);
  EXPECT_TRUE(eventually([&] { return wal.durable_cursor() == 3; }, std::chrono::seconds(2)));
  EXPECT_EQ(file_size(topic / ("wal/" + seg_name(0))), segment_bytes(0, 3));
}

TEST(FlusherConcurrent, DurableCursorNeverPassesPendingUnderLoad) {
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
TEST(FlusherConcurrent, ADescriptorShortageLeavesTheFlusherSyncing) {
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

TEST(FlusherConcurrent, AFailedFlushKillsTheFlusherAndEveryLaterAppend) {
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
TEST(FlusherConcurrent, WriteOutsGoOnDuringASlowSync) {
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

}  // namespace
}  // namespace qorva::wal

// The exit sync of the logs open in this process (sync_open_logs), seen
// through the logs it saves.
#include "wal/open_logs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/child_process.h"
#include "support/wal_log.h"
#include "support/wal_test_util.h"
#include "wal/wal.h"

namespace qorva::wal {
namespace {

using testing::all_records;
using testing::append_range;
using testing::config_with;
using testing::eventually;
using testing::expect_contiguous;
using testing::open_wal;
using testing_support::ChildEnd;
using testing_support::run_in_child;

// A process that ends without destroying its logs (their owners are still
// referenced at exit) keeps every record it appended once sync_open_logs
// has run. Logs that were moved are still found; logs already shut down are
// no longer touched.
TEST(OpenLogs, SyncOpenLogsSavesTheLogsNobodyDestroys) {
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
TEST(OpenLogsConcurrent, SyncOpenLogsRunsBesideAppendsAndTheFlusher) {
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

}  // namespace
}  // namespace qorva::wal

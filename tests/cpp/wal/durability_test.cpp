// The directory entries the log depends on are synced: a new segment's in
// wal/, and wal/ itself in the topic directory. A power loss cannot be staged
// here, so this binary replaces fsync with one that records which
// directories it was called on before it syncs them.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"
#include "wal/wal.h"

namespace {

using FileId = std::pair<dev_t, ino_t>;

std::mutex synced_mutex;
std::set<FileId> synced_dirs;

}  // namespace

extern "C" int fsync(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    std::lock_guard lock(synced_mutex);
    synced_dirs.insert({st.st_dev, st.st_ino});
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace qorva::wal {
namespace {

using testing_support::TempDir;

FileId id_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return {st.st_dev, st.st_ino};
}

// Forgets what was synced so far and returns what was.
std::set<FileId> take_synced() {
  std::lock_guard lock(synced_mutex);
  return std::exchange(synced_dirs, {});
}

TEST(WalDurability, NewSegmentsAndTheLogDirectoryAreSyncedIntoTheirDirectories) {
  TempDir dir;
  const std::string topic = dir.file("t");
  ASSERT_EQ(::mkdir(topic.c_str(), 0777), 0);
  WalConfig config;
  config.sync_mode = SyncMode::Off;
  config.max_segment_bytes = 32 + 2 * 92;  // a header and two 92-byte records
  const std::vector<std::byte> payload(64);

  take_synced();
  auto wal = Wal::open(topic, config);
  ASSERT_TRUE(wal) << wal.error().message();
  EXPECT_TRUE(take_synced().contains(id_of(topic))) << "wal/ was created without syncing the topic directory";

  for (std::uint64_t cursor = 0; cursor < 6; ++cursor) {
    ASSERT_TRUE(wal->append(cursor, 0, payload));
    // Cursors 0, 2 and 4 each start a segment.
    const bool synced = take_synced().contains(id_of(topic + "/wal"));
    EXPECT_EQ(synced, cursor % 2 == 0) << "cursor " << cursor;
  }
}

}  // namespace
}  // namespace qorva::wal

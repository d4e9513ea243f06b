#include "wal/segment_dir.h"

#include <gtest/gtest.h>

#include "support/wal_log.h"
#include "support/wal_test_util.h"
#include "wal/wal.h"

namespace qorva::wal {
namespace {

using testing::bytes_of;
using testing::open_wal;
using testing::read_file;
using testing::reference_segment;
using testing::write_file;

TEST(SegmentDir, EquivalentNamesIndexOnceAndOtherNamesAreLeftAlone) {
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

}  // namespace
}  // namespace qorva::wal

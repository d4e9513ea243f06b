#include "wal/segment_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <utility>

#include "support/wal_log.h"
#include "support/wal_test_util.h"
#include "wal/wal.h"

namespace qorva::wal {
namespace {

using testing::bytes_of;
using testing::make_log_dir;
using testing::open_wal;
using testing::read_file;
using testing::reference_segment;
using testing::write_file;

TEST(SegmentDir, EquivalentNamesIndexOnceAndOtherNamesAreLeftAlone) {
  testing::TempDir topic;
  const std::string dir = make_log_dir(topic);
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

// The listing itself: every entry with a segment name, whatever its kind, by
// the cursor in the name, and nothing else.
TEST(SegmentDir, ListsEveryEntryWithASegmentNameAndNothingElse) {
  testing::TempDir dir;
  for (const char* name : {"+7.seg", "007.seg", "00000000000000000012.seg", "18446744073709551615.seg", "notes.txt",
                           "7.seg.bak", "-5.seg", "+.seg", ".seg", "5.SEG", "18446744073709551616.seg"})
    write_file(dir / name, bytes_of("x"));
  std::filesystem::create_directory(dir / "30.seg");                 // a directory
  std::filesystem::create_symlink(dir / "nowhere", dir / "31.seg");  // a dangling link
  auto listed = list_segment_files(dir.path());
  ASSERT_TRUE(listed) << listed.error().text();
  std::set<std::pair<std::uint64_t, std::string>> got;
  for (const SegmentFile& f : *listed) got.emplace(f.first_cursor, f.path);
  const std::set<std::pair<std::uint64_t, std::string>> want = {
      {7, dir / "+7.seg"},  {7, dir / "007.seg"}, {12, dir / "00000000000000000012.seg"},
      {30, dir / "30.seg"}, {31, dir / "31.seg"}, {UINT64_MAX, dir / "18446744073709551615.seg"},
  };
  EXPECT_EQ(got, want);
  EXPECT_EQ(listed->size(), want.size());
}

TEST(SegmentDir, ADirectoryThatCannotBeListedIsAnError) {
  struct Case {
    const char* name;
    std::string (*make)(const testing::TempDir& dir);
    int err;
  };
  const Case cases[] = {
      {"missing", [](const testing::TempDir& dir) { return dir / "absent"; }, ENOENT},
      {"a file",
       [](const testing::TempDir& dir) {
         write_file(dir / "file", bytes_of("x"));
         return dir / "file";
       },
       ENOTDIR},
      {"reached through a link",
       [](const testing::TempDir& dir) {
         std::filesystem::create_directory(dir / "real");
         write_file(dir / "real/1.seg", bytes_of("x"));
         std::filesystem::create_directory_symlink(dir / "real", dir / "link");
         return dir / "link";
       },
       ELOOP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    auto listed = list_segment_files(c.make(dir));
    ASSERT_FALSE(listed);
    EXPECT_EQ(listed.error().os_errno(), c.err) << listed.error().text();
    if (c.err == ENOENT) {
      EXPECT_EQ(listed.error().kind(), IoKind::NotFound);
    }
  }
}

}  // namespace
}  // namespace qorva::wal

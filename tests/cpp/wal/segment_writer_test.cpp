#include "wal/segment_writer.h"

#include <gtest/gtest.h>

#include "clock.h"
#include "support/wal_fault_file.h"
#include "support/wal_test_util.h"
#include "wal/record.h"
#include "wal/segment_name.h"

namespace qorva::wal {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::decode_records;
using testing::file_size;
using testing::payload_for;
using testing::read_file;

SegmentWriter create_writer(const std::string& path, std::uint64_t first,
                            const MakeWritableFile& make_file = posix_writable_file) {
  auto w = SegmentWriter::create(path, first, make_file);
  if (!w) ADD_FAILURE() << w.error().message();
  return std::move(*w);
}

const IoError* io_of(const WriterError& e) {
  auto* io = std::get_if<WriterError::Io>(&e.value);
  return io ? &io->error : nullptr;
}

TEST(SegmentWriter, CreateWritesAndSyncsOnlyTheHeader) {
  testing::TempDir dir;
  const std::string path = dir / segment_file_name(7);
  const std::uint64_t before = unix_time_ns();
  SegmentWriter w = create_writer(path, 7);
  Bytes on_disk = read_file(path);
  ASSERT_EQ(on_disk.size(), kHeaderLen);
  auto h = testing::decode_header(on_disk);
  EXPECT_EQ(h.magic, kSegmentMagic);
  EXPECT_EQ(h.version, 1u);
  EXPECT_EQ(h.first_cursor, 7u);
  EXPECT_GE(h.created_unix_ns, before);
  EXPECT_LE(h.created_unix_ns, unix_time_ns());
  EXPECT_EQ(w.pending_cursor(), 7u);
  EXPECT_EQ(w.bytes_written(), kHeaderLen);
  EXPECT_EQ(w.path(), path);
}

TEST(SegmentWriter, CreateRefusesAnExistingFileAndLeavesIt) {
  testing::TempDir dir;
  const std::string path = dir / "00000000000000000000.seg";
  testing::write_file(path, bytes_of("precious"));
  auto w = SegmentWriter::create(path, 0);
  ASSERT_FALSE(w);
  ASSERT_NE(io_of(w.error()), nullptr);
  EXPECT_EQ(io_of(w.error())->os_errno(), EEXIST);
  EXPECT_EQ(read_file(path), bytes_of("precious"));
}

TEST(SegmentWriter, AcceptsOnlyThePendingCursor) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  SegmentWriter w = create_writer(path, 7);
  ASSERT_TRUE(w.append(7, 1, bytes_of("a")));
  ASSERT_TRUE(w.append(8, 1, bytes_of("b")));
  const std::uint64_t bytes = w.bytes_written();
  auto refused = w.append(10, 1, bytes_of("c"));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "cursor must be monotonic: tried to append 10 after pending_cursor was 9");
  EXPECT_EQ(w.bytes_written(), bytes);
  EXPECT_EQ(w.pending_cursor(), 9u);
  ASSERT_TRUE(w.append(9, 1, bytes_of("c")));
  ASSERT_TRUE(w.fsync());
  auto records = decode_records(read_file(path));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2].cursor, 9u);
  EXPECT_EQ(records[2].payload, bytes_of("c"));
}

TEST(SegmentWriter, RefusesPayloadsOverTheLimitAndTakesTheLimit) {
  testing::TempDir dir;
  SegmentWriter w = create_writer(dir / "s.seg", 0);
  Bytes big(kMaxPayloadLen + 1);
  auto refused = w.append(0, 0, big);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "payload too large: 16777189 > MAX_PAYLOAD_LEN (16777188)");
  EXPECT_EQ(w.pending_cursor(), 0u);
  big.pop_back();
  ASSERT_TRUE(w.append(0, 0, big));
  EXPECT_EQ(w.bytes_written(), kHeaderLen + kMaxRecordLen);
}

TEST(SegmentWriter, SmallRecordsStayBufferedUntilFsync) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  SegmentWriter w = create_writer(path, 0);
  std::uint64_t expected_bytes = kHeaderLen;
  for (std::uint64_t c = 0; c < 20; ++c) {
    ASSERT_TRUE(w.append(c, c, payload_for(c)));
    expected_bytes += payload_for(c).size() + kRecordFramingLen;
  }
  EXPECT_EQ(w.bytes_written(), expected_bytes);
  EXPECT_EQ(file_size(path), kHeaderLen);
  auto durable = w.fsync();
  ASSERT_TRUE(durable);
  EXPECT_EQ(*durable, 20u);
  EXPECT_EQ(file_size(path), expected_bytes);
  auto records = decode_records(read_file(path));
  ASSERT_EQ(records.size(), 20u);
  for (std::uint64_t c = 0; c < 20; ++c) {
    EXPECT_EQ(records[c].cursor, c);
    EXPECT_EQ(records[c].payload, payload_for(c));
    EXPECT_TRUE(records[c].crc_ok);
  }
}

TEST(SegmentWriter, BufferWritesOutOnlyWhenARecordDoesNotFit) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  SegmentWriter w = create_writer(path, 0);
  // Two records that exactly fill the 8192-byte buffer stay in it.
  ASSERT_TRUE(w.append(0, 0, Bytes(4096 - kRecordFramingLen)));
  ASSERT_TRUE(w.append(1, 0, Bytes(4096 - kRecordFramingLen)));
  EXPECT_EQ(file_size(path), kHeaderLen);
  // The next one makes the buffer go out first.
  ASSERT_TRUE(w.append(2, 0, Bytes(1)));
  EXPECT_EQ(file_size(path), kHeaderLen + 8192);
}

TEST(SegmentWriter, RecordsOfTheBufferSizeGoStraightToTheFile) {
  struct Case {
    std::size_t payload;
    bool straight_through;
  };
  for (Case c : {Case{8163, false}, Case{8164, true}, Case{100000, true}}) {
    testing::TempDir dir;
    const std::string path = dir / "s.seg";
    SegmentWriter w = create_writer(path, 0);
    ASSERT_TRUE(w.append(0, 0, bytes_of("small, buffered")));
    ASSERT_TRUE(w.append(1, 0, Bytes(c.payload, std::byte{1})));
    if (c.straight_through) {
      EXPECT_EQ(file_size(path), w.bytes_written()) << c.payload;
      auto records = decode_records(read_file(path));
      ASSERT_EQ(records.size(), 2u);
      EXPECT_EQ(records[0].payload, bytes_of("small, buffered"));
    } else {
      EXPECT_EQ(file_size(path), kHeaderLen + 28 + 15) << c.payload;
    }
  }
}

TEST(SegmentWriter, DestructionWritesOutWithoutClose) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  std::uint64_t bytes = 0;
  {
    SegmentWriter w = create_writer(path, 3);
    ASSERT_TRUE(w.append(3, 0, bytes_of("x")));
    bytes = w.bytes_written();
  }
  EXPECT_EQ(file_size(path), bytes);
}

TEST(SegmentWriter, CloseMakesTheWholeSegmentDurable) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  SegmentWriter w = create_writer(path, 0);
  for (std::uint64_t c = 0; c < 5; ++c) ASSERT_TRUE(w.append(c, 0, payload_for(c)));
  const std::uint64_t bytes = w.bytes_written();
  ASSERT_TRUE(SegmentWriter::close(std::move(w)));
  EXPECT_EQ(file_size(path), bytes);
  EXPECT_EQ(decode_records(read_file(path)).size(), 5u);
}

// Write failures come from a fault-injecting file in front of the real one
// (wal_fault_file.h), so what a failure leaves on disk can be read back.

using testing::FaultInjector;

int errno_of(const WriterError& e) { return io_of(e) ? io_of(e)->os_errno() : 0; }

// A fresh segment from cursor 0, written through a fault injector.
struct FaultySegment {
  testing::TempDir dir;
  std::string path = dir / "s.seg";
  std::shared_ptr<FaultInjector> faults = FaultInjector::make();
  SegmentWriter writer = create_writer(path, 0, faults->maker());
};

// A record written straight through that crosses a size limit: part of it
// reaches the file before the write fails with EFBIG.
std::expected<void, WriterError> append_across_a_size_limit(SegmentWriter& w, FaultInjector& faults) {
  faults.limit_size(20000, EFBIG);
  return w.append(w.pending_cursor(), 0, Bytes(30000, std::byte{7}));
}

// The segment holds `count` sound records, the last with `payload`, and
// nothing after them.
void expect_records_ending_in(const std::string& path, std::size_t count, const Bytes& payload) {
  Bytes on_disk = read_file(path);
  auto records = decode_records(on_disk);
  ASSERT_EQ(records.size(), count);
  EXPECT_EQ(records.back().payload, payload);
  EXPECT_TRUE(records.back().crc_ok);
  EXPECT_EQ(records.back().offset + records.back().record_len, on_disk.size());
}

TEST(SegmentWriterFailure, FailedCreationLeavesNoFileBehind) {
  struct Case {
    const char* name;
    void (*fault)(FaultInjector&);
    int error;
  };
  const Case cases[] = {
      {"header cut short by a size limit", [](FaultInjector& f) { f.limit_size(10, EFBIG); }, EFBIG},
      {"header write fails", [](FaultInjector& f) { f.fail_write(1, ENOSPC); }, ENOSPC},
      {"header sync fails", [](FaultInjector& f) { f.fail_sync(EIO); }, EIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string path = dir / "s.seg";
    auto faults = FaultInjector::make();
    c.fault(*faults);
    auto w = SegmentWriter::create(path, 0, faults->maker());
    ASSERT_FALSE(w);
    EXPECT_EQ(errno_of(w.error()), c.error) << w.error().message();
    EXPECT_FALSE(testing::exists(path));
    faults->heal();
    EXPECT_TRUE(SegmentWriter::create(path, 0, faults->maker()));
    EXPECT_EQ(file_size(path), kHeaderLen);
  }
}

// A write-out that fails before the record is in the buffer refuses that
// record alone: the file holds no part of it, and once the disk recovers the
// same append goes through.
TEST(SegmentWriterFailure, FailedWriteOutOnAppendRefusesOnlyThatRecord) {
  struct Case {
    const char* name;
    std::size_t buffered_payload;  // one record already in the buffer
    std::size_t payload;           // the record whose append fails
  };
  const Case cases[] = {
      {"small record that does not fit the buffer", 8000, 500},
      {"record written straight through", 10, 30000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultySegment segment;
    auto& [dir, path, faults, w] = segment;
    ASSERT_TRUE(w.append(0, 0, Bytes(c.buffered_payload, std::byte{1})));
    const std::uint64_t bytes = w.bytes_written();
    faults->fail_write(1, ENOSPC);
    auto failed = w.append(1, 0, Bytes(c.payload, std::byte{2}));
    ASSERT_FALSE(failed);
    EXPECT_EQ(errno_of(failed.error()), ENOSPC);
    EXPECT_EQ(w.pending_cursor(), 1u);
    EXPECT_EQ(w.bytes_written(), bytes);
    EXPECT_EQ(file_size(path), kHeaderLen);
    ASSERT_TRUE(w.append(1, 0, Bytes(c.payload, std::byte{2})));
    ASSERT_TRUE(w.fsync());
    expect_records_ending_in(path, 2, Bytes(c.payload, std::byte{2}));
  }
}

TEST(SegmentWriterFailure, FailedDirectWriteLeavesNoFragment) {
  FaultySegment segment;
  auto& [dir, path, faults, w] = segment;
  ASSERT_TRUE(w.append(0, 0, bytes_of("before")));
  auto failed = append_across_a_size_limit(w, *faults);
  ASSERT_FALSE(failed);
  EXPECT_EQ(errno_of(failed.error()), EFBIG);
  EXPECT_EQ(w.pending_cursor(), 1u);
  EXPECT_EQ(file_size(path), w.bytes_written());  // cut back to the last whole record
  ASSERT_TRUE(w.append(1, 0, bytes_of("after")));
  ASSERT_TRUE(w.fsync());
  expect_records_ending_in(path, 2, bytes_of("after"));
}

// When the fragment of a failed direct write cannot be cut off, the file
// ends in a partial record that a later append would bury: the writer
// refuses every append from then on, with the write's own error, even once
// the disk has recovered.
TEST(SegmentWriterFailure, FragmentThatCannotBeCutBreaksTheWriter) {
  FaultySegment segment;
  auto& [dir, path, faults, w] = segment;
  ASSERT_TRUE(w.append(0, 0, bytes_of("before")));
  faults->fail_truncate(EIO);
  auto failed = append_across_a_size_limit(w, *faults);
  ASSERT_FALSE(failed);
  EXPECT_EQ(errno_of(failed.error()), EFBIG);
  EXPECT_EQ(faults->truncates(), 1);
  const std::uint64_t bytes = w.bytes_written();
  EXPECT_GT(file_size(path), bytes);  // the fragment stays
  faults->heal();
  for (std::size_t size : {0u, 5u, 30000u}) {
    auto refused = w.append(1, 0, Bytes(size));
    ASSERT_FALSE(refused) << size;
    EXPECT_EQ(refused.error().message(), failed.error().message()) << size;
  }
  EXPECT_EQ(w.pending_cursor(), 1u);
  EXPECT_EQ(w.bytes_written(), bytes);
  EXPECT_EQ(faults->truncates(), 1);  // no second try at the cut
}

// A failed fsync, whether its write-out stopped part-way or the fdatasync
// failed, loses no record: the buffer keeps the rest in order, the cursors
// stay, and once the disk recovers the writer goes on.
TEST(SegmentWriterFailure, FailedFsyncKeepsEveryRecordAndTheWriterUsable) {
  struct Case {
    const char* name;
    void (*fault)(FaultInjector&);
    int error;
    std::optional<std::uint64_t> size_after;  // none: every record written out
  };
  const Case cases[] = {
      {"write-out stops part-way", [](FaultInjector& f) { f.limit_size(kHeaderLen + 1000, EFBIG); }, EFBIG,
       kHeaderLen + 1000},
      {"fdatasync fails", [](FaultInjector& f) { f.fail_sync(EIO); }, EIO, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultySegment segment;
    auto& [dir, path, faults, w] = segment;
    for (std::uint64_t cursor = 0; cursor < 100; ++cursor) ASSERT_TRUE(w.append(cursor, 0, payload_for(cursor)));
    c.fault(*faults);
    auto failed = w.fsync();
    ASSERT_FALSE(failed);
    EXPECT_EQ(errno_of(failed.error()), c.error);
    EXPECT_EQ(w.pending_cursor(), 100u);
    EXPECT_EQ(file_size(path), c.size_after.value_or(w.bytes_written()));
    faults->heal();
    ASSERT_TRUE(w.append(100, 0, payload_for(100)));
    auto durable = w.fsync();
    ASSERT_TRUE(durable);
    EXPECT_EQ(*durable, 101u);
    EXPECT_EQ(file_size(path), w.bytes_written());
    auto records = decode_records(read_file(path));
    ASSERT_EQ(records.size(), 101u);
    for (std::uint64_t cursor = 0; cursor < 101; ++cursor) {
      EXPECT_TRUE(records[cursor].crc_ok);
      EXPECT_EQ(records[cursor].payload, payload_for(cursor));
    }
  }
}

// Writes that stop short without an error, buffered and straight through:
// each goes on exactly where the last one stopped.
TEST(SegmentWriterFailure, ShortWritesGoOnWhereTheyStopped) {
  for (std::size_t cap : {3u, 1000u}) {
    SCOPED_TRACE(cap);
    FaultySegment segment;
    auto& [dir, path, faults, w] = segment;
    faults->cap_writes(cap);
    for (std::uint64_t c = 0; c < 40; ++c) ASSERT_TRUE(w.append(c, 0, payload_for(c, c % 10 == 9 ? 9000 : 0)));
    ASSERT_TRUE(w.fsync());
    Bytes on_disk = read_file(path);
    EXPECT_EQ(on_disk.size(), w.bytes_written());
    auto records = decode_records(on_disk);
    ASSERT_EQ(records.size(), 40u);
    for (std::uint64_t c = 0; c < 40; ++c) {
      EXPECT_TRUE(records[c].crc_ok) << c;
      EXPECT_EQ(records[c].payload, payload_for(c, c % 10 == 9 ? 9000 : 0)) << c;
    }
  }
}

}  // namespace
}  // namespace qorva::wal

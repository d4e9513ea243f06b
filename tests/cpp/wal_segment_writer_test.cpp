#include "wal/segment_writer.h"

#include <sys/time.h>

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "wal/record.h"
#include "wal/segment_name.h"
#include "wal_test_util.h"

namespace qorva::wal {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::decode_records;
using testing::file_size;
using testing::payload_for;
using testing::read_file;
using testing::run_in_child;

SegmentWriter create_writer(const std::string& path, std::uint64_t first) {
  auto w = SegmentWriter::create(path, first);
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

// Large writes through a pipe that a slow reader drains, while a timer
// signal without SA_RESTART keeps interrupting them: every partial write
// and EINTR must continue exactly where it stopped.
TEST(BufferedWriterConcurrent, InterruptedGatheredWritesContinueInOrder) {
  int rc = run_in_child([] {
    int fds[2];
    if (::pipe(fds) != 0) return 2;
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    ::sigaction(SIGALRM, &sa, nullptr);  // no SA_RESTART: blocked writes return early
    itimerval every_ms{{0, 1000}, {0, 1000}};
    ::setitimer(ITIMER_REAL, &every_ms, nullptr);

    Bytes want;
    Bytes got;
    std::thread reader([&, fd = fds[0]] {
      std::byte chunk[4096];
      for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) return;
        if (n > 0) got.insert(got.end(), chunk, chunk + n);
      }
    });
    {
      BufferedWriter file{posix_writable_file(UniqueFd(fds[1]))};
      for (std::uint64_t c = 0; c < 40; ++c) {
        Bytes head = payload_for(c);
        Bytes body = payload_for(c, 70000 + c * 1000);
        const std::span<const std::byte> parts[] = {head, {}, body, head};
        if (!file.write_parts(parts)) return 3;
        for (const Bytes* part : {&head, &body, &head}) want.insert(want.end(), part->begin(), part->end());
      }
    }  // closes the pipe's write end
    reader.join();
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    return got == want ? 0 : 4;
  });
  EXPECT_EQ(rc, 0);
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

// Write failures are produced with a file-size limit in a forked child: a
// write past it fails with EFBIG, and the limit can be lifted again.

TEST(SegmentWriterFailure, FailedCreationLeavesNoFileBehind) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  int rc = run_in_child([&] {
    testing::limit_file_size(10);
    auto w = SegmentWriter::create(path, 0);
    if (w) return 2;
    if (!io_of(w.error()) || io_of(w.error())->os_errno() != EFBIG) return 3;
    if (testing::exists(path)) return 4;
    testing::lift_file_size_limit();
    return SegmentWriter::create(path, 0) ? 0 : 5;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(file_size(path), kHeaderLen);
}

TEST(SegmentWriterFailure, FailedDirectWriteLeavesNoFragment) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  int rc = run_in_child([&] {
    auto w = SegmentWriter::create(path, 0);
    if (!w) return 2;
    if (!w->append(0, 0, bytes_of("before"))) return 3;
    testing::limit_file_size(20000);
    // Straight through, crossing the limit: part of it reaches the file.
    auto failed = w->append(1, 0, Bytes(30000, std::byte{7}));
    if (failed || !io_of(failed.error()) || io_of(failed.error())->os_errno() != EFBIG) return 4;
    if (w->pending_cursor() != 1) return 5;
    if (file_size(path) != w->bytes_written()) return 6;  // cut back to the last whole record
    if (!w->append(1, 0, bytes_of("after"))) return 7;
    if (!w->fsync()) return 8;
    return 0;
  });
  ASSERT_EQ(rc, 0);
  Bytes on_disk = read_file(path);
  auto records = decode_records(on_disk);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].payload, bytes_of("after"));
  EXPECT_TRUE(records[1].crc_ok);
  EXPECT_EQ(records[1].offset + records[1].record_len, on_disk.size());
}

TEST(SegmentWriterFailure, FailedWriteOutKeepsTheBufferInOrder) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  int rc = run_in_child([&] {
    auto w = SegmentWriter::create(path, 0);
    if (!w) return 2;
    for (std::uint64_t c = 0; c < 100; ++c)
      if (!w->append(c, 0, payload_for(c))) return 3;
    testing::limit_file_size(kHeaderLen + 1000);  // the write-out stops part-way
    if (w->fsync()) return 4;
    if (file_size(path) != kHeaderLen + 1000) return 5;
    testing::lift_file_size_limit();
    auto durable = w->fsync();
    if (!durable || *durable != 100) return 6;
    return file_size(path) == w->bytes_written() ? 0 : 7;
  });
  ASSERT_EQ(rc, 0);
  auto records = decode_records(read_file(path));
  ASSERT_EQ(records.size(), 100u);
  for (std::uint64_t c = 0; c < 100; ++c) {
    EXPECT_TRUE(records[c].crc_ok);
    EXPECT_EQ(records[c].payload, payload_for(c));
  }
}

}  // namespace
}  // namespace qorva::wal

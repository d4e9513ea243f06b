#include "wal/segment_reader.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <functional>

#include "support/wal_fault_file.h"
#include "support/wal_test_util.h"
#include "wal/record.h"
#include "wal/recovery.h"

namespace qorva::wal {
namespace {

// The log tests' helpers (support/wal_log.h, support/wal_test_util.h).
using namespace testing;

// Every record the iterator yields, then its error if it ended on one.
struct Scan {
  std::vector<Record> records;
  std::optional<SegmentReadError> error;
};

Scan scan(SegmentReader& reader) {
  Scan out;
  RecordIter it(reader);
  while (auto item = it.next()) {
    if (*item) {
      out.records.push_back(std::move(**item));
    } else {
      out.error = item->error();
    }
  }
  return out;
}

// Offset of the record with index i in reference_segment(0, ...).
std::uint64_t offset_of(std::uint64_t i) {
  std::uint64_t at = kHeaderLen;
  for (std::uint64_t c = 0; c < i; ++c) at += payload_for(c).size() + kRecordFramingLen;
  return at;
}

TEST(SegmentReader, ReadsBackWhatTheFormatSays) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  Bytes seg = reference_header(40, 777);
  for (std::uint64_t c = 40; c < 45; ++c) {
    Bytes r = reference_record(c, c * 10, payload_for(c));
    seg.insert(seg.end(), r.begin(), r.end());
  }
  write_file(path, seg);
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader) << reader.error().message();
  EXPECT_EQ(reader->first_cursor(), 40u);
  EXPECT_EQ(reader->created_unix_ns(), 777u);
  EXPECT_EQ(reader->file_len(), seg.size());
  EXPECT_EQ(reader->offset(), kHeaderLen);
  Scan s = scan(*reader);
  EXPECT_FALSE(s.error);
  ASSERT_EQ(s.records.size(), 5u);
  for (std::uint64_t i = 0; i < 5; ++i) {
    EXPECT_EQ(s.records[i].cursor, 40 + i);
    EXPECT_EQ(s.records[i].timestamp_ns, (40 + i) * 10);
    EXPECT_EQ(s.records[i].payload, payload_for(40 + i));
  }
  EXPECT_EQ(reader->offset(), seg.size());
}

TEST(SegmentReader, ReadsLargeRecordsPastTheBuffer) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  Bytes seg = reference_header(0);
  for (std::size_t n : {8000u, 8192u, 20000u, 3u}) {
    Bytes payload(n);
    for (std::size_t i = 0; i < n; ++i) payload[i] = static_cast<std::byte>(i * 31 + n);
    Bytes r = reference_record(n, 0, payload);
    seg.insert(seg.end(), r.begin(), r.end());
  }
  write_file(path, seg);
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  Scan s = scan(*reader);
  EXPECT_FALSE(s.error);
  ASSERT_EQ(s.records.size(), 4u);
  EXPECT_EQ(s.records[2].payload.size(), 20000u);
  EXPECT_EQ(s.records[2].payload[19999], static_cast<std::byte>(19999 * 31 + 20000));
}

TEST(SegmentReader, HeaderOnlySegmentIsSoundAndEmpty) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  write_file(path, reference_header(5));
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  Scan s = scan(*reader);
  EXPECT_TRUE(s.records.empty());
  EXPECT_FALSE(s.error);
  auto rec = recover_truncate(path);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->bytes_dropped, 0u);
  EXPECT_EQ(testing::file_size(path), kHeaderLen);
}

Bytes header_prefix(std::size_t n) {
  Bytes h = reference_header(0);
  h.resize(n);
  return h;
}

struct HeaderCase {
  const char* name;
  std::function<Bytes()> contents;
  const char* message;
};

TEST(SegmentReader, RefusesBadHeadersAndRecoveryLeavesThemAlone) {
  const HeaderCase cases[] = {
      {"empty", [] { return Bytes{}; }, "segment header: segment header truncated: 0 bytes < 32"},
      {"ten bytes", [] { return header_prefix(10); }, "segment header: segment header truncated: 10 bytes < 32"},
      {"31 bytes", [] { return header_prefix(31); }, "segment header: segment header truncated: 31 bytes < 32"},
      {"other magic",
       [] {
         Bytes h = reference_header(0);
         put_le(h, 0, 0x1122334455667788ULL, 8);
         return h;
       },
       "segment header: segment magic mismatch: got 0x1122334455667788, want 0x716f72766157414c"},
      {"version 2",
       [] {
         Bytes h = reference_segment(0, 2);
         put_le(h, 8, 2, 4);
         return h;
       },
       "segment header: segment version 2 not supported (this build speaks 1)"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    const std::string path = dir / "s.seg";
    const Bytes contents = c.contents();
    write_file(path, contents);
    auto reader = SegmentReader::open(path);
    ASSERT_FALSE(reader) << c.name;
    EXPECT_EQ(reader.error().message(), c.message) << c.name;
    auto rec = recover_truncate(path);
    ASSERT_FALSE(rec) << c.name;
    EXPECT_EQ(rec.error().message(), c.message) << c.name;
    EXPECT_EQ(read_file(path), contents) << c.name;
  }
}

TEST(SegmentReader, IgnoresTheUpperHalfOfTheVersionWord) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  Bytes seg = reference_segment(0, 3);
  put_le(seg, 12, 0xdeadbeef, 4);
  write_file(path, seg);
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  EXPECT_EQ(scan(*reader).records.size(), 3u);
}

TEST(SegmentReader, MissingFileIsAnIoError) {
  testing::TempDir dir;
  auto reader = SegmentReader::open(dir / "absent.seg");
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().message(), "I/O error: No such file or directory (os error 2)");
}

// Damage to a five-record segment and what reading and recovery make of it.
struct DamageCase {
  const char* name;
  std::function<void(Bytes&)> damage;
  std::size_t sound_records;           // read before the error
  std::optional<std::string> message;  // the reader's error, if any
  std::uint64_t recovered_len;         // file length after recover_truncate
};

Bytes& cut_to(Bytes& b, std::size_t n) {
  b.resize(n);
  return b;
}

TEST(SegmentRecovery, CutsEveryKindOfTornTailAtTheFirstBadRecord) {
  const std::uint64_t r2 = offset_of(2), r3 = offset_of(3), r4 = offset_of(4), end = offset_of(5);
  const std::uint64_t r4_len = end - r4;
  auto set_len = [](std::uint64_t at, std::uint64_t len) { return [at, len](Bytes& b) { put_le(b, at, len, 4); }; };
  const DamageCase cases[] = {
      {"sound", [](Bytes&) {}, 5, std::nullopt, end},
      {"one stray byte", [](Bytes& b) { b.push_back(std::byte{1}); }, 5,
       "short read at offset " + std::to_string(end) + ": needed 3 more bytes", end},
      {"three stray bytes", [](Bytes& b) { b.resize(b.size() + 3); }, 5,
       "short read at offset " + std::to_string(end) + ": needed 1 more bytes", end},
      {"mid length word", [&](Bytes& b) { cut_to(b, r4 + 2); }, 4,
       "short read at offset " + std::to_string(r4) + ": needed 2 more bytes", r4},
      {"mid record header", [&](Bytes& b) { cut_to(b, r4 + 10); }, 4,
       "short read at offset " + std::to_string(r4) + ": needed " + std::to_string(r4_len - 10) + " more bytes", r4},
      {"mid payload", [&](Bytes& b) { cut_to(b, r4 + 26); }, 4,
       "short read at offset " + std::to_string(r4) + ": needed " + std::to_string(r4_len - 26) + " more bytes", r4},
      {"missing last checksum byte", [&](Bytes& b) { cut_to(b, end - 1); }, 4,
       "short read at offset " + std::to_string(r4) + ": needed 1 more bytes", r4},
      {"flipped payload bit", [&](Bytes& b) { b[r2 + 30] ^= std::byte{0x10}; }, 2, std::nullopt, r2},
      {"flipped cursor bit", [&](Bytes& b) { b[r3 + 4] ^= std::byte{0x01}; }, 3, std::nullopt, r3},
      {"length word 27", set_len(r2, 27), 2, "record_len 27 below minimum (28)", r2},
      {"length word 0", set_len(r2, 0), 2, "record_len 0 below minimum (28)", r2},
      {"length word above the maximum", set_len(r3, kMaxRecordLen + 1), 3,
       "record_len 16777217 exceeds MAX_RECORD_LEN (16777216)", r3},
      {"length word of the maximum", set_len(r3, kMaxRecordLen), 3,
       "short read at offset " + std::to_string(r3) + ": needed " + std::to_string(kMaxRecordLen - (end - r3)) +
           " more bytes",
       r3},
      {"length word one too small", [&](Bytes& b) { put_le(b, r2, r3 - r2 - 1, 4); }, 2, std::nullopt, r2},
      {"length word one too large", [&](Bytes& b) { put_le(b, r2, r3 - r2 + 1, 4); }, 2, std::nullopt, r2},
      {"payload_len disagrees under a valid checksum",
       [&](Bytes& b) {
         put_le(b, r3 + 20, le(b, r3 + 20, 4) - 1, 4);
         put_le(b, r4 - 4, testing::reference_crc32c(b.data() + r3 + 4, r4 - r3 - 8), 4);
       },
       3,
       "record_len " + std::to_string(r4 - r3) + " does not match payload_len " + std::to_string(r4 - r3 - 29) +
           " + 28",
       r3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string path = dir / "s.seg";
    Bytes seg = reference_segment(0, 5);
    c.damage(seg);
    write_file(path, seg);

    auto reader = SegmentReader::open(path);
    ASSERT_TRUE(reader);
    Scan s = scan(*reader);
    ASSERT_EQ(s.records.size(), c.sound_records);
    for (std::size_t i = 0; i < s.records.size(); ++i) EXPECT_EQ(s.records[i].payload, payload_for(i));
    if (c.recovered_len == seg.size()) {
      EXPECT_FALSE(s.error);
    } else {
      ASSERT_TRUE(s.error);
      if (c.message) {
        EXPECT_EQ(s.error->message(), *c.message);
      } else {
        EXPECT_TRUE(std::holds_alternative<SegmentReadError::Crc>(s.error->value)) << s.error->message();
      }
      EXPECT_TRUE(reader->done());
    }

    auto rec = recover_truncate(path);
    ASSERT_TRUE(rec) << rec.error().message();
    EXPECT_EQ(rec->len, c.recovered_len);
    EXPECT_EQ(rec->bytes_dropped, seg.size() - c.recovered_len);
    EXPECT_EQ(testing::file_size(path), c.recovered_len);
    Bytes kept = read_file(path);
    EXPECT_EQ(kept, Bytes(seg.begin(), seg.begin() + static_cast<std::ptrdiff_t>(c.recovered_len)));

    // A cut segment is sound: a second recovery changes nothing.
    auto again = recover_truncate(path);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->bytes_dropped, 0u);
    EXPECT_EQ(testing::file_size(path), c.recovered_len);
  }
}

TEST(SegmentRecovery, ChecksumErrorNamesOffsetAndBothValues) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  Bytes seg = reference_segment(0, 3);
  const std::uint64_t r1 = offset_of(1);
  seg[r1 + 24] ^= std::byte{0x80};
  write_file(path, seg);
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  Scan s = scan(*reader);
  ASSERT_TRUE(s.error);
  auto* crc = std::get_if<SegmentReadError::Crc>(&s.error->value);
  ASSERT_NE(crc, nullptr);
  EXPECT_EQ(crc->offset, r1);
  EXPECT_EQ(crc->stored, le(seg, offset_of(2) - 4, 4));
  EXPECT_EQ(crc->computed, testing::reference_crc32c(seg.data() + r1 + 4, offset_of(2) - r1 - 8));
}

TEST(SegmentReader, CursorGapsAreReadAsStored) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  Bytes seg = reference_header(0);
  for (std::uint64_t c : {0u, 1u, 5u, 3u}) {
    Bytes r = reference_record(c, 0, payload_for(c));
    seg.insert(seg.end(), r.begin(), r.end());
  }
  write_file(path, seg);
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  Scan s = scan(*reader);
  ASSERT_EQ(s.records.size(), 4u);
  EXPECT_EQ(s.records[2].cursor, 5u);
  EXPECT_EQ(s.records[3].cursor, 3u);
  auto rec = recover_truncate(path);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->bytes_dropped, 0u);
}

TEST(SegmentReader, IteratorStaysDoneAfterAnError) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  Bytes seg = reference_segment(0, 3);
  seg[offset_of(1) + 30] ^= std::byte{1};
  write_file(path, seg);
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  RecordIter it(*reader);
  auto first = it.next();
  ASSERT_TRUE(first && *first);
  auto second = it.next();
  ASSERT_TRUE(second && !*second);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(it.next());
  EXPECT_FALSE(RecordIter(*reader).next());
}

TEST(SegmentReader, ReadsNoFurtherThanTheLengthAtOpen) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  Bytes seg = reference_segment(0, 2);
  write_file(path, seg);
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  Bytes grown = reference_segment(0, 4);
  write_file(path, grown);
  Scan s = scan(*reader);
  EXPECT_FALSE(s.error);
  EXPECT_EQ(s.records.size(), 2u);
}

TEST(SegmentReader, FileCutUnderAnOpenReaderIsAnIoError) {
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  write_file(path, reference_segment(0, 4));
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(offset_of(2) + 2)), 0);
  Scan s = scan(*reader);
  EXPECT_EQ(s.records.size(), 2u);
  ASSERT_TRUE(s.error);
  EXPECT_TRUE(std::holds_alternative<SegmentReadError::Io>(s.error->value)) << s.error->message();
}

// A read that fails is an I/O error, never taken for a torn record: recovery
// cuts a segment only at a record that is really damaged or incomplete. The
// reader seeks to each record and refills its buffer there, so read n (the
// header's being the first) fetches record n - 2.
TEST(SegmentReader, FailedReadsAreIoErrors) {
  struct Case {
    const char* name;
    void (*fault)(testing::FaultInjector&);
    bool opens;
    std::size_t records;  // read before the error
  };
  const Case cases[] = {
      {"size at open", [](testing::FaultInjector& f) { f.fail_size(EIO); }, false, 0},
      {"header", [](testing::FaultInjector& f) { f.fail_read(1, EIO); }, false, 0},
      {"first record", [](testing::FaultInjector& f) { f.fail_read(2, EIO); }, true, 0},
      {"third record", [](testing::FaultInjector& f) { f.fail_read(4, EIO); }, true, 2},
  };
  testing::TempDir dir;
  const std::string path = dir / "s.seg";
  write_file(path, reference_segment(0, 5));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto faults = testing::FaultInjector::make();
    c.fault(*faults);
    auto fd = open_regular(path, O_RDONLY);
    ASSERT_TRUE(fd);
    auto reader = SegmentReader::open(path, faults->sequential(std::move(*fd)));
    std::optional<SegmentReadError> error;
    std::size_t records = 0;
    if (!reader) {
      error = reader.error();
    } else {
      Scan s = scan(*reader);
      records = s.records.size();
      error = s.error;
      EXPECT_TRUE(reader->done());
    }
    EXPECT_EQ(reader.has_value(), c.opens);
    EXPECT_EQ(records, c.records);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), "I/O error: Input/output error (os error 5)");
  }
}

}  // namespace
}  // namespace qorva::wal

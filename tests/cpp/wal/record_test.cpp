#include "wal/record.h"

#include <gtest/gtest.h>

#include "support/wal_test_util.h"

namespace qorva::wal {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::decode_records;
using testing::le;
using testing::reference_crc32c;
using testing::reference_record;

// Appends one record, framed in place by encode_record_at, to the end of buf.
void append_record(Bytes& buf, std::uint64_t cursor, std::uint64_t timestamp_ns, std::span<const std::byte> payload) {
  const std::size_t start = buf.size();
  buf.resize(start + payload.size() + kRecordFramingLen);
  encode_record_at(buf.data() + start, cursor, timestamp_ns, payload);
}

TEST(Crc32c, MatchesTheStandardCheckValue) {
  Bytes check = bytes_of("123456789");
  EXPECT_EQ(crc32c(check), 0xE3069283u);
  EXPECT_EQ(reference_crc32c(check.data(), check.size()), 0xE3069283u);
  EXPECT_EQ(crc32c({}), 0u);
}

TEST(Crc32c, ExtendEqualsOnePass) {
  Bytes data = testing::payload_for(12345, 5000);
  for (std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{17}, data.size() / 2, data.size()}) {
    std::span<const std::byte> all(data);
    EXPECT_EQ(crc32c_extend(crc32c(all.first(split)), all.subspan(split)), crc32c(all)) << split;
  }
  EXPECT_EQ(crc32c(data), reference_crc32c(data.data(), data.size()));
}

TEST(EncodeRecord, EmptyPayloadIsTheSmallestRecord) {
  Bytes buf;
  append_record(buf, 7, 99, {});
  ASSERT_EQ(buf.size(), 28u);
  EXPECT_EQ(le(buf, 0, 4), 28u);
  EXPECT_EQ(le(buf, 4, 8), 7u);
  EXPECT_EQ(le(buf, 12, 8), 99u);
  EXPECT_EQ(le(buf, 20, 4), 0u);
  EXPECT_EQ(le(buf, 24, 4), reference_crc32c(buf.data() + 4, 20));
  EXPECT_EQ(buf, reference_record(7, 99, {}));
}

// The two ways of framing a record (in place, and around a payload written
// from where it lies) give the reference bytes.
TEST(EncodeRecord, MatchesTheReferenceEncoderAcrossSizes) {
  for (std::size_t n : {0u, 1u, 3u, 4095u, 4096u, 8163u, 8164u, 70000u}) {
    Bytes payload = testing::payload_for(n, n);
    payload.resize(n);
    const Bytes want = reference_record(n * 3, n * 5, payload);

    Bytes at(n + 28 + 2, std::byte{0xee});
    encode_record_at(at.data() + 1, n * 3, n * 5, payload);
    EXPECT_EQ(Bytes(at.begin() + 1, at.end() - 1), want) << n;
    EXPECT_EQ(at.front(), std::byte{0xee});
    EXPECT_EQ(at.back(), std::byte{0xee});

    const RecordFrame frame = frame_record(n * 3, n * 5, payload);
    Bytes framed(want.size());
    std::memcpy(framed.data(), frame.head.data(), frame.head.size());
    if (n > 0) std::memcpy(framed.data() + frame.head.size(), payload.data(), n);
    std::memcpy(framed.data() + frame.head.size() + n, frame.crc.data(), frame.crc.size());
    EXPECT_EQ(framed, want) << n;
  }
}

TEST(EncodeRecord, LargestPayloadGivesTheLargestRecord) {
  Bytes payload(kMaxPayloadLen, std::byte{0x5a});
  Bytes buf;
  append_record(buf, 1, 2, payload);
  ASSERT_EQ(buf.size(), kMaxRecordLen);
  auto records = decode_records(buf, 0);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].crc_ok);
  EXPECT_EQ(records[0].payload.size(), kMaxPayloadLen);
}

TEST(EncodeRecord, AppendsAfterExistingBytesAndChecksumsEachRecordAlone) {
  Bytes buf = bytes_of("keep");
  append_record(buf, 1, 10, bytes_of("first"));
  append_record(buf, 2, 20, bytes_of("second!"));
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4), bytes_of("keep"));
  auto records = decode_records(buf, 4);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].offset, 4u);
  EXPECT_EQ(records[1].offset, 4u + 28 + 5);
  EXPECT_EQ(records[1].cursor, 2u);
  EXPECT_EQ(records[1].payload, bytes_of("second!"));
  EXPECT_TRUE(records[0].crc_ok && records[1].crc_ok);
}

TEST(EncodeRecord, EveryCoveredByteChangesTheChecksum) {
  Bytes clean;
  append_record(clean, 5, 6, bytes_of("payload"));
  const std::size_t crc_at = clean.size() - 4;
  for (std::size_t i = 4; i < crc_at; ++i) {
    Bytes damaged = clean;
    damaged[i] ^= std::byte{0x01};
    EXPECT_NE(le(damaged, crc_at, 4), reference_crc32c(damaged.data() + 4, crc_at - 4)) << "byte " << i;
  }
}

TEST(SegmentHeader, LaysOutMagicVersionCursorAndTime) {
  std::array<std::byte, kHeaderLen> header;
  encode_segment_header(header, 1234, 5678);
  Bytes h(header.begin(), header.end());
  EXPECT_EQ(Bytes(h.begin(), h.begin() + 8), bytes_of("LAWavroq"));
  EXPECT_EQ(testing::decode_header(h).version, 1u);
  EXPECT_EQ(testing::decode_header(h).first_cursor, 1234u);
  EXPECT_EQ(testing::decode_header(h).created_unix_ns, 5678u);
  EXPECT_EQ(h, testing::reference_header(1234, 5678));
}

}  // namespace
}  // namespace qorva::wal

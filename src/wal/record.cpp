#include "wal/record.h"

#include <isa-l/crc.h>

#include <cstring>

namespace qorva::wal {

std::uint32_t crc32c_extend(std::uint32_t crc, std::span<const std::byte> bytes) {
  // ISA-L works on the raw register: its initial value and result are the
  // complements of the standard CRC's.
  auto* p = reinterpret_cast<unsigned char*>(const_cast<std::byte*>(bytes.data()));
  return ~crc32_iscsi(p, static_cast<int>(bytes.size()), ~crc);
}

std::uint32_t crc32c(std::span<const std::byte> bytes) { return crc32c_extend(0, bytes); }

void encode_segment_header(std::span<std::byte, kHeaderLen> out, std::uint64_t first_cursor,
                           std::uint64_t created_unix_ns) {
  put_u64(out.data() + kHeaderMagicOffset, kSegmentMagic);
  put_u64(out.data() + kHeaderVersionOffset, kSegmentVersion);
  put_u64(out.data() + kHeaderFirstCursorOffset, first_cursor);
  put_u64(out.data() + kHeaderCreatedOffset, created_unix_ns);
}

namespace {

// The 24 bytes in front of the payload.
void put_record_head(std::byte* at, std::uint64_t cursor, std::uint64_t timestamp_ns, std::size_t payload_len) {
  put_u32(at + kRecordLenOffset, static_cast<std::uint32_t>(payload_len + kRecordFramingLen));
  put_u64(at + kRecordCursorOffset, cursor);
  put_u64(at + kRecordTimestampOffset, timestamp_ns);
  put_u32(at + kRecordPayloadLenOffset, static_cast<std::uint32_t>(payload_len));
}

// The checksum of a record laid out contiguously from `record`.
std::uint32_t record_crc(const std::byte* record, std::size_t payload_len) {
  return crc32c({record + kRecordCursorOffset, kRecordPayloadOffset - kRecordCursorOffset + payload_len});
}

}  // namespace

void encode_record_at(std::byte* out, std::uint64_t cursor, std::uint64_t timestamp_ns,
                      std::span<const std::byte> payload) {
  put_record_head(out, cursor, timestamp_ns, payload.size());
  if (!payload.empty()) std::memcpy(out + kRecordPayloadOffset, payload.data(), payload.size());
  put_u32(out + kRecordPayloadOffset + payload.size(), record_crc(out, payload.size()));
}

RecordFrame frame_record(std::uint64_t cursor, std::uint64_t timestamp_ns, std::span<const std::byte> payload) {
  RecordFrame frame;
  put_record_head(frame.head.data(), cursor, timestamp_ns, payload.size());
  const std::uint32_t head_crc =
      crc32c(std::span(frame.head).subspan(kRecordCursorOffset, kRecordPayloadOffset - kRecordCursorOffset));
  put_u32(frame.crc.data(), crc32c_extend(head_crc, payload));
  return frame;
}

}  // namespace qorva::wal

// The on-disk format of the write-ahead log: the segment header and the
// record framing, and their codec. The segment writer and reader include this
// header; nobody else derives an offset or a limit.
//
// A segment (named as segment_name.h says) holds a 32-byte header followed by
// records, back to back, with no padding, index or trailer. All fields are
// little-endian.
//
// Segment header:
//   offset  size  field
//        0     8  magic            kSegmentMagic; on disk the bytes "LAWavroq"
//        8     8  version          written as 1; a reader checks only the u32 at 8
//       16     8  first_cursor     cursor of the first record
//       24     8  created_unix_ns  wall clock at creation, 0 before the epoch
//
// Record (offsets from the record's first byte):
//   offset        size         field
//        0           4         record_len    payload_len + 28, framing included
//        4           8         cursor
//       12           8         timestamp_ns  wall clock of the append
//       20           4         payload_len
//       24           payload_len  payload
//   24 + payload_len 4         crc           CRC-32C of bytes 4 .. 24 + payload_len
//
// The checksum starts afresh for every record and does not cover the length
// word, whose faults the reader's length checks catch instead.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace qorva::wal {

inline constexpr std::uint64_t kSegmentMagic = 0x716f72766157414cULL;
inline constexpr std::uint32_t kSegmentVersion = 1;

inline constexpr std::size_t kHeaderMagicOffset = 0;
inline constexpr std::size_t kHeaderVersionOffset = 8;
inline constexpr std::size_t kHeaderFirstCursorOffset = 16;
inline constexpr std::size_t kHeaderCreatedOffset = 24;
inline constexpr std::size_t kHeaderLen = 32;

inline constexpr std::size_t kRecordLenOffset = 0;
inline constexpr std::size_t kRecordCursorOffset = 4;
inline constexpr std::size_t kRecordTimestampOffset = 12;
inline constexpr std::size_t kRecordPayloadLenOffset = 20;
inline constexpr std::size_t kRecordPayloadOffset = 24;
inline constexpr std::size_t kRecordCrcLen = 4;
// Everything of a record but its payload; also the smallest valid record.
inline constexpr std::size_t kRecordFramingLen = kRecordPayloadOffset + kRecordCrcLen;
inline constexpr std::size_t kMinRecordLen = kRecordFramingLen;

// The largest length word a reader accepts, and the largest payload the log
// and the writer accept (the two differ by the framing).
inline constexpr std::uint64_t kMaxRecordLen = 16777216;
inline constexpr std::uint64_t kMaxPayloadLen = kMaxRecordLen - kRecordFramingLen;

static_assert(kHeaderCreatedOffset + 8 == kHeaderLen);
static_assert(kHeaderVersionOffset == kHeaderMagicOffset + 8);
static_assert(kHeaderFirstCursorOffset == kHeaderVersionOffset + 8);
static_assert(kRecordCursorOffset == kRecordLenOffset + 4);
static_assert(kRecordTimestampOffset == kRecordCursorOffset + 8);
static_assert(kRecordPayloadLenOffset == kRecordTimestampOffset + 8);
static_assert(kRecordPayloadOffset == kRecordPayloadLenOffset + 4);
static_assert(kMinRecordLen == 28);
static_assert(kMaxPayloadLen == 16777188);
// Both length words are u32s, and the largest covered range fits the int
// length of the checksum routine.
static_assert(kMaxRecordLen <= UINT32_MAX && kMaxRecordLen <= INT32_MAX);

// Little-endian field access on raw bytes. The caller guarantees the range.
// On a little-endian host each is one unaligned load or store; the compiler
// does not merge the byte loop into one on its own.
template <class U>
inline void put_le(std::byte* at, U v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, &v, sizeof v);
  } else {
    for (std::size_t i = 0; i < sizeof v; ++i) at[i] = static_cast<std::byte>(v >> (8 * i));
  }
}
template <class U>
inline U get_le(const std::byte* at) {
  U v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, at, sizeof v);
  } else {
    for (std::size_t i = sizeof v; i-- > 0;) v = static_cast<U>((v << 8) | std::to_integer<U>(at[i]));
  }
  return v;
}
inline void put_u32(std::byte* at, std::uint32_t v) { put_le(at, v); }
inline void put_u64(std::byte* at, std::uint64_t v) { put_le(at, v); }
inline std::uint32_t get_u32(const std::byte* at) { return get_le<std::uint32_t>(at); }
inline std::uint64_t get_u64(const std::byte* at) { return get_le<std::uint64_t>(at); }

// Standard CRC-32C (Castagnoli, reflected, initial value and final XOR all
// ones), using the processor's instruction where it has one. Thread-safe.
std::uint32_t crc32c(std::span<const std::byte> bytes);
// Continues a CRC-32C over further bytes: crc32c(a ++ b) == crc32c_extend(crc32c(a), b).
std::uint32_t crc32c_extend(std::uint32_t crc, std::span<const std::byte> bytes);

// The 32-byte header of a segment starting at first_cursor.
void encode_segment_header(std::span<std::byte, kHeaderLen> out, std::uint64_t first_cursor,
                           std::uint64_t created_unix_ns);

// Frames one record into `out`, which has room for payload.size() + 28 bytes:
// one copy of the payload, one checksum pass over the copy. Cannot fail. The
// caller guarantees payload.size() <= kMaxPayloadLen (so for frame_record).
void encode_record_at(std::byte* out, std::uint64_t cursor, std::uint64_t timestamp_ns,
                      std::span<const std::byte> payload);

// The framing around a payload that is written from where it lies: the
// record is `head`, then the payload, then `crc`. The checksum reads the
// payload once; nothing copies it.
struct RecordFrame {
  std::array<std::byte, kRecordPayloadOffset> head;
  std::array<std::byte, kRecordCrcLen> crc;
};
RecordFrame frame_record(std::uint64_t cursor, std::uint64_t timestamp_ns, std::span<const std::byte> payload);

}  // namespace qorva::wal

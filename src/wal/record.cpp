#include "record.h"

#include <isa-l/crc.h>

#include <charconv>
#include <cstring>
#include <ctime>

namespace qorva::wal {

std::uint32_t crc32c_extend(std::uint32_t crc, std::span<const std::byte> bytes) {
  // ISA-L works on the raw register: its initial value and result are the
  // complements of the standard CRC's.
  auto* p = reinterpret_cast<unsigned char*>(const_cast<std::byte*>(bytes.data()));
  return ~crc32_iscsi(p, static_cast<int>(bytes.size()), ~crc);
}

std::uint32_t crc32c(std::span<const std::byte> bytes) { return crc32c_extend(0, bytes); }

void encode_segment_header(std::span<std::byte, HEADER_LEN> out, std::uint64_t first_cursor,
                           std::uint64_t created_unix_ns) {
  put_u64(out.data() + HEADER_MAGIC_OFFSET, SEGMENT_MAGIC);
  put_u64(out.data() + HEADER_VERSION_OFFSET, SEGMENT_VERSION);
  put_u64(out.data() + HEADER_FIRST_CURSOR_OFFSET, first_cursor);
  put_u64(out.data() + HEADER_CREATED_OFFSET, created_unix_ns);
}

namespace {

// The 24 bytes in front of the payload.
void put_record_head(std::byte* at, std::uint64_t cursor, std::uint64_t timestamp_ns, std::size_t payload_len) {
  put_u32(at + RECORD_LEN_OFFSET, static_cast<std::uint32_t>(payload_len + RECORD_FRAMING_LEN));
  put_u64(at + RECORD_CURSOR_OFFSET, cursor);
  put_u64(at + RECORD_TIMESTAMP_OFFSET, timestamp_ns);
  put_u32(at + RECORD_PAYLOAD_LEN_OFFSET, static_cast<std::uint32_t>(payload_len));
}

// The checksum of a record laid out contiguously from `record`.
std::uint32_t record_crc(const std::byte* record, std::size_t payload_len) {
  return crc32c({record + RECORD_CURSOR_OFFSET, RECORD_PAYLOAD_OFFSET - RECORD_CURSOR_OFFSET + payload_len});
}

}  // namespace

void encode_record_at(std::byte* out, std::uint64_t cursor, std::uint64_t timestamp_ns,
                      std::span<const std::byte> payload) {
  put_record_head(out, cursor, timestamp_ns, payload.size());
  if (!payload.empty()) std::memcpy(out + RECORD_PAYLOAD_OFFSET, payload.data(), payload.size());
  put_u32(out + RECORD_PAYLOAD_OFFSET + payload.size(), record_crc(out, payload.size()));
}

RecordFrame frame_record(std::uint64_t cursor, std::uint64_t timestamp_ns, std::span<const std::byte> payload) {
  RecordFrame frame;
  put_record_head(frame.head.data(), cursor, timestamp_ns, payload.size());
  const std::uint32_t head_crc =
      crc32c(std::span(frame.head).subspan(RECORD_CURSOR_OFFSET, RECORD_PAYLOAD_OFFSET - RECORD_CURSOR_OFFSET));
  put_u32(frame.crc.data(), crc32c_extend(head_crc, payload));
  return frame;
}

std::uint64_t unix_time_ns() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  if (t.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(t.tv_nsec);
}

std::string segment_file_name(std::uint64_t first_cursor) {
  std::string digits = std::to_string(first_cursor);
  std::string name(SEGMENT_NAME_DIGITS - digits.size(), '0');
  name += digits;
  name += SEGMENT_SUFFIX;
  return name;
}

std::optional<std::uint64_t> parse_segment_file_name(std::string_view name) {
  if (!name.ends_with(SEGMENT_SUFFIX)) return std::nullopt;
  std::string_view stem = name.substr(0, name.size() - SEGMENT_SUFFIX.size());
  if (stem.starts_with('+')) stem.remove_prefix(1);
  // from_chars alone would take a '-' or stop early at a non-digit.
  if (stem.empty() || stem.front() < '0' || stem.front() > '9') return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(stem.data(), stem.data() + stem.size(), value);
  if (ec != std::errc{} || end != stem.data() + stem.size()) return std::nullopt;
  return value;
}

}  // namespace qorva::wal

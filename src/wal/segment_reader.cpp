#include "wal/segment_reader.h"

#include <fcntl.h>

#include <array>
#include <cstring>

#include "sys.h"
#include "wal/posix_file.h"
#include "wal/record.h"

namespace qorva::wal {
namespace {

bool is_end_of_file(const IoError& e) { return e.kind() == IoKind::UnexpectedEof && e.os_errno() == 0; }

}  // namespace

SegmentReader::SegmentReader(std::string path, BufferedReader file, std::uint64_t first_cursor,
                             std::uint64_t created_unix_ns, std::uint64_t file_len)
    : path_(std::move(path)),
      file_(std::move(file)),
      first_cursor_(first_cursor),
      created_unix_ns_(created_unix_ns),
      file_len_(file_len),
      offset_(kHeaderLen) {}

std::expected<SegmentReader, SegmentReadError> SegmentReader::open(std::string path) {
  auto fd = open_regular(path, O_RDONLY);
  if (!fd) return std::unexpected<SegmentReadError>(fd.error());
  return open(std::move(path), posix_sequential_file(std::move(*fd)));
}

std::expected<SegmentReader, SegmentReadError> SegmentReader::open(std::string path,
                                                                   std::unique_ptr<SequentialFile> opened) {
  BufferedReader file{std::move(opened)};
  auto size = file.size();
  if (!size) return std::unexpected<SegmentReadError>(size.error());
  const std::uint64_t file_len = *size;

  std::array<std::byte, kHeaderLen> header;
  if (auto r = file.read_exact(header); !r) {
    if (is_end_of_file(r.error())) return std::unexpected<SegmentReadError>(SegmentHeaderError::Truncated{file_len});
    return std::unexpected<SegmentReadError>(r.error());
  }
  if (auto magic = get_u64(header.data() + kHeaderMagicOffset); magic != kSegmentMagic)
    return std::unexpected<SegmentReadError>(SegmentHeaderError::Magic{magic});
  if (auto version = get_u32(header.data() + kHeaderVersionOffset); version != kSegmentVersion)
    return std::unexpected<SegmentReadError>(SegmentHeaderError::Version{version});
  return SegmentReader(std::move(path), std::move(file), get_u64(header.data() + kHeaderFirstCursorOffset),
                       get_u64(header.data() + kHeaderCreatedOffset), file_len);
}

std::expected<std::optional<ReadRecord>, SegmentReadError> read_one_record(BufferedReader& file, std::uint64_t offset,
                                                                           std::uint64_t limit) {
  using RecordLen = SegmentReadError::RecordLen;
  using Fault = RecordLen::Fault;
  if (offset >= limit) return std::nullopt;
  const std::uint64_t left = limit - offset;
  constexpr std::uint64_t kLenWord = kRecordCursorOffset;
  if (left < kLenWord) return std::unexpected<SegmentReadError>(SegmentReadError::ShortRead{offset, kLenWord - left});
  if (auto r = file.seek(offset); !r) return std::unexpected<SegmentReadError>(r.error());

  std::array<std::byte, kLenWord> len_word;
  if (auto r = file.read_exact(len_word); !r) return std::unexpected<SegmentReadError>(r.error());
  const std::uint64_t record_len = get_u32(len_word.data());
  if (record_len > kMaxRecordLen) return std::unexpected<SegmentReadError>(RecordLen{record_len, Fault::AboveMax});
  if (record_len < kMinRecordLen) return std::unexpected<SegmentReadError>(RecordLen{record_len, Fault::BelowMin});
  if (left < record_len)
    return std::unexpected<SegmentReadError>(SegmentReadError::ShortRead{offset, record_len - left});

  // The whole record in one zero-filled buffer, so the field offsets of the
  // format apply to it unchanged.
  std::vector<std::byte> rec(record_len);
  std::memcpy(rec.data(), len_word.data(), kLenWord);
  if (auto r = file.read_exact(std::span(rec).subspan(kLenWord)); !r)
    return std::unexpected<SegmentReadError>(r.error());

  const std::size_t crc_at = record_len - kRecordCrcLen;
  const std::uint32_t stored = get_u32(rec.data() + crc_at);
  const std::uint32_t computed = crc32c(std::span(rec).subspan(kRecordCursorOffset, crc_at - kRecordCursorOffset));
  if (stored != computed) return std::unexpected<SegmentReadError>(SegmentReadError::Crc{stored, computed, offset});
  const std::uint64_t payload_len = get_u32(rec.data() + kRecordPayloadLenOffset);
  if (payload_len + kRecordFramingLen != record_len)
    return std::unexpected<SegmentReadError>(RecordLen{record_len, Fault::PayloadMismatch, payload_len});

  const auto* payload = rec.data() + kRecordPayloadOffset;
  return ReadRecord{Record{std::vector<std::byte>(payload, payload + payload_len),
                           get_u64(rec.data() + kRecordCursorOffset), get_u64(rec.data() + kRecordTimestampOffset)},
                    record_len};
}

std::optional<std::expected<Record, SegmentReadError>> RecordIter::next() {
  if (reader_.done()) return std::nullopt;
  auto read = read_one_record(reader_.file(), reader_.offset(), reader_.file_len());
  if (!read) {
    reader_.mark_done();
    return std::unexpected(std::move(read.error()));
  }
  if (!*read) return std::nullopt;
  reader_.advance((*read)->record_len);
  return std::move((*read)->record);
}

std::optional<std::uint64_t> truncated_header_size(const SegmentReadError& error) {
  auto* header = std::get_if<SegmentReadError::Header>(&error.value);
  if (!header) return std::nullopt;
  auto* truncated = std::get_if<SegmentHeaderError::Truncated>(&header->error.value);
  if (!truncated) return std::nullopt;
  return truncated->size;
}

}  // namespace qorva::wal

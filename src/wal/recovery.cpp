#include "wal/recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "logging.h"
#include "sys.h"
#include "wal/segment_dir.h"
#include "wal/segment_reader.h"

namespace qorva::wal {
namespace {

// Cuts the file to `len` bytes and makes the cut durable.
std::expected<void, IoError> truncate_durably(const std::string& path, std::uint64_t len) {
  auto opened = open_regular(path, O_WRONLY);
  if (!opened) return std::unexpected(opened.error());
  UniqueFd file = std::move(*opened);
  if (retry_eintr([&] { return ::ftruncate(file.get(), static_cast<off_t>(len)); }) != 0 ||
      retry_eintr([&] { return ::fsync(file.get()); }) != 0)
    return std::unexpected(IoError::last_os_error());
  return {};
}

std::expected<std::uint64_t, IoError> size_of(const std::string& path) {
  struct stat st {};
  auto c_path = checked_path(path);
  if (!c_path) return std::unexpected(c_path.error());
  if (::stat(*c_path, &st) != 0) return std::unexpected(IoError::last_os_error());
  return static_cast<std::uint64_t>(st.st_size);
}

// A newest segment shorter than its header is a creation that a crash cut
// short: it holds no record, and left in place it would fail every open.
std::expected<void, WalError> remove_cut_short_creation(const SegmentFile& file, std::uint64_t size) {
  if (auto removed = remove_file(file.path); !removed) return std::unexpected<WalError>(removed.error());
  qorva::log_torn_tail_truncated(file.path, size, 0);
  return {};
}

// Only the newest segment can end in a torn record: a crash interrupts only
// the segment being appended to, and every older one was synced whole before
// a newer one was created (or cut and synced by the opening that created it).
// So the newest is scanned and cut after its last intact record, while the
// others only have their header checked: damage there is corruption, left on
// disk as found, with the intact records after it, for replay to report.
std::expected<Recovery, SegmentReadError> recover_segment(const SegmentFile& f, bool newest) {
  if (newest) return recover_truncate(f.path);
  auto reader = SegmentReader::open(f.path);
  if (!reader) return std::unexpected(std::move(reader.error()));
  return Recovery{reader->file_len(), 0};
}

std::expected<SegmentIndex, WalError> recover_and_index(const std::string& dir) {
  auto files = list_segment_files(dir);
  if (!files) return std::unexpected<WalError>(files.error());
  std::uint64_t newest = 0;
  for (const auto& f : *files) newest = std::max(newest, f.first_cursor);
  SegmentIndex index;
  for (const auto& f : *files) {
    if (auto recovered = recover_segment(f, f.first_cursor == newest); !recovered) {
      auto short_size = truncated_header_size(recovered.error());
      if (f.first_cursor == newest && short_size) {
        if (auto removed = remove_cut_short_creation(f, *short_size); !removed) return std::unexpected(removed.error());
        continue;
      }
      return std::unexpected<WalError>(recovered.error());
    }
    auto size = size_of(f.path);
    if (!size) return std::unexpected<WalError>(size.error());
    // A key listed twice (7.seg beside 007.seg): the later entry wins.
    index.paths[f.first_cursor] = f.path;
    index.set_sealed_size(f.first_cursor, *size);
  }
  return index;
}

std::expected<std::uint64_t, WalError> find_next_cursor(const SegmentIndex& index) {
  if (index.paths.empty()) return 0;
  const auto& [first, path] = *index.paths.rbegin();
  auto reader = SegmentReader::open(path);
  if (!reader) return std::unexpected<WalError>(reader.error());
  std::optional<std::uint64_t> last;
  RecordIter records(*reader);
  while (auto item = records.next()) {
    if (!*item) break;  // recovery just cut what would fail; a late error only ends the scan
    last = (*item)->cursor;
  }
  return last ? *last + 1 : first;
}

}  // namespace

std::expected<Recovery, SegmentReadError> recover_truncate(const std::string& path) {
  std::uint64_t file_len = 0;
  std::uint64_t torn_at = 0;
  {
    auto reader = SegmentReader::open(path);
    if (!reader) return std::unexpected(reader.error());
    file_len = reader->file_len();
    RecordIter records(*reader);
    std::optional<SegmentReadError> fault;
    while (auto item = records.next()) {
      if (!*item) fault = std::move(item->error());
    }
    if (!fault) return Recovery{file_len, 0};
    if (std::holds_alternative<SegmentReadError::Io>(fault->value) ||
        std::holds_alternative<SegmentReadError::Header>(fault->value))
      return std::unexpected(std::move(*fault));
    // The iterator stops at the failed record's offset: everything from
    // there on goes, sound records after it included.
    torn_at = reader->offset();
  }  // the reader's descriptor is closed before the file is cut
  if (auto cut = truncate_durably(path, torn_at); !cut) return std::unexpected<SegmentReadError>(cut.error());
  qorva::log_torn_tail_truncated(path, file_len - torn_at, torn_at);
  return Recovery{torn_at, file_len - torn_at};
}

std::expected<RecoveredLog, WalError> recover_log(const std::string& dir) {
  auto index = recover_and_index(dir);
  if (!index) return std::unexpected(std::move(index.error()));
  auto next = find_next_cursor(*index);
  if (!next) return std::unexpected(std::move(next.error()));
  return RecoveredLog{std::move(*index), *next};
}

}  // namespace qorva::wal

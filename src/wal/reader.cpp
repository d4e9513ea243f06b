#include "wal/reader.h"

#include <algorithm>
#include <string>

#include "sys.h"
#include "wal/record.h"
#include "wal/segment_dir.h"

namespace qorva::wal {
namespace {

// A record or a header that ends at the file's end: what a reader meets at
// the end of a segment that is being written.
bool is_incomplete(const SegmentReadError& e) {
  return std::holds_alternative<SegmentReadError::ShortRead>(e.value) || truncated_header_size(e).has_value();
}

bool has_grown(SegmentReader& reader) {
  auto size = reader.file().size();
  return size && *size > reader.file_len();
}

}  // namespace

std::expected<WalReader, IoError> WalReader::open(const std::string& topic_dir) {
  WalReader index;
  auto files = list_segment_files(join_path(topic_dir, "wal"));
  if (!files) {
    if (files.error().kind() == IoKind::NotFound) return index;
    return std::unexpected(files.error());
  }
  // A key listed twice (7.seg beside 0007.seg): the later entry wins.
  for (auto& f : *files) index.segment_paths_[f.first_cursor] = std::move(f.path);
  return index;
}

std::expected<WalReplayer, WalError> WalReader::read_from(std::uint64_t cursor) const {
  if (segment_paths_.empty()) return WalReplayer({}, cursor);
  const std::uint64_t oldest = segment_paths_.begin()->first;
  if (cursor < oldest) return std::unexpected(WalError{WalError::CursorTooOld{cursor, oldest}});
  std::vector<WalReplayer::Segment> segments;
  // The start segment has the greatest first cursor at or below `cursor`.
  for (auto it = std::prev(segment_paths_.upper_bound(cursor)); it != segment_paths_.end(); ++it)
    segments.push_back({it->first, it->second});
  return WalReplayer(std::move(segments), cursor);
}

std::expected<Record, WalError> WalReplayer::fail(const SegmentReadError& error, std::uint64_t offset, bool grew) {
  const bool last = next_index_ == segments_.size();
  live_end_ = is_incomplete(error) && (last || grew);
  stop_ = Stop{next_index_ - 1, offset, live_end_};
  return std::unexpected<WalError>(error);
}

std::optional<std::expected<Record, WalError>> WalReplayer::next() {
  if (held_) {
    Record record = std::move(*held_);
    held_.reset();
    if (record.cursor >= from_cursor_) {
      expected_ = record.cursor + 1;
      return record;
    }
  }
  auto item = next_stored();
  if (!item) return item;
  if (!*item) {
    // A read error tells of the records it stops; the live end loses none.
    if (!live_end_) expected_.reset();
    return item;
  }
  const std::uint64_t cursor = (*item)->cursor;
  if (expected_ && cursor != *expected_) {
    const std::uint64_t missing = *expected_;
    expected_.reset();
    held_ = std::move(**item);
    return std::unexpected(WalError{WalError::RecordsMissing{missing, cursor}});
  }
  expected_ = cursor + 1;
  return item;
}

void WalReplayer::skip_to(std::uint64_t cursor) {
  from_cursor_ = std::max(from_cursor_, cursor);
  expected_ = std::max(expected_.value_or(cursor), cursor);
}

std::optional<std::expected<Record, WalError>> WalReplayer::next_stored() {
  live_end_ = false;
  for (;;) {
    if (!current_) {
      if (next_index_ == segments_.size()) return std::nullopt;
      const Segment& segment = segments_[next_index_++];
      auto opened = SegmentReader::open(segment.path);
      if (!opened) return fail(opened.error(), resume_offset_.value_or(kHeaderLen), false);
      if (resume_offset_) opened->resume_at(*resume_offset_);
      resume_offset_.reset();
      current_ = std::move(*opened);
    }
    if (current_->done()) {  // left after an error
      current_.reset();
      continue;
    }
    auto item = RecordIter(*current_).next();
    if (!item) {  // the end of the length recorded at opening
      stop_ = Stop{next_index_ - 1, current_->offset(), true};
      current_.reset();
      continue;
    }
    if (!*item) return fail(item->error(), current_->offset(), has_grown(*current_));
    if ((*item)->cursor < from_cursor_) continue;
    return std::move(**item);
  }
}

std::expected<void, WalError> WalReplayer::refresh(const std::string& topic_dir) {
  auto index = WalReader::open(topic_dir);
  if (!index) return std::unexpected<WalError>(index.error());
  const bool finished = next_index_ == segments_.size() && (!current_ || current_->done());
  if (finished && stop_ && stop_->resumable && stop_->index + 1 == segments_.size()) {
    // Only the newest segment can still grow; read it on from its stop.
    current_.reset();
    next_index_ = stop_->index;
    resume_offset_ = stop_->offset;
    stop_.reset();
  }
  for (const auto& [first, path] : index->segment_paths())
    if (segments_.empty() || first > segments_.back().first_cursor) segments_.push_back({first, path});
  live_end_ = false;
  return {};
}

}  // namespace qorva::wal

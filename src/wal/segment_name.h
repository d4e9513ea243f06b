// How a segment file is named: after the cursor of its first record, in 20
// zero-padded decimal digits followed by ".seg", so that names sort like
// their cursors. Opening a log, replay and the writer all go through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qorva::wal {

inline constexpr std::string_view kSegmentSuffix = ".seg";
inline constexpr std::size_t kSegmentNameDigits = 20;

static_assert(kSegmentNameDigits == std::char_traits<char>::length("18446744073709551615"));

// "<first_cursor in 20 zero-padded digits>.seg". Thread-safe.
std::string segment_file_name(std::uint64_t first_cursor);

// The first cursor that a directory entry's name stands for, or nothing when
// the entry is no segment: the name must be an optional single '+', one or
// more ASCII digits with a value that fits a u64, then ".seg". Such a name is
// ASCII, so it is valid UTF-8 as the scanners require. Thread-safe.
std::optional<std::uint64_t> parse_segment_file_name(std::string_view name);

}  // namespace qorva::wal

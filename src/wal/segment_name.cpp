#include "wal/segment_name.h"

#include <charconv>

namespace qorva::wal {

std::string segment_file_name(std::uint64_t first_cursor) {
  std::string digits = std::to_string(first_cursor);
  std::string name(kSegmentNameDigits - digits.size(), '0');
  name += digits;
  name += kSegmentSuffix;
  return name;
}

std::optional<std::uint64_t> parse_segment_file_name(std::string_view name) {
  if (!name.ends_with(kSegmentSuffix)) return std::nullopt;
  std::string_view stem = name.substr(0, name.size() - kSegmentSuffix.size());
  if (stem.starts_with('+')) stem.remove_prefix(1);
  // from_chars alone would take a '-' or stop early at a non-digit.
  if (stem.empty() || stem.front() < '0' || stem.front() > '9') return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(stem.data(), stem.data() + stem.size(), value);
  if (ec != std::errc{} || end != stem.data() + stem.size()) return std::nullopt;
  return value;
}

}  // namespace qorva::wal

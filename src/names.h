// The names that become directories, and the files of a topic directory.
// A topic name is one plain path component; a bus name is a relative path
// without "." or ".." components. Every unit that turns a name into a path
// checks it first, so that no name reaches outside the bus directory (topic
// cleaning removes whole trees).
#pragma once

#include <expected>
#include <string_view>

#include "io_error.h"

namespace qorva {

// The files a publisher keeps in its topic directory.
inline constexpr std::string_view kRingFileName = "ring.mmap";
inline constexpr std::string_view kSocketFileName = "signal.sock";

// Not empty, not "." or "..", no "/". A NUL byte fails with
// nul_in_path_error() (sys.h), anything else with "invalid topic name"; both
// of kind InvalidInput. Pure; thread-safe.
std::expected<void, IoError> check_topic_name(std::string_view topic);

// Not absolute and no "." or ".." component; "invalid bus name" of kind
// InvalidInput. A NUL byte is left to the path checks of the calls that use
// the directory. Pure; thread-safe.
std::expected<void, IoError> check_bus_name(std::string_view bus);

}  // namespace qorva

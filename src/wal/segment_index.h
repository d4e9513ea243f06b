// The log's index of its segment files, built by recovery at opening and kept
// up to date by rotation and retention.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>

namespace qorva::wal {

// Every segment file by the first cursor in its name, and the recorded size
// of each one that is not being appended to. A plain value; the log keeps it
// under its mutex.
struct SegmentIndex {
  // Every segment file, the active one included.
  std::map<std::uint64_t, std::string> paths;
  // The recorded size of every segment but the active one, and their sum.
  std::map<std::uint64_t, std::uint64_t> sealed_sizes;
  std::uint64_t sealed_bytes = 0;

  void set_sealed_size(std::uint64_t key, std::uint64_t size) {
    drop_sealed_size(key);
    sealed_sizes.emplace(key, size);
    sealed_bytes += size;
  }
  void drop_sealed_size(std::uint64_t key) {
    auto it = sealed_sizes.find(key);
    if (it == sealed_sizes.end()) return;
    sealed_bytes -= std::min(it->second, sealed_bytes);
    sealed_sizes.erase(it);
  }
};

}  // namespace qorva::wal

// The disk floor of bench/compare: the bare loop of disk_floor.h with the
// log's record of a 64 KiB message, on the file system given.
//   disk_floor DIR [RECORDS]
// Prints `disk_floor_64k: <MB/s of 64 KiB messages> MB/s`.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "disk_floor.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: disk_floor DIR [RECORDS]\n");
    return 2;
  }
  constexpr std::size_t kPayload = 65536;
  constexpr std::size_t kRecord = kPayload + 28;  // the log's framing around it
  const std::uint64_t records = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 8000;
  const double ns = bench::floor_ns_per_record(argv[1], kRecord, records);
  std::printf("disk_floor_64k: %.1f MB/s\n", kPayload * 1e3 / ns);
  return 0;
}

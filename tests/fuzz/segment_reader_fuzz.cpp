// Feeds arbitrary bytes to the segment reader as a segment file and checks
// what must hold for any file: reading never goes past the file, yields sound
// records and then at most one error, and recovery leaves a segment that
// reads back as exactly those records with no error.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "wal/record.h"
#include "wal/recovery.h"
#include "wal/segment_reader.h"

namespace {

using qorva::wal::Record;
using qorva::wal::RecordIter;
using qorva::wal::SegmentReader;

void check(bool ok) {
  if (!ok) std::abort();
}

struct Scan {
  std::vector<Record> records;
  bool error = false;
};

Scan scan(const std::string& path, std::uint64_t size) {
  Scan out;
  auto reader = SegmentReader::open(path);
  if (!reader) return {{}, true};
  check(reader->file_len() == size);
  RecordIter records(*reader);
  while (auto item = records.next()) {
    check(!out.error);  // nothing after the error
    if (*item) {
      check(reader->offset() <= size);
      out.records.push_back(std::move(**item));
    } else {
      out.error = true;
    }
  }
  check(!RecordIter(*reader).next());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fd = ::memfd_create("segment", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  Scan before = scan(path, size);
  auto recovered = qorva::wal::recover_truncate(path);
  if (recovered) {
    Scan after = scan(path, recovered->len);
    check(!after.error);
    check(after.records.size() == before.records.size());
    for (std::size_t i = 0; i < after.records.size(); ++i) {
      check(after.records[i].cursor == before.records[i].cursor);
      check(after.records[i].payload == before.records[i].payload);
    }
    check(recovered->len + recovered->bytes_dropped == size);
    check(before.error == (recovered->bytes_dropped > 0));
  } else {
    check(size < qorva::wal::kHeaderLen || before.error);
  }
  ::close(fd);
  return 0;
}

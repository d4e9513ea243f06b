#include "segment_dir.h"

#include <dirent.h>

#include <cerrno>
#include <memory>

#include "../sys.h"
#include "record.h"

namespace qorva::wal {

std::expected<std::vector<SegmentFile>, IoError> list_segment_files(const std::string& dir) {
  auto c_dir = checked_path(dir);
  if (!c_dir) return std::unexpected(c_dir.error());
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(*c_dir), ::closedir);
  if (!listing) return std::unexpected(IoError::last_os_error());
  std::vector<SegmentFile> files;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(listing.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(IoError::last_os_error());
      return files;
    }
    if (auto first = parse_segment_file_name(entry->d_name))
      files.push_back(SegmentFile{*first, join_path(dir, entry->d_name)});
  }
}

}  // namespace qorva::wal

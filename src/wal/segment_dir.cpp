#include "wal/segment_dir.h"

#include <dirent.h>

#include <cerrno>
#include <memory>

#include "sys.h"
#include "wal/segment_name.h"

namespace qorva::wal {

std::expected<std::vector<SegmentFile>, IoError> list_segment_files(const std::string& dir) {
  auto fd = open_dir(dir);
  if (!fd) return std::unexpected(fd.error());
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(fd->get()), ::closedir);
  if (!listing) return std::unexpected(IoError::last_os_error());
  fd->release();  // the listing owns it now
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

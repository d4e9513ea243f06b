// One publisher per topic: among the threads of this process through a set of
// the lock paths it holds, and among all processes through an exclusive flock
// on `<topic dir>/producer.lock`. The file is never written, read or deleted
// here; only its flock state matters, and the kernel drops that when the
// holder's process ends, however it ends.
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "fork.h"
#include "sys.h"

namespace qorva {

inline constexpr std::string_view kProducerLockFileName = "producer.lock";

// A held producer lock. Move-only; owned by one publisher (or one topic
// clean). Destruction releases it: the path leaves the in-process set, then
// the descriptor is closed. A process forked from the holder's closes its copy
// of the descriptor at once (ProcessLocalFd), so it never keeps the lock alive
// once the holder has ended, and its destruction touches nothing.
class ProducerLock {
 public:
  ProducerLock(ProducerLock&& other) noexcept = default;
  ProducerLock& operator=(ProducerLock&& other) noexcept;
  ProducerLock(const ProducerLock&) = delete;
  ProducerLock& operator=(const ProducerLock&) = delete;
  ~ProducerLock() { release(); }

 private:
  friend Result<ProducerLock> acquire_producer_lock(std::string_view topic, const std::string& topic_dir);
  friend class ProducerLockPeer;  // tests
  ProducerLock(std::string key, ProcessLocalFd file);
  void release();

  // The in-process set's key for a lock path: repeated "/" collapsed, "."
  // components dropped (a leading one of a relative path kept) and a trailing
  // "/" removed; ".." and symbolic links left as written. Pure.
  static std::string normalize_lock_path(std::string_view path);
  // Whether `fd` is the file that `path` names now (same device and inode);
  // false when either cannot be examined.
  static bool names_same_file(int fd, const char* path);

  // Released in this order (see release()).
  std::string key_;      // the lock path, normalised: its entry in the in-process set
  ProcessLocalFd file_;  // carries the flock; invalid once moved from, and in a forked child
};

// Takes the producer lock of `topic_dir` (which must exist), creating
// producer.lock (mode 0666 less the umask) when missing. Never waits for the
// lock. Errors: AlreadyPublishing(topic) when this process or any other holds
// it, or when the lock file was unlinked or replaced while being locked (the
// topic is being cleaned); Io when the file cannot be opened (including a NUL
// byte in the path, a symbolic link on the way, and a lock file that is not a
// regular file). Thread-safe; never blocks.
Result<ProducerLock> acquire_producer_lock(std::string_view topic, const std::string& topic_dir);

}  // namespace qorva

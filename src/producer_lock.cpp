#include "producer_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_set>

#include "thread_annotations.h"

namespace qorva {
namespace {

// The lock paths this process holds, or is between claiming and flock-ing.
// The mutex guards only the set and is never held across a system call.
struct HeldPaths {
  Mutex mutex;
  std::unordered_set<std::string> paths QORVA_GUARDED_BY(mutex);
};

HeldPaths& held_paths();
Mutex& held_paths_mutex() QORVA_RETURN_CAPABILITY(held_paths().mutex) { return held_paths().mutex; }

HeldPaths& held_paths() { return lasting_registry<HeldPaths, held_paths_mutex>(); }

bool claim(const std::string& key) QORVA_EXCLUDES(held_paths().mutex) {
  HeldPaths& held = held_paths();
  MutexLock guard(held.mutex);
  return held.paths.insert(key).second;
}

void forget(const std::string& key) QORVA_EXCLUDES(held_paths().mutex) {
  HeldPaths& held = held_paths();
  MutexLock guard(held.mutex);
  held.paths.erase(key);
}

std::unexpected<Error> already_publishing(std::string_view topic) {
  return std::unexpected<Error>(Error::AlreadyPublishing{std::string(topic)});
}

}  // namespace

ProducerLock::ProducerLock(std::string key, ProcessLocalFd file) : key_(std::move(key)), file_(std::move(file)) {}

ProducerLock& ProducerLock::operator=(ProducerLock&& other) noexcept {
  if (this != &other) {
    release();
    key_ = std::move(other.key_);
    file_ = std::move(other.file_);
  }
  return *this;
}

// In a forked child the descriptor reads as none, so a copy there leaves the
// set alone: it belongs to the holder's process.
void ProducerLock::release() {
  if (!file_) return;
  forget(key_);
  key_.clear();
  file_.reset();
}

Result<ProducerLock> acquire_producer_lock(std::string_view topic, const std::string& topic_dir) {
  const std::string path = join_path(topic_dir, kProducerLockFileName);
  std::string key = ProducerLock::normalize_lock_path(path);
  if (!claim(key)) return already_publishing(topic);

  const auto c_path = checked_path(path);
  if (!c_path) {
    forget(key);
    return io_failure(c_path.error());
  }
  // Opened while fork() waits: a child forked from here on closes its copy,
  // so the lock ends with this process even while its children live.
  auto opened = ProcessLocalFd::open([&] { return open_regular(path, O_WRONLY | O_CREAT); });
  if (!opened) {
    forget(key);
    return io_failure(opened.error());
  }
  ProcessLocalFd file = std::move(*opened);
  // flock is tried once: any refusal means someone else publishes. A lock on
  // a file that is no longer the one at `path` was taken on a topic being
  // cleaned (its file unlinked after our open), where a newcomer may lock the
  // new file: refuse it rather than have two publishers.
  if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0 || !ProducerLock::names_same_file(file.get(), *c_path)) {
    forget(key);
    file.reset();
    return already_publishing(topic);
  }
  return ProducerLock(std::move(key), std::move(file));
}

std::string ProducerLock::normalize_lock_path(std::string_view path) {
  const bool absolute = path.starts_with('/');
  std::string out = absolute ? "/" : "";
  bool first = true;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    start = end + 1;
    if (component.empty()) continue;
    const bool keep = component != "." || (first && !absolute);
    first = false;
    if (!keep) continue;
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(component);
  }
  return out;
}

bool ProducerLock::names_same_file(int fd, const char* path) {
  struct stat opened {
  }, named{};
  if (::fstat(fd, &opened) != 0 || ::stat(path, &named) != 0) return false;
  return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace qorva

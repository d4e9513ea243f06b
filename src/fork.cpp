#include "fork.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "thread_annotations.h"

namespace qorva {
namespace fork_detail {

std::atomic<std::uint64_t> generation{0};

void install_handler() {
  static const bool installed = [] {
    ::pthread_atfork(nullptr, nullptr, [] { generation.fetch_add(1, std::memory_order_relaxed); });
    return true;
  }();
  (void)installed;
}

}  // namespace fork_detail

namespace {

// The ProcessLocalFd descriptors open in this process. fork() takes the mutex
// first, so a descriptor is never half opened, half registered, or closed
// but still listed when a child is made.
struct LocalFds {
  Mutex mutex;
  std::vector<int> fds QORVA_GUARDED_BY(mutex);
};

LocalFds& local_fds();
Mutex& local_fds_mutex() QORVA_RETURN_CAPABILITY(local_fds().mutex) { return local_fds().mutex; }

// Only close() runs, which is async-signal-safe, and clear(), which keeps the
// storage. The list then starts empty, so that a grandchild does not close
// again numbers the child has reused.
void close_in_child() QORVA_REQUIRES(local_fds().mutex) {
  for (int fd : local_fds().fds) ::close(fd);
  local_fds().fds.clear();
}

LocalFds& local_fds() { return lasting_registry<LocalFds, local_fds_mutex, close_in_child>(); }

}  // namespace

ProcessLocalFd::ProcessLocalFd(UniqueFd fd) {
  if (!fd) return;
  LocalFds& local = local_fds();
  MutexLock guard(local.mutex);
  local.fds.push_back(fd.get());
  fd_ = fd.release();
}

std::expected<ProcessLocalFd, IoError> ProcessLocalFd::open(
    const std::function<std::expected<UniqueFd, IoError>()>& create) {
  LocalFds& local = local_fds();
  ProcessLocalFd out;
  MutexLock guard(local.mutex);
  auto created = create();
  if (!created) return std::unexpected(std::move(created.error()));
  if (*created) {
    local.fds.push_back(created->get());
    out.fd_ = created->release();
  }
  return out;
}

ProcessLocalFd::ProcessLocalFd(ProcessLocalFd&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), epoch_(other.epoch_) {}

ProcessLocalFd& ProcessLocalFd::operator=(ProcessLocalFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    epoch_ = other.epoch_;
  }
  return *this;
}

void ProcessLocalFd::reset() {
  if (fd_ < 0) return;
  const int fd = std::exchange(fd_, -1);
  if (!epoch_.in_origin()) return;
  LocalFds& local = local_fds();
  MutexLock guard(local.mutex);
  if (auto at = std::find(local.fds.begin(), local.fds.end(), fd); at != local.fds.end()) {
    *at = local.fds.back();
    local.fds.pop_back();
  }
  ::close(fd);
}

}  // namespace qorva

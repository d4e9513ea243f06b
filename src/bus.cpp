#include "bus.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "names.h"
#include "producer_lock.h"
#include "sys.h"

namespace qorva {
namespace {

// What a topic directory holds of its own. Bus names may nest ("x" and
// "x/t"), so a directory below a topic's may be the topic directory of
// another bus: one that holds any of these names is left, with everything in
// it, and so is every directory above it up to the topic's own.
constexpr std::string_view kTopicEntries[] = {kRingFileName, kSocketFileName, kProducerLockFileName, "wal"};

bool is_topic_entry(std::string_view name) {
  return std::find(std::begin(kTopicEntries), std::end(kTopicEntries), name) != std::end(kTopicEntries);
}

// Whether the directory `dir_fd` holds a topic's own entries; true as well
// when that cannot be told.
bool holds_a_topic(int dir_fd) {
  for (std::string_view name : kTopicEntries) {
    struct stat st {};
    if (::fstatat(dir_fd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return true;
  }
  return false;
}

// Removes the directory `name` of `dir_fd`, or leaves it when it still holds
// something that was left.
std::expected<void, IoError> remove_dir_unless_left_in_use(int dir_fd, const char* name) {
  if (::unlinkat(dir_fd, name, AT_REMOVEDIR) == 0 || errno == ENOTEMPTY || errno == EEXIST) return {};
  return std::unexpected(IoError::last_os_error());
}

std::expected<void, IoError> remove_entries(int dir_fd, bool below_topic);

// Removes the entry `name` of the directory `dir_fd` and, for a directory,
// everything below it, except another bus's topic directory (kTopicEntries).
// Symbolic links are removed, never followed.
std::expected<void, IoError> remove_entry(int dir_fd, const char* name) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::unexpected(IoError::last_os_error());
  if (!S_ISDIR(st.st_mode)) {
    if (::unlinkat(dir_fd, name, 0) != 0) return std::unexpected(IoError::last_os_error());
    return {};
  }
  UniqueFd sub(retry_eintr([&] { return ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
  if (!sub) return std::unexpected(IoError::last_os_error());
  if (holds_a_topic(sub.get())) return {};
  if (auto r = remove_entries(sub.get(), true); !r) return r;
  return remove_dir_unless_left_in_use(dir_fd, name);
}

// Removes the entries of the directory `dir_fd`: of the topic directory itself
// every one but the producer lock file; of a directory below it every one but
// a topic's own (one that appeared since it was looked at). Takes over
// nothing: `dir_fd` stays open.
std::expected<void, IoError> remove_entries(int dir_fd, bool below_topic) {
  int listing_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (listing_fd < 0) return std::unexpected(IoError::last_os_error());
  DIR* dir = ::fdopendir(listing_fd);
  if (dir == nullptr) {
    IoError err = IoError::last_os_error();
    ::close(listing_fd);
    return std::unexpected(err);
  }
  std::expected<void, IoError> result;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) result = std::unexpected(IoError::last_os_error());
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (below_topic ? is_topic_entry(name) : name == kProducerLockFileName) continue;
    if (result = remove_entry(dir_fd, name); !result) break;
  }
  ::closedir(dir);
  return result;
}

// Removes what the topic directory `dir_fd` (opened from `path`) holds, and
// the directory itself unless something in it was left (remove_entry). The
// lock file goes last, right before the directory, so that while anything of
// the topic is left a publisher being created elsewhere still meets the held
// lock.
std::expected<void, IoError> remove_topic_dir(int dir_fd, const std::string& path) {
  if (auto r = remove_entries(dir_fd, false); !r) return r;
  if (::unlinkat(dir_fd, std::string(kProducerLockFileName).c_str(), 0) != 0 && errno != ENOENT)
    return std::unexpected(IoError::last_os_error());
  auto removed = remove_dir(path);
  if (!removed && removed.error().os_errno() != ENOTEMPTY && removed.error().os_errno() != EEXIST) return removed;
  return {};
}

}  // namespace

Bus Bus::with_config(std::string name, BusConfig config) { return Bus(std::move(name), std::move(config)); }

TopicConfig Bus::topic_config() const {
  return TopicConfig{
      // The base directory is the caller's choice, links and all; below it
      // nothing is followed (every open walks from this resolved path).
      .dir = join_path(resolve_links(config_.base_dir), name_),
      .wal = config_.wal,
      .slot_size = config_.slot_size,
      .capacity = config_.capacity,
      .max_subscribers = config_.max_subscribers,
      .backpressure = config_.backpressure,
  };
}

Publisher* Bus::find(std::string_view topic) const {
  auto it = publishers_.find(topic);
  return it == publishers_.end() ? nullptr : it->second.get();
}

Result<std::unique_ptr<Publisher>> Bus::new_publisher(std::string_view topic) const {
  if (auto ok = check_bus_name(name_); !ok) return io_failure(ok.error());
  return Publisher::create(topic, topic_config());
}

Result<Publisher*> Bus::create_publisher(std::string_view topic) {
  auto created = new_publisher(topic);
  if (!created) return std::unexpected(std::move(created.error()));
  Publisher* publisher = created->get();
  publishers_.emplace(std::string(topic), std::move(*created));
  return publisher;
}

Result<Publisher*> Bus::cached_or_created(std::string_view topic) {
  if (Publisher* publisher = find(topic)) return publisher;
  return create_publisher(topic);
}

Result<std::unique_ptr<Publisher>> Bus::take_publisher(std::string_view topic) {
  if (auto node = publishers_.extract(std::string(topic)); !node.empty()) return std::move(node.mapped());
  return new_publisher(topic);
}

Result<void> Bus::publish(std::string_view topic, std::span<const std::byte> payload) {
  auto publisher = cached_or_created(topic);
  if (!publisher) return std::unexpected(std::move(publisher.error()));
  return (*publisher)->publish(payload);
}

Result<std::uint64_t> Bus::publish_many(std::string_view topic, std::span<const std::span<const std::byte>> payloads) {
  auto publisher = cached_or_created(topic);
  if (!publisher) return std::unexpected(std::move(publisher.error()));
  return (*publisher)->publish_many(payloads);
}

Result<void> Bus::wait_for_subscribers(std::string_view topic, std::uint64_t n, Duration timeout) {
  auto publisher = cached_or_created(topic);
  if (!publisher) return std::unexpected(std::move(publisher.error()));
  return (*publisher)->wait_for_subscribers(static_cast<std::size_t>(n), timeout);
}

Result<void> Bus::clean_topic(std::string_view topic) {
  if (auto ok = check_topic_name(topic); !ok) return io_failure(ok.error());
  if (auto ok = check_bus_name(name_); !ok) return io_failure(ok.error());
  // Destroying the cached publisher syncs its log and gives its lock back.
  publishers_.erase(std::string(topic));

  std::string dir = join_path(topic_config().dir, topic);
  auto path = checked_path(dir);
  if (!path) return {};  // a path that cannot exist has nothing to clean
  struct stat st {};
  if (::stat(*path, &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return last_os_failure();
  }
  // Opened before the lock is taken, so that a topic directory replaced by a
  // symbolic link gets no lock file behind it either.
  auto dir_fd = open_dir(dir);
  if (!dir_fd) return io_failure(dir_fd.error());
  auto lock = acquire_producer_lock(topic, dir);
  if (!lock) return std::unexpected(std::move(lock.error()));
  if (auto removed = remove_topic_dir(dir_fd->get(), dir); !removed) return io_failure(removed.error());
  return {};
}

std::optional<TopicStats> Bus::stats(std::string_view topic) const {
  if (Publisher* publisher = find(topic)) return publisher->stats();
  return std::nullopt;
}

std::vector<SlotLag> Bus::slow_subscribers(std::string_view topic, std::uint64_t threshold) const {
  if (Publisher* publisher = find(topic)) return publisher->slow_subscribers(threshold);
  return {};
}

Result<std::unique_ptr<Subscriber>> Bus::subscribe_at(std::string_view topic, Duration timeout,
                                                      StartPosition start) const {
  if (auto ok = check_bus_name(name_); !ok) return io_failure(ok.error());
  return Subscriber::connect_with(topic, topic_config(), timeout, start);
}

Result<std::unique_ptr<Subscriber>> Bus::subscribe_timeout(std::string_view topic, Duration timeout) const {
  return subscribe_at(topic, timeout, StartPosition::tail());
}

Result<std::unique_ptr<Subscriber>> Bus::subscribe_with_history_timeout(std::string_view topic, std::uint64_t n,
                                                                        Duration timeout) const {
  return subscribe_at(topic, timeout, StartPosition::history(n));
}

Result<std::unique_ptr<Subscriber>> Bus::subscribe_from_timeout(std::string_view topic, std::uint64_t cursor,
                                                                Duration timeout) const {
  return subscribe_at(topic, timeout, StartPosition::from(cursor));
}

}  // namespace qorva

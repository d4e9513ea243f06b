// Test access to what the product keeps private, through the peer classes
// its headers name as friends. Nothing here changes state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "producer_lock.h"
#include "ring.h"
#include "subscriber.h"
#include "wal/wal.h"

namespace qorva {

class ProducerLockPeer {
 public:
  static std::string normalize_lock_path(std::string_view path) { return ProducerLock::normalize_lock_path(path); }
  static bool names_same_file(int fd, const char* path) { return ProducerLock::names_same_file(fd, path); }
};

class RingBufferPeer {
 public:
  static std::size_t mapped_size(const RingBuffer& ring) { return ring.map_.size(); }
};

class SubscriberPeer {
 public:
  static std::uint64_t cursor_idx(const Subscriber& subscriber) { return subscriber.cursor_idx(); }
};

namespace wal {

class WalPeer {
 public:
  static std::uint64_t opened_unix_ns(const Wal& wal) { return wal.opened_unix_ns_; }
  static MonotonicTime opened_at(const Wal& wal) { return wal.opened_at_; }
};

}  // namespace wal
}  // namespace qorva

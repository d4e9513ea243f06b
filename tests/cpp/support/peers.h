// Test access to what the product keeps private, through the peer classes
// its headers name as friends, and the writes of header words a test plays
// another process with.
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
  // The mapping itself, or the one under a role's view.
  static RingBuffer& buffer(RingBuffer& ring) { return ring; }
  static const RingBuffer& buffer(const RingBuffer& ring) { return ring; }
  static RingBuffer& buffer(RingWriter& writer) { return writer.ring_; }
  static const RingBuffer& buffer(const RingWriter& writer) { return writer.ring_; }
  static RingBuffer& buffer(RingReader& reader) { return reader.ring_; }
  static const RingBuffer& buffer(const RingReader& reader) { return reader.ring_; }

  static std::size_t mapped_size(const auto& ring) { return buffer(ring).map_.size(); }
  static std::uint64_t header_size(const auto& ring) { return buffer(ring).header_size(); }
  // The header words and flags as another process may have left them; of a
  // mapping (or a view's) or of a temporary one.
  static void store_tail(auto&& ring, std::uint64_t tail) { buffer(ring).store_tail(tail); }
  static bool compare_exchange_cursor(auto&& ring, std::uint32_t i, std::uint64_t& expected, std::uint64_t desired) {
    return buffer(ring).compare_exchange_cursor(i, expected, desired);
  }
  static std::uint64_t exchange_wakeup_armed(auto&& ring, std::uint32_t i, std::uint64_t v) {
    return buffer(ring).exchange_wakeup_armed(i, v);
  }
  static void store_wakeup_armed(auto&& ring, std::uint32_t i, std::uint64_t v) {
    buffer(ring).store_wakeup_armed(i, v);
  }
  // What a subscriber does through its own slot, done to slot i by a
  // process that does not hold it, or by a raw connection.
  static std::uint64_t rewind_cursor(auto&& ring, std::uint32_t i, std::uint64_t cursor) {
    return buffer(ring).rewind_cursor(i, cursor);
  }
  static std::uint64_t add_connect_count(auto&& ring) { return buffer(ring).add_connect_count(); }
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

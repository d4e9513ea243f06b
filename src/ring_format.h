// The byte layout of the ring file `ring.mmap`, an external format: other
// processes map the file and read and write these words. Every offset and
// size is a named constant here, with static_asserts that the arithmetic
// holds; the protocol over them is ring.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace qorva {

// Layout of ring.mmap. All integers little-endian (host order: the file is
// shared only between processes of one host); offsets from the start of the
// file; N = max_subscribers.
//
//   offset      width      field           content
//   0           u64        magic           kMagic; stored last at creation (release)
//   8           u32        version         kVersion; nobody checks it
//   12          u32        capacity        number of message slots (never 0)
//   16          u32        slot_size       largest payload of one message
//   20          u32        max_subscribers number of cursor slots N
//   24          u64        generation      1 at creation, +1 on each reuse
//   32          u64        tail            sequence number of the next message
//   40          u64        connect_count   +1 by a subscriber after its handshake, after
//                                          storing a cursor below its slot's, and after
//                                          freeing its slot
//   48          u64        first_cursor    the current publisher's first sequence
//                                          number, stored before its generation
//                                          (0 in files that predate it: numbering from 0)
//   56          8 bytes    reserved        zero
//   64          u64 x N    cursors         kFreeCursor, or the holder's next cursor
//   64 + 8N     u64 x N    wakeup_armed    1: holder sleeps and wants a wakeup
//   64 + 16N    ..         padding         zero up to header_size
//
//   header_size = 64 + 16N rounded up to a multiple of 64
//
// Then `capacity` slots of `stride` = 12 + slot_size rounded up to 8 bytes;
// message s lives in slot s mod capacity, at header_size + (s mod capacity) * stride:
//
//   offset      width      field           content
//   0           u64        seq             s, with kBusyBit set while it is written
//   8           u32        len             payload length, at most slot_size
//   12          len bytes  payload
//
// File length = header_size + capacity * stride; never-written parts are holes.
// A fresh file's slot 0 holds seq = kBusyBit (message 0 not yet written), all
// other never-written slots zeros.
namespace ring_format {

inline constexpr std::uint64_t kMagic = 0x716f727661000005;
inline constexpr std::uint32_t kVersion = 5;

inline constexpr std::size_t kMagicOffset = 0;
inline constexpr std::size_t kVersionOffset = 8;
inline constexpr std::size_t kCapacityOffset = 12;
inline constexpr std::size_t kSlotSizeOffset = 16;
inline constexpr std::size_t kMaxSubscribersOffset = 20;
inline constexpr std::size_t kGenerationOffset = 24;
inline constexpr std::size_t kTailOffset = 32;
inline constexpr std::size_t kConnectCountOffset = 40;
inline constexpr std::size_t kFirstCursorOffset = 48;
inline constexpr std::size_t kReservedOffset = 56;
inline constexpr std::size_t kReservedSize = 8;
inline constexpr std::size_t kCursorsOffset = 64;
// The fixed part of the header, before the per-subscriber arrays.
inline constexpr std::size_t kFixedHeaderSize = 64;
inline constexpr std::size_t kHeaderAlign = 64;

inline constexpr std::size_t kSeqOffset = 0;
inline constexpr std::size_t kLenOffset = 8;
inline constexpr std::size_t kPayloadOffset = 12;
inline constexpr std::size_t kStrideAlign = 8;

// A free cursor slot. Never a cursor.
inline constexpr std::uint64_t kFreeCursor = ~std::uint64_t{0};
// Set in `seq` while the publisher writes the slot; sequence numbers stay below it.
inline constexpr std::uint64_t kBusyBit = std::uint64_t{1} << 63;
// A read gives up after this many passes over a busy, lapped or torn slot.
inline constexpr int kReadAttempts = 16;

constexpr std::uint64_t header_size(std::uint32_t max_subscribers) {
  return (16 * std::uint64_t{max_subscribers} + 127) & ~std::uint64_t{kHeaderAlign - 1};
}
constexpr std::uint64_t stride(std::uint32_t slot_size) {
  return (std::uint64_t{slot_size} + 19) & ~std::uint64_t{kStrideAlign - 1};
}
constexpr std::uint64_t cursor_offset(std::uint32_t i) { return kCursorsOffset + 8 * std::uint64_t{i}; }
constexpr std::uint64_t wakeup_armed_offset(std::uint32_t max_subscribers, std::uint32_t i) {
  return kCursorsOffset + 8 * (std::uint64_t{max_subscribers} + i);
}

// header_size + capacity * stride, or empty when the geometry cannot make a
// ring: capacity 0, or a length that does not fit a signed 64-bit file length.
constexpr std::optional<std::uint64_t> file_length(std::uint32_t capacity, std::uint32_t slot_size,
                                                   std::uint32_t max_subscribers) {
  if (capacity == 0) return std::nullopt;
  std::uint64_t slots = 0;
  std::uint64_t total = 0;
  if (__builtin_mul_overflow(std::uint64_t{capacity}, stride(slot_size), &slots)) return std::nullopt;
  if (__builtin_add_overflow(slots, header_size(max_subscribers), &total)) return std::nullopt;
  if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
  return total;
}

static_assert(kCursorsOffset == kFixedHeaderSize);
static_assert(kReservedOffset + kReservedSize == kCursorsOffset);
static_assert(kConnectCountOffset + 8 == kFirstCursorOffset && kFirstCursorOffset + 8 == kReservedOffset);
static_assert(header_size(0) == 64 && header_size(1) == 128 && header_size(4) == 128);
static_assert(header_size(5) == 192 && header_size(8) == 192 && header_size(16) == 320);
static_assert(header_size(16) >= wakeup_armed_offset(16, 16));
static_assert(stride(0) == 16 && stride(5) == 24 && stride(65536) == 65552);
static_assert(stride(0xFFFFFFFF) == 0x100000010);  // no 32-bit wrap
static_assert(header_size(0xFFFFFFFF) % kHeaderAlign == 0 && stride(7) % kStrideAlign == 0);
static_assert(kPayloadOffset + 4 <= stride(4) && kLenOffset + 4 == kPayloadOffset);
static_assert(file_length(256, 65536, 16) == 16781632);
static_assert(!file_length(0, 1, 1) && !file_length(0xFFFFFFFF, 0xFFFFFFFF, 16));
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);

}  // namespace ring_format

}  // namespace qorva

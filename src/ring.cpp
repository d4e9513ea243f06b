#include "ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "sys.h"

namespace qorva {

using namespace ring_format;

namespace {

constexpr const char* kOutOfRangeText = "out of range integral type conversion attempted";

// ThreadSanitizer does not model fences and g++ refuses them under it with
// -Werror; the fence instruction is still emitted, so the protocol is the same.
inline void fence(std::memory_order order) {
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
  __atomic_thread_fence(static_cast<int>(order));
#pragma GCC diagnostic pop
#else
  std::atomic_thread_fence(order);
#endif
}

inline void spin_pause() { __builtin_ia32_pause(); }

// The tail watch: a look every few pauses (a pause takes from about 10 to 140
// cycles, by core), the clock every few looks (a vDSO read, about 25 ns), so
// that the clock is read about once a microsecond or less often.
constexpr int kPausesPerTailLook = 4;
constexpr int kTailLooksPerClockRead = 8;

// Opens of a ring whose name keeps being given to newer files before open gives up.
constexpr int kOpenAttempts = 8;

// The payload copies race with the writer by design: the seq re-check discards
// a torn copy. A plain memcpy is the fast path; under ThreadSanitizer the copy
// is made of relaxed atomic byte accesses so that only real races are reported.
void copy_to_shared(std::byte* dst, const std::byte* src, std::size_t n) {
#if defined(__SANITIZE_THREAD__)
  for (std::size_t i = 0; i < n; ++i) std::atomic_ref<std::byte>(dst[i]).store(src[i], std::memory_order_relaxed);
#else
  if (n > 0) std::memcpy(dst, src, n);
#endif
}

void copy_from_shared(std::byte* dst, std::byte* src, std::size_t n) {
#if defined(__SANITIZE_THREAD__)
  for (std::size_t i = 0; i < n; ++i) dst[i] = std::atomic_ref<std::byte>(src[i]).load(std::memory_order_relaxed);
#else
  if (n > 0) std::memcpy(dst, src, n);
#endif
}

std::atomic_ref<std::uint64_t> u64_at(std::byte* p) {
  return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(p));
}
std::atomic_ref<std::uint32_t> u32_at(std::byte* p) {
  return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(p));
}

std::uint32_t read_u32(const std::byte* base, std::size_t offset) {
  std::uint32_t v;
  std::memcpy(&v, base + offset, sizeof v);
  return v;
}

void write_u32(std::byte* base, std::size_t offset, std::uint32_t v) { std::memcpy(base + offset, &v, sizeof v); }

std::unexpected<IoError> invalid_data(std::string text) {
  return std::unexpected(IoError::fixed(IoKind::InvalidData, text));
}
std::unexpected<IoError> last_error() { return std::unexpected(IoError::last_os_error()); }

std::string unrecognised_magic_text(std::uint64_t found) {
  char text[128];
  std::snprintf(text, sizeof text,
                "qorva: unrecognised magic 0x%016" PRIx64 " (want 0x%016" PRIx64 "; is this an older format?)", found,
                kMagic);
  return text;
}

std::expected<Mapping, IoError> map_whole(int fd, std::uint64_t len) {
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return last_error();
  return Mapping(static_cast<std::byte*>(p), len);
}

// Allocates the blocks of the first `len` bytes of a mapped ring. A file
// system that cannot allocate ahead (EOPNOTSUPP) leaves the file as it is:
// emulating it by writing would race with the header words other processes
// store.
std::expected<void, IoError> reserve_space(int fd, std::uint64_t len) {
  if (retry_eintr([&] { return ::fallocate(fd, 0, 0, static_cast<off_t>(len)); }) == 0) return {};
  if (errno == EOPNOTSUPP) return {};
  return last_error();
}

// The same for a file nobody maps yet, where writing zeros is safe: a file
// system that cannot allocate ahead gets them written instead.
std::expected<void, IoError> reserve_fresh_space(int fd, std::uint64_t len) {
  int error = 0;
  do {
    error = ::posix_fallocate(fd, 0, static_cast<off_t>(len));
  } while (error == EINTR);
  if (error == 0) return {};
  return std::unexpected(IoError::from_errno(error));
}

// Fills a fresh, zero-length-extended file's header. Nobody can see the file
// yet (it is renamed into place afterwards); the magic still goes last with
// release ordering, so that a header with the magic is always complete.
//
// Slot 0 is marked as a write of message 0 that never finished. A zeroed slot
// would look exactly like an empty message 0 to a reader at cursor 0 when the
// tail of this fresh ring starts at its log's next cursor; busy below the
// tail, it is skipped instead, and message 0 (if the tail stays 0)
// or K overwrites it as usual.
void write_fresh_header(std::byte* base, std::uint64_t header_size, std::uint32_t capacity, std::uint32_t slot_size,
                        std::uint32_t max_subscribers, std::uint64_t first_cursor) {
  u64_at(base + header_size + kSeqOffset).store(0 | kBusyBit, std::memory_order_relaxed);
  write_u32(base, kVersionOffset, kVersion);
  write_u32(base, kCapacityOffset, capacity);
  write_u32(base, kSlotSizeOffset, slot_size);
  write_u32(base, kMaxSubscribersOffset, max_subscribers);
  u64_at(base + kGenerationOffset).store(1, std::memory_order_relaxed);
  u64_at(base + kTailOffset).store(first_cursor, std::memory_order_relaxed);
  u64_at(base + kFirstCursorOffset).store(first_cursor, std::memory_order_relaxed);
  for (std::uint32_t i = 0; i < max_subscribers; ++i)
    u64_at(base + cursor_offset(i)).store(kFreeCursor, std::memory_order_relaxed);
  // Pairs with the acquire load of the magic in open.
  u64_at(base + kMagicOffset).store(kMagic, std::memory_order_release);
}

// A held slot must never read as free, or another subscriber could claim it:
// a cursor of all ones (only a tail word written by a foreign process leads
// there) is held one below.
constexpr std::uint64_t held(std::uint64_t cursor) { return cursor == kFreeCursor ? kFreeCursor - 1 : cursor; }

}  // namespace

IoError out_of_range_error() { return IoError::fixed(IoKind::InvalidInput, kOutOfRangeText); }

Mapping::Mapping(Mapping&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), len_(std::exchange(other.len_, 0)) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    Mapping old(std::move(*this));
    base_ = std::exchange(other.base_, nullptr);
    len_ = std::exchange(other.len_, 0);
  }
  return *this;
}

Mapping::~Mapping() {
  if (base_ != nullptr) ::munmap(base_, len_);
}

RingBuffer::RingBuffer(Mapping map, std::uint32_t capacity, std::uint32_t slot_size, std::uint32_t max_subscribers)
    : map_(std::move(map)),
      header_size_(ring_format::header_size(max_subscribers)),
      stride_(ring_format::stride(slot_size)),
      capacity_(capacity),
      slot_size_(slot_size),
      max_subscribers_(max_subscribers) {}

// A file renamed over the name between the two opens is a newer ring, and
// complete (re-creation renames only whole files): it is opened in turn.
std::expected<RingBuffer, IoError> RingBuffer::open(const std::string& path) {
  auto parent = open_parent_dir(path);
  if (!parent) return std::unexpected(parent.error());
  for (int attempt = 1;; ++attempt) {
    auto fd = open_regular_at(parent->fd.get(), parent->name, O_RDWR);
    if (!fd) return std::unexpected(fd.error());
    auto ring = map_file(fd->get());
    if (!ring) return ring;
    auto same = ring->open_lock_file(parent->fd.get(), parent->name, fd->get());
    if (!same) return std::unexpected(same.error());
    if (*same) return ring;
    if (attempt == kOpenAttempts) return invalid_data(ring_text::kReplaced);
  }
}

// A mapping holds its open file description too, and a forked child inherits
// the mapping: a lock taken through the description the file is mapped
// through would live on in every child. So the locks get a description of
// their own, which only the descriptor kept here refers to. It is opened while
// fork() waits, so that no child is made with a copy of it.
std::expected<bool, IoError> RingBuffer::open_lock_file(int dir, const std::string& name, int mapped) {
  auto file = ProcessLocalFd::open([&] { return open_regular_at(dir, name, O_RDWR); });
  if (!file) return std::unexpected(file.error());
  struct stat opened {};
  struct stat locked {};
  if (::fstat(mapped, &opened) != 0 || ::fstat(file->get(), &locked) != 0) return last_error();
  if (opened.st_dev != locked.st_dev || opened.st_ino != locked.st_ino) return false;
  file_ = std::move(*file);
  return true;
}

std::expected<RingBuffer, IoError> RingBuffer::map_file(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return last_error();
  // Never map (or touch) less than the fixed header; an empty file cannot be mapped at all.
  if (st.st_size < static_cast<off_t>(kFixedHeaderSize)) return invalid_data(ring_text::kShortFile);
  auto map = map_whole(fd, static_cast<std::uint64_t>(st.st_size));
  if (!map) return std::unexpected(map.error());

  std::byte* base = map->base();
  // Pairs with the release store of the magic at creation: the rest of the
  // header is complete once the magic shows.
  std::uint64_t magic = u64_at(base + kMagicOffset).load(std::memory_order_acquire);
  if (magic != kMagic) return invalid_data(unrecognised_magic_text(magic));
  std::uint32_t capacity = read_u32(base, kCapacityOffset);
  std::uint32_t slot_size = read_u32(base, kSlotSizeOffset);
  std::uint32_t max_subscribers = read_u32(base, kMaxSubscribersOffset);
  if (capacity == 0) return invalid_data(ring_text::kZeroCapacity);
  auto needed = file_length(capacity, slot_size, max_subscribers);
  if (!needed || *needed > map->size()) return invalid_data(ring_text::kShortFile);
  return RingBuffer(std::move(*map), capacity, slot_size, max_subscribers);
}

std::expected<RingBuffer, IoError> RingBuffer::create_or_reuse(const std::string& path, std::uint32_t capacity,
                                                               std::uint32_t slot_size, std::uint32_t max_subscribers,
                                                               std::uint64_t first_cursor) {
  auto len = file_length(capacity, slot_size, max_subscribers);
  if (!len) return std::unexpected(out_of_range_error());
  auto parent = open_parent_dir(path);
  if (!parent) return std::unexpected(parent.error());
  const int dir = parent->fd.get();

  // Anything at the ring's name but a regular file (a link, a FIFO) is
  // refused rather than replaced; a file that is no ring of this geometry
  // is rebuilt.
  if (auto fd = open_regular_at(dir, parent->name, O_RDWR); fd) {
    if (auto existing = map_file(fd->get()); existing && existing->capacity_ == capacity &&
                                             existing->slot_size_ == slot_size &&
                                             existing->max_subscribers_ == max_subscribers) {
      // A ring built sparse (as older versions did) gets its blocks now;
      // where they are there already this only looks them up.
      if (auto reserved = reserve_space(fd->get(), *len); !reserved) return std::unexpected(reserved.error());
      // Nobody but the producer lock's holder replaces the file.
      auto same = existing->open_lock_file(dir, parent->name, fd->get());
      if (!same) return std::unexpected(same.error());
      if (!*same) return invalid_data(ring_text::kReplaced);
      // The new numbering is in place before the generation tells readers that
      // a new publisher owns the file: whoever sees the new generation
      // (acquire) sees its first cursor and tail.
      existing->word(kFirstCursorOffset).store(first_cursor, std::memory_order_release);
      existing->store_tail(first_cursor);
      existing->word(kGenerationOffset).fetch_add(1, std::memory_order_seq_cst);
      return existing;
    }
  } else if (fd.error().kind() != IoKind::NotFound) {
    return std::unexpected(fd.error());
  }

  // Built beside the live file and renamed over it: subscribers of an earlier
  // publisher keep mapping the old inode at its old length (no SIGBUS, no
  // stores into the new header), and no reader ever sees a half-built file.
  // Its blocks are reserved before anything is written into the mapping, so
  // that a full file system is an error here and never a SIGBUS later.
  const std::string temp = parent->name + ".new";
  ::unlinkat(dir, temp.c_str(), 0);
  auto fd = open_regular_at(dir, temp, O_RDWR | O_CREAT | O_EXCL);
  if (!fd) return std::unexpected(fd.error());
  auto fail = [&](IoError err) {
    ::unlinkat(dir, temp.c_str(), 0);
    return std::unexpected(std::move(err));
  };
  if (retry_eintr([&] { return ::ftruncate(fd->get(), static_cast<off_t>(*len)); }) != 0)
    return fail(IoError::last_os_error());
  if (auto reserved = reserve_fresh_space(fd->get(), *len); !reserved) return fail(reserved.error());
  auto map = map_whole(fd->get(), *len);
  if (!map) return fail(map.error());
  write_fresh_header(map->base(), ring_format::header_size(max_subscribers), capacity, slot_size, max_subscribers,
                     first_cursor);
  RingBuffer ring(std::move(*map), capacity, slot_size, max_subscribers);
  auto same = ring.open_lock_file(dir, temp, fd->get());
  if (!same) return fail(same.error());
  if (!*same) return fail(IoError::fixed(IoKind::InvalidData, ring_text::kReplaced));
  fd->reset();
  if (::renameat(dir, temp.c_str(), dir, parent->name.c_str()) != 0) return fail(IoError::last_os_error());
  return ring;
}

std::atomic_ref<std::uint64_t> RingBuffer::word(std::uint64_t offset) const { return u64_at(map_.base() + offset); }

std::byte* RingBuffer::slot(std::uint64_t seq) const {
  return map_.base() + header_size_ + (seq % capacity_) * stride_;
}

void RingBuffer::write_slot(std::span<const std::byte> payload) {
  const std::uint64_t s = load_tail();
  std::byte* p = slot(s);
  auto seq = u64_at(p + kSeqOffset);
  seq.store(s | kBusyBit, std::memory_order_relaxed);
  // Pairs with the reader's acquire fence before its second seq load: a reader
  // whose copy saw any store below sees the busy mark (or later) on re-check.
  fence(std::memory_order_release);
  u32_at(p + kLenOffset).store(static_cast<std::uint32_t>(payload.size()), std::memory_order_relaxed);
  copy_to_shared(p + kPayloadOffset, payload.data(), payload.size());
  // Pairs with the reader's first (acquire) seq load: len and payload visible.
  seq.store(s, std::memory_order_release);
  // Pairs with the reader's acquire tail load: slot s shows s or newer.
  store_tail(s + 1);
}

// The sequence-lock read. `cursor` only ever moves forward: a lap (the slot
// holds a newer message below the tail) is tentative and forgotten unless a
// message is read after it; a skip (the ring cannot serve the message) is kept
// and stored, so that a reader over slots of another numbering still progresses.
//
// Why each case is sound, with `tail` always loaded (acquire) before the seq
// load it is compared with:
// - the publisher stores seq = s before tail = s + 1, so for cursor < tail the
//   slot shows cursor or newer; seq < cursor is an older numbering;
// - a busy seq below tail was never finished (its writer died); one at or
//   above it is overwriting message `at`;
// - a clear seq is stored after tail reached it, so after the acquire seq load a
//   fresh tail is at least seq: seq above it is another numbering, seq equal to
//   it is a message whose tail store is not visible yet, written over `at`;
// - in those last two cases message `at` is lost whether or not that writer
//   lives: if the last attempt still finds it so, `at` is skipped, so that a
//   writer killed between its seq and tail stores cannot hold a reader in a
//   busy loop.
//
// A reader more than a ring behind the tail starts at the oldest message the
// ring can hold, tail - capacity, in one step: everything below it is gone.
// So a call does bounded work whatever the tail says, also when another
// process wrote a tail far ahead. Sequence numbers stay below the busy bit, so
// a tail above it is taken as the busy bit, and no cursor the read stores can
// reach the free marker.
template <class Sink>
ReadResult RingBuffer::read(std::uint32_t k, std::uint64_t cursor, Sink&& sink) {
  std::uint64_t tail = load_bounded_tail();
  if (cursor >= tail) return {ReadStatus::Empty, cursor, 0};
  std::uint64_t at = cursor;  // the message this attempt expects
  if (tail - cursor > capacity_) at = tail - capacity_;
  std::uint64_t kept = at;  // the cursor after skips, stored on every exit
  auto skip = [&] {
    kept = at + 1;
    at = kept;
    return at >= tail;
  };
  auto fresh_tail = [&] { return tail = std::max(tail, load_bounded_tail()); };
  // The last attempt found message `at` written over by the message at the
  // tail or by one being written past it.
  bool written_over = false;

  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    written_over = false;
    std::byte* p = slot(at);
    auto seq = u64_at(p + kSeqOffset);
    const std::uint64_t s = seq.load(std::memory_order_acquire);
    if (s & kBusyBit) {
      if ((s & ~kBusyBit) < tail) {
        if (skip()) break;
      } else {
        written_over = true;
        spin_pause();
      }
      continue;
    }
    if (s != at) {
      if (s < at || s > fresh_tail()) {
        if (skip()) break;
      } else if (s < tail) {
        at = s;  // lapped
      } else {
        written_over = true;  // s == tail: written, its tail store not visible yet
        spin_pause();
      }
      continue;
    }

    const std::uint32_t len = u32_at(p + kLenOffset).load(std::memory_order_relaxed);
    const bool len_valid = len <= slot_size_;
    const bool fits = len_valid && sink(p + kPayloadOffset, len);
    // Pairs with the publisher's release fence after its busy store.
    fence(std::memory_order_acquire);
    const std::uint64_t s2 = seq.load(std::memory_order_relaxed);
    if (s2 != s) {
      // Torn: jump to the overwriting message only once the tail shows it done.
      const std::uint64_t newer = s2 & ~kBusyBit;
      if (newer > at && newer < fresh_tail()) at = newer;
      continue;
    }
    if (!len_valid) {
      // A stable slot with an impossible length: not a message of this ring.
      if (skip()) break;
      continue;
    }
    store_cursor(k, at + 1);
    return {fits ? ReadStatus::Message : ReadStatus::TooShort, at + 1, len};
  }
  if (written_over) skip();
  if (kept == cursor) return {ReadStatus::Empty, cursor, 0};
  store_cursor(k, kept);
  return {ReadStatus::Skipped, kept, 0};
}

ReadResult RingBuffer::try_receive(std::uint32_t k, std::uint64_t cursor, std::vector<std::byte>& out) {
  return read(k, cursor, [&](std::byte* payload, std::uint32_t len) {
    out.resize(len);
    copy_from_shared(out.data(), payload, len);
    return true;
  });
}

ReadResult RingBuffer::try_receive_into_slice(std::uint32_t k, std::uint64_t cursor, std::span<std::byte> out) {
  return read(k, cursor, [&](std::byte* payload, std::uint32_t len) {
    if (len > out.size()) return false;
    copy_from_shared(out.data(), payload, len);
    return true;
  });
}

bool RingBuffer::try_receive_exact(std::uint64_t cursor, std::vector<std::byte>& out) {
  if (!holds(cursor)) return false;
  std::byte* p = slot(cursor);
  const std::uint32_t len = u32_at(p + kLenOffset).load(std::memory_order_relaxed);
  if (len > slot_size_) return false;
  out.resize(len);
  copy_from_shared(out.data(), p + kPayloadOffset, len);
  // Pairs with the publisher's release fence after its busy store.
  fence(std::memory_order_acquire);
  return u64_at(p + kSeqOffset).load(std::memory_order_relaxed) == cursor;
}

// The acquire seq load pairs with the publisher's release store of seq: len
// and payload of that message are visible.
bool RingBuffer::holds(std::uint64_t cursor) const {
  if (cursor >= load_bounded_tail()) return false;
  return u64_at(slot(cursor) + kSeqOffset).load(std::memory_order_acquire) == cursor;
}

std::uint64_t RingBuffer::load_bounded_tail() const { return std::min(load_tail(), kBusyBit); }

std::uint64_t RingBuffer::load_tail() const { return word(kTailOffset).load(std::memory_order_acquire); }
void RingBuffer::store_tail(std::uint64_t tail) { word(kTailOffset).store(tail, std::memory_order_release); }
std::uint64_t RingBuffer::load_generation() const { return word(kGenerationOffset).load(std::memory_order_acquire); }

std::uint64_t RingBuffer::load_first_cursor() const { return word(kFirstCursorOffset).load(std::memory_order_acquire); }

std::uint64_t RingBuffer::add_connect_count() {
  return word(kConnectCountOffset).fetch_add(1, std::memory_order_seq_cst);
}
std::uint64_t RingBuffer::load_connect_count() const {
  return word(kConnectCountOffset).load(std::memory_order_acquire);
}

std::uint64_t RingBuffer::load_cursor(std::uint32_t i) const {
  return word(cursor_offset(i)).load(std::memory_order_acquire);
}
// Release: the copy the cursor reports is complete before the publisher, which
// loads it with acquire, may overwrite the slot.
void RingBuffer::store_cursor(std::uint32_t i, std::uint64_t cursor) {
  word(cursor_offset(i)).store(held(cursor), std::memory_order_release);
}
bool RingBuffer::compare_exchange_cursor(std::uint32_t i, std::uint64_t& expected, std::uint64_t desired) {
  return word(cursor_offset(i)).compare_exchange_strong(expected, desired, std::memory_order_seq_cst);
}

// The lock of cursor word i: a write lock on its 8 bytes, through this
// mapping's own open file description, never waiting. "Held" is another
// description's lock (a holder, a claimant, or someone freeing the slot).
RingBuffer::SlotLock RingBuffer::lock_slot(std::uint32_t i) const {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(cursor_offset(i));
  lock.l_len = 8;
  if (retry_eintr([&] { return ::fcntl(file_.get(), F_OFD_SETLK, &lock); }) == 0) return SlotLock::Taken;
  return errno == EAGAIN || errno == EACCES ? SlotLock::Held : SlotLock::Unsupported;
}

void RingBuffer::unlock_slot(std::uint32_t i) const {
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(cursor_offset(i));
  lock.l_len = 8;
  (void)retry_eintr([&] { return ::fcntl(file_.get(), F_OFD_SETLK, &lock); });
}

// Who holds a cursor slot (ring.h): the lock first, then the swap.
std::optional<std::uint32_t> RingBuffer::claim_cursor_slot(std::uint64_t start) {
  for (std::uint32_t i = 0; i < max_subscribers_; ++i) {
    if (load_cursor(i) != kFreeCursor) continue;
    const SlotLock lock = lock_slot(i);
    if (lock == SlotLock::Held) continue;
    std::uint64_t expected = kFreeCursor;
    if (compare_exchange_cursor(i, expected, held(start))) {
      store_wakeup_armed(i, 0);
      return i;
    }
    if (lock == SlotLock::Taken) unlock_slot(i);
  }
  return std::nullopt;
}

std::uint64_t RingBuffer::rewind_cursor(std::uint32_t i, std::uint64_t cursor) {
  store_cursor(i, cursor);
  add_connect_count();
  fence(std::memory_order_seq_cst);  // pairs with the fence of begin_wakeup_pass
  return load_tail();
}

// The lock goes last: a claimant that takes it finds the slot free.
void RingBuffer::release_cursor_slot(std::uint32_t i) {
  word(cursor_offset(i)).store(kFreeCursor, std::memory_order_release);
  add_connect_count();
  unlock_slot(i);
}

// Who holds a cursor slot (ring.h): taking the lock shows the holder gone.
//
// Nothing is added to the connect count. Freeing only takes a cursor out of
// those the publisher gates on, so the slowest held cursor can only rise: a
// gating floor the publisher cached before the free (Publisher ring_full)
// stays at or below the slowest cursor still held, and so still lets through
// no message that would overwrite one a live subscriber has yet to read. At
// worst it refuses a publish that the free made room for, and a full ring
// scans the cursor slots again on every check, which finds the room.
bool RingBuffer::free_if_holder_gone(std::uint32_t i) {
  if (load_cursor(i) == kFreeCursor) return false;
  if (lock_slot(i) != SlotLock::Taken) return false;
  std::uint64_t last = load_cursor(i);
  const bool freed = last != kFreeCursor && compare_exchange_cursor(i, last, kFreeCursor);
  unlock_slot(i);
  return freed;
}

std::uint64_t RingBuffer::exchange_wakeup_armed(std::uint32_t i, std::uint64_t v) {
  return word(wakeup_armed_offset(max_subscribers_, i)).exchange(v, std::memory_order_seq_cst);
}
void RingBuffer::store_wakeup_armed(std::uint32_t i, std::uint64_t v) {
  word(wakeup_armed_offset(max_subscribers_, i)).store(v, std::memory_order_relaxed);
}

// The subscriber's step 1 of the wakeup handshake (ring.h).
std::uint64_t RingBuffer::arm_wakeup(std::uint32_t k) {
  exchange_wakeup_armed(k, 1);
  fence(std::memory_order_seq_cst);  // pairs with the fence of begin_wakeup_pass
  return load_tail();
}

// A look at an unchanged tail is served from this core's cache; only the
// first look after a publisher's store fetches the line. The pauses space the
// looks out, so that this core does not ask for the line again right after
// each store, and leave the core's resources to a sibling hardware thread.
bool RingBuffer::watch_tail(std::uint64_t cursor, const Deadline& until) const {
  for (;;) {
    for (int look = 0; look < kTailLooksPerClockRead; ++look) {
      if (cursor < load_tail()) return true;
      for (int i = 0; i < kPausesPerTailLook; ++i) spin_pause();
    }
    if (until.passed()) return false;
  }
}

void RingBuffer::begin_wakeup_pass() {
  fence(std::memory_order_seq_cst);  // pairs with the fence of arm_wakeup
}

void RingBuffer::fence_after_tail_store() { fence(std::memory_order_seq_cst); }

// A plain load first, as the wakeup handshake allows (a 0 read after the
// pass's fence needs no wakeup, see ring.h). Only a set flag is swapped, which
// keeps the locked instruction, and the cache line taken from the subscriber,
// off every publish to subscribers that are awake.
bool RingBuffer::take_wakeup_request(std::uint32_t i) {
  if (word(wakeup_armed_offset(max_subscribers_, i)).load(std::memory_order_relaxed) != 1) return false;
  return exchange_wakeup_armed(i, 0) == 1;
}

std::optional<RingReader> RingReader::claim(RingBuffer&& ring, std::uint64_t start) {
  const std::optional<std::uint32_t> slot = ring.claim_cursor_slot(start);
  if (!slot) return std::nullopt;
  return RingReader(std::move(ring), *slot);
}

RingReader::RingReader(RingReader&& other) noexcept
    : ring_(std::move(other.ring_)),
      slot_(other.slot_),
      holds_slot_(std::exchange(other.holds_slot_, false)),
      epoch_(other.epoch_) {}

RingReader& RingReader::operator=(RingReader&& other) noexcept {
  if (this != &other) {
    release();
    ring_ = std::move(other.ring_);
    slot_ = other.slot_;
    holds_slot_ = std::exchange(other.holds_slot_, false);
    epoch_ = other.epoch_;
  }
  return *this;
}

void RingReader::release() {
  if (std::exchange(holds_slot_, false) && epoch_.in_origin()) ring_.release_cursor_slot(slot_);
}

}  // namespace qorva

// `RingBuffer`, one process's mapping of the ring file `ring.mmap`, with the
// lock-free slot protocol. The byte layout is ring_format.h; every memory
// ordering of the protocol lives here and in ring.cpp; nobody else re-derives
// them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "clock.h"
#include "fork.h"
#include "io_error.h"
#include "ring_format.h"

namespace qorva {

// Fixed texts of open's refusals (kind invalid data; the subscriber's connect
// loop retries them, create_or_reuse re-creates the file).
namespace ring_text {
inline constexpr const char* kShortFile = "qorva: ring file is shorter than its header's geometry";
inline constexpr const char* kZeroCapacity = "qorva: ring header has capacity 0";
inline constexpr const char* kReplaced = "qorva: ring file was replaced while it was opened";
}  // namespace ring_text

// The refusal of a number the ring cannot take: a geometry that file_length
// refuses, or kFreeCursor as a cursor. Invalid input "out of range integral
// type conversion attempted".
IoError out_of_range_error();

// A shared read-write mapping of a whole file. Move-only; unmaps on destruction.
class Mapping {
 public:
  Mapping() = default;
  Mapping(std::byte* base, std::size_t len) : base_(base), len_(len) {}
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  std::byte* base() const { return base_; }
  std::size_t size() const { return len_; }

 private:
  std::byte* base_ = nullptr;
  std::size_t len_ = 0;
};

// What one read of the ring did. In every status but Empty the read stored
// next_cursor into the reader's cursor slot.
enum class ReadStatus {
  // Nothing can be read now (no new message, or a message whose write is not
  // yet visible, or a copy torn on every attempt). Nothing was stored; the
  // caller keeps its cursor.
  Empty,
  // A message was copied. next_cursor > cursor + 1 means the reader was lapped
  // and the messages in between are lost to it.
  Message,
  // The slice was shorter than the message (len): the message is consumed,
  // nothing was copied.
  TooShort,
  // No message, but the cursor moved on: the ring cannot serve the messages
  // from cursor up to next_cursor (slots of another numbering, a slot a dead
  // writer left busy, or one still being overwritten after every attempt).
  // Read again from next_cursor.
  Skipped,
};

struct ReadResult {
  ReadStatus status = ReadStatus::Empty;
  // The reader's next cursor; the cursor passed in for Empty.
  std::uint64_t next_cursor = 0;
  // Length of the message (Message, TooShort); 0 otherwise.
  std::uint32_t len = 0;
};

// One process's mapping of ring.mmap with the geometry read once from its
// header (never re-read, even if another process re-creates the file), and a
// descriptor of the file kept open for the cursor slot locks (see "Who holds a
// cursor slot" below); a forked child closes its copy of that descriptor.
// Move-only. Each role reaches the protocol through a view that owns the
// mapping: RingWriter for the one publisher, RingReader for a subscriber and
// the one cursor slot it holds; what is public here is the geometry, opening
// and creating, and the header words both read. No method blocks; only open,
// create_or_reuse, destruction and the claim, release and freeing of cursor
// slots make system calls. Thread-safety: the header accessors are safe from
// any thread and process; the rest is each view's. Every slot index i passed
// must be below max_subscribers().
class RingBuffer {
 public:
  // Maps an existing file (read-write, no creation, close-on-exec; the
  // descriptor is closed once mapped, and the file opened again for the slot
  // locks), never through a symbolic link and never
  // a FIFO or another file that is not regular. Errors: the operating-system
  // error (ELOOP for a link); invalid input "ring.mmap: not a regular file";
  // invalid data for a foreign magic ("qorva: unrecognised magic ..."), a
  // header with capacity 0, or a file shorter than its header's geometry.
  static std::expected<RingBuffer, IoError> open(const std::string& path);

  // Reuses the file when its geometry matches (first cursor and tail set to
  // `first_cursor`, then generation + 1; cursor slots kept), else builds a
  // fresh one beside it (path + ".new", generation 1, tail `first_cursor`) and
  // renames it over path, so mappings of the old file keep the old inode intact.
  // Either way the file's full length is allocated on disk first, so a full
  // file system fails here (ENOSPC, nothing changed, no ".new" left behind)
  // instead of faulting a later write. The caller holds the producer lock.
  // Errors: out_of_range_error() for capacity 0 or a length beyond 64 bits; the error of opening what is at
  // path when it is not a regular file (a link: ELOOP) or cannot be opened
  // for another reason than being missing; the operating-system error of
  // creating, sizing, allocating or mapping.
  static std::expected<RingBuffer, IoError> create_or_reuse(const std::string& path, std::uint32_t capacity,
                                                            std::uint32_t slot_size, std::uint32_t max_subscribers,
                                                            std::uint64_t first_cursor = 0);

  std::uint32_t capacity() const { return capacity_; }
  std::uint32_t slot_size() const { return slot_size_; }
  std::uint32_t max_subscribers() const { return max_subscribers_; }

  // --- Header words, each with the ordering of the slot protocol. ---

  std::uint64_t load_tail() const;        // acquire
  std::uint64_t load_generation() const;  // acquire
  // The current publisher's first sequence number. Acquire; read after a
  // generation load that showed that publisher's generation.
  std::uint64_t load_first_cursor() const;
  std::uint64_t load_connect_count() const;          // acquire
  std::uint64_t load_cursor(std::uint32_t i) const;  // acquire

  RingBuffer(RingBuffer&&) noexcept = default;
  RingBuffer& operator=(RingBuffer&&) noexcept = default;

  // --- Who holds a cursor slot ---
  //
  // A subscriber that ends without releasing its slot (killed, crashed,
  // exiting with a thread still in a receive) would keep it for good: its
  // cursor frozen, the publisher under Backpressure::Error stuck one ring
  // later, across restarts too. So each holder also holds an advisory lock,
  // and a slot whose lock anyone else can take has no live holder.
  //
  // The lock is an open-file-description lock (F_OFD_SETLK, write, never
  // waiting) on the 8 bytes of the slot's cursor word, taken through a
  // descriptor the holder's mapping keeps open for that alone. The kernel
  // drops such a lock when its open file description goes, with the last
  // reference to it: at the holder's release or, however its process ends, at
  // its end. A mapping refers to the description it was mapped through, and a
  // forked child inherits the mapping, so the locks are taken through a
  // description of their own that no mapping refers to. The lock is no part
  // of the file's bytes, so the format is the same with or without it.
  //
  // Holder (claim_cursor_slot, release_cursor_slot):
  //   1. for each slot that reads free: takes its lock, or passes on to the
  //      next slot when someone else holds it;
  //   2. compare-and-swap free -> start; on failure unlocks and goes on;
  //   3. ... reads and stores its cursor ...;
  //   4. releases: stores the free marker, adds to the connect count, unlocks.
  // So a live holder holds its slot's lock from before its claim until after
  // its release. Its forked children close their copies of the descriptor at
  // once (ProcessLocalFd) and never unlock: closing a copy drops nothing while
  // the holder's own descriptor of that description is open, and a child that
  // outlives the holder does not keep the lock alive.
  //
  // Anyone else (free_if_holder_gone, the publisher):
  //   1. takes the slot's lock; fails: a live holder or a claimant has it;
  //   2. reads the slot: free, or the cursor of a holder that has ended;
  //   3. compare-and-swaps that value -> free; unlocks.
  // While it holds the lock no claimant can take the slot (claimants lock
  // first) and no holder lives to store into it, so the value it swaps is the
  // dead holder's last one.
  //
  // A file system that refuses these locks (an error other than "held") leaves
  // claims to the compare-and-swap alone and frees nothing.

  // --- Joining the ring, and the publisher's gating floor ---
  //
  // How a subscriber joins a running ring without a message it counts on
  // being written over, while the publisher under Backpressure::Error looks
  // at the cursor slots (lines every reading subscriber writes) only now and
  // then. This is the one description; the publisher's fullness check
  // (ring_full), the subscriber's connect and its catch-up refer to it.
  //
  // Subscriber (Subscriber::connect_with, then catching up):
  //   1. claims a slot with the tail T0 it loaded (claim_cursor_slot; see
  //      "Who holds a cursor slot" above);
  //   2. connects and queues its handshake, then adds to the connect count
  //      (add_connect_count, the first add);
  //   3. loads the tail T and chooses its start S from it (at, below or above T);
  //   4. stores the slot's value, S or, while it catches up from the log, T,
  //      through rewind_cursor: the store, a second add, a fence and a fresh
  //      tail T2;
  //   5. re-checks with T2 that the ring still holds the first message it
  //      serves from the ring (oldest_kept in the subscriber): the publisher
  //      may have written up to message T2 before it saw the second add;
  //   6. from here stores only rising cursors (store_cursor), except where a
  //      catch-up hands over to the ring below its slot's value: that goes
  //      through rewind_cursor again;
  //   7. leaves: stores the free marker and adds (release_cursor_slot).
  //
  // Publisher (ring_full): keeps the slowest held cursor found by its last
  // scan of the slots (the gating floor) and the connect count loaded before
  // that scan, and scans again only when the count has moved or the tail has
  // gone a ring past the floor. Why no subscriber reads below a floor that
  // is neither:
  // - held cursors only move forward, except where their holder adds to the
  //   connect count after storing a lower one (steps 4 and 6). A check that
  //   sees such an add scans after an acquire load that read it, so it sees
  //   that cursor;
  // - the value a slot is claimed with (step 1) may lie below the floor (a
  //   tail loaded long ago), but nobody reads at it;
  // - a check that has not seen a subscriber's first add yet: each check
  //   follows a sequentially consistent fence after the last tail store (the
  //   wakeup pass's, or the batch's own), and the add is a locked
  //   instruction, so either the check sees the add, or the tail T that the
  //   subscriber loads after its add is at least the one stored before the
  //   fence. The message the check lets through then overwrites one a whole
  //   ring below T, which only a start a ring or more back could want, and
  //   such a start never had the ring's protection (step 5 re-checks it);
  // - between a subscriber's two adds the last scan saw its claim value or
  //   its start, as a scan on every publish would;
  // - a slot freed for a holder that is gone (free_if_holder_gone) only takes
  //   a cursor away: the slowest held cursor can only rise, so the floor
  //   stays at or below it and needs no add.

  // --- The wakeup handshake ---
  //
  // How a subscriber goes to sleep without sleeping through a message, and
  // how the publisher wakes only subscribers that sleep. This is the one
  // description; the publisher, the subscriber and the waker refer to it.
  //
  // Subscriber (arm_wakeup, then poll_wakeup in waker.h):
  //   1. swaps 1 into its wakeup_armed flag, fences (seq_cst), loads the tail;
  //   2. a tail above its cursor: stores 0 into the flag and reads;
  //   3. otherwise it polls its eventfd, and stores 0 into the flag on waking.
  //   A unit left over from an earlier wait is consumed before step 1, never
  //   between step 1 and the poll: a unit taken there could be the
  //   publisher's answer to this arming, and the poll would then sleep
  //   through the message.
  // Publisher, after the tail store of a publish or a batch:
  //   1. fences (seq_cst, begin_wakeup_pass);
  //   2. for each connected subscriber takes the request from its flag
  //      (take_wakeup_request) and, when there was one, writes one eventfd unit.
  //
  // Why no message is slept through: the two fences fall in one total order.
  // If the subscriber's comes first, the publisher's flag load after its own
  // fence sees the 1 the subscriber swapped in before its fence, and the
  // publisher wakes it; if the publisher's comes first, the subscriber's tail
  // load after its fence sees the new tail, and it does not sleep. So a flag
  // the publisher reads as 0 after its fence belongs to a subscriber that sees
  // the message. The same pairing covers a subscriber that connects during a
  // pass: it queues its handshake and adds to the connect count (seq_cst)
  // before it arms, and the publisher loads the count after its fence, so
  // either the publisher sees the add and accepts it in that pass, or the
  // subscriber sees the tail. A unit too many is only a spurious wakeup: the
  // subscriber finds nothing new and arms again.

 private:
  friend class RingWriter;
  friend class RingReader;
  friend class RingBufferPeer;  // tests

  // --- Reader side, reached through RingReader. Slot k (or i) is the one
  // the caller holds. ---

  // Reads message `cursor` for the holder of cursor slot k into out (resized
  // to the message length, its storage growing only when too small). On
  // Empty, out may hold a discarded copy.
  ReadResult try_receive(std::uint32_t k, std::uint64_t cursor, std::vector<std::byte>& out);
  // The same into a caller's slice: a message that fits is copied to its
  // start; a longer one is consumed without copying (TooShort).
  ReadResult try_receive_into_slice(std::uint32_t k, std::uint64_t cursor, std::span<std::byte> out);
  // Copies message `cursor` into out only when its slot holds exactly that
  // message below the tail; stores nothing and never moves on. False when the
  // ring does not hold it now: not yet written, overwritten (also during the
  // copy), or never written under the current numbering.
  bool try_receive_exact(std::uint64_t cursor, std::vector<std::byte>& out);
  // Whether the slot of `cursor` holds exactly that message, below the tail.
  bool holds(std::uint64_t cursor) const;
  // After its handshake was sent: adds 1 (sequentially consistent, so it is
  // ordered before its later arming swap). Returns the previous value. See
  // "Joining the ring" above for who adds when.
  std::uint64_t add_connect_count();
  // Release; never below the slot's value (see rewind_cursor). All ones,
  // which would free the slot, is stored as all ones minus one (as is a
  // claim's start).
  void store_cursor(std::uint32_t i, std::uint64_t cursor);
  // Stores a cursor that may be below the slot's value (a start below the
  // claim's tail), then adds to the connect count, fences and returns a fresh
  // tail. From here on the publisher overwrites no message at or after
  // `cursor`, except ones a whole ring or more below that tail, which it may
  // have written over before it saw the add.
  std::uint64_t rewind_cursor(std::uint32_t i, std::uint64_t cursor);
  // Claims the lowest free cursor slot whose lock it can take, with `start`
  // as its cursor, and clears its wakeup flag; the lock is held from before
  // the claim on. Empty when every slot is held or being claimed (or there are
  // none).
  std::optional<std::uint32_t> claim_cursor_slot(std::uint64_t start);
  // Frees cursor slot i (release store of kFreeCursor), adds to the connect
  // count so that the publisher looks, then drops the slot's lock; through
  // the mapping that claimed it.
  void release_cursor_slot(std::uint32_t i);
  // The wakeup handshake's step 1: swaps 1 into its flag, fences and returns
  // a fresh tail.
  std::uint64_t arm_wakeup(std::uint32_t k);
  // Steps 2 and 3.
  void disarm_wakeup(std::uint32_t k) { store_wakeup_armed(k, 0); }
  // Before it arms: watches the tail until it passes `cursor` (true) or
  // `until` passes (false). Looks at the tail once every few pause
  // instructions, leaving its cache line to the publisher in between, and at
  // the clock once every few looks. Spins on the calling thread; no system call.
  bool watch_tail(std::uint64_t cursor, const Deadline& until) const;

  // --- Writer side, reached through RingWriter. ---

  // Writes payload as message `tail` and advances the tail. payload.size() <=
  // slot_size() is the caller's check.
  void write_slot(std::span<const std::byte> payload);
  // Frees cursor slot i when it is held but nobody holds its lock, that is
  // when its holder has ended without releasing it; true when it freed it. A
  // slot a live subscriber holds, or one being claimed, is left alone. Never
  // through a mapping that holds slots itself (its own locks do not exclude
  // it); a writer's mapping holds none.
  bool free_if_holder_gone(std::uint32_t i);
  // The wakeup handshake's step 1.
  static void begin_wakeup_pass();
  // Step 2 for cursor slot i: true when the slot's holder asked for a
  // wakeup, its flag then cleared.
  bool take_wakeup_request(std::uint32_t i);
  // A sequentially consistent fence between a tail store and the loads of
  // the connect count that follow it.
  static void fence_after_tail_store();

  std::uint64_t header_size() const { return header_size_; }
  void store_tail(std::uint64_t tail);  // release
  // Sequentially consistent compare-and-swap; on failure `expected` gets the
  // value found.
  bool compare_exchange_cursor(std::uint32_t i, std::uint64_t& expected, std::uint64_t desired);
  // Raw flag accessors.
  std::uint64_t exchange_wakeup_armed(std::uint32_t i, std::uint64_t v);  // seq_cst
  void store_wakeup_armed(std::uint32_t i, std::uint64_t v);              // relaxed
  RingBuffer(Mapping map, std::uint32_t capacity, std::uint32_t slot_size, std::uint32_t max_subscribers);
  // Maps the open file `fd` and checks its header (the checks of open).
  static std::expected<RingBuffer, IoError> map_file(int fd);
  // Opens `name` in `dir` again as the descriptor of the slot locks; false
  // (nothing kept) when that is no longer the file mapped through `mapped`.
  // Errors: the operating-system error.
  std::expected<bool, IoError> open_lock_file(int dir, const std::string& name, int mapped);

  template <class Sink>
  ReadResult read(std::uint32_t k, std::uint64_t cursor, Sink&& sink);

  std::atomic_ref<std::uint64_t> word(std::uint64_t offset) const;
  // The tail as a read trusts it: acquire, at most kBusyBit.
  std::uint64_t load_bounded_tail() const;
  std::byte* slot(std::uint64_t seq) const;

  // Outcome of trying to lock a cursor slot through file_.
  enum class SlotLock { Taken, Held, Unsupported };
  SlotLock lock_slot(std::uint32_t i) const;
  void unlock_slot(std::uint32_t i) const;

  Mapping map_;
  // A descriptor of the file apart from the mapping's, carrying the slot
  // locks of this mapping; closed before the unmap.
  ProcessLocalFd file_;
  std::uint64_t header_size_ = 0;
  std::uint64_t stride_ = 0;
  std::uint32_t capacity_ = 0;
  std::uint32_t slot_size_ = 0;
  std::uint32_t max_subscribers_ = 0;
};

// The publisher's view of its own mapping: the one writer of the slots and
// the tail, and the one that scans the cursor slots (the gating floor's
// inputs), frees the slots of holders that are gone and answers wakeup
// requests. It owns the mapping, which claims no slot, as free_if_holder_gone
// requires. Move-only; one thread at a time. Each call forwards inline to the
// RingBuffer function of the same name, where its contract is.
class RingWriter {
 public:
  explicit RingWriter(RingBuffer ring) : ring_(std::move(ring)) {}

  std::uint32_t capacity() const { return ring_.capacity(); }
  std::uint32_t slot_size() const { return ring_.slot_size(); }
  std::uint32_t max_subscribers() const { return ring_.max_subscribers(); }
  std::uint64_t load_tail() const { return ring_.load_tail(); }
  std::uint64_t load_connect_count() const { return ring_.load_connect_count(); }
  std::uint64_t load_cursor(std::uint32_t i) const { return ring_.load_cursor(i); }

  void write_slot(std::span<const std::byte> payload) { ring_.write_slot(payload); }
  bool free_if_holder_gone(std::uint32_t i) { return ring_.free_if_holder_gone(i); }
  static void begin_wakeup_pass() { RingBuffer::begin_wakeup_pass(); }
  bool take_wakeup_request(std::uint32_t i) { return ring_.take_wakeup_request(i); }
  static void fence_after_tail_store() { RingBuffer::fence_after_tail_store(); }

 private:
  friend class RingBufferPeer;  // tests
  RingBuffer ring_;
};

// A subscriber's view: the one cursor slot it holds, on a mapping of its own.
// The reader owns that mapping because a slot's lock lives on the descriptor
// of the mapping that claimed it: so the slot never outlives its lock, and no
// second claim shares the mapping's locks. Handing the slot over is moving
// the reader; the moved-from one holds nothing. Destruction frees the slot
// and drops its lock (release_cursor_slot), then unmaps; in a forked child
// it only unmaps, as the slot is the parent's. Move-only; one thread at a
// time. Each call forwards inline to the RingBuffer function of the same
// name, for this slot.
class RingReader {
 public:
  // Claims the lowest free cursor slot of `ring` with `start` as its cursor
  // (claim_cursor_slot). Moves from `ring` only when it returns a reader;
  // empty, `ring` left as it was, when every slot is held or being claimed.
  static std::optional<RingReader> claim(RingBuffer&& ring, std::uint64_t start);

  // The moved-from reader holds no slot; assigning frees the slot held before.
  RingReader(RingReader&& other) noexcept;
  RingReader& operator=(RingReader&& other) noexcept;
  ~RingReader() { release(); }

  std::uint32_t slot() const { return slot_; }
  std::uint32_t capacity() const { return ring_.capacity(); }
  std::uint32_t slot_size() const { return ring_.slot_size(); }
  std::uint32_t max_subscribers() const { return ring_.max_subscribers(); }
  std::uint64_t load_tail() const { return ring_.load_tail(); }
  std::uint64_t load_generation() const { return ring_.load_generation(); }
  std::uint64_t load_first_cursor() const { return ring_.load_first_cursor(); }

  ReadResult try_receive(std::uint64_t cursor, std::vector<std::byte>& out) {
    return ring_.try_receive(slot_, cursor, out);
  }
  ReadResult try_receive_into_slice(std::uint64_t cursor, std::span<std::byte> out) {
    return ring_.try_receive_into_slice(slot_, cursor, out);
  }
  bool try_receive_exact(std::uint64_t cursor, std::vector<std::byte>& out) {
    return ring_.try_receive_exact(cursor, out);
  }
  bool holds(std::uint64_t cursor) const { return ring_.holds(cursor); }

  std::uint64_t load_cursor() const { return ring_.load_cursor(slot_); }
  void store_cursor(std::uint64_t cursor) { ring_.store_cursor(slot_, cursor); }
  std::uint64_t rewind_cursor(std::uint64_t cursor) { return ring_.rewind_cursor(slot_, cursor); }
  std::uint64_t add_connect_count() { return ring_.add_connect_count(); }

  std::uint64_t arm_wakeup() { return ring_.arm_wakeup(slot_); }
  void disarm_wakeup() { ring_.disarm_wakeup(slot_); }
  bool watch_tail(std::uint64_t cursor, const Deadline& until) const { return ring_.watch_tail(cursor, until); }

 private:
  friend class RingBufferPeer;  // tests
  RingReader(RingBuffer ring, std::uint32_t slot) : ring_(std::move(ring)), slot_(slot) {}
  void release();

  RingBuffer ring_;
  std::uint32_t slot_;
  bool holds_slot_ = true;  // false once moved from
  ForkEpoch epoch_;         // the process that claimed the slot
};

}  // namespace qorva

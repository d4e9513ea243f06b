// The only writer of one topic: owns the ring mapping, the admission of
// subscribers (the listening socket and the thread that watches it, see
// admission.h), the connected subscribers, the producer lock and, optionally,
// the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "config.h"
#include "error.h"
#include "wal/wal.h"

namespace qorva {

// Statistics snapshot of one topic; a plain value owned by the caller.
struct TopicStats {
  std::uint64_t tail = 0;
  std::uint64_t active_subscribers = 0;
  std::vector<std::uint64_t> lags;  // per occupied cursor slot, in slot order
  std::uint64_t connected_sockets = 0;
  std::uint64_t published_total = 0;
  std::uint64_t full_rejected_total = 0;
  std::uint64_t subscribers_dropped_total = 0;
  std::uint64_t wakeups_sent_total = 0;
  std::optional<wal::WalStats> wal;
};

// (cursor slot index, lag) of one occupied cursor slot.
using SlotLag = std::pair<std::uint64_t, std::uint64_t>;

class Publisher {
 public:
  // Creates the topic directory under config.dir, takes the producer lock,
  // opens the log when enabled, creates or reuses ring.mmap, frees the cursor
  // slots of subscribers that ended without releasing them, binds signal.sock
  // and starts the thread that lets subscribers in. May block for
  // a long time (log recovery). Errors: Io (also a thread that cannot be
  // started), AlreadyPublishing, Wal; invalid topic names are refused as Io.
  static Result<std::unique_ptr<Publisher>> create(std::string_view topic, TopicConfig config);

  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // The calls below need the publisher to themselves (one thread at a time),
  // except stats() and slow_subscribers(), which only read.

  // Publishes one message. Every 10 ms the publish first runs the timed pass,
  // which also frees the slots of subscribers whose connection hung up.
  // Errors: MessageTooLarge, Io (the listening socket failing; no peer's
  // handshake, however faulty, is an error), BusFull (Backpressure::Error),
  // Wal. Never blocks.
  Result<void> publish(std::span<const std::byte> payload);
  // Publishes a batch; returns how many were written (stops early, without
  // error, where the ring becomes full under Backpressure::Error).
  Result<std::size_t> publish_many(std::span<const std::span<const std::byte>> payloads);
  // Accepts subscribers until at least n are connected, polling every 1 ms.
  // Blocks up to the timeout. Errors: Io, ConnectTimeout (for subscribers).
  Result<void> wait_for_subscribers(std::size_t n, Duration timeout);

  TopicStats stats() const;
  // Occupied cursor slots whose lag is at least `threshold`, in slot order.
  std::vector<SlotLag> slow_subscribers(std::uint64_t threshold) const;

 private:
  Publisher();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qorva

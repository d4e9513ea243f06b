// Plain value types carrying the settings of a bus and its topics. No value is
// range-checked here; the units that use them refuse what cannot work.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "clock.h"

namespace qorva {

enum class Backpressure : std::uint8_t {
  Error = 0,       // a publish that would overwrite an unread message fails with BusFull
  DropOldest = 1,  // the oldest slot is overwritten; lagging subscribers skip ahead
};

// "Error" or "DropOldest", as the "publisher created" event shows it.
std::string_view debug_text(Backpressure b);

enum class SyncMode : std::uint8_t {
  Off = 0,          // no sync of its own
  Periodic = 1,     // a flusher thread syncs every flush_interval
  EveryAppend = 2,  // every append syncs
};

struct WalConfig {
  Duration flush_interval = Duration::from_millis(5);
  std::uint64_t max_segment_bytes = 64ull << 20;
  std::uint64_t max_total_bytes = 1ull << 30;
  bool enabled = true;
  SyncMode sync_mode = SyncMode::Periodic;
};

struct BusConfig {
  std::string base_dir = "/tmp/qorva";
  WalConfig wal;
  std::uint32_t slot_size = 65536;
  std::uint32_t capacity = 256;
  std::uint32_t max_subscribers = 16;
  Backpressure backpressure = Backpressure::Error;
};

// What one publisher or subscriber of one topic is given; `dir` is the bus
// directory, to which the callee joins the topic name.
struct TopicConfig {
  std::string dir;
  WalConfig wal;
  std::uint32_t slot_size = 65536;
  std::uint32_t capacity = 256;
  std::uint32_t max_subscribers = 16;
  Backpressure backpressure = Backpressure::Error;
};

inline std::string_view debug_text(Backpressure b) { return b == Backpressure::DropOldest ? "DropOldest" : "Error"; }

}  // namespace qorva

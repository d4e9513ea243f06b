#include "config.h"

#include <gtest/gtest.h>

namespace qorva {
namespace {

// What a bus made with no optional argument carries, and what its topics copy.
TEST(Config, DefaultsOfABusAndItsTopics) {
  const BusConfig bus;
  EXPECT_EQ(bus.base_dir, "/tmp/qorva");
  EXPECT_EQ(bus.slot_size, 65536u);
  EXPECT_EQ(bus.capacity, 256u);
  EXPECT_EQ(bus.max_subscribers, 16u);
  EXPECT_EQ(bus.backpressure, Backpressure::Error);
  EXPECT_EQ(bus.wal.flush_interval, (Duration{0, 5'000'000}));
  EXPECT_EQ(bus.wal.max_segment_bytes, 67108864u);
  EXPECT_EQ(bus.wal.max_total_bytes, 1073741824u);
  EXPECT_TRUE(bus.wal.enabled);
  EXPECT_EQ(bus.wal.sync_mode, SyncMode::Periodic);

  const TopicConfig topic;
  EXPECT_EQ(topic.slot_size, bus.slot_size);
  EXPECT_EQ(topic.capacity, bus.capacity);
  EXPECT_EQ(topic.max_subscribers, bus.max_subscribers);
  EXPECT_EQ(topic.backpressure, bus.backpressure);
}

// The one-byte values of the two policies and modes, and the texts the
// "publisher created" event shows.
TEST(Config, PolicyValuesAndDebugTexts) {
  static_assert(sizeof(Backpressure) == 1 && sizeof(SyncMode) == 1);
  EXPECT_EQ(static_cast<int>(Backpressure::Error), 0);
  EXPECT_EQ(static_cast<int>(Backpressure::DropOldest), 1);
  EXPECT_EQ(debug_text(Backpressure::Error), "Error");
  EXPECT_EQ(debug_text(Backpressure::DropOldest), "DropOldest");
  EXPECT_EQ(static_cast<int>(SyncMode::Off), 0);
  EXPECT_EQ(static_cast<int>(SyncMode::Periodic), 1);
  EXPECT_EQ(static_cast<int>(SyncMode::EveryAppend), 2);
}

}  // namespace
}  // namespace qorva

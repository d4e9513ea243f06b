// The fixtures of the tests of a subscriber and of the units it starts and
// waits through: one topic in a fresh directory, its publisher, with or
// without a log, and subscribers connected to it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "config.h"
#include "publisher.h"
#include "ring.h"
#include "start_position.h"
#include "subscriber.h"
#include "support/publisher_fixture.h"
#include "support/temp_dir.h"
#include "support/transport_support.h"

namespace qorva::testing_support {

constexpr Duration kSecond{1, 0};

class SubscriberTest : public testing::Test {
 protected:
  void start_publisher(std::uint32_t capacity = 8, std::uint32_t slot_size = 64, std::uint32_t max_subscribers = 4) {
    config_ = small_config(dir_.path(), capacity, slot_size, max_subscribers);
    publisher_ = make_publisher(config_);
    ASSERT_TRUE(publisher_);
  }
  std::unique_ptr<Subscriber> subscribe(StartPosition start = StartPosition::tail()) {
    auto connected = Subscriber::connect_with("t", config_, kSecond, start);
    if (!connected) ADD_FAILURE() << "connect_with failed";
    return connected ? std::move(*connected) : nullptr;
  }
  void publish(std::string_view message) { ASSERT_TRUE(publisher_->publish(view(bytes(message)))); }
  void publish_n(int n) { testing_support::publish_n(*publisher_, n); }
  RingBuffer ring() { return open_ring(dir_); }

  TempDir dir_;
  TopicConfig config_ = small_config(dir_.path());
  std::unique_ptr<Publisher> publisher_;
};

class SubscriberReplayTest : public SubscriberTest {
 protected:
  void start_logged_publisher(std::uint64_t max_segment_bytes = 64ull << 20) {
    config_ = logged_config(dir_.path(), 8, Backpressure::Error, max_segment_bytes);
    publisher_ = make_publisher(config_);
    ASSERT_TRUE(publisher_);
  }
  // Ends the publisher (its log synced) and starts the next one over the same files.
  void restart_publisher() {
    publisher_.reset();
    publisher_ = make_publisher(config_);
    ASSERT_TRUE(publisher_);
  }
  // Publishes n messages into segments of about 32 records each, then ends
  // the publisher; the segment files, oldest first.
  std::vector<std::filesystem::path> sealed_segments_of(int n) {
    start_logged_publisher(1000);
    publish_n(n);
    publisher_.reset();
    return segments();
  }
  std::vector<std::filesystem::path> segments() const {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "t/wal")) found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
  }
};

}  // namespace qorva::testing_support

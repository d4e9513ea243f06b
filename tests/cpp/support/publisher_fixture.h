// Helpers of the tests that drive a publisher: one made for a test, the
// ring file it writes, and messages published through it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "config.h"
#include "publisher.h"
#include "ring.h"
#include "support/temp_dir.h"
#include "support/transport_support.h"

namespace qorva::testing_support {

inline std::unique_ptr<Publisher> make_publisher(const TopicConfig& config, std::string_view topic = "t") {
  auto created = Publisher::create(topic, config);
  if (!created) ADD_FAILURE() << "Publisher::create failed";
  return created ? std::move(*created) : nullptr;
}

inline RingBuffer open_ring(const TempDir& dir, std::string_view topic = "t") {
  auto ring = RingBuffer::open(dir / topic + "/ring.mmap");
  if (!ring) std::abort();
  return std::move(*ring);
}

inline void publish_n(Publisher& publisher, int n) {
  for (int i = 0; i < n; ++i) ASSERT_TRUE(publisher.publish(view(bytes("m" + std::to_string(i))))) << i;
}

}  // namespace qorva::testing_support

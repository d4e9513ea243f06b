// One named group of topics under a base directory, with a cache of the
// publishers it created (at most one per topic).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config.h"
#include "error.h"
#include "publisher.h"
#include "subscriber.h"

namespace qorva {

// Exclusive operations need the bus to themselves; shared ones (const) may
// overlap. The caller (the Python layer's borrows) enforces this.
class Bus {
 public:
  // Cannot fail; touches no file.
  static Bus with_config(std::string name, BusConfig config);

  TopicConfig topic_config() const;

  // Exclusive. Errors of Publisher::create / the publisher's operation.
  Result<Publisher*> create_publisher(std::string_view topic);
  Result<std::unique_ptr<Publisher>> take_publisher(std::string_view topic);
  Result<void> publish(std::string_view topic, std::span<const std::byte> payload);
  Result<std::uint64_t> publish_many(std::string_view topic, std::span<const std::span<const std::byte>> payloads);
  Result<void> wait_for_subscribers(std::string_view topic, std::uint64_t n, Duration timeout);
  Result<void> clean_topic(std::string_view topic);

  // Shared.
  std::optional<TopicStats> stats(std::string_view topic) const;
  std::vector<SlotLag> slow_subscribers(std::string_view topic, std::uint64_t threshold) const;
  Result<std::unique_ptr<Subscriber>> subscribe_timeout(std::string_view topic, Duration timeout) const;
  Result<std::unique_ptr<Subscriber>> subscribe_with_history_timeout(std::string_view topic, std::uint64_t n,
                                                                     Duration timeout) const;
  Result<std::unique_ptr<Subscriber>> subscribe_from_timeout(std::string_view topic, std::uint64_t cursor,
                                                             Duration timeout) const;

  const std::string& name() const { return name_; }
  const BusConfig& config() const { return config_; }

 private:
  // Lets the cache be searched with a string_view, without a copy.
  struct TopicHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view topic) const { return std::hash<std::string_view>{}(topic); }
  };

  Bus(std::string name, BusConfig config) : name_(std::move(name)), config_(std::move(config)) {}
  Publisher* find(std::string_view topic) const;
  // A new publisher of the topic, not cached.
  Result<std::unique_ptr<Publisher>> new_publisher(std::string_view topic) const;
  Result<Publisher*> cached_or_created(std::string_view topic);
  Result<std::unique_ptr<Subscriber>> subscribe_at(std::string_view topic, Duration timeout, StartPosition start) const;

  std::string name_;
  BusConfig config_;
  std::unordered_map<std::string, std::unique_ptr<Publisher>, TopicHash, std::equal_to<>> publishers_;
};

}  // namespace qorva

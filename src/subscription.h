// The core subscription: wraps exactly one Subscriber.
#pragma once

#include <memory>

#include "subscriber.h"

namespace qorva::subscription {

// Owns its subscriber; one call at a time.
class Subscription {
 public:
  explicit Subscription(std::unique_ptr<Subscriber> subscriber) : subscriber_(std::move(subscriber)) {}

  Subscriber& subscriber() { return *subscriber_; }
  const Subscriber& subscriber() const { return *subscriber_; }

  // Non-blocking read of the next message into the caller's buffer; the
  // length, or none. Errors as Subscriber::try_receive_one_into_slice.
  Result<std::optional<std::size_t>> try_receive_into_slice(std::span<std::byte> out) {
    return subscriber_->try_receive_one_into_slice(out);
  }

 private:
  std::unique_ptr<Subscriber> subscriber_;
};

}  // namespace qorva::subscription

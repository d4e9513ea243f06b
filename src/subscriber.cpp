#include "subscriber.h"

#include <unistd.h>

#include "logging.h"
#include "names.h"
#include "ring.h"
#include "sys.h"
#include "waker.h"

namespace qorva {
namespace {

constexpr Duration kConnectRetryInterval = Duration::from_millis(5);

IoError publisher_restarted() { return IoError::fixed(IoKind::UnexpectedEof, io_text::kPublisherRestarted); }

bool is_io_error(const Error& e, const char* text) {
  const auto* io = e.get_if<Error::Io>();
  return io != nullptr && io->error.text() == text;
}

// A wait that ended without a unit: its own timeout, no unit left, or ETIMEDOUT.
bool is_quiet_wait_end(const IoError& e) { return e.kind() == IoKind::WouldBlock || e.kind() == IoKind::TimedOut; }

// Retries opening the ring file every 5 ms until the deadline.
Result<RingBuffer> open_ring_until(const std::string& path, const Deadline& deadline, std::string_view topic) {
  for (;;) {
    if (auto ring = RingBuffer::open(path)) return std::move(*ring);
    if (deadline.passed()) return std::unexpected(Error::ConnectTimeout{std::string(topic)});
    sleep_for(kConnectRetryInterval);
  }
}

// Retries connecting to the publisher's socket every 5 ms until the deadline.
Result<UniqueFd> connect_until(const std::string& path, const Deadline& deadline, std::string_view topic) {
  for (;;) {
    if (auto stream = connect_unix(path)) return std::move(*stream);
    if (deadline.passed()) return std::unexpected(Error::ConnectTimeout{std::string(topic)});
    sleep_for(kConnectRetryInterval);
  }
}

// Holds a claimed cursor slot until the connect succeeds; frees it otherwise,
// so that a failed connect never leaks a slot.
class SlotClaim {
 public:
  SlotClaim(RingBuffer& ring, std::uint32_t idx) : ring_(&ring), idx_(idx) {}
  SlotClaim(const SlotClaim&) = delete;
  SlotClaim& operator=(const SlotClaim&) = delete;
  ~SlotClaim() {
    if (ring_ != nullptr) ring_->release_cursor_slot(idx_);
  }
  std::uint32_t idx() const { return idx_; }
  void keep() { ring_ = nullptr; }

 private:
  RingBuffer* ring_;
  std::uint32_t idx_;
};

// Where reading starts, and what the cursor slot holds until then.
struct Start {
  std::uint64_t cursor = 0;
  std::uint64_t slot_value = 0;
  bool replaying = false;
};

Result<Start> choose_start(const RingBuffer& ring, StartPosition position) {
  const std::uint64_t tail = ring.load_tail();
  switch (position.kind) {
    case StartPosition::Kind::Tail:
      return Start{tail, tail};
    case StartPosition::Kind::History: {
      const std::uint64_t start = position.value > tail ? 0 : tail - position.value;
      return Start{start, start};
    }
    case StartPosition::Kind::From:
      break;
  }
  const std::uint64_t capacity = ring.capacity();
  const std::uint64_t oldest = capacity > tail ? 0 : tail - capacity;
  if (position.value >= oldest) return Start{position.value, position.value};
  return std::unexpected(Error::CursorTooOld{position.value, oldest});
}

}  // namespace

struct Subscriber::State {
  // Torn down in declaration order (see the destructor).
  RingBuffer ring;
  std::uint64_t cursor;
  std::uint32_t cursor_idx;
  std::uint64_t connected_generation;
  UniqueFd stream;
  UniqueFd wake_fd;
  pid_t owner_pid = ::getpid();

  State(RingBuffer r, std::uint64_t c, std::uint32_t idx, std::uint64_t generation, UniqueFd s, UniqueFd w)
      : ring(std::move(r)),
        cursor(c),
        cursor_idx(idx),
        connected_generation(generation),
        stream(std::move(s)),
        wake_fd(std::move(w)) {}

  // The slot is freed first, so the next subscriber may claim it at once. A
  // copy inherited by a forked child only unmaps and closes: the slot belongs
  // to the parent.
  ~State() {
    if (::getpid() == owner_pid) ring.release_cursor_slot(cursor_idx);
    { RingBuffer unmapped = std::move(ring); }
    stream.reset();
    wake_fd.reset();
  }

  bool read_ring(std::vector<std::byte>& out);
  Result<std::optional<std::size_t>> read_ring_into(std::span<std::byte> out);
  Result<bool> wait_readable(int timeout_ms);
  Result<bool> wait_for_unit(int timeout_ms);
  bool generation_changed() const { return ring.load_generation() != connected_generation; }
};

// One read at the cursor. Messages the ring cannot serve are stepped over
// (each step moves the cursor forward, so the loop ends).
bool Subscriber::State::read_ring(std::vector<std::byte>& out) {
  for (;;) {
    const ReadResult r = ring.try_receive(cursor_idx, cursor, out);
    if (r.status == ReadStatus::Empty || r.next_cursor <= cursor) return false;
    cursor = r.next_cursor;
    if (r.status == ReadStatus::Message) return true;
  }
}

Result<std::optional<std::size_t>> Subscriber::State::read_ring_into(std::span<std::byte> out) {
  for (;;) {
    const ReadResult r = ring.try_receive_into_slice(cursor_idx, cursor, out);
    if (r.status == ReadStatus::Empty || r.next_cursor <= cursor) return std::nullopt;
    cursor = r.next_cursor;
    if (r.status == ReadStatus::Message) return r.len;
    if (r.status == ReadStatus::TooShort) return std::unexpected(Error::MessageTooLarge{r.len, out.size()});
  }
}

Result<bool> Subscriber::State::wait_readable(int timeout_ms) {
  const std::uint64_t tail = ring.arm_wakeup(cursor_idx);
  if (cursor < tail) {
    ring.disarm_wakeup(cursor_idx);
    return true;
  }
  Result<bool> woken = wait_for_unit(timeout_ms);
  ring.disarm_wakeup(cursor_idx);
  // A publisher that published its last messages and left while we slept
  // shows both a unit and a hang-up, and the hang-up wins the poll: what it
  // wrote is still in the ring, so that is read first. Once the cursor reaches
  // the tail the hang-up is reported.
  if (!woken && is_io_error(woken.error(), io_text::kPublisherDisconnected) && cursor < ring.load_tail()) return true;
  return woken;
}

Result<bool> Subscriber::State::wait_for_unit(int timeout_ms) {
  if (auto polled = poll_wakeup(wake_fd.get(), stream.get(), timeout_ms); !polled) {
    if (is_quiet_wait_end(polled.error())) return false;
    return io_failure(polled.error());
  }
  if (auto consumed = read_wakeup(wake_fd.get()); !consumed) {
    if (is_quiet_wait_end(consumed.error())) return false;
    return io_failure(consumed.error());
  }
  if (generation_changed()) return io_failure(publisher_restarted());
  return true;
}

Subscriber::Subscriber() = default;
Subscriber::~Subscriber() = default;

Result<std::unique_ptr<Subscriber>> Subscriber::connect_with(std::string_view topic, const TopicConfig& config,
                                                             Duration timeout, StartPosition start) {
  if (auto named = check_topic_name(topic); !named) return io_failure(named.error());
  const std::string dir = join_path(config.dir, topic);
  const Deadline deadline = Deadline::after(timeout);

  auto ring = open_ring_until(join_path(dir, kRingFileName), deadline, topic);
  if (!ring) return std::unexpected(std::move(ring.error()));
  auto claimed = ring->claim_cursor_slot(ring->load_tail());
  if (!claimed) return std::unexpected(Error::TooManySubscribers{ring->max_subscribers()});
  SlotClaim claim(*ring, *claimed);

  auto wake_fd = create_wake_fd();
  if (!wake_fd) return io_failure(wake_fd.error());
  auto stream = connect_until(join_path(dir, kSocketFileName), deadline, topic);
  if (!stream) return std::unexpected(std::move(stream.error()));
  if (auto sent = send_fd(stream->get(), wake_fd->get(), claim.idx()); !sent) return io_failure(sent.error());
  // Counted after the handshake is queued and before the start cursor is read
  // and the flag armed: the publisher's wakeup pass relies on this order.
  ring->add_connect_count();

  auto chosen = choose_start(*ring, start);
  if (!chosen) return std::unexpected(std::move(chosen.error()));
  ring->store_cursor(claim.idx(), chosen->slot_value);
  const std::uint64_t generation = ring->load_generation();
  log_subscriber_connected(topic, chosen->cursor, claim.idx(), generation, chosen->replaying);

  const std::uint32_t idx = claim.idx();
  claim.keep();
  std::unique_ptr<Subscriber> subscriber(new Subscriber());
  subscriber->state_ = std::make_unique<State>(std::move(*ring), chosen->cursor, idx, generation,
                                               std::move(*stream), std::move(*wake_fd));
  return subscriber;
}

Result<void> Subscriber::receive_into(std::vector<std::byte>& out) {
  State& s = *state_;
  out.clear();
  while (!s.read_ring(out)) {
    if (auto waited = s.wait_readable(-1); !waited) return std::unexpected(std::move(waited.error()));
  }
  return {};
}

bool Subscriber::try_receive_into(std::vector<std::byte>& out) {
  out.clear();
  return state_->read_ring(out);
}

Result<bool> Subscriber::receive_timeout_into(Duration timeout, std::vector<std::byte>& out) {
  State& s = *state_;
  out.clear();
  const Deadline deadline = Deadline::after(timeout);
  for (;;) {
    if (s.read_ring(out)) return true;
    const Duration remaining = deadline.remaining();
    if (remaining == Duration{}) return false;
    // Whole milliseconds, rounded down: never waits past the deadline.
    auto woken = s.wait_readable(poll_millis(remaining));
    if (!woken) return std::unexpected(std::move(woken.error()));
    if (!*woken) return false;
  }
}

Result<std::optional<std::size_t>> Subscriber::try_receive_one_into_slice(std::span<std::byte> out) {
  return state_->read_ring_into(out);
}

Result<bool> Subscriber::wait_readable(int timeout_ms) { return state_->wait_readable(timeout_ms); }

Result<std::optional<std::vector<std::byte>>> Subscriber::poll_recv() {
  State& s = *state_;
  if (auto consumed = read_wakeup(s.wake_fd.get()); !consumed) {
    if (consumed.error().kind() == IoKind::WouldBlock) return std::nullopt;
    return io_failure(consumed.error());
  }
  if (s.generation_changed()) {
    log_publisher_restarted(s.connected_generation, s.ring.load_generation(), s.cursor_idx);
    return io_failure(publisher_restarted());
  }
  std::vector<std::byte> message;
  if (!s.read_ring(message)) return std::nullopt;
  return message;
}

bool Subscriber::arm_wakeup() {
  State& s = *state_;
  const std::uint64_t tail = s.ring.arm_wakeup(s.cursor_idx);
  if (s.cursor >= tail) return false;
  s.ring.disarm_wakeup(s.cursor_idx);
  return true;
}

std::expected<bool, IoError> Subscriber::drain_wakeup() {
  auto consumed = read_wakeup(state_->wake_fd.get());
  if (consumed) return true;
  if (consumed.error().kind() == IoKind::WouldBlock) return false;
  return std::unexpected(consumed.error());
}

int Subscriber::wake_fd() const { return state_->wake_fd.get(); }
int Subscriber::stream_fd() const { return state_->stream.get(); }
std::uint64_t Subscriber::cursor() const { return state_->cursor; }
std::uint64_t Subscriber::cursor_idx() const { return state_->cursor_idx; }
std::uint32_t Subscriber::max_payload_size() const { return state_->ring.slot_size(); }

std::uint64_t Subscriber::lag() const {
  const std::uint64_t tail = state_->ring.load_tail();
  return state_->cursor > tail ? 0 : tail - state_->cursor;
}

}  // namespace qorva

#include "start_choice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "publisher.h"
#include "ring.h"
#include "subscriber.h"
#include "support/peers.h"
#include "support/subscriber_fixture.h"
#include "support/transport_support.h"
#include "sys.h"
#include "wal/wal_error.h"

namespace qorva {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

// The subscriber's fixtures, under the name of this unit.
class StartChoiceTest : public SubscriberTest {};
class StartChoiceReplayTest : public SubscriberReplayTest {};

struct StartCase {
  const char* name;
  int published;
  StartPosition start;
  std::uint64_t expected_cursor;
  const char* first_message;  // null: nothing to read yet
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class StartPositions : public SubscriberTest, public testing::WithParamInterface<StartCase> {};

TEST_P(StartPositions, ChooseTheCursorAndTheFirstMessage) {
  const StartCase& c = GetParam();
  start_publisher(8);
  publish_n(c.published);
  auto subscriber = subscribe(c.start);
  EXPECT_EQ(subscriber->cursor(), c.expected_cursor);
  EXPECT_EQ(ring().load_cursor(static_cast<std::uint32_t>(SubscriberPeer::cursor_idx(*subscriber))), c.expected_cursor);
  std::vector<std::byte> out;
  if (c.first_message == nullptr) {
    EXPECT_FALSE(subscriber->try_receive_deferring_error(out));
  } else {
    ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
    EXPECT_EQ(text(out), c.first_message);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, StartPositions,
                         testing::Values(StartCase{"Tail", 5, StartPosition::tail(), 5, nullptr},
                                         StartCase{"HistoryWithinTheRing", 5, StartPosition::history(2), 3, "m3"},
                                         StartCase{"HistoryBeyondTheTail", 5, StartPosition::history(9), 0, "m0"},
                                         // Below the oldest held message, with no log: the start
                                         // is the oldest message the ring holds.
                                         StartCase{"HistoryBeyondTheRing", 12, StartPosition::history(12), 4, "m4"},
                                         StartCase{"FromOldestInRing", 12, StartPosition::from(4), 4, "m4"},
                                         StartCase{"FromAboveTheTail", 3, StartPosition::from(7), 7, nullptr}),
                         [](const testing::TestParamInfo<StartCase>& info) { return info.param.name; });

TEST_F(StartChoiceTest, FromBelowTheRingWithoutLogIsTooOldAndFreesTheSlot) {
  start_publisher(8);
  publish_n(12);
  auto refused = Subscriber::connect_with("t", config_, kSecond, StartPosition::from(3));
  ASSERT_FALSE(refused);
  const auto* too_old = refused.error().get_if<Error::CursorTooOld>();
  ASSERT_NE(too_old, nullptr);
  EXPECT_EQ(too_old->cursor, 3u);
  EXPECT_EQ(too_old->oldest, 4u);
  EXPECT_EQ(ring().load_cursor(0), ring_format::kFreeCursor);
  EXPECT_EQ(SubscriberPeer::cursor_idx(*subscribe()), 0u);
}

TEST_F(StartChoiceTest, FreeMarkerAsStartCursorIsRefusedBeforeAnySlotIsClaimed) {
  start_publisher(8);
  auto refused = Subscriber::connect_with("t", config_, kSecond, StartPosition::from(ring_format::kFreeCursor));
  ASSERT_FALSE(refused);
  const IoError* io = io_error(refused.error());
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->kind(), IoKind::InvalidInput);
  EXPECT_EQ(ring().load_cursor(0), ring_format::kFreeCursor);
  EXPECT_EQ(ring().load_connect_count(), 0u);
}

// Starts at the top of the cursor range, by choice or through a tail word
// that another process wrote: the slot must stay held through the connect and
// a read, or a second subscriber would claim it and lose it when the first
// one leaves.
struct TopOfRangeCase {
  const char* name;
  std::optional<std::uint64_t> tail;  // written over the tail before connecting
  StartPosition start;
};

void PrintTo(const TopOfRangeCase& c, std::ostream* os) { *os << c.name; }

class TopOfRange : public SubscriberTest, public testing::WithParamInterface<TopOfRangeCase> {};

TEST_P(TopOfRange, SlotStaysHeldAndNothingIsRead) {
  const TopOfRangeCase& c = GetParam();
  start_publisher(8);
  publish_n(10);
  if (c.tail) RingBufferPeer::store_tail(ring(), *c.tail);
  auto first = subscribe(c.start);
  ASSERT_NE(first, nullptr);
  const auto idx = static_cast<std::uint32_t>(SubscriberPeer::cursor_idx(*first));
  EXPECT_NE(ring().load_cursor(idx), ring_format::kFreeCursor);
  std::vector<std::byte> out;
  EXPECT_FALSE(first->try_receive_deferring_error(out));
  auto got = first->receive_timeout_into(Duration{}, out);
  ASSERT_TRUE(got);
  EXPECT_FALSE(*got);
  EXPECT_NE(ring().load_cursor(idx), ring_format::kFreeCursor);
  auto second = subscribe();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(SubscriberPeer::cursor_idx(*second), SubscriberPeer::cursor_idx(*first));
  second.reset();
  EXPECT_NE(ring().load_cursor(idx), ring_format::kFreeCursor);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TopOfRange,
    testing::Values(
        TopOfRangeCase{"FromTheLastCursor", std::nullopt, StartPosition::from(ring_format::kFreeCursor - 1)},
        TopOfRangeCase{"FromWithinARingOfTheTop", std::nullopt, StartPosition::from(ring_format::kFreeCursor - 5)},
        TopOfRangeCase{"TailOfAllOnes", ring_format::kFreeCursor, StartPosition::tail()},
        TopOfRangeCase{"HistoryUnderATailOfAllOnes", ring_format::kFreeCursor, StartPosition::history(0)}),
    [](const testing::TestParamInfo<TopOfRangeCase>& info) { return info.param.name; });

TEST_F(StartChoiceTest, FromAboveTheTailReceivesOnceTheTailPassesIt) {
  start_publisher(8);
  auto subscriber = subscribe(StartPosition::from(3));
  publish_n(3);
  std::vector<std::byte> out;
  EXPECT_FALSE(subscriber->try_receive_deferring_error(out));
  EXPECT_EQ(subscriber->lag(), 0u);
  publish("m3");
  ASSERT_TRUE(subscriber->try_receive_deferring_error(out));
  EXPECT_EQ(text(out), "m3");
}

// Writes message `seq` into the ring file as the publisher does, in two
// halves: begin() marks its slot busy, land() stores the payload, clears the
// mark and moves the tail on. A write whose fullness check ran before a new
// subscriber's slot showed goes on like this, whatever the slot says.
class RingWrite {
 public:
  RingWrite(const std::string& path, std::uint64_t seq) : seq_(seq) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) std::abort();
    len_ = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, len_, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED) std::abort();
    base_ = static_cast<std::byte*>(map);
    const std::uint32_t capacity = u32(ring_format::kCapacityOffset);
    slot_ = base_ + ring_format::header_size(u32(ring_format::kMaxSubscribersOffset)) +
            (seq % capacity) * ring_format::stride(u32(ring_format::kSlotSizeOffset));
  }
  RingWrite(const RingWrite&) = delete;
  RingWrite& operator=(const RingWrite&) = delete;
  ~RingWrite() { ::munmap(base_, len_); }

  void begin() { word(slot_ + ring_format::kSeqOffset).store(seq_ | ring_format::kBusyBit); }
  void land(std::string_view payload) {
    begin();
    const auto n = static_cast<std::uint32_t>(payload.size());
    std::memcpy(slot_ + ring_format::kLenOffset, &n, sizeof n);
    std::memcpy(slot_ + ring_format::kPayloadOffset, payload.data(), payload.size());
    word(slot_ + ring_format::kSeqOffset).store(seq_);
    word(base_ + ring_format::kTailOffset).store(seq_ + 1);
  }

 private:
  static std::atomic_ref<std::uint64_t> word(std::byte* at) {
    return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(at));
  }
  std::uint32_t u32(std::size_t offset) const {
    std::uint32_t v = 0;
    std::memcpy(&v, base_ + offset, sizeof v);
    return v;
  }

  std::uint64_t seq_;
  std::byte* base_ = nullptr;
  std::size_t len_ = 0;
  std::byte* slot_ = nullptr;
};

// The ring's oldest message is what a write of the message at the tail goes
// over, and that write may have passed its fullness check before the new
// slot showed, whether or not the tail has moved since the start was chosen.
// A start there is served only if its message is copied out at connect: once
// the write is under way it is too old, and a write that lands after the
// connect takes nothing from it.
TEST_F(StartChoiceTest, AStartAtTheOldestMessageOutlivesTheWriteGoingOverIt) {
  start_publisher(8, 64, 4);
  publish_n(12);  // the ring holds m4..m11; a write of m12 goes over m4
  {
    RingWrite under_way(dir_ / "t/ring.mmap", 12);
    under_way.begin();
    auto refused = Subscriber::connect_with("t", config_, kSecond, StartPosition::from(4));
    const auto* too_old = refused ? nullptr : refused.error().get_if<Error::CursorTooOld>();
    ASSERT_NE(too_old, nullptr);
    EXPECT_EQ(std::pair(too_old->cursor, too_old->oldest), (std::pair<std::uint64_t, std::uint64_t>(4, 5)));
    under_way.land("m12");
  }
  publish("m13");  // the ring holds m6..m13; a write of m14 goes over m6
  auto subscriber = subscribe(StartPosition::from(6));
  RingWrite(dir_ / "t/ring.mmap", 14).land("m14");
  std::vector<std::byte> out;
  for (int i = 6; i <= 14; ++i) {
    auto got = subscriber->receive_timeout_into(kSecond, out);
    ASSERT_TRUE(got && *got) << i;
    EXPECT_EQ(text(out), "m" + std::to_string(i));
  }
}

TEST_F(StartChoiceReplayTest, LogWithoutSegmentsIsNoLog) {
  start_publisher(8);
  publish_n(12);
  std::filesystem::create_directories(dir_ / "t/wal");
  std::ofstream(dir_ / "t/wal/notes.txt") << "x";
  std::ofstream(dir_ / "t/wal/-5.seg") << "x";
  auto refused = Subscriber::connect_with("t", config_, kSecond, StartPosition::from(1));
  ASSERT_FALSE(refused);
  const auto* too_old = refused.error().get_if<Error::CursorTooOld>();
  ASSERT_NE(too_old, nullptr);
  EXPECT_EQ(too_old->oldest, 4u);
}

// A cursor within reach of the ring's tail, but in none of its slots (the
// ring was rebuilt) and below what the log keeps, can be served by neither:
// it is too old for the log, not a start that passes over what follows.
TEST_F(StartChoiceReplayTest, CursorNeitherTheRebuiltRingNorTheLogHoldsIsTooOld) {
  const auto files = sealed_segments_of(300);
  ASSERT_GE(files.size(), 3u);
  for (std::size_t i = 0; i + 2 < files.size(); ++i) std::filesystem::remove(files[i]);
  const std::uint64_t first_logged = std::stoull(files[files.size() - 2].stem().string());
  ASSERT_GT(first_logged, 300u - 64u);
  config_.capacity = 64;  // another geometry: an empty ring under tail 300
  restart_publisher();
  auto refused = Subscriber::connect_with("t", config_, kSecond, StartPosition::from(300 - 64));
  ASSERT_FALSE(refused);
  const auto* wal = refused.error().get_if<Error::Wal>();
  ASSERT_NE(wal, nullptr);
  const auto* too_old = std::get_if<wal::WalError::CursorTooOld>(&wal->error.value);
  ASSERT_NE(too_old, nullptr);
  EXPECT_EQ(too_old->cursor, 300u - 64u);
  EXPECT_EQ(too_old->oldest, first_logged);
}

// Takes every descriptor the process may open but `spare`, until destroyed.
class DescriptorShortage {
 public:
  explicit DescriptorShortage(int spare) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) std::abort();
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 512);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) std::abort();
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken_.push_back(fd);
    for (int i = 0; i < spare && !taken_.empty(); ++i) {
      ::close(taken_.back());
      taken_.pop_back();
    }
  }
  DescriptorShortage(const DescriptorShortage&) = delete;
  DescriptorShortage& operator=(const DescriptorShortage&) = delete;
  ~DescriptorShortage() {
    for (int fd : taken_) ::close(fd);
  }

 private:
  std::vector<int> taken_;
};

// A log that cannot be listed for want of descriptors is no proof that the
// cursor is gone: the connect fails with the log's own error, and succeeds
// once descriptors are free again. Each number of spare descriptors makes the
// connect fail at another step, or not at all.
TEST_F(StartChoiceReplayTest, ALogThatCannotBeListedIsAnErrorNotACursorTooOld) {
  start_logged_publisher();
  publish_n(30);
  restart_publisher();  // the log holds every message
  Child child([&] {
    int log_errors = 0;
    for (int spare = 0; spare <= 8; ++spare) {
      std::optional<Error> failed;
      {
        DescriptorShortage shortage(spare);
        auto connected = Subscriber::connect_with("t", config_, Duration{0, 50'000'000}, StartPosition::from(3));
        if (!connected) failed = std::move(connected.error());
      }
      if (!failed) continue;
      if (failed->get_if<Error::CursorTooOld>() != nullptr) return 1;
      const auto* log = failed->get_if<Error::Wal>();
      const auto* io = log != nullptr ? std::get_if<wal::WalError::Io>(&log->error.value) : nullptr;
      if (io != nullptr && io->error.os_errno() == EMFILE) ++log_errors;
    }
    if (log_errors == 0) return 2;
    auto served = Subscriber::connect_with("t", config_, kSecond, StartPosition::from(3));
    std::vector<std::byte> out;
    return served && (*served)->receive_into(out) && text(out) == "m3" ? 0 : 3;
  });
  EXPECT_EQ(child.wait(30s), 0);
}

}  // namespace
}  // namespace qorva

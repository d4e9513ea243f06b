#include "ring.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/peers.h"
#include "support/temp_dir.h"
#include "support/transport_support.h"
#include "waker.h"

namespace qorva {
namespace {

using testing_support::ChildEnd;
using testing_support::TempDir;

using namespace ring_format;
using Clock = std::chrono::steady_clock;

std::uint64_t peek_u64(const std::string& path, std::uint64_t offset) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::uint64_t v = 0;
  EXPECT_EQ(::pread(fd.get(), &v, sizeof v, static_cast<off_t>(offset)), 8);
  return v;
}

void poke(const std::string& path, std::uint64_t offset, const void* data, std::size_t len) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_EQ(::pwrite(fd.get(), data, len, static_cast<off_t>(offset)), static_cast<ssize_t>(len));
}

void write_file(const std::string& path, const std::vector<std::byte>& bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  ASSERT_EQ(::write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

std::uint64_t slot_offset(const auto& ring, std::uint64_t seq) {
  return RingBufferPeer::header_size(ring) + (seq % ring.capacity()) * ring_format::stride(ring.slot_size());
}

// Message s carries s in its first 8 bytes and a pattern of s after it; its
// length varies with s so that torn copies of two messages differ.
std::vector<std::byte> payload_for(std::uint64_t s, std::uint32_t slot_size) {
  std::size_t len = 8 + s % (slot_size - 7);
  std::vector<std::byte> out(len);
  std::memcpy(out.data(), &s, 8);
  for (std::size_t i = 8; i < len; ++i) out[i] = static_cast<std::byte>(s * 131 + i * 7);
  return out;
}

bool payload_matches(std::span<const std::byte> got, std::uint64_t s, std::uint32_t slot_size) {
  auto want = payload_for(s, slot_size);
  return got.size() == want.size() && std::equal(got.begin(), got.end(), want.begin());
}

void publish_upto(RingWriter& ring, std::uint64_t end) {
  while (ring.load_tail() < end) ring.write_slot(payload_for(ring.load_tail(), ring.slot_size()));
}

RingBuffer must_create(const std::string& path, std::uint32_t capacity, std::uint32_t slot_size,
                       std::uint32_t max_subscribers) {
  auto ring = RingBuffer::create_or_reuse(path, capacity, slot_size, max_subscribers);
  EXPECT_TRUE(ring.has_value()) << ring.error().text();
  return std::move(*ring);
}

// A reader on a mapping of its own, as a subscriber is; empty when the file
// cannot be opened or no slot is free. No test assertion, so that a forked
// child may call it.
std::optional<RingReader> claim_reader(const std::string& path, std::uint64_t start) {
  auto ring = RingBuffer::open(path);
  if (!ring) return std::nullopt;
  return RingReader::claim(std::move(*ring), start);
}

std::optional<std::uint32_t> slot_of(const std::optional<RingReader>& reader) {
  return reader ? std::optional(reader->slot()) : std::nullopt;
}

// A publisher's mapping and a subscriber's own mapping of one new file, the
// subscriber holding the lowest cursor slot.
struct MappedPair {
  RingWriter pub;
  RingReader sub;
};

MappedPair map_pair(const std::string& path, std::uint32_t capacity, std::uint32_t slot_size,
                    std::uint32_t max_subscribers) {
  RingWriter pub(must_create(path, capacity, slot_size, max_subscribers));
  auto sub = claim_reader(path, 0);
  EXPECT_TRUE(sub);
  if (!sub) std::abort();
  return {std::move(pub), std::move(*sub)};
}

// --- File layout ---

TEST(RingFile, DefaultsLayoutByteForByte) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  RingBuffer ring = must_create(path, 256, 65536, 16);
  EXPECT_EQ(file_size(path), 16781632u);
  EXPECT_EQ(RingBufferPeer::header_size(ring), 320u);
  EXPECT_EQ(RingBufferPeer::mapped_size(ring), 16781632u);

  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<unsigned char> header(320);
  ASSERT_EQ(::pread(fd.get(), header.data(), header.size(), 0), 320);
  const unsigned char magic_bytes[] = {0x05, 0x00, 0x00, 0x61, 0x76, 0x72, 0x6f, 0x71};
  EXPECT_EQ(std::memcmp(header.data(), magic_bytes, 8), 0);
  auto u32 = [&](std::size_t off) {
    std::uint32_t v;
    std::memcpy(&v, &header[off], 4);
    return v;
  };
  auto u64 = [&](std::size_t off) {
    std::uint64_t v;
    std::memcpy(&v, &header[off], 8);
    return v;
  };
  EXPECT_EQ(u32(kVersionOffset), 5u);
  EXPECT_EQ(u32(kCapacityOffset), 256u);
  EXPECT_EQ(u32(kSlotSizeOffset), 65536u);
  EXPECT_EQ(u32(kMaxSubscribersOffset), 16u);
  EXPECT_EQ(u64(kGenerationOffset), 1u);
  EXPECT_EQ(u64(kTailOffset), 0u);
  EXPECT_EQ(u64(kConnectCountOffset), 0u);
  for (std::size_t off = kReservedOffset; off < kCursorsOffset; ++off) EXPECT_EQ(header[off], 0) << off;
  for (std::uint32_t i = 0; i < 16; ++i) {
    EXPECT_EQ(u64(cursor_offset(i)), kFreeCursor);
    EXPECT_EQ(u64(wakeup_armed_offset(16, i)), 0u);
  }
  for (std::size_t off = wakeup_armed_offset(16, 16); off < 320; ++off) EXPECT_EQ(header[off], 0);
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}

TEST(RingFile, OpenReadsTheGeometryOfTheFile) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  must_create(path, 7, 5, 3);
  auto ring = RingBuffer::open(path);
  ASSERT_TRUE(ring) << ring.error().text();
  EXPECT_EQ(ring->capacity(), 7u);
  EXPECT_EQ(ring->slot_size(), 5u);
  EXPECT_EQ(ring->max_subscribers(), 3u);
  EXPECT_EQ(RingBufferPeer::header_size(*ring), 128u);
  EXPECT_EQ(file_size(path), 128u + 7 * 24);
}

struct RefusedFile {
  const char* name;
  std::vector<std::byte> (*contents)();
  const char* text;
};

void PrintTo(const RefusedFile& f, std::ostream* os) { *os << f.name; }

std::vector<std::byte> zeros(std::size_t n) { return std::vector<std::byte>(n); }

// A valid header (capacity 4, slot size 8, 1 subscriber) cut or altered.
std::vector<std::byte> header_with(std::uint32_t capacity, std::size_t total_len) {
  std::vector<std::byte> out(total_len);
  std::memcpy(out.data() + kMagicOffset, &kMagic, 8);
  std::uint32_t slot = 8, subs = 1;
  std::memcpy(out.data() + kCapacityOffset, &capacity, 4);
  std::memcpy(out.data() + kSlotSizeOffset, &slot, 4);
  std::memcpy(out.data() + kMaxSubscribersOffset, &subs, 4);
  return out;
}

class RingOpenRefuses : public testing::TestWithParam<RefusedFile> {};

TEST_P(RingOpenRefuses, WithInvalidData) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  write_file(path, GetParam().contents());
  auto ring = RingBuffer::open(path);
  ASSERT_FALSE(ring);
  EXPECT_EQ(ring.error().kind(), IoKind::InvalidData);
  EXPECT_EQ(ring.error().text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RingOpenRefuses,
    testing::Values(
        RefusedFile{"ZeroFilledHeader", [] { return zeros(320); },
                    "qorva: unrecognised magic 0x0000000000000000 (want 0x716f727661000005; is this an older format?)"},
        RefusedFile{"ForeignMagic",
                    [] {
                      auto f = zeros(4096);
                      std::uint64_t m = 0x0123456789abcdef;
                      std::memcpy(f.data(), &m, 8);
                      return f;
                    },
                    "qorva: unrecognised magic 0x0123456789abcdef (want 0x716f727661000005; is this an older format?)"},
        RefusedFile{"Empty", [] { return zeros(0); }, ring_text::kShortFile},
        RefusedFile{"ShorterThanFixedHeader", [] { return header_with(4, 63); }, ring_text::kShortFile},
        RefusedFile{"ZeroCapacity", [] { return header_with(0, 4096); }, ring_text::kZeroCapacity},
        // 128 + 4 * 24 = 224 bytes needed.
        RefusedFile{"TruncatedSlots", [] { return header_with(4, 223); }, ring_text::kShortFile},
        RefusedFile{"HeaderOnly", [] { return header_with(4, 128); }, ring_text::kShortFile},
        RefusedFile{"GeometryBeyond64Bits",
                    [] {
                      auto f = header_with(0xFFFFFFFF, 4096);
                      std::uint32_t slot = 0xFFFFFFFF;
                      std::memcpy(f.data() + kSlotSizeOffset, &slot, 4);
                      return f;
                    },
                    ring_text::kShortFile}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RingFile, OpenOfExactGeometryLengthSucceeds) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  write_file(path, header_with(4, 224));
  EXPECT_TRUE(RingBuffer::open(path));
}

TEST(RingFile, OpenOfMissingFileGivesTheOsError) {
  TempDir dir;
  auto ring = RingBuffer::open(dir.file("ring.mmap"));
  ASSERT_FALSE(ring);
  EXPECT_EQ(ring.error().kind(), IoKind::NotFound);
  EXPECT_EQ(ring.error().text(), "No such file or directory (os error 2)");
}

TEST(RingFile, CreateRefusesGeometriesThatCannotMakeARing) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  struct Case {
    std::uint32_t capacity, slot_size, subscribers;
  };
  for (Case c : {Case{0, 64, 1}, Case{0xFFFFFFFF, 0xFFFFFFFF, 16}, Case{0xFFFFFFFF, 0xFFFFFFF0, 0xFFFFFFFF}}) {
    auto ring = RingBuffer::create_or_reuse(path, c.capacity, c.slot_size, c.subscribers);
    ASSERT_FALSE(ring);
    EXPECT_EQ(ring.error().kind(), IoKind::InvalidInput);
    EXPECT_EQ(ring.error().text(), "out of range integral type conversion attempted");
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  // A u32 slot size near 2^32 must not wrap the stride.
  EXPECT_EQ(ring_format::stride(0xFFFFFFF0), 0xFFFFFFF0ull + 16);
}

TEST(RingFile, CreateInAMissingDirectoryGivesTheOsError) {
  TempDir dir;
  auto ring = RingBuffer::create_or_reuse(dir.file("absent/ring.mmap"), 4, 8, 1);
  ASSERT_FALSE(ring);
  EXPECT_EQ(ring.error().kind(), IoKind::NotFound);
}

TEST(RingFile, ReuseOfTheSameGeometryKeepsSlotsAndBumpsGeneration) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  std::optional<RingReader> holder;  // never released while the file is reused
  {
    RingWriter first(must_create(path, 4, 16, 2));
    holder = claim_reader(path, 0);
    ASSERT_EQ(slot_of(holder), 0u);
    holder->store_cursor(3);
    publish_upto(first, 3);
    holder->add_connect_count();
  }
  RingBuffer again = must_create(path, 4, 16, 2);
  EXPECT_EQ(again.load_generation(), 2u);
  EXPECT_EQ(again.load_tail(), 0u);
  EXPECT_EQ(again.load_cursor(0), 3u);
  EXPECT_EQ(again.load_cursor(1), kFreeCursor);
  EXPECT_EQ(peek_u64(path, slot_offset(again, 2)), 2u);  // slot contents stay
  EXPECT_EQ(again.load_connect_count(), 1u);
  EXPECT_EQ(must_create(path, 4, 16, 2).load_generation(), 3u);
}

TEST(RingFile, AnotherGeometryOrAForeignFileIsRecreated) {
  struct Case {
    const char* what;
    std::uint32_t capacity, slot_size, subscribers;
  };
  for (Case c : {Case{"capacity", 8, 16, 2}, Case{"slot size", 4, 32, 2}, Case{"subscribers", 4, 16, 3}}) {
    TempDir dir;
    const auto path = dir.file("ring.mmap");
    std::optional<RingReader> holder;  // still holds its slot of the old file
    {
      RingWriter first(must_create(path, 4, 16, 2));
      holder = claim_reader(path, 0);
      publish_upto(first, 5);
      must_create(path, 4, 16, 2);  // generation 2
    }
    RingBuffer fresh = must_create(path, c.capacity, c.slot_size, c.subscribers);
    EXPECT_EQ(fresh.load_generation(), 1u) << c.what;
    EXPECT_EQ(fresh.load_tail(), 0u) << c.what;
    for (std::uint32_t i = 0; i < c.subscribers; ++i) EXPECT_EQ(fresh.load_cursor(i), kFreeCursor) << c.what;
    EXPECT_EQ(file_size(path), *file_length(c.capacity, c.slot_size, c.subscribers)) << c.what;
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
  }
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  write_file(path, zeros(10));
  RingBuffer fresh = must_create(path, 4, 16, 2);
  EXPECT_EQ(fresh.load_generation(), 1u);
  EXPECT_EQ(fresh.load_cursor(1), kFreeCursor);
}

std::uint64_t allocated_bytes(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
}

// Writing into a hole of a mapped file on a full disk is a SIGBUS; a ring
// with every block allocated never meets one.
TEST(RingFile, FreshAndReusedRingsHoldAllTheirBlocks) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  const std::uint64_t len = *file_length(64, 4096, 4);
  must_create(path, 64, 4096, 4);
  EXPECT_GE(allocated_bytes(path), len);
  // A ring that an older version left sparse gets its blocks when reused.
  {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    const auto slots = static_cast<off_t>(len - 4096);
    ASSERT_EQ(::fallocate(fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 4096, slots), 0);
  }
  ASSERT_LT(allocated_bytes(path), len);
  RingBuffer reused = must_create(path, 64, 4096, 4);
  EXPECT_EQ(reused.load_generation(), 2u);
  EXPECT_GE(allocated_bytes(path), len);
}

// What sits at the ring's name and is no regular file is refused, neither
// followed nor waited on nor replaced; the publisher of another topic whose
// ring a link points at keeps its header.
TEST(RingFile, ALinkOrAFileThatIsNotRegularIsRefusedAndLeftInPlace) {
  TempDir dir;
  const auto other = dir.file("other.mmap");
  must_create(other, 4, 16, 2);
  const auto path = dir.file("ring.mmap");
  using Path = const std::string&;
  struct Case {
    const char* what;
    int (*plant)(Path path, Path other);
  };
  const Case cases[] = {
      {"link to another ring", [](Path p, Path o) { return ::symlink(o.c_str(), p.c_str()); }},
      {"dangling link", [](Path p, Path o) { return ::symlink((o + ".gone").c_str(), p.c_str()); }},
      {"fifo", [](Path p, Path) { return ::mkfifo(p.c_str(), 0666); }},
      {"directory", [](Path p, Path) { return ::mkdir(p.c_str(), 0777); }},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.plant(path, other), 0) << c.what;
    EXPECT_FALSE(RingBuffer::open(path)) << c.what;
    EXPECT_FALSE(RingBuffer::create_or_reuse(path, 4, 16, 2)) << c.what;
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0) << c.what;
    EXPECT_FALSE(S_ISREG(st.st_mode)) << c.what;
    EXPECT_FALSE(std::filesystem::exists(path + ".new")) << c.what;
    std::filesystem::remove(path);
  }
  EXPECT_EQ(peek_u64(other, kGenerationOffset), 1u);
  EXPECT_FALSE(std::filesystem::exists(other + ".gone"));
}

// A subscriber of an earlier publisher keeps its mapping while a publisher with
// another geometry re-creates the file: it must neither fault on pages past the
// new end nor land its stores in the new file.
TEST(RingFile, RecreationLeavesAnOldMappingWholeAndApart) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  auto [old_pub, old_sub] = map_pair(path, 64, 1024, 4);
  publish_upto(old_pub, 63);

  RingBuffer fresh = must_create(path, 2, 8, 1);
  ASSERT_LT(file_size(path), 4096u);

  std::vector<std::byte> buf;
  auto r = old_sub.try_receive(62, buf);  // the last slot of the old geometry
  EXPECT_EQ(r.status, ReadStatus::Message);
  EXPECT_TRUE(payload_matches(buf, 62, 1024));
  old_sub.store_cursor(63);
  old_pub.write_slot(payload_for(63, 1024));
  EXPECT_EQ(old_sub.load_tail(), 64u);

  EXPECT_EQ(fresh.load_tail(), 0u);
  EXPECT_EQ(fresh.load_cursor(0), kFreeCursor);
  auto reopened = RingBuffer::open(path);
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->capacity(), 2u);
}

// --- Reads ---

class RingRead : public testing::Test {
 protected:
  // Capacity 4, slot size 32, 2 cursor slots; the reader holds slot 0.
  void SetUp() override {
    writer_.emplace(must_create(path_, 4, 32, 2));
    reader_ = claim_reader(path_, 0);
    ASSERT_EQ(slot_of(reader_), 0u);
  }
  void forge_seq(std::uint64_t slot_of, std::uint64_t value) {
    poke(path_, slot_offset(*writer_, slot_of), &value, sizeof value);
  }
  void forge_len(std::uint64_t slot_of, std::uint32_t len) {
    poke(path_, slot_offset(*writer_, slot_of) + kLenOffset, &len, sizeof len);
  }
  ReadResult read(std::uint64_t cursor) { return reader_->try_receive(cursor, buf_); }
  void expect(ReadResult r, ReadStatus status, std::uint64_t next) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.next_cursor, next);
  }

  TempDir dir_;
  std::string path_ = dir_.file("ring.mmap");
  std::optional<RingWriter> writer_;
  std::optional<RingReader> reader_;
  std::vector<std::byte> buf_;
};

TEST_F(RingRead, AtTheTailGivesNothingAndStoresNothing) {
  publish_upto(*writer_, 2);
  reader_->store_cursor(77);
  expect(read(2), ReadStatus::Empty, 2);
  expect(read(5), ReadStatus::Empty, 5);
  EXPECT_EQ(reader_->load_cursor(), 77u);
}

TEST_F(RingRead, BelowTheTailGivesTheMessageAndStoresTheNextCursor) {
  publish_upto(*writer_, 3);
  auto r = read(1);
  expect(r, ReadStatus::Message, 2);
  EXPECT_EQ(r.len, payload_for(1, 32).size());
  EXPECT_TRUE(payload_matches(buf_, 1, 32));
  EXPECT_EQ(reader_->load_cursor(), 2u);
}

TEST_F(RingRead, EmptyMessageIsAMessage) {
  writer_->write_slot({});
  buf_.assign(5, std::byte{1});
  auto r = read(0);
  expect(r, ReadStatus::Message, 1);
  EXPECT_EQ(r.len, 0u);
  EXPECT_TRUE(buf_.empty());
}

TEST_F(RingRead, ReaderMoreThanARingBehindMovesToTheOldestMessage) {
  publish_upto(*writer_, 10);  // slots hold 8, 9, 6, 7
  for (std::uint64_t cursor : {0, 1, 5}) {
    expect(read(cursor), ReadStatus::Message, 7);
    EXPECT_TRUE(payload_matches(buf_, 6, 32));
    EXPECT_EQ(reader_->load_cursor(), 7u);
  }
}

// Message 2 is being overwritten by message 6: it is gone whether or not that
// writer lives, so a reader never spins on it across calls.
TEST_F(RingRead, SlotStillBeingOverwrittenAfterEveryAttemptIsSkipped) {
  publish_upto(*writer_, 6);
  forge_seq(2, 6 | kBusyBit);
  expect(read(2), ReadStatus::Skipped, 3);
  EXPECT_EQ(reader_->load_cursor(), 3u);
  forge_seq(3, 7 | kBusyBit);
  expect(read(3), ReadStatus::Skipped, 4);
}

// Message 6 is written over message 2 but the tail does not show it yet (or
// never will: its writer died between the two stores). Message 6 is not read
// early, and message 2 is gone.
TEST_F(RingRead, MessageAtTheTailIsNotReadBeforeTheTailShowsIt) {
  publish_upto(*writer_, 6);
  forge_seq(2, 6);
  expect(read(2), ReadStatus::Skipped, 3);
  expect(read(3), ReadStatus::Message, 4);
  EXPECT_TRUE(payload_matches(buf_, 3, 32));
}

// A fresh ring under a log that holds messages 0 to 2: the ring holds none of
// them, not even an empty message 0.
TEST_F(RingRead, FreshSlotsBelowATailRaisedWithinTheFirstLapAreSkipped) {
  RingBufferPeer::store_tail(*writer_, 3);
  expect(read(0), ReadStatus::Skipped, 3);
  EXPECT_EQ(reader_->load_cursor(), 3u);
  publish_upto(*writer_, 5);  // message 4 overwrites slot 0
  expect(read(3), ReadStatus::Message, 4);
  expect(read(4), ReadStatus::Message, 5);
  EXPECT_TRUE(payload_matches(buf_, 4, 32));
}

TEST_F(RingRead, FreshRingDeliversAnEmptyFirstMessage) {
  expect(read(0), ReadStatus::Empty, 0);
  writer_->write_slot({});
  expect(read(0), ReadStatus::Message, 1);
  EXPECT_TRUE(buf_.empty());
}

// A ring re-created under a log: the tail is raised over zeroed slots.
TEST_F(RingRead, ZeroedSlotsBelowARaisedTailAreSkipped) {
  RingBufferPeer::store_tail(*writer_, 100);
  expect(read(97), ReadStatus::Skipped, 100);
  EXPECT_EQ(reader_->load_cursor(), 100u);
  expect(read(100), ReadStatus::Empty, 100);
  writer_->write_slot(payload_for(100, 32));
  expect(read(97), ReadStatus::Message, 101);
  EXPECT_TRUE(payload_matches(buf_, 100, 32));
}

// A new publisher numbers from below what the slots hold (a lost log tail):
// those messages are in no log and must not be delivered.
TEST_F(RingRead, SlotsOfAHigherNumberingAreSkippedNotDelivered) {
  publish_upto(*writer_, 10);  // slots hold 8, 9, 6, 7
  RingBufferPeer::store_tail(*writer_, 5);
  expect(read(2), ReadStatus::Skipped, 5);
  EXPECT_EQ(reader_->load_cursor(), 5u);
  writer_->write_slot(payload_for(5, 32));
  expect(read(5), ReadStatus::Message, 6);
  EXPECT_TRUE(payload_matches(buf_, 5, 32));
}

// A publisher killed in the middle of a write leaves the slot busy below the tail.
TEST_F(RingRead, SlotLeftBusyByADeadWriterIsSkipped) {
  publish_upto(*writer_, 6);
  forge_seq(4, 4 | kBusyBit);
  expect(read(4), ReadStatus::Message, 6);
  EXPECT_TRUE(payload_matches(buf_, 5, 32));
  forge_seq(5, 5 | kBusyBit);
  expect(read(5), ReadStatus::Skipped, 6);
}

TEST_F(RingRead, StableSlotWithAnImpossibleLengthIsSkipped) {
  publish_upto(*writer_, 2);
  forge_len(1, 33);
  expect(read(1), ReadStatus::Skipped, 2);
  EXPECT_EQ(reader_->load_cursor(), 2u);
}

TEST_F(RingRead, IntoASliceOneByteShortTheMessageIsConsumedUncopied) {
  publish_upto(*writer_, 3);
  const auto want = payload_for(1, 32);
  std::vector<std::byte> slice(want.size() - 1, std::byte{0xEE});
  auto r = reader_->try_receive_into_slice(1, slice);
  expect(r, ReadStatus::TooShort, 2);
  EXPECT_EQ(r.len, want.size());
  EXPECT_EQ(reader_->load_cursor(), 2u);
  EXPECT_TRUE(std::all_of(slice.begin(), slice.end(), [](std::byte b) { return b == std::byte{0xEE}; }));

  std::vector<std::byte> exact(payload_for(2, 32).size() + 3, std::byte{0xEE});
  r = reader_->try_receive_into_slice(2, exact);
  expect(r, ReadStatus::Message, 3);
  EXPECT_TRUE(payload_matches(std::span(exact).first(r.len), 2, 32));
  EXPECT_EQ(exact.back(), std::byte{0xEE});
}

// The three ways slots can hold another numbering than the tail's, read from
// another process: every read call makes progress, the reader reaches the
// tail in a bounded number of calls, and what it gets is the current numbering.
TEST(RingRecovery, ForkedReaderNeverStallsOnAnotherNumbering) {
  struct Case {
    const char* what;
    void (*prepare)(RingWriter&, const std::string& path);
    std::uint64_t start;
  };
  const Case cases[] = {
      {"zeroed slots under a raised tail",
       [](RingWriter& r, const std::string&) { RingBufferPeer::store_tail(r, 1000); }, 990},
      {"fresh slots under a tail raised within the first lap",
       [](RingWriter& r, const std::string&) { RingBufferPeer::store_tail(r, 3); }, 0},
      {"slots numbered above the tail",
       [](RingWriter& r, const std::string&) {
         publish_upto(r, 40);
         RingBufferPeer::store_tail(r, 20);
       },
       12},
      {"slot written by a writer that died before its tail store",
       [](RingWriter& r, const std::string& path) {
         publish_upto(r, 20);
         std::uint64_t written = 20;
         poke(path, slot_offset(r, 20), &written, sizeof written);
       },
       12},
      {"slot left busy by a dead writer",
       [](RingWriter& r, const std::string& path) {
         publish_upto(r, 20);
         std::uint64_t busy = 17 | kBusyBit;
         poke(path, slot_offset(r, 17), &busy, sizeof busy);
       },
       14},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const auto path = dir.file("ring.mmap");
    RingWriter pub(must_create(path, 8, 32, 1));
    c.prepare(pub, path);
    const std::uint64_t tail = pub.load_tail();
    const ChildEnd end = testing_support::run_in_child([&] {
      auto reader = claim_reader(path, c.start);
      if (slot_of(reader) != 0u) return 2;
      std::vector<std::byte> buf;
      std::uint64_t cursor = c.start;
      for (int call = 0; call < 64 && cursor < tail; ++call) {
        ReadResult r = reader->try_receive(cursor, buf);
        if (r.status == ReadStatus::Empty || r.next_cursor <= cursor || r.next_cursor > tail) return 3;
        if (r.status == ReadStatus::Message && !payload_matches(buf, r.next_cursor - 1, 32)) return 4;
        if (reader->load_cursor() != r.next_cursor) return 5;
        cursor = r.next_cursor;
      }
      return cursor == tail ? 0 : 6;
    });
    EXPECT_EQ(end, ChildEnd::exited(0)) << c.what;
  }
}

// --- Cursor slots and wakeup flags ---

TEST(RingSlots, ClaimTakesTheLowestFreeSlotAndClearsItsFlag) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  RingBuffer ring = must_create(path, 4, 8, 3);
  RingBufferPeer::store_wakeup_armed(ring, 1, 1);
  auto first = claim_reader(path, 5);
  EXPECT_EQ(slot_of(first), 0u);
  auto second = claim_reader(path, 6);
  EXPECT_EQ(slot_of(second), 1u);
  EXPECT_EQ(RingBufferPeer::exchange_wakeup_armed(ring, 1, 0), 0u);
  auto third = claim_reader(path, 7);
  EXPECT_EQ(slot_of(third), 2u);
  EXPECT_EQ(slot_of(claim_reader(path, 8)), std::nullopt);
  EXPECT_EQ(ring.load_cursor(1), 6u);
  second.reset();
  EXPECT_EQ(ring.load_cursor(1), kFreeCursor);
  second = claim_reader(path, 9);
  EXPECT_EQ(slot_of(second), 1u);
  std::uint64_t expected = 3;
  EXPECT_FALSE(RingBufferPeer::compare_exchange_cursor(ring, 0, expected, 4));
  EXPECT_EQ(expected, 5u);

  TempDir other;
  must_create(other.file("ring.mmap"), 4, 8, 0);
  EXPECT_EQ(slot_of(claim_reader(other.file("ring.mmap"), 0)), std::nullopt);
}

// A lock on cursor word i through an open file description of its own, as a
// claimant or holder in another process takes it.
class ForeignSlotLock {
 public:
  explicit ForeignSlotLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
  bool lock(std::uint32_t i) { return set(i, F_WRLCK); }
  void unlock(std::uint32_t i) { set(i, F_UNLCK); }

 private:
  bool set(std::uint32_t i, short type) {
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = static_cast<off_t>(cursor_offset(i));
    l.l_len = 8;
    return ::fcntl(fd_.get(), F_OFD_SETLK, &l) == 0;
  }
  UniqueFd fd_;
};

TEST(RingSlots, AClaimHoldsItsSlotsLockUntilTheRelease) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  RingBuffer pub = must_create(path, 4, 8, 3);
  ForeignSlotLock other(path);
  ASSERT_TRUE(other.lock(0));  // someone else claiming slot 0 right now
  auto sub = claim_reader(path, 5);
  EXPECT_EQ(slot_of(sub), 1u);
  EXPECT_EQ(pub.load_cursor(0), kFreeCursor);
  other.unlock(0);
  EXPECT_FALSE(other.lock(1));
  EXPECT_EQ(pub.load_cursor(1), 5u);
  sub.reset();
  EXPECT_EQ(pub.load_cursor(1), kFreeCursor);
  EXPECT_TRUE(other.lock(1));
}

// Frees slot 0 through the publisher's mapping after `hold` left it as its
// case has it; `hold` returns whatever must stay alive meanwhile.
struct FreeCase {
  const char* what;
  std::function<std::shared_ptr<void>(const std::string& path)> hold;
  bool freed;
};

// A process that claims slot 0 through a mapping of its own and forks a child
// that lives on (`child_lives`) or exits at once; then the process itself
// lives on (`parent_lives`) or ends without releasing the slot.
std::shared_ptr<void> claim_and_fork(const std::string& path, bool parent_lives, bool child_lives) {
  using testing_support::Channel;
  auto child_pid = std::make_shared<Channel>();
  auto past_fork = std::make_shared<Channel>();
  auto holder = std::make_shared<testing_support::Child>([=] {
    auto reader = claim_reader(path, 7);
    if (slot_of(reader) != 0u) return 2;
    testing_support::ChildProcess child([=] {
      past_fork->send(0);  // past fork(), as any code of its own is
      if (child_lives) std::this_thread::sleep_for(std::chrono::seconds(30));
      return 0;  // the copy of the mapping is never released
    });
    const pid_t child_pid_value = child.pid();
    if (!past_fork->receive(10000)) return 3;
    if (!child_lives) child.wait(std::chrono::seconds(10));
    child_pid->send(static_cast<std::uint64_t>(child_pid_value));
    if (parent_lives) std::this_thread::sleep_for(std::chrono::seconds(30));
    ::_exit(0);
  });
  const auto pid = child_pid->receive(10000);
  EXPECT_TRUE(pid);
  if (!parent_lives) holder->wait(std::chrono::seconds(5));
  // Ends the holder, then the child it forked, whatever the case left running
  // (an ended child was reaped by the holder: its number may be reused).
  return std::shared_ptr<void>(nullptr, [holder, pid, child_lives](void*) mutable {
    holder.reset();
    if (pid && child_lives) ::kill(static_cast<pid_t>(*pid), SIGKILL);
  });
}

TEST(RingSlots, OnlyASlotWhoseHolderIsGoneIsFreed) {
  const FreeCase cases[] = {
      {"free", [](const std::string&) { return std::shared_ptr<void>(); }, false},
      {"held through a live mapping in this process",
       [](const std::string& path) {
         auto reader = std::make_shared<std::optional<RingReader>>(claim_reader(path, 7));
         EXPECT_EQ(slot_of(*reader), 0u);
         return std::shared_ptr<void>(reader);
       },
       false},
      {"held by a process that ended without releasing it",
       [](const std::string& path) { return claim_and_fork(path, false, false); }, true},
      {"held by a live process whose forked child has ended",
       [](const std::string& path) { return claim_and_fork(path, true, false); }, false},
      {"held by a process that ended while its forked child lives",
       [](const std::string& path) { return claim_and_fork(path, false, true); }, true},
  };
  for (const FreeCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const auto path = dir.file("ring.mmap");
    RingWriter pub(must_create(path, 4, 8, 2));
    auto kept = c.hold(path);
    const std::uint64_t before = pub.load_cursor(0);
    EXPECT_EQ(pub.free_if_holder_gone(0), c.freed);
    EXPECT_EQ(pub.load_cursor(0), c.freed ? kFreeCursor : before);
    // A newcomer gets the slot exactly when it was freed.
    EXPECT_EQ(slot_of(claim_reader(path, 9)), c.freed || before == kFreeCursor ? 0u : 1u);
  }
}

TEST(RingSlots, WakeupRequestIsTakenOnce) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  RingWriter ring(must_create(path, 4, 8, 2));
  auto idle = claim_reader(path, 0);
  auto sub = claim_reader(path, 0);
  ASSERT_EQ(slot_of(sub), 1u);
  publish_upto(ring, 3);
  EXPECT_EQ(sub->arm_wakeup(), 3u);
  EXPECT_FALSE(ring.take_wakeup_request(0));
  EXPECT_TRUE(ring.take_wakeup_request(1));
  EXPECT_FALSE(ring.take_wakeup_request(1));
  sub->arm_wakeup();
  sub->disarm_wakeup();
  EXPECT_FALSE(ring.take_wakeup_request(1));
}

TEST(RingSlots, ConnectCountCountsAcrossMappings) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  RingWriter pub(must_create(path, 4, 8, 2));
  auto sub = claim_reader(path, 0);
  ASSERT_TRUE(sub);
  EXPECT_EQ(pub.load_connect_count(), 0u);
  EXPECT_EQ(sub->add_connect_count(), 0u);
  EXPECT_EQ(sub->add_connect_count(), 1u);
  EXPECT_EQ(pub.load_connect_count(), 2u);
  EXPECT_EQ(peek_u64(path, kConnectCountOffset), 2u);
}

// --- Concurrency ---

struct ReaderTally {
  std::uint64_t received = 0;
  std::uint64_t lost = 0;  // skipped by laps
  std::uint64_t laps = 0;
  std::uint64_t faults = 0;  // corrupt payload, wrong order or a skip
  bool finished = false;
};

struct ReadPlan {
  // The writer may overwrite unread slots: laps and skips are losses, not faults.
  bool overwrite = false;
  // Sleep 200 us after every this many messages (0: never), to be lapped.
  std::uint64_t pause_every = 0;
  // Read into a slice of this length (0: into a vector). Longer messages must
  // be reported TooShort with their true length.
  std::size_t slice_len = 0;
};

// Reads from `cursor` until `end`, checking every message; bounded by a deadline.
ReaderTally read_until(RingReader& ring, std::uint64_t cursor, std::uint64_t end, ReadPlan plan = {}) {
  ReaderTally t;
  std::vector<std::byte> buf(plan.slice_len);
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (cursor < end && Clock::now() < deadline) {
    ReadResult r = plan.slice_len == 0 ? ring.try_receive(cursor, buf) : ring.try_receive_into_slice(cursor, buf);
    if (r.status == ReadStatus::Empty) {
      std::this_thread::yield();
      continue;
    }
    if (r.status == ReadStatus::Skipped) {
      if (!plan.overwrite || r.next_cursor <= cursor) ++t.faults;
      t.lost += r.next_cursor - cursor;
      cursor = r.next_cursor;
      continue;
    }
    const std::uint64_t seq = r.next_cursor - 1;
    const bool intact = r.status == ReadStatus::Message
                            ? payload_matches(std::span(buf).first(r.len), seq, ring.slot_size())
                            : r.len > plan.slice_len && r.len == payload_for(seq, ring.slot_size()).size();
    if (!intact || seq < cursor || (seq > cursor && !plan.overwrite)) ++t.faults;
    if (seq > cursor) {
      ++t.laps;
      t.lost += seq - cursor;
    }
    ++t.received;
    cursor = r.next_cursor;
    if (plan.pause_every != 0 && t.received % plan.pause_every == 0)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  t.finished = cursor == end;
  return t;
}

// The writer waits while the slowest held cursor is a whole ring behind.
void publish_with_backpressure(RingWriter& ring, std::uint64_t count) {
  auto deadline = Clock::now() + std::chrono::seconds(60);
  for (std::uint64_t s = 0; s < count && Clock::now() < deadline;) {
    std::uint64_t slowest = s;
    for (std::uint32_t i = 0; i < ring.max_subscribers(); ++i) {
      std::uint64_t c = ring.load_cursor(i);
      if (c != kFreeCursor) slowest = std::min(slowest, c);
    }
    if (s - slowest >= ring.capacity()) {
      std::this_thread::yield();
      continue;
    }
    ring.write_slot(payload_for(s, ring.slot_size()));
    ++s;
  }
}

TEST(RingConcurrent, ReadersUnderOverwriteGetIntactMessagesInOrderAndCountTheirLaps) {
  TempDir dir;
  RingWriter writer(must_create(dir.file("ring.mmap"), 8, 64, 4));
  constexpr std::uint64_t kMessages = 100000;
  constexpr int kReaders = 3;
  std::vector<ReaderTally> tallies(kReaders);
  std::vector<RingReader> readers;
  for (int i = 0; i < kReaders; ++i) {
    auto reader = claim_reader(dir.file("ring.mmap"), 0);
    ASSERT_EQ(slot_of(reader), static_cast<std::uint32_t>(i));
    readers.push_back(std::move(*reader));
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i)
    threads.emplace_back([&, i] {
      // The last reader reads into a slice too short for the longer messages.
      tallies[i] = read_until(readers[i], 0, kMessages,
                              {.overwrite = true, .pause_every = 512, .slice_len = i == kReaders - 1 ? 36u : 0u});
    });
  for (std::uint64_t s = 0; s < kMessages; ++s) writer.write_slot(payload_for(s, 64));
  for (auto& t : threads) t.join();

  std::uint64_t laps = 0;
  for (const auto& t : tallies) {
    EXPECT_TRUE(t.finished);
    EXPECT_EQ(t.faults, 0u);
    EXPECT_EQ(t.received + t.lost, kMessages);
    laps += t.laps;
  }
  EXPECT_GT(laps, 0u);  // pausing readers are lapped
}

// A two-slot ring overwritten as fast as it is read: a reader into a short
// slice is lapped in the middle of most reads, and must still report each
// too-long message with that message's own length.
TEST(RingConcurrent, SliceReaderRacingTheWriterReportsTrueLengths) {
  TempDir dir;
  auto [writer, reader] = map_pair(dir.file("ring.mmap"), 2, 16, 1);
  constexpr std::uint64_t kMessages = 400000;
  ReaderTally tally;
  std::thread t([&] { tally = read_until(reader, 0, kMessages, {.overwrite = true, .slice_len = 12}); });
  for (std::uint64_t s = 0; s < kMessages; ++s) writer.write_slot(payload_for(s, 16));
  t.join();
  EXPECT_TRUE(tally.finished);
  EXPECT_GT(tally.received, 0u);
  EXPECT_EQ(tally.faults, 0u);
  EXPECT_EQ(tally.received + tally.lost, kMessages);
}

TEST(RingConcurrent, ReadersHeldBackByTheWriterGetEveryMessage) {
  TempDir dir;
  RingWriter writer(must_create(dir.file("ring.mmap"), 4, 48, 3));
  constexpr std::uint64_t kMessages = 30000;
  std::vector<ReaderTally> tallies(3);
  std::vector<RingReader> readers;
  for (int i = 0; i < 3; ++i) {
    auto reader = claim_reader(dir.file("ring.mmap"), 0);
    ASSERT_TRUE(reader);
    readers.push_back(std::move(*reader));
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([&, i] { tallies[i] = read_until(readers[i], 0, kMessages); });
  publish_with_backpressure(writer, kMessages);
  for (auto& t : threads) t.join();
  for (const auto& t : tallies) {
    EXPECT_TRUE(t.finished);
    EXPECT_EQ(t.faults, 0u);
    EXPECT_EQ(t.laps, 0u);
    EXPECT_EQ(t.received, kMessages);
  }
}

TEST(RingConcurrent, ForkedReaderGetsEveryMessage) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  RingWriter writer(must_create(path, 16, 128, 2));
  constexpr std::uint64_t kMessages = 20000;
  // The child maps the file itself, as a subscriber in another process does.
  testing_support::ChildProcess child([&] {
    auto reader = claim_reader(path, 0);
    if (!reader) return 2;
    ReaderTally t = read_until(*reader, 0, kMessages);
    return t.finished && t.faults == 0 && t.laps == 0 && t.received == kMessages ? 0 : 4;
  });
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (writer.load_cursor(0) == kFreeCursor && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  publish_with_backpressure(writer, kMessages);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), ChildEnd::exited(0));
}

TEST(RingConcurrent, EachCursorSlotHasOneOwner) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  RingBuffer ring = must_create(path, 4, 8, 16);
  constexpr int kThreads = 32;
  constexpr int kRounds = 100;
  // Each claimant has a mapping of its own, as each subscriber has, so that
  // the claims contend for the slots' locks too.
  std::vector<RingBuffer> mappings;
  for (int i = 0; i < kThreads; ++i) mappings.push_back(std::move(*RingBuffer::open(path)));
  std::vector<std::optional<std::uint32_t>> got(kThreads);
  int bad_rounds = 0;
  // Runs once per round, after every thread has claimed or failed: each held
  // slot has one claimant and its cursor; then every claimant frees its slot.
  auto settle = [&]() noexcept {
    std::set<std::uint32_t> owners;
    bool ok = true;
    for (int i = 0; i < kThreads; ++i) {
      if (!got[i]) continue;
      ok = owners.insert(*got[i]).second && ring.load_cursor(*got[i]) == static_cast<std::uint64_t>(i) && ok;
    }
    if (!ok || owners.size() != 16) ++bad_rounds;
  };
  std::barrier round_end(kThreads, settle);
  std::barrier released(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round) {
        auto reader = RingReader::claim(std::move(mappings[i]), static_cast<std::uint64_t>(i));
        got[i] = slot_of(reader);
        round_end.arrive_and_wait();
        if (reader) {
          reader.reset();
          // The reader took the mapping with it: the next round claims through a new one.
          mappings[i] = std::move(*RingBuffer::open(path));
        }
        released.arrive_and_wait();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad_rounds, 0);
}

// Opening while a publisher re-creates the file over and over with two
// geometries: every open sees one complete file, never a half-built one.
TEST(RingConcurrent, OpenDuringRecreationSeesOnlyCompleteFiles) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  must_create(path, 4, 8, 2);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> openers;
  for (int i = 0; i < 2; ++i)
    openers.emplace_back([&] {
      while (!done.load()) {
        auto ring = RingBuffer::open(path);
        if (!ring || (ring->capacity() != 4 && ring->capacity() != 8) || ring->load_generation() != 1 ||
            ring->load_cursor(1) != kFreeCursor)
          bad.fetch_add(1);
      }
    });
  for (int i = 0; i < 300; ++i) must_create(path, i % 2 == 0 ? 8 : 4, 8, 2);
  done = true;
  for (auto& t : openers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

// The store-fence-load handshake on the flags: a subscriber that arms and
// finds no new tail may sleep, and is always woken for the next message.
TEST(RingConcurrent, ArmedSubscriberIsNeverLeftAsleep) {
  TempDir dir;
  const auto path = dir.file("ring.mmap");
  auto [pub, sub] = map_pair(path, 8, 32, 1);
  const std::uint32_t k = sub.slot();
  auto wake = create_wake_fd();
  ASSERT_TRUE(wake);
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd sub_end(pair[0]), pub_end(pair[1]);
  constexpr std::uint64_t kMessages = 20000;

  std::atomic<std::uint64_t> lost_wakeups{0}, faults{0};
  std::thread subscriber([&] {
    std::vector<std::byte> buf;
    std::uint64_t cursor = 0;
    while (cursor < kMessages) {
      ReadResult r = sub.try_receive(cursor, buf);
      if (r.status != ReadStatus::Empty) {
        if (r.status == ReadStatus::Message && !payload_matches(buf, r.next_cursor - 1, 32)) faults++;
        cursor = r.next_cursor;
        continue;
      }
      if (sub.arm_wakeup() > cursor) {
        sub.disarm_wakeup();
        continue;
      }
      // The publisher keeps publishing: a wait that times out was a lost wakeup.
      if (!poll_wakeup(wake->get(), sub_end.get(), Deadline::after(Duration{5, 0}))) {
        lost_wakeups++;
        break;
      }
      (void)read_wakeup(wake->get());
      sub.disarm_wakeup();
    }
  });
  for (std::uint64_t s = 0; s < kMessages; ++s) {
    // Reader under DropOldest: a backlog is fine; only waking matters here.
    pub.write_slot(payload_for(s, 32));
    RingWriter::begin_wakeup_pass();
    if (pub.take_wakeup_request(k)) {
      ASSERT_TRUE(write_wakeup(wake->get()));
    }
    if (s % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  subscriber.join();
  EXPECT_EQ(lost_wakeups.load(), 0u);
  EXPECT_EQ(faults.load(), 0u);
}

}  // namespace
}  // namespace qorva

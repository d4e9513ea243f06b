// Feeds arbitrary bytes to RingBuffer::open as a ring file and checks what
// must hold for any file: open accepts only a file its header's geometry fits
// in; on an accepted file every read stays in order below the tail, a write
// reads back intact, and the header words of every cursor slot can be used;
// and create_or_reuse over any file leaves a ring of the asked geometry.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../cpp/support/peers.h"
#include "ring.h"
#include "sys.h"

namespace {

using namespace qorva;
using namespace qorva::ring_format;

void check(bool ok) {
  if (!ok) std::abort();
}

const std::string& ring_path() {
  static const std::string path = [] {
    // Memory-backed, so that runs are not paced by the disk.
    char templ[] = "/dev/shm/qorva-ring-fuzz-XXXXXX";
    check(::mkdtemp(templ) != nullptr);
    static std::string dir = templ;
    std::atexit([] { std::filesystem::remove_all(dir); });
    return dir + "/ring.mmap";
  }();
  return path;
}

bool write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  ::unlink(path.c_str());
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  return fd && write_all(fd.get(), data, size).has_value();
}

// A read from `cursor` never passes the tail, never goes backwards, and a
// message it reports fits the slot size.
void check_read(RingReader& ring, std::uint64_t cursor) {
  const std::uint64_t tail = ring.load_tail();
  std::vector<std::byte> buf;
  ReadResult r = ring.try_receive(cursor, buf);
  if (r.status == ReadStatus::Empty) {
    check(r.next_cursor == cursor);
    return;
  }
  check(r.next_cursor > cursor && r.next_cursor <= tail);
  check(ring.load_cursor() == r.next_cursor);
  if (r.status == ReadStatus::Message) check(r.len <= ring.slot_size() && buf.size() == r.len);

  std::vector<std::byte> slice(ring.slot_size() / 2);
  r = ring.try_receive_into_slice(cursor, slice);
  if (r.status == ReadStatus::Message) check(r.len <= slice.size());
  if (r.status == ReadStatus::TooShort) check(r.len > slice.size() && r.len <= ring.slot_size());
  if (r.status != ReadStatus::Empty) check(r.next_cursor > cursor && r.next_cursor <= tail);
}

// `mapped` is a mapping of the file at ring_path(), `file_size` long; it
// becomes the writer's, and a reader claims through a mapping of its own.
void exercise(RingBuffer&& mapped, std::uint64_t file_size) {
  check(mapped.capacity() > 0);
  const auto needed = file_length(mapped.capacity(), mapped.slot_size(), mapped.max_subscribers());
  check(needed.has_value() && *needed <= file_size && RingBufferPeer::mapped_size(mapped) == file_size);
  RingWriter ring(std::move(mapped));

  // Every cursor slot's words lie inside the header: touch the first few and the last.
  const std::uint32_t subs = ring.max_subscribers();
  auto touch = [&](std::uint32_t i) {
    (void)ring.load_cursor(i);
    (void)RingBufferPeer::exchange_wakeup_armed(ring, i, 1);  // as its holder arms
    (void)ring.take_wakeup_request(i);
  };
  for (std::uint32_t i = 0; i < std::min<std::uint32_t>(subs, 8); ++i) touch(i);
  if (subs > 0) touch(subs - 1);
  auto own = RingBuffer::open(ring_path());
  check(own.has_value());
  auto reader = RingReader::claim(std::move(*own), 0);
  if (!reader) return;

  const std::uint64_t tail = ring.load_tail();
  if (tail >= kBusyBit / 2) return;  // not a sequence number; writing would wrap it
  const std::uint64_t window = std::min<std::uint64_t>(2 * std::uint64_t{ring.capacity()} + 2, 64);
  for (std::uint64_t back = 0; back <= window && back <= tail; ++back) check_read(*reader, tail - back);

  std::vector<std::byte> payload(ring.slot_size());
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::byte>(i * 7 + tail);
  ring.write_slot(payload);
  check(ring.load_tail() == tail + 1);
  std::vector<std::byte> got;
  const ReadResult r = reader->try_receive(tail, got);
  check(r.status == ReadStatus::Message && r.next_cursor == tail + 1 && got == payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = ring_path();
  if (!write_file(path, data, size)) return 0;

  std::uint64_t old_generation = 0;
  std::uint32_t old_geometry[3] = {0, 0, 0};
  if (auto ring = RingBuffer::open(path)) {
    old_generation = ring->load_generation();
    old_geometry[0] = ring->capacity();
    old_geometry[1] = ring->slot_size();
    old_geometry[2] = ring->max_subscribers();
    exercise(std::move(*ring), size);
  }

  // A small geometry of its own, which the input matches now and then.
  const std::uint32_t geometry[3] = {1 + static_cast<std::uint32_t>(size % 5), static_cast<std::uint32_t>(size % 24),
                                     static_cast<std::uint32_t>(size % 6)};
  auto created = RingBuffer::create_or_reuse(path, geometry[0], geometry[1], geometry[2]);
  check(created.has_value());
  const bool reused = std::memcmp(old_geometry, geometry, sizeof geometry) == 0;
  check(created->load_generation() == (reused ? old_generation + 1 : 1));
  check(created->load_tail() == 0);
  auto reopened = RingBuffer::open(path);
  check(reopened.has_value() && reopened->capacity() == geometry[0] && reopened->slot_size() == geometry[1] &&
        reopened->max_subscribers() == geometry[2]);
  const std::uint64_t reopened_size = RingBufferPeer::mapped_size(*reopened);
  exercise(std::move(*reopened), reopened_size);
  return 0;
}

// Helpers shared by the write-ahead log tests: a fresh temporary directory per
// test, raw file access, and a decoder of segment files written from the
// format alone (no code of the log), so the tests check the bytes on disk
// independently of the reader under test.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>
#include "support/temp_dir.h"

namespace qorva::wal::testing {

using qorva::testing_support::TempDir;

using Bytes = std::vector<std::byte>;

// A directory under /tmp made for one test and removed with it.
inline Bytes bytes_of(std::string_view s) {
  Bytes out(s.size());
  std::memcpy(out.data(), s.data(), s.size());
  return out;
}

// A payload that names its cursor and has a length of its own, so a record
// read back under the wrong cursor or cut short shows.
inline Bytes payload_for(std::uint64_t cursor, std::size_t extra = 0) {
  std::string s = "record-" + std::to_string(cursor) + "-";
  s.append(cursor % 37 + extra, static_cast<char>('a' + cursor % 26));
  return bytes_of(s);
}

inline Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Bytes out(chars.size());
  if (!chars.empty()) std::memcpy(out.data(), chars.data(), chars.size());
  return out;
}

inline void write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

inline std::vector<std::string> dir_names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// --- An independent decoder of the segment format ---

inline std::uint64_t le(const Bytes& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | std::to_integer<std::uint64_t>(b.at(at + i));
  return v;
}

inline void put_le(Bytes& b, std::size_t at, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.at(at + i) = static_cast<std::byte>(v >> (8 * i));
}

// Bitwise CRC-32C (reflected polynomial 0x82F63B78), the textbook routine.
inline std::uint32_t reference_crc32c(const std::byte* p, std::size_t n) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= std::to_integer<std::uint32_t>(p[i]);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
  }
  return ~crc;
}

struct DecodedHeader {
  std::uint64_t magic, version, first_cursor, created_unix_ns;
};

inline DecodedHeader decode_header(const Bytes& b) { return {le(b, 0, 8), le(b, 8, 8), le(b, 16, 8), le(b, 24, 8)}; }

struct DecodedRecord {
  std::uint64_t offset, record_len, cursor, timestamp_ns;
  Bytes payload;
  bool crc_ok;
};

// Decodes records from `at` on while whole records remain; stops quietly at a
// tail that is not a whole record.
inline std::vector<DecodedRecord> decode_records(const Bytes& b, std::size_t at = 32) {
  std::vector<DecodedRecord> out;
  while (at + 4 <= b.size()) {
    std::uint64_t len = le(b, at, 4);
    if (len < 28 || at + len > b.size()) break;
    std::uint64_t payload_len = le(b, at + 20, 4);
    if (payload_len + 28 != len) break;
    Bytes payload(b.begin() + static_cast<std::ptrdiff_t>(at + 24),
                  b.begin() + static_cast<std::ptrdiff_t>(at + 24 + payload_len));
    std::uint32_t stored = static_cast<std::uint32_t>(le(b, at + len - 4, 4));
    bool ok = stored == reference_crc32c(b.data() + at + 4, len - 8);
    out.push_back({at, len, le(b, at + 4, 8), le(b, at + 12, 8), std::move(payload), ok});
    at += len;
  }
  return out;
}

// Builds a record from the format alone.
inline Bytes reference_record(std::uint64_t cursor, std::uint64_t ts, const Bytes& payload) {
  Bytes r(28 + payload.size());
  put_le(r, 0, r.size(), 4);
  put_le(r, 4, cursor, 8);
  put_le(r, 12, ts, 8);
  put_le(r, 20, payload.size(), 4);
  if (!payload.empty()) std::memcpy(r.data() + 24, payload.data(), payload.size());
  put_le(r, r.size() - 4, reference_crc32c(r.data() + 4, r.size() - 8), 4);
  return r;
}

inline Bytes reference_header(std::uint64_t first_cursor, std::uint64_t created = 0) {
  Bytes h(32);
  put_le(h, 0, 0x716f72766157414cULL, 8);
  put_le(h, 8, 1, 8);
  put_le(h, 16, first_cursor, 8);
  put_le(h, 24, created, 8);
  return h;
}

// A segment of records first..first+count-1 with payload_for(cursor).
inline Bytes reference_segment(std::uint64_t first, std::uint64_t count) {
  Bytes seg = reference_header(first);
  for (std::uint64_t c = first; c < first + count; ++c) {
    Bytes r = reference_record(c, 1000 + c, payload_for(c));
    seg.insert(seg.end(), r.begin(), r.end());
  }
  return seg;
}

inline std::string seg_name(std::uint64_t first) {
  std::string d = std::to_string(first);
  return std::string(20 - d.size(), '0') + d + ".seg";
}

// Polls `done` every millisecond until it holds or `limit` passes.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

}  // namespace qorva::wal::testing

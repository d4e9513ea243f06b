// Helpers of the tests that open a whole log (Wal): configurations, opening,
// appending numbered records, and checks of what the segment files hold,
// decoded independently of the reader (wal_test_util.h).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/wal_test_util.h"
#include "wal/record.h"
#include "wal/wal.h"

namespace qorva::wal::testing {

inline WalConfig config_with(SyncMode mode, std::uint64_t max_segment = 64ull << 20,
                             std::uint64_t max_total = 1ull << 30) {
  WalConfig c;
  c.sync_mode = mode;
  c.max_segment_bytes = max_segment;
  c.max_total_bytes = max_total;
  return c;
}

// The log directory of `topic`, made empty, for a test that lays down its own
// segment files.
inline std::string make_log_dir(const TempDir& topic) {
  std::string dir = topic / "wal";
  std::filesystem::create_directories(dir);
  return dir;
}

// The log of `topic`; a log that does not open fails the test and ends the
// process, as nothing after it could run.
inline Wal open_wal(const std::string& topic, const WalConfig& config = config_with(SyncMode::Periodic)) {
  auto wal = Wal::open(topic, config);
  if (!wal) {
    ADD_FAILURE() << wal.error().message();
    std::abort();
  }
  return std::move(*wal);
}

inline std::uint64_t record_size(std::uint64_t cursor) { return payload_for(cursor).size() + kRecordFramingLen; }

// Appends records from..to-1 with payload_for(cursor).
inline void append_range(Wal& wal, std::uint64_t from, std::uint64_t to) {
  for (std::uint64_t c = from; c < to; ++c) {
    auto r = wal.append(c, wal.timestamp_now(), payload_for(c));
    ASSERT_TRUE(r) << c << ": " << r.error().message();
  }
}

// Every record in every segment file of `wal_dir`, in name order, decoded
// independently of the reader under test.
inline std::vector<DecodedRecord> all_records(const std::string& wal_dir) {
  std::vector<DecodedRecord> out;
  for (const auto& name : dir_names(wal_dir)) {
    if (!name.ends_with(".seg")) continue;
    for (auto& r : decode_records(read_file(wal_dir + "/" + name))) out.push_back(std::move(r));
  }
  return out;
}

// The records must be exactly first..first+n-1 with their payloads, intact.
inline void expect_contiguous(const std::vector<DecodedRecord>& records, std::uint64_t first, std::uint64_t count) {
  ASSERT_EQ(records.size(), count);
  for (std::uint64_t i = 0; i < count; ++i) {
    ASSERT_EQ(records[i].cursor, first + i);
    ASSERT_TRUE(records[i].crc_ok) << records[i].cursor;
    ASSERT_EQ(records[i].payload, payload_for(first + i)) << records[i].cursor;
  }
}

// The size of reference_segment(first, count).
inline std::uint64_t segment_bytes(std::uint64_t first, std::uint64_t count) {
  return reference_segment(first, count).size();
}

}  // namespace qorva::wal::testing

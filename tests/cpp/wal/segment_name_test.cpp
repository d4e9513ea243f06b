#include "wal/segment_name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace qorva::wal {
namespace {

TEST(SegmentName, IsTwentyDigitsAndSuffix) {
  EXPECT_EQ(segment_file_name(0), "00000000000000000000.seg");
  EXPECT_EQ(segment_file_name(1234), "00000000000000001234.seg");
  EXPECT_EQ(segment_file_name(UINT64_MAX), "18446744073709551615.seg");
  EXPECT_LT(segment_file_name(99), segment_file_name(100));
}

TEST(SegmentName, ParsesOnlySegmentNames) {
  struct Case {
    const char* name;
    std::optional<std::uint64_t> key;
  };
  const Case cases[] = {
      {"00000000000000000000.seg", 0},
      {"00000000000000001234.seg", 1234},
      {"7.seg", 7},
      {"+7.seg", 7},
      {"007.seg", 7},
      {"18446744073709551615.seg", UINT64_MAX},
      {"18446744073709551616.seg", std::nullopt},
      {"999999999999999999999.seg", std::nullopt},
      {".seg", std::nullopt},
      {"+.seg", std::nullopt},
      {"++7.seg", std::nullopt},
      {"-5.seg", std::nullopt},
      {" 5.seg", std::nullopt},
      {"5 .seg", std::nullopt},
      {"12a.seg", std::nullopt},
      {"5.SEG", std::nullopt},
      {"5.seg.tmp", std::nullopt},
      {"5.seg.bak", std::nullopt},
      {"notes.txt", std::nullopt},
      {"5seg", std::nullopt},
      {"\xff"
       "5.seg",
       std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_segment_file_name(c.name), c.key) << c.name;
}

}  // namespace
}  // namespace qorva::wal

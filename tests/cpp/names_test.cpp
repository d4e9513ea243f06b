#include "names.h"

#include <gtest/gtest.h>

#include <string>

namespace qorva {
namespace {

constexpr const char* kBadTopic = "invalid topic name";
constexpr const char* kBadBus = "invalid bus name";
constexpr const char* kNulInName = "file name contained an unexpected NUL byte";

struct NameCase {
  std::string name;
  const char* refusal;  // the error text, or null when the name is accepted
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << testing::PrintToString(c.name); }

std::string with_nul(std::string_view a, std::string_view b) {
  std::string s(a);
  s.push_back('\0');
  s.append(b);
  return s;
}

void expect_verdict(const std::expected<void, IoError>& checked, const char* refusal) {
  if (refusal == nullptr) {
    EXPECT_TRUE(checked.has_value());
  } else {
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error().kind(), IoKind::InvalidInput);
    EXPECT_EQ(checked.error().text(), refusal);
  }
}

class TopicNames : public testing::TestWithParam<NameCase> {};

TEST_P(TopicNames, AcceptsOnePlainComponentOnly) {
  expect_verdict(check_topic_name(GetParam().name), GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TopicNames,
    testing::Values(NameCase{"orders", nullptr}, NameCase{"a.b", nullptr}, NameCase{"...", nullptr},
                    NameCase{".hidden", nullptr}, NameCase{"with space \"quoted\"", nullptr},
                    NameCase{"gr\xc3\xbc\xc3\x9f", nullptr}, NameCase{std::string(255, 'x'), nullptr},
                    NameCase{"", kBadTopic}, NameCase{".", kBadTopic}, NameCase{"..", kBadTopic},
                    NameCase{"a/b", kBadTopic}, NameCase{"/etc", kBadTopic}, NameCase{"a/", kBadTopic},
                    NameCase{"../x", kBadTopic}, NameCase{with_nul("a", "b"), kNulInName},
                    NameCase{with_nul("", "/.."), kNulInName}));

class BusNames : public testing::TestWithParam<NameCase> {};

TEST_P(BusNames, AcceptsRelativePathsWithoutDotComponents) {
  expect_verdict(check_bus_name(GetParam().name), GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(Table, BusNames,
                         testing::Values(NameCase{"bus", nullptr}, NameCase{"", nullptr}, NameCase{"team/bus", nullptr},
                                         NameCase{"a//b", nullptr}, NameCase{"a/", nullptr},
                                         NameCase{"..x/y.", nullptr},
                                         NameCase{with_nul("a", "b"), nullptr},  // left to the path checks
                                         NameCase{"/abs", kBadBus}, NameCase{".", kBadBus}, NameCase{"..", kBadBus},
                                         NameCase{"a/../b", kBadBus}, NameCase{"a/.", kBadBus},
                                         NameCase{"./a", kBadBus}, NameCase{"a/./b", kBadBus},
                                         NameCase{"a/..", kBadBus}));

}  // namespace
}  // namespace qorva

#include "wal/segment_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

namespace qorva::wal {
namespace {

// A change to the index and the sealed sizes and their sum after it.
struct Step {
  const char* what;
  bool set;  // set_sealed_size, else drop_sealed_size
  std::uint64_t key;
  std::uint64_t size;
  std::map<std::uint64_t, std::uint64_t> sizes;
  std::uint64_t bytes;
};

// The sum follows every change exactly: a size set again replaces the old
// one instead of being counted twice, and dropping a key that holds no size
// changes nothing.
TEST(SegmentIndex, SealedBytesIsTheSumOfTheSealedSizes) {
  const std::vector<Step> steps = {
      {"first", true, 0, 100, {{0, 100}}, 100},
      {"second", true, 50, 40, {{0, 100}, {50, 40}}, 140},
      {"set again: replaced", true, 50, 32, {{0, 100}, {50, 32}}, 132},
      {"a key without a size", false, 7, 0, {{0, 100}, {50, 32}}, 132},
      {"dropped", false, 0, 0, {{50, 32}}, 32},
      {"dropped twice", false, 0, 0, {{50, 32}}, 32},
      {"size 0", true, 90, 0, {{50, 32}, {90, 0}}, 32},
      {"the last", false, 50, 0, {{90, 0}}, 0},
  };
  SegmentIndex index;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.set) {
      index.set_sealed_size(step.key, step.size);
    } else {
      index.drop_sealed_size(step.key);
    }
    EXPECT_EQ(index.sealed_sizes, step.sizes);
    EXPECT_EQ(index.sealed_bytes, step.bytes);
  }
  EXPECT_TRUE(index.paths.empty());  // the sizes never touch the paths
}

// A sum that was set by hand below the sizes it holds (the log only ever
// builds it through set_sealed_size) never wraps around when they go.
TEST(SegmentIndex, DroppingNeverTakesTheSumBelowZero) {
  SegmentIndex index;
  index.set_sealed_size(1, 100);
  index.sealed_bytes = 30;
  index.drop_sealed_size(1);
  EXPECT_EQ(index.sealed_bytes, 0u);
  EXPECT_TRUE(index.sealed_sizes.empty());
}

}  // namespace
}  // namespace qorva::wal

#include "sys.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace qorva {
namespace {

using testing_support::TempDir;

TEST(JoinPath, AppendsOneComponentAndAnAbsoluteNameReplaces) {
  EXPECT_EQ(join_path("/base", "bus"), "/base/bus");
  EXPECT_EQ(join_path("/base/", "bus"), "/base/bus");
  EXPECT_EQ(join_path("/base", ""), "/base/");
  EXPECT_EQ(join_path("/base", "/abs"), "/abs");
  EXPECT_EQ(join_path("rel", "a/b"), "rel/a/b");
}

TEST(CreateDirAll, MakesMissingParentsAndKeepsErrorNumbers) {
  TempDir dir;
  const std::string deep = dir.path() + "/a/b/c";
  ASSERT_TRUE(create_dir_all(deep));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(create_dir_all(deep));  // already there
  EXPECT_TRUE(create_dir_all(deep + "/"));

  const std::string file = dir.path() + "/file";
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  auto in_the_way = create_dir_all(file);
  ASSERT_FALSE(in_the_way);
  EXPECT_EQ(in_the_way.error().os_errno(), EEXIST);
  auto under_a_file = create_dir_all(file + "/x/y");
  ASSERT_FALSE(under_a_file);
  EXPECT_EQ(under_a_file.error().os_errno(), ENOTDIR);
  auto nul = create_dir_all(dir.path() + std::string("/n\0ul", 5));
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().text(), "file name contained an unexpected NUL byte");
}

TEST(CreateDirAllConcurrent, RacingCreatorsAllSucceed) {
  for (int round = 0; round < 20; ++round) {
    TempDir dir;
    const std::string deep = dir.path() + "/x/y/z/" + std::to_string(round);
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    std::vector<int> failed(kThreads, 0);
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        failed[t] = create_dir_all(deep + (t % 2 == 0 ? "" : "/leaf" + std::to_string(t))) ? 0 : 1;
      });
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failed[t], 0) << "round " << round << " thread " << t;
  }
}

}  // namespace
}  // namespace qorva

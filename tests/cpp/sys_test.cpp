#include "sys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

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

// Below a directory the caller chose, every opener of the system goes through
// these: nothing planted there is followed, waited on or written through.
TEST(OpenRegular, RefusesLinksAndFilesThatAreNotRegularWithoutBlocking) {
  TempDir dir;
  TempDir outside;
  const std::string target = outside / "target";
  std::fclose(std::fopen(target.c_str(), "w"));
  ASSERT_EQ(::symlink(target.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink((outside / "missing").c_str(), (dir / "dangling").c_str()), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "linked_dir").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0666), 0);
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0777), 0);
  std::fclose(std::fopen((dir / "file").c_str(), "w"));

  struct Case {
    const char* name;
    int flags;
    int os_errno;  // 0: refused as not a regular file
  };
  const Case refused[] = {
      {"link", O_RDONLY, ELOOP},
      {"link", O_WRONLY | O_CREAT, ELOOP},
      {"dangling", O_WRONLY | O_CREAT, ELOOP},
      {"linked_dir/target", O_RDWR, ELOOP},
      {"fifo", O_RDONLY, 0},
      {"fifo", O_WRONLY, 0},
      {"fifo", O_RDWR, 0},
      {"sub", O_RDONLY, 0},
  };
  for (const Case& c : refused) {
    auto opened = open_regular(dir / c.name, c.flags);
    ASSERT_FALSE(opened) << c.name;
    if (c.os_errno != 0) {
      EXPECT_EQ(opened.error().os_errno(), c.os_errno) << c.name;
    } else {
      EXPECT_EQ(opened.error().text(), std::string(c.name) + ": not a regular file");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(outside / "missing"));
  EXPECT_TRUE(open_regular(dir / "file", O_RDWR));
  EXPECT_TRUE(open_regular(dir / "sub/new", O_WRONLY | O_CREAT | O_EXCL));

  // Removing a link removes the link, never what it points at.
  ASSERT_TRUE(remove_file(dir / "link"));
  EXPECT_TRUE(std::filesystem::exists(target));
  EXPECT_FALSE(remove_file(dir / "linked_dir/target"));
  EXPECT_TRUE(std::filesystem::exists(target));
}

TEST(CreateDirAll, NeverCreatesThroughALink) {
  TempDir dir;
  TempDir outside;
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "link").c_str()), 0);
  for (const std::string& path : {dir / "link", dir / "link/a", dir / "link/a/b"}) {
    auto made = create_dir_all(path);
    ASSERT_FALSE(made) << path;
    EXPECT_EQ(made.error().os_errno(), ELOOP) << path;
    auto opened = open_dir(path);
    EXPECT_FALSE(opened) << path;
  }
  EXPECT_TRUE(std::filesystem::is_empty(outside.path()));
}

TEST(ResolveLinks, ResolvesTheExistingPartAndKeepsTheRest) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "real").c_str(), 0777), 0);
  ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(resolve_links(dir / "link"), dir / "real");
  EXPECT_EQ(resolve_links(dir / "link/not/yet"), dir / "real/not/yet");
  EXPECT_EQ(resolve_links(dir.path() + "/./link/../link"), dir / "real");
  const std::string with_nul = dir.path() + std::string("/li\0nk", 6);
  EXPECT_EQ(resolve_links(with_nul), with_nul);
}

}  // namespace
}  // namespace qorva

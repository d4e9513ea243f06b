#include "producer_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "support/child_process.h"
#include "support/peers.h"
#include "support/temp_dir.h"

namespace qorva {
namespace {

using testing_support::ChildEnd;
using testing_support::ChildProcess;
using testing_support::run_in_child;
using testing_support::TempDir;

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

ino_t inode_of(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool is_already_publishing(const Result<ProducerLock>& r, std::string_view topic) {
  if (r) return false;
  const auto* e = r.error().get_if<Error::AlreadyPublishing>();
  return e != nullptr && e->topic == topic;
}

const IoError* io_error_of(const Result<ProducerLock>& r) {
  if (r) return nullptr;
  const auto* e = r.error().get_if<Error::Io>();
  return e != nullptr ? &e->error : nullptr;
}

// Whether a fresh open file description can take the flock: true only while
// nobody holds the lock.
bool lock_is_free(const std::string& lock_file) {
  UniqueFd fd(::open(lock_file.c_str(), O_RDONLY | O_CLOEXEC));
  return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

// ---- One process ---------------------------------------------------------------

TEST(ProducerLock, SecondAcquireInProcessIsRefusedWithoutTouchingTheFile) {
  TempDir dir;
  auto first = acquire_producer_lock("t", dir.path());
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(exists(dir.file("producer.lock")));
  // With the file gone, an acquire that got as far as the open would create it again.
  ASSERT_EQ(::unlink(dir.file("producer.lock").c_str()), 0);
  EXPECT_TRUE(is_already_publishing(acquire_producer_lock("topic \"q\"", dir.path()), "topic \"q\""));
  EXPECT_FALSE(exists(dir.file("producer.lock")));
}

TEST(ProducerLock, ReleaseOnDestructionKeepsTheFileForTheNextHolder) {
  TempDir dir;
  std::optional<Result<ProducerLock>> lock = acquire_producer_lock("t", dir.path());
  ASSERT_TRUE(lock->has_value());
  EXPECT_FALSE(lock_is_free(dir.file("producer.lock")));
  const ino_t inode = inode_of(dir.file("producer.lock"));
  lock.reset();
  EXPECT_TRUE(exists(dir.file("producer.lock")));
  EXPECT_TRUE(lock_is_free(dir.file("producer.lock")));
  EXPECT_TRUE(acquire_producer_lock("t", dir.path()).has_value());
  EXPECT_EQ(inode_of(dir.file("producer.lock")), inode);
}

TEST(ProducerLock, MovingKeepsTheLockHeldAndAssignmentReleasesTheOldOne) {
  TempDir a, b;
  std::optional<Result<ProducerLock>> from_a = acquire_producer_lock("a", a.path());
  ASSERT_TRUE(from_a->has_value());
  ProducerLock moved = std::move(**from_a);
  from_a.reset();  // destroying the moved-from lock releases nothing
  EXPECT_TRUE(is_already_publishing(acquire_producer_lock("a", a.path()), "a"));
  EXPECT_FALSE(lock_is_free(a.file("producer.lock")));

  auto from_b = acquire_producer_lock("b", b.path());
  ASSERT_TRUE(from_b.has_value());
  *from_b = std::move(moved);
  EXPECT_TRUE(lock_is_free(b.file("producer.lock")));
  EXPECT_TRUE(acquire_producer_lock("b", b.path()).has_value());
  EXPECT_FALSE(lock_is_free(a.file("producer.lock")));
}

TEST(ProducerLock, OpenFailuresAreIoErrorsAndLeaveNoEntry) {
  TempDir dir;
  const std::string missing = dir.path() + "/missing";
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto r = acquire_producer_lock("t", missing);
    ASSERT_NE(io_error_of(r), nullptr);
    EXPECT_EQ(io_error_of(r)->os_errno(), ENOENT);
    EXPECT_EQ(io_error_of(r)->kind(), IoKind::NotFound);
  }
  ASSERT_EQ(::mkdir(missing.c_str(), 0777), 0);
  EXPECT_TRUE(acquire_producer_lock("t", missing).has_value());

  const std::string with_nul = dir.path() + std::string("/a\0b", 4);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto r = acquire_producer_lock("t", with_nul);
    ASSERT_NE(io_error_of(r), nullptr);
    EXPECT_EQ(io_error_of(r)->text(), "file name contained an unexpected NUL byte");
    EXPECT_EQ(io_error_of(r)->kind(), IoKind::InvalidInput);
  }
}

TEST(ProducerLock, FlockRefusalLeavesNoEntry) {
  TempDir dir;
  // Another open file description of this very process holds the flock.
  UniqueFd other(::open(dir.file("producer.lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
  EXPECT_TRUE(is_already_publishing(acquire_producer_lock("t", dir.path()), "t"));
  other.reset();
  EXPECT_TRUE(acquire_producer_lock("t", dir.path()).has_value());
}

TEST(ProducerLock, SpellingsOfOneDirectoryShareOneEntry) {
  TempDir dir;
  auto held = acquire_producer_lock("t", dir.path());
  ASSERT_TRUE(held.has_value());
  ASSERT_EQ(::unlink(dir.file("producer.lock").c_str()), 0);
  const std::string& d = dir.path();
  const std::string base = d.substr(d.rfind('/') + 1);
  for (const std::string& spelling : {d + "/", d + "//", d + "/.", d + "/./", "/tmp//" + base, "/tmp/./" + base}) {
    // Refused by the set: the open would have re-created the unlinked file.
    EXPECT_TRUE(is_already_publishing(acquire_producer_lock("t", spelling), "t")) << spelling;
    EXPECT_FALSE(exists(dir.file("producer.lock"))) << spelling;
  }
}

TEST(ProducerLock, DotDotSpellingIsRefusedByTheFlockAndASymlinkIsNeverFollowed) {
  TempDir dir;
  const std::string link = dir.path() + "/link";
  const std::string topic = dir.path() + "/topic";
  ASSERT_EQ(::mkdir(topic.c_str(), 0777), 0);
  ASSERT_EQ(::mkdir((topic + "/sub").c_str(), 0777), 0);
  ASSERT_EQ(::symlink(topic.c_str(), link.c_str()), 0);
  auto held = acquire_producer_lock("t", topic);
  ASSERT_TRUE(held.has_value());
  const std::string dot_dot = topic + "/sub/..";
  EXPECT_NE(ProducerLockPeer::normalize_lock_path(dot_dot + "/producer.lock"),
            ProducerLockPeer::normalize_lock_path(topic + "/producer.lock"));
  EXPECT_TRUE(is_already_publishing(acquire_producer_lock("t", dot_dot), "t"));

  auto through_link = acquire_producer_lock("t", link);
  ASSERT_NE(io_error_of(through_link), nullptr);
  EXPECT_EQ(io_error_of(through_link)->os_errno(), ELOOP);
}

TEST(NormalizeLockPath, CollapsesSeparatorsAndDotsOnly) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"/tmp/a/producer.lock", "/tmp/a/producer.lock"},
      {"/tmp//a///producer.lock", "/tmp/a/producer.lock"},
      {"/tmp/./a/./producer.lock", "/tmp/a/producer.lock"},
      {"/tmp/a/", "/tmp/a"},
      {"/./a", "/a"},
      {"a/./b", "a/b"},
      {"a//", "a"},
      {"./a/producer.lock", "./a/producer.lock"},
      {"././a", "./a"},
      {".", "."},
      {"/", "/"},
      {"//", "/"},
      {"/tmp/a/../b", "/tmp/a/../b"},
      {"../a/./..", "../a/.."},
  };
  for (const auto& [path, key] : cases) EXPECT_EQ(ProducerLockPeer::normalize_lock_path(path), key) << path;
}

TEST(NamesSameFile, FollowsReplacementAndRemoval) {
  TempDir dir;
  const std::string path = dir.file("producer.lock");
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  ASSERT_TRUE(fd);
  EXPECT_TRUE(ProducerLockPeer::names_same_file(fd.get(), path.c_str()));
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_FALSE(ProducerLockPeer::names_same_file(fd.get(), path.c_str()));
  UniqueFd replacement(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  EXPECT_FALSE(ProducerLockPeer::names_same_file(fd.get(), path.c_str()));
  EXPECT_TRUE(ProducerLockPeer::names_same_file(replacement.get(), path.c_str()));
}

// ---- Across threads and processes ----------------------------------------------

// Runs `child` in a traced child process that is held at the entry of its
// first flock while `at_flock` runs here; returns the child's exit status, or
// -1 when it never reached a flock. Each stop and the end are waited for at
// most 10 s.
int run_held_at_flock(const std::function<int()>& child, const std::function<void()>& at_flock) {
  constexpr std::chrono::seconds kStep(10);
  ChildProcess traced([&] {
    ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    ::raise(SIGSTOP);
    return child();
  });
  if (traced.pid() < 0) return -1;
  const pid_t pid = traced.pid();
  std::optional<int> status = traced.wait_stop(kStep);
  if (!status) return -1;
  ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  bool reached = false;
  bool entering = false;
  int signal = 0;
  while (!reached) {
    ::ptrace(PTRACE_SYSCALL, pid, nullptr, signal);
    signal = 0;
    status = traced.wait_stop(kStep);
    if (!status) return -1;  // ended before any flock
    if (WSTOPSIG(*status) != (SIGTRAP | 0x80)) {
      signal = WSTOPSIG(*status);  // the child's own signal: deliver it
      continue;
    }
    entering = !entering;
    user_regs_struct regs{};
    if (entering && ::ptrace(PTRACE_GETREGS, pid, nullptr, &regs) == 0 && regs.orig_rax == SYS_flock) reached = true;
  }
  at_flock();
  ::ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
  return traced.wait(kStep).exit_code;
}

TEST(ProducerLockConcurrent, LockFileReplacedWhileOpeningIsRefused) {
  TempDir dir;
  const std::string path = dir.file("producer.lock");
  // The acquiring process is held between its open and its flock while the
  // lock file is replaced, as a topic being cleaned and re-created would.
  UniqueFd replacement;
  const int status =
      run_held_at_flock([&] { return is_already_publishing(acquire_producer_lock("t", dir.path()), "t") ? 0 : 1; },
                        [&] {
                          if (::unlink(path.c_str()) == 0)
                            replacement = UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
                        });
  ASSERT_TRUE(replacement);
  EXPECT_EQ(status, 0) << "the acquire on the replaced file was not refused";
  // Refused and forgotten: the new file is free, and the next acquire takes it.
  EXPECT_TRUE(lock_is_free(path));
  EXPECT_TRUE(acquire_producer_lock("t", dir.path()).has_value());
}

// A child process that takes the lock, reports over a pipe and then waits.
class LockHolder {
 public:
  explicit LockHolder(const std::string& dir) {
    int to_child[2], from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) return;
    // Ends with _exit: a lock still held is never released by its destructor.
    child_.emplace([&]() -> int {
      ::close(to_child[1]);
      ::close(from_child[0]);
      std::optional<Result<ProducerLock>> lock = acquire_producer_lock("t", dir);
      char c = lock->has_value() ? 'y' : 'n';
      (void)!::write(from_child[1], &c, 1);
      // 'r': release and report; anything else or end of file: exit holding.
      if (::read(to_child[0], &c, 1) == 1 && c == 'r') {
        lock.reset();
        (void)!::write(from_child[1], &c, 1);
        (void)!::read(to_child[0], &c, 1);
      }
      ::_exit(0);
    });
    ::close(to_child[0]);
    ::close(from_child[1]);
    to_child_ = UniqueFd(to_child[1]);
    from_child_ = UniqueFd(from_child[0]);
  }
  ~LockHolder() {
    to_child_.reset();  // end of file: the child exits
    if (child_) (void)child_->wait(std::chrono::seconds(10));
  }
  bool acquired() { return reply() == 'y'; }
  bool release() {
    const char c = 'r';
    return ::write(to_child_.get(), &c, 1) == 1 && reply() == 'r';
  }
  void kill() { (void)child_->kill(); }

 private:
  char reply() {
    char c = 0;
    return ::read(from_child_.get(), &c, 1) == 1 ? c : 0;
  }
  std::optional<ChildProcess> child_;
  UniqueFd to_child_, from_child_;
};

TEST(ProducerLockConcurrent, AnotherProcessHoldsUntilItReleasesOrDies) {
  TempDir dir;
  {
    LockHolder holder(dir.path());
    ASSERT_TRUE(holder.acquired());
    // Refused twice: the first refusal must not leave an entry behind.
    EXPECT_TRUE(is_already_publishing(acquire_producer_lock("t", dir.path()), "t"));
    EXPECT_TRUE(is_already_publishing(acquire_producer_lock("t", dir.path()), "t"));
    ASSERT_TRUE(holder.release());
    EXPECT_TRUE(acquire_producer_lock("t", dir.path()).has_value());
  }
  const ino_t inode = inode_of(dir.file("producer.lock"));
  LockHolder holder(dir.path());
  ASSERT_TRUE(holder.acquired());
  EXPECT_TRUE(is_already_publishing(acquire_producer_lock("t", dir.path()), "t"));
  holder.kill();
  EXPECT_TRUE(acquire_producer_lock("t", dir.path()).has_value());
  EXPECT_EQ(inode_of(dir.file("producer.lock")), inode);
}

TEST(ProducerLockConcurrent, ForkedCopyDestroyedLeavesTheHolderLocked) {
  TempDir dir;
  std::optional<Result<ProducerLock>> lock = acquire_producer_lock("t", dir.path());
  ASSERT_TRUE(lock->has_value());
  const ChildEnd end = run_in_child([&] {
    lock.reset();
    int failures = 0;
    if (lock_is_free(dir.file("producer.lock"))) failures |= 1;  // the parent's flock must survive
    // The inherited entry stays: refused without re-creating the file.
    ::unlink(dir.file("producer.lock").c_str());
    if (!is_already_publishing(acquire_producer_lock("t", dir.path()), "t")) failures |= 2;
    if (exists(dir.file("producer.lock"))) failures |= 4;
    return failures;
  });
  EXPECT_EQ(end, ChildEnd::exited(0));
}

// Shared between forked contenders.
struct Tally {
  std::atomic<int> holders;
  std::atomic<int> overlaps;
  std::atomic<int> acquired;
};

// Takes and drops the lock in a loop for a bounded time. The cleaner, like a
// topic clean, unlinks the file while it still holds the lock; it no longer
// counts as a holder then, so a newcomer may create and lock a new file, but
// nobody may ever hold the unlinked one at the same time.
void contend(const std::string& dir, Tally& tally, bool cleaner) {
  const Deadline deadline = Deadline::after(Duration::from_millis(400));
  for (int i = 0; i < 20000 && !deadline.passed(); ++i) {
    auto lock = acquire_producer_lock("t", dir);
    if (!lock) continue;
    if (tally.holders.fetch_add(1) != 0) tally.overlaps.fetch_add(1);
    tally.acquired.fetch_add(1);
    tally.holders.fetch_sub(1);
    if (cleaner) ::unlink((dir + "/producer.lock").c_str());
  }
}

TEST(ProducerLockConcurrent, ContendingProcessesNeverHoldAtOnce) {
  TempDir dir;
  void* shared = ::mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* tally = new (shared) Tally{};
  std::vector<ChildProcess> children;
  for (int c = 0; c < 4; ++c) {
    children.emplace_back([&, c] {
      contend(dir.path(), *tally, c == 0);
      return 0;
    });
  }
  for (ChildProcess& child : children) EXPECT_EQ(child.wait(std::chrono::seconds(30)), ChildEnd::exited(0));
  EXPECT_EQ(tally->overlaps.load(), 0);
  EXPECT_GT(tally->acquired.load(), 0);
  ::munmap(shared, sizeof(Tally));
}

TEST(ProducerLockConcurrent, ContendingThreadsNeverHoldAtOnce) {
  TempDir dir;
  Tally tally{};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back([&, t] { contend(dir.path(), tally, t == 0); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(tally.overlaps.load(), 0);
  EXPECT_GT(tally.acquired.load(), 0);
}

}  // namespace
}  // namespace qorva

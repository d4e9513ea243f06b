#include "wal/posix_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/wal_test_util.h"

namespace qorva::wal {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using testing_support::ChildEnd;
using testing_support::run_in_child;
using namespace std::chrono_literals;

using Parts = std::vector<std::span<const std::byte>>;

UniqueFd open_fd(const std::string& path, int flags) { return UniqueFd(::open(path.c_str(), flags | O_CLOEXEC, 0644)); }

std::unique_ptr<WritableFile> writable(const std::string& path) {
  return posix_writable_file(open_fd(path, O_WRONLY | O_CREAT | O_TRUNC));
}

// Reads what is left of the file in chunks of `chunk` bytes.
Bytes read_rest(SequentialFile& file, std::size_t chunk = 4096) {
  Bytes out;
  Bytes buf(chunk);
  for (;;) {
    auto n = file.read(buf);
    if (!n || *n == 0) return out;
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(*n));
  }
}

TEST(PosixFile, WritesOnePartOrSeveralBackToBack) {
  TempDir dir;
  const std::string path = dir / "f";
  auto file = writable(path);
  const Bytes head = bytes_of("head"), body = bytes_of("body"), empty;
  auto one = file->write(Parts{head});
  ASSERT_TRUE(one) << one.error().text();
  EXPECT_EQ(*one, 4u);
  auto several = file->write(Parts{head, empty, body, head});
  ASSERT_TRUE(several) << several.error().text();
  EXPECT_EQ(*several, 12u);
  auto nothing = file->write(Parts{empty, empty});
  ASSERT_TRUE(nothing) << nothing.error().text();
  EXPECT_EQ(*nothing, 0u);
  ASSERT_TRUE(file->sync());
  EXPECT_EQ(read_file(path), bytes_of("headheadbodyhead"));
}

TEST(PosixFile, TruncateCutsOrExtendsAndTheNextWriteLandsThere) {
  struct Case {
    std::uint64_t len;
    std::string want;
  };
  const Case cases[] = {
      {4, "0123ab"},
      {0, "ab"},
      {10, "0123456789ab"},
      {12, std::string("0123456789\0\0ab", 14)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.len);
    TempDir dir;
    const std::string path = dir / "f";
    auto file = writable(path);
    const Bytes digits = bytes_of("0123456789"), ab = bytes_of("ab");
    ASSERT_TRUE(file->write(Parts{digits}));
    auto cut = file->truncate(c.len);
    ASSERT_TRUE(cut) << cut.error().text();
    EXPECT_EQ(testing::file_size(path), c.len);
    ASSERT_TRUE(file->write(Parts{ab}));
    EXPECT_EQ(read_file(path), bytes_of(c.want));
  }
}

TEST(PosixFile, ReadsSeeksAndSizesTheFileAsItIsNow) {
  TempDir dir;
  const std::string path = dir / "f";
  write_file(path, bytes_of("0123456789"));
  auto file = posix_sequential_file(open_fd(path, O_RDONLY));
  auto size = file->size();
  ASSERT_TRUE(size) << size.error().text();
  EXPECT_EQ(*size, 10u);
  Bytes four(4);
  auto n = file->read(four);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 4u);
  EXPECT_EQ(four, bytes_of("0123"));
  EXPECT_EQ(read_rest(*file, 100), bytes_of("456789"));
  n = file->read(four);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0u);  // the end

  ASSERT_TRUE(file->seek(2));
  EXPECT_EQ(read_rest(*file, 3), bytes_of("23456789"));
  UniqueFd appender = open_fd(path, O_WRONLY | O_APPEND);
  ASSERT_EQ(::write(appender.get(), "ab", 2), 2);
  size = file->size();
  ASSERT_TRUE(size);
  EXPECT_EQ(*size, 12u);
  EXPECT_EQ(read_rest(*file), bytes_of("ab"));
  ASSERT_TRUE(file->seek(100));  // past the end: reads nothing
  EXPECT_EQ(read_rest(*file), Bytes{});
}

// What a call's result says, with the value dropped: failures of every call
// then fit one table.
template <class T>
std::expected<void, IoError> outcome(const std::expected<T, IoError>& r) {
  if (!r) return std::unexpected(r.error());
  return {};
}

// A pipe's two ends, as descriptors that calls on a file cannot use for
// everything.
struct Pipe {
  UniqueFd read_end, write_end;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      read_end = UniqueFd(fds[0]);
      write_end = UniqueFd(fds[1]);
    }
  }
};

// Every failing system call comes back as an error carrying its number,
// never as a success or a count.
TEST(PosixFile, FailedCallsAreErrorsWithTheSystemsNumber) {
  struct Case {
    const char* name;
    int err;
    std::function<std::expected<void, IoError>(const TempDir&)> call;
  };
  static const Bytes kData = bytes_of("data");
  const Case cases[] = {
      {"write to a read-only descriptor", EBADF,
       [](const TempDir& dir) {
         write_file(dir / "f", kData);
         return outcome(posix_writable_file(open_fd(dir / "f", O_RDONLY))->write(Parts{kData}));
       }},
      {"gathered write to a read-only descriptor", EBADF,
       [](const TempDir& dir) {
         write_file(dir / "f", kData);
         return outcome(posix_writable_file(open_fd(dir / "f", O_RDONLY))->write(Parts{kData, kData}));
       }},
      {"write to a full device", ENOSPC,
       [](const TempDir&) {
         return outcome(posix_writable_file(open_fd("/dev/full", O_WRONLY))->write(Parts{kData}));
       }},
      {"truncate of a pipe", EINVAL,
       [](const TempDir&) {
         Pipe pipe;
         return posix_writable_file(std::move(pipe.write_end))->truncate(0);
       }},
      {"truncate to a length no file can have", EINVAL,
       [](const TempDir& dir) { return writable(dir / "f")->truncate(UINT64_MAX); }},
      {"sync of a pipe", EINVAL,
       [](const TempDir&) {
         Pipe pipe;
         return posix_writable_file(std::move(pipe.write_end))->sync();
       }},
      {"read from a write-only descriptor", EBADF,
       [](const TempDir& dir) {
         Bytes buf(4);
         return outcome(posix_sequential_file(open_fd(dir / "f", O_WRONLY | O_CREAT))->read(buf));
       }},
      {"read from a directory", EISDIR,
       [](const TempDir& dir) {
         Bytes buf(4);
         return outcome(posix_sequential_file(open_fd(dir.path(), O_RDONLY | O_DIRECTORY))->read(buf));
       }},
      {"seek on a pipe", ESPIPE,
       [](const TempDir&) {
         Pipe pipe;
         return posix_sequential_file(std::move(pipe.read_end))->seek(0);
       }},
      {"seek to an offset no file can have", EINVAL,
       [](const TempDir& dir) {
         write_file(dir / "f", kData);
         return posix_sequential_file(open_fd(dir / "f", O_RDONLY))->seek(UINT64_MAX);
       }},
      {"size without a descriptor", EBADF,
       [](const TempDir&) { return outcome(posix_sequential_file(UniqueFd())->size()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto r = c.call(dir);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().os_errno(), c.err) << r.error().text();
    EXPECT_TRUE(r.error().text().ends_with("(os error " + std::to_string(c.err) + ")")) << r.error().text();
  }
}

// At a file-size limit a write goes as far as the limit and reports how far;
// the next one fails with EFBIG (the limit's signal ignored, as a server
// would). In a child: the limit and the signal are the whole process's.
TEST(PosixFile, WriteAtAFileSizeLimitIsShortThenAnError) {
  TempDir dir;
  const std::string path = dir / "f";
  const ChildEnd end = run_in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{10, 10};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    auto file = writable(path);
    const Bytes part = bytes_of("012345");
    auto first = file->write(Parts{part, part});  // 12 bytes, 10 allowed
    if (!first || *first != 10) return 3;
    auto second = file->write(Parts{part});
    if (second || second.error().os_errno() != EFBIG) return 4;
    return read_file(path) == bytes_of("0123450123") ? 0 : 5;
  });
  EXPECT_EQ(end, ChildEnd::exited(0));
}

// A timer signal without SA_RESTART interrupts a read blocked on an empty
// pipe every millisecond: the read goes on until the data comes, and is
// never an error. In a child: the signal's handling is the whole process's.
TEST(PosixFile, InterruptedReadGoesOnUntilTheDataComes) {
  const ChildEnd end = run_in_child([] {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    ::sigaction(SIGALRM, &sa, nullptr);
    Pipe pipe;
    auto file = posix_sequential_file(std::move(pipe.read_end));
    // The writer has the signal blocked, so that every tick lands on the read.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    ::pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    std::thread writer([&] {
      std::this_thread::sleep_for(50ms);
      (void)!::write(pipe.write_end.get(), "late", 4);
    });
    ::pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    const itimerval every_ms{{0, 1000}, {0, 1000}};
    ::setitimer(ITIMER_REAL, &every_ms, nullptr);
    Bytes buf(16);
    auto n = file->read(buf);
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    writer.join();
    if (!n) return 2;
    buf.resize(*n);
    return buf == bytes_of("late") ? 0 : 3;
  });
  EXPECT_EQ(end, ChildEnd::exited(0));
}

}  // namespace
}  // namespace qorva::wal

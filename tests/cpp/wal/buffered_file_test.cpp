#include "wal/buffered_file.h"

#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "support/child_process.h"
#include "support/wal_test_util.h"
#include "wal/posix_file.h"

namespace qorva::wal {
namespace {

using testing::Bytes;
using testing::payload_for;
using testing_support::ChildEnd;
using testing_support::run_in_child;

// Large writes through a pipe that a slow reader drains, while a timer
// signal without SA_RESTART keeps interrupting them: every partial write
// and EINTR must continue exactly where it stopped.
TEST(BufferedWriterConcurrent, InterruptedGatheredWritesContinueInOrder) {
  const ChildEnd end = run_in_child([] {
    int fds[2];
    if (::pipe(fds) != 0) return 2;
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    ::sigaction(SIGALRM, &sa, nullptr);  // no SA_RESTART: blocked writes return early
    itimerval every_ms{{0, 1000}, {0, 1000}};
    ::setitimer(ITIMER_REAL, &every_ms, nullptr);

    Bytes want;
    Bytes got;
    std::thread reader([&, fd = fds[0]] {
      std::byte chunk[4096];
      for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) return;
        if (n > 0) got.insert(got.end(), chunk, chunk + n);
      }
    });
    {
      BufferedWriter file{posix_writable_file(UniqueFd(fds[1]))};
      for (std::uint64_t c = 0; c < 40; ++c) {
        Bytes head = payload_for(c);
        Bytes body = payload_for(c, 70000 + c * 1000);
        const std::span<const std::byte> parts[] = {head, {}, body, head};
        if (!file.write_parts(parts)) return 3;
        for (const Bytes* part : {&head, &body, &head}) want.insert(want.end(), part->begin(), part->end());
      }
    }  // closes the pipe's write end
    reader.join();
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    return got == want ? 0 : 4;
  });
  EXPECT_EQ(end, ChildEnd::exited(0));
}

}  // namespace
}  // namespace qorva::wal

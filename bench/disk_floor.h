// The disk floor under the log: the bare loop that any log with its promises
// has to run. Records of a given size are appended with write() to 64 MiB
// files, a thread calls fdatasync on the file being written every 5 ms, and
// each full file is synced before the next one opens. No framing, no
// checksum, no ring: what is left is the page-cache write and the disk.
// Shared by bench_core (the bare write beside publish_ns_64k_wal) and
// disk_floor (bench/compare's disk_floor_64k).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

inline constexpr std::uint64_t kFloorFileBytes = 64ull << 20;
inline constexpr auto kFloorSyncInterval = std::chrono::milliseconds(5);

// fdatasync of the current file every interval, on a duplicate of its
// descriptor taken under the lock, so that the writer may close the file.
class FloorSyncer {
 public:
  FloorSyncer() : thread_([this] { run(); }) {}
  ~FloorSyncer() {
    stop_ = true;
    thread_.join();
  }
  // Makes `fd` the file to sync; returns the previous one, for the caller to close.
  int swap(int fd) {
    std::lock_guard lock(mutex_);
    return std::exchange(fd_, fd);
  }

 private:
  void run() {
    while (!stop_) {
      std::this_thread::sleep_for(kFloorSyncInterval);
      int dup = -1;
      {
        std::lock_guard lock(mutex_);
        if (fd_ >= 0) dup = ::fcntl(fd_, F_DUPFD_CLOEXEC, 3);
      }
      if (dup < 0) continue;
      ::fdatasync(dup);
      ::close(dup);
    }
  }

  std::mutex mutex_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

[[noreturn]] inline void floor_failed(const char* what) {
  std::perror(what);
  std::exit(1);
}

// Runs the loop with `count` records of `record_len` bytes in a fresh
// directory under `parent` (removed afterwards); returns the nanoseconds per
// record from the first write to the last.
inline double floor_ns_per_record(const std::string& parent, std::size_t record_len, std::uint64_t count) {
  std::string dir = parent + "/qfloor-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) floor_failed("mkdtemp");
  const std::uint64_t per_file = (kFloorFileBytes - 32) / record_len;  // as many as a segment holds
  std::vector<char> record(record_len, 0x5a);
  std::vector<std::string> files;
  int fd = -1;
  double ns = 0;
  {
    FloorSyncer syncer;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < count; ++i) {
      if (i % per_file == 0) {
        if (fd >= 0 && ::fdatasync(fd) != 0) floor_failed("fdatasync");
        files.push_back(dir + "/" + std::to_string(i));
        fd = ::open(files.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) floor_failed("open");
        if (int old = syncer.swap(fd); old >= 0) ::close(old);
      }
      if (::write(fd, record.data(), record_len) != static_cast<ssize_t>(record_len)) floor_failed("write");
    }
    ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
         static_cast<double>(count);
    ::close(syncer.swap(-1));
  }
  for (const auto& f : files) ::unlink(f.c_str());
  ::rmdir(dir.c_str());
  return ns;
}

}  // namespace bench

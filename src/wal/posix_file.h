// The files of file.h over a POSIX descriptor: each call is one system call,
// repeated after EINTR. What the log uses outside of tests.
#pragma once

#include <memory>

#include "sys.h"
#include "wal/file.h"

namespace qorva::wal {

// Writes with write(2) or, for several parts, writev(2); truncates with
// ftruncate(2) and lseek(2); syncs with fdatasync(2). Owns `fd` and closes
// it on destruction.
std::unique_ptr<WritableFile> posix_writable_file(UniqueFd fd);

// Reads with read(2), seeks with lseek(2), sizes with fstat(2). Owns `fd`.
std::unique_ptr<SequentialFile> posix_sequential_file(UniqueFd fd);

}  // namespace qorva::wal

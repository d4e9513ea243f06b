// Error types of the write-ahead log. Each formats its own message; nested
// errors contribute their complete message after their own prefix.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "io_error.h"
#include "wal/record.h"

namespace qorva::wal {

struct WriterError {
  struct PayloadTooLarge {
    std::uint64_t len;
  };
  struct NonMonotonic {
    std::uint64_t cursor;
    std::uint64_t pending_cursor;
  };
  struct Io {
    IoError error;
  };
  std::variant<PayloadTooLarge, NonMonotonic, Io> value;

  std::string message() const;
};

struct SegmentHeaderError {
  struct Magic {
    std::uint64_t found;
  };
  struct Version {
    std::uint32_t found;
  };
  struct Truncated {
    std::uint64_t size;
  };
  std::variant<Magic, Version, Truncated> value;

  std::string message() const;
};

struct SegmentReadError {
  struct Io {
    IoError error;
  };
  struct Header {
    SegmentHeaderError error;
  };
  // A record's length word that cannot be right: above kMaxRecordLen, below
  // the framing's 28 bytes, or not payload_len + 28.
  struct RecordLen {
    enum class Fault { AboveMax, BelowMin, PayloadMismatch };
    std::uint64_t len;
    Fault fault = Fault::AboveMax;
    std::uint64_t payload_len = 0;  // only for PayloadMismatch
  };
  struct Crc {
    std::uint32_t stored;
    std::uint32_t computed;
    std::uint64_t offset;
  };
  struct ShortRead {
    std::uint64_t offset;
    std::uint64_t missing;
  };
  std::variant<Io, Header, RecordLen, Crc, ShortRead> value;

  std::string message() const;
};

struct WalError {
  struct Io {
    IoError error;
  };
  struct Writer {
    WriterError error;
  };
  struct Reader {
    SegmentReadError error;
  };
  struct CursorTooOld {
    std::uint64_t cursor;
    std::uint64_t oldest;
  };
  struct FlusherDied {};
  struct PayloadTooLarge {
    std::uint64_t len;
  };
  std::variant<Io, Writer, Reader, CursorTooOld, FlusherDied, PayloadTooLarge> value;

  std::string message() const;
};

}  // namespace qorva::wal

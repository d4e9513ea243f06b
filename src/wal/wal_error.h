// Error types of the write-ahead log. Each formats its own message; nested
// errors contribute their complete message after their own prefix.
//
// Each is made through its constructors alone: one from each of its cases,
// and one from each error it wraps (an IoError becomes the Io case, a writer's
// or reader's error the Writer or Reader case), so a failure leaves a
// function as `return std::unexpected<WalError>(written.error());`.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
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

  WriterError(PayloadTooLarge v) : value(v) {}
  WriterError(NonMonotonic v) : value(v) {}
  WriterError(Io v) : value(std::move(v)) {}
  WriterError(IoError e) : value(Io{std::move(e)}) {}

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

  SegmentHeaderError(Magic v) : value(v) {}
  SegmentHeaderError(Version v) : value(v) {}
  SegmentHeaderError(Truncated v) : value(v) {}

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

  SegmentReadError(Io v) : value(std::move(v)) {}
  SegmentReadError(Header v) : value(std::move(v)) {}
  SegmentReadError(RecordLen v) : value(v) {}
  SegmentReadError(Crc v) : value(v) {}
  SegmentReadError(ShortRead v) : value(v) {}
  SegmentReadError(IoError e) : value(Io{std::move(e)}) {}
  SegmentReadError(SegmentHeaderError e) : value(Header{std::move(e)}) {}

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
  // Replay met record `found` where `expected` should have come: the records
  // between are gone. Worded as an I/O error, the text callers know for it.
  struct RecordsMissing {
    std::uint64_t expected;
    std::uint64_t found;
  };
  std::variant<Io, Writer, Reader, CursorTooOld, FlusherDied, PayloadTooLarge, RecordsMissing> value;

  WalError(Io v) : value(std::move(v)) {}
  WalError(Writer v) : value(std::move(v)) {}
  WalError(Reader v) : value(std::move(v)) {}
  WalError(CursorTooOld v) : value(v) {}
  WalError(FlusherDied v) : value(v) {}
  WalError(PayloadTooLarge v) : value(v) {}
  WalError(RecordsMissing v) : value(v) {}
  WalError(IoError e) : value(Io{std::move(e)}) {}
  WalError(WriterError e) : value(Writer{std::move(e)}) {}
  WalError(SegmentReadError e) : value(Reader{std::move(e)}) {}

  std::string message() const;
};

}  // namespace qorva::wal

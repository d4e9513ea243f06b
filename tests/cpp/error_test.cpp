#include "error.h"

#include <gtest/gtest.h>

#include <utility>

#include "subscriber.h"
#include "waker.h"

namespace qorva {
namespace {

using wal::SegmentHeaderError;
using wal::SegmentReadError;
using wal::WalError;
using wal::WriterError;

TEST(IoError, OsErrorTextCarriesNumber) {
  EXPECT_EQ(IoError::from_errno(ENOENT).text(), "No such file or directory (os error 2)");
  EXPECT_EQ(IoError::from_errno(ENOENT).os_errno(), ENOENT);
  EXPECT_EQ(IoError::from_errno(99999).text(), "Unknown error 99999 (os error 99999)");
  EXPECT_EQ(IoError::fixed(IoKind::InvalidData, "expected SCM_RIGHTS").os_errno(), 0);
}

TEST(IoError, KindFollowsTheErrorNumber) {
  const std::pair<int, IoKind> cases[] = {
      {EAGAIN, IoKind::WouldBlock},    {EWOULDBLOCK, IoKind::WouldBlock},
      {ETIMEDOUT, IoKind::TimedOut},   {ECONNRESET, IoKind::ConnectionReset},
      {ENOENT, IoKind::NotFound},      {EINTR, IoKind::Interrupted},
      {EEXIST, IoKind::AlreadyExists}, {EINVAL, IoKind::InvalidInput},
      {EACCES, IoKind::Other},         {EPIPE, IoKind::Other},
      {ENOSPC, IoKind::Other},         {99999, IoKind::Other},
  };
  for (const auto& [err, kind] : cases) {
    EXPECT_EQ(kind_from_errno(err), kind) << err;
    EXPECT_EQ(IoError::from_errno(err).kind(), kind) << err;
  }
}

TEST(IoError, FixedTextKeepsKindThroughWrapping) {
  Error e = IoError::fixed(IoKind::UnexpectedEof, "publisher disconnected");
  ASSERT_NE(e.get_if<Error::Io>(), nullptr);
  EXPECT_EQ(e.get_if<Error::Io>()->error.kind(), IoKind::UnexpectedEof);
  EXPECT_EQ(e.get_if<Error::Io>()->error.text(), "publisher disconnected");
}

struct OutcomeCase {
  IoError error;
  IoOutcome outcome;
  const char* text;
};

// The outcome, set only by the owner's builder, decides a branch: a reworded
// message keeps it, and the same words without it take no branch. It
// survives being wrapped in an Error and carried out of a Result.
TEST(IoError, OutcomeNotTextTellsFailuresApart) {
  const OutcomeCase cases[] = {
      {publisher_disconnected(), IoOutcome::PublisherDisconnected, "publisher disconnected"},
      {publisher_restarted(), IoOutcome::PublisherRestarted, "publisher restarted (generation changed)"},
      {IoError::fixed(IoKind::UnexpectedEof, "the publisher went away", IoOutcome::PublisherDisconnected),
       IoOutcome::PublisherDisconnected, "the publisher went away"},
      {IoError::fixed(IoKind::UnexpectedEof, "publisher disconnected"), IoOutcome::Unnamed, "publisher disconnected"},
      {IoError::from_errno(ECONNRESET), IoOutcome::Unnamed, "Connection reset by peer (os error 104)"},
  };
  const IoOutcome named[] = {IoOutcome::PublisherDisconnected, IoOutcome::PublisherRestarted};
  for (const OutcomeCase& c : cases) {
    Result<void> failed = std::unexpected(Error(c.error));
    const Error carried = std::move(failed.error());
    ASSERT_NE(carried.get_if<Error::Io>(), nullptr) << c.text;
    const IoError& io = carried.get_if<Error::Io>()->error;
    EXPECT_EQ(io.outcome(), c.outcome) << c.text;
    EXPECT_EQ(io.kind(), c.error.kind()) << c.text;
    EXPECT_EQ(io.text(), c.text);
    for (IoOutcome o : named) EXPECT_EQ(carried.is(o), o == c.outcome) << c.text;
  }
  EXPECT_FALSE(Error(Error::BusFull{}).is(IoOutcome::PublisherDisconnected));
}

// A log error is carried exactly as the log returned it, and a topic name
// whatever characters it holds.
TEST(CoreError, WrapsLogErrorsAndNamesUnchanged) {
  Error wal = WalError{WalError::CursorTooOld{3, 10}};
  ASSERT_NE(wal.get_if<Error::Wal>(), nullptr);
  EXPECT_EQ(wal.get_if<Error::Wal>()->error.message(), "cursor 3 is older than the oldest in-WAL slot (10)");
  const std::string name = "t \"q\" gr\xc3\xbc\xc3\x9f\\";
  Error busy = Error::AlreadyPublishing{name};
  ASSERT_NE(busy.get_if<Error::AlreadyPublishing>(), nullptr);
  EXPECT_EQ(busy.get_if<Error::AlreadyPublishing>()->topic, name);
  EXPECT_EQ(busy.get_if<Error::Wal>(), nullptr);
}

struct MessageCase {
  WalError error;
  const char* text;
};

TEST(WalError, MessagesNestTheirPrefixes) {
  const MessageCase cases[] = {
      {{WalError::Writer{{WriterError::NonMonotonic{5, 6}}}},
       "segment writer: cursor must be monotonic: tried to append 5 after pending_cursor was 6"},
      {{WalError::PayloadTooLarge{16777189}}, "payload too large: 16777189 > MAX_PAYLOAD_LEN (16777188)"},
      {{WalError::CursorTooOld{3, 10}}, "cursor 3 is older than the oldest in-WAL slot (10)"},
      {{WalError::FlusherDied{}}, "WAL flusher thread died; further appends would silently lose durability"},
      {{WalError::Reader{{SegmentReadError::Header{{SegmentHeaderError::Truncated{0}}}}}},
       "segment reader: segment header: segment header truncated: 0 bytes < 32"},
      {{WalError::Reader{{SegmentReadError::Header{{SegmentHeaderError::Magic{0x1234}}}}}},
       "segment reader: segment header: segment magic mismatch: got 0x0000000000001234, want 0x716f72766157414c"},
      {{WalError::Reader{{SegmentReadError::Header{{SegmentHeaderError::Version{2}}}}}},
       "segment reader: segment header: segment version 2 not supported (this build speaks 1)"},
      {{WalError::Reader{{SegmentReadError::Crc{0xdeadbeef, 0x1, 64}}}},
       "segment reader: CRC mismatch at offset 64: stored 0xdeadbeef, computed 0x00000001"},
      {{WalError::Reader{{SegmentReadError::RecordLen{16777217}}}},
       "segment reader: record_len 16777217 exceeds MAX_RECORD_LEN (16777216)"},
      {{WalError::Reader{{SegmentReadError::ShortRead{32, 7}}}},
       "segment reader: short read at offset 32: needed 7 more bytes"},
      {{WalError::Writer{{WriterError::Io{IoError::from_errno(ENOSPC)}}}},
       "segment writer: I/O error: No space left on device (os error 28)"},
      // Made from the errors they wrap, as the log's code makes them.
      {WalError(IoError::from_errno(ENOSPC)), "I/O error: No space left on device (os error 28)"},
      {WalError(WriterError(IoError::from_errno(EIO))), "segment writer: I/O error: Input/output error (os error 5)"},
      {WalError(SegmentReadError(IoError::from_errno(EIO))),
       "segment reader: I/O error: Input/output error (os error 5)"},
      {WalError(SegmentReadError(SegmentHeaderError::Truncated{7})),
       "segment reader: segment header: segment header truncated: 7 bytes < 32"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

}  // namespace
}  // namespace qorva

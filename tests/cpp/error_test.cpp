#include "error.h"

#include <gtest/gtest.h>

namespace qorva {
namespace {

using wal::SegmentHeaderError;
using wal::SegmentReadError;
using wal::WalError;
using wal::WriterError;

TEST(IoError, OsErrorTextCarriesNumber) {
  EXPECT_EQ(IoError::from_errno(ENOENT).text(), "No such file or directory (os error 2)");
  EXPECT_EQ(IoError::from_errno(ENOENT).kind(), IoKind::NotFound);
  EXPECT_EQ(IoError::from_errno(99999).text(), "Unknown error 99999 (os error 99999)");
  EXPECT_EQ(IoError::from_errno(EAGAIN).kind(), IoKind::WouldBlock);
  EXPECT_EQ(IoError::from_errno(EACCES).kind(), IoKind::Other);
}

TEST(IoError, FixedTextKeepsKindThroughWrapping) {
  Error e = IoError::fixed(IoKind::UnexpectedEof, io_text::kPublisherDisconnected);
  ASSERT_NE(e.get_if<Error::Io>(), nullptr);
  EXPECT_EQ(e.get_if<Error::Io>()->error.kind(), IoKind::UnexpectedEof);
  EXPECT_EQ(e.get_if<Error::Io>()->error.text(), "publisher disconnected");
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
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

}  // namespace
}  // namespace qorva

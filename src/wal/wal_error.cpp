#include "wal/wal_error.h"

#include <cinttypes>
#include <cstdio>

#include "overload.h"

namespace qorva::wal {
namespace {

std::string dec(std::uint64_t v) { return std::to_string(v); }

std::string hex64(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%016" PRIx64, v);
  return buf;
}

std::string hex32(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08" PRIx32, v);
  return buf;
}

std::string payload_too_large(std::uint64_t len) {
  return "payload too large: " + dec(len) + " > MAX_PAYLOAD_LEN (" + dec(kMaxPayloadLen) + ")";
}

std::string io(const IoError& e) { return "I/O error: " + e.text(); }

}  // namespace

std::string WriterError::message() const {
  return std::visit(Overload{
                        [](const PayloadTooLarge& e) { return payload_too_large(e.len); },
                        [](const NonMonotonic& e) {
                          return "cursor must be monotonic: tried to append " + dec(e.cursor) +
                                 " after pending_cursor was " + dec(e.pending_cursor);
                        },
                        [](const Io& e) { return io(e.error); },
                    },
                    value);
}

std::string SegmentHeaderError::message() const {
  return std::visit(
      Overload{
          [](const Magic& e) {
            return "segment magic mismatch: got " + hex64(e.found) + ", want " + hex64(kSegmentMagic);
          },
          [](const Version& e) {
            return "segment version " + dec(e.found) + " not supported (this build speaks " + dec(kSegmentVersion) +
                   ")";
          },
          [](const Truncated& e) { return "segment header truncated: " + dec(e.size) + " bytes < " + dec(kHeaderLen); },
      },
      value);
}

std::string SegmentReadError::message() const {
  return std::visit(Overload{
                        [](const Io& e) { return io(e.error); },
                        [](const Header& e) { return "segment header: " + e.error.message(); },
                        [](const RecordLen& e) {
                          switch (e.fault) {
                            case RecordLen::Fault::BelowMin:
                              return "record_len " + dec(e.len) + " below minimum (28)";
                            case RecordLen::Fault::PayloadMismatch:
                              return "record_len " + dec(e.len) + " does not match payload_len " + dec(e.payload_len) +
                                     " + 28";
                            case RecordLen::Fault::AboveMax:
                              break;
                          }
                          return "record_len " + dec(e.len) + " exceeds MAX_RECORD_LEN (" + dec(kMaxRecordLen) + ")";
                        },
                        [](const Crc& e) {
                          return "CRC mismatch at offset " + dec(e.offset) + ": stored " + hex32(e.stored) +
                                 ", computed " + hex32(e.computed);
                        },
                        [](const ShortRead& e) {
                          return "short read at offset " + dec(e.offset) + ": needed " + dec(e.missing) + " more bytes";
                        },
                    },
                    value);
}

std::string WalError::message() const {
  return std::visit(
      Overload{
          [](const Io& e) { return io(e.error); },
          [](const Writer& e) { return "segment writer: " + e.error.message(); },
          [](const Reader& e) { return "segment reader: " + e.error.message(); },
          [](const CursorTooOld& e) {
            return "cursor " + dec(e.cursor) + " is older than the oldest in-WAL slot (" + dec(e.oldest) + ")";
          },
          [](const FlusherDied&) {
            return std::string("WAL flusher thread died; further appends would silently lose durability");
          },
          [](const PayloadTooLarge& e) { return payload_too_large(e.len); },
          [](const RecordsMissing& e) {
            return "I/O error: log record " + dec(e.found) + " found where " + dec(e.expected) + " was expected";
          },
      },
      value);
}

}  // namespace qorva::wal

// Wakeups and the subscriber handshake: the eventfd a subscriber sleeps on,
// the one message that hands it to the publisher over signal.sock, the wait
// for a wakeup, and the Unix-domain socket helpers both sides use. When a unit
// is written and when a subscriber may sleep (flags, fences, the tail
// re-check) is the wakeup handshake in ring.h.
//
// The handshake, one sendmsg per connection, subscriber to publisher:
//
//   part        content
//   data        4 bytes: the cursor slot index k, u32 host order
//   ancillary   one SOL_SOCKET / SCM_RIGHTS message with one descriptor,
//               the subscriber's eventfd (cmsg_len 20, buffer 24 bytes)
//
// No reply, no version, nothing else in either direction.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "clock.h"
#include "io_error.h"
#include "sys.h"

namespace qorva {

namespace handshake_format {
inline constexpr std::size_t kWordSize = 4;
inline constexpr std::size_t kControlLen = CMSG_LEN(sizeof(int));
// 24 bytes: one descriptor padded to 8, which leaves room for a second one
// (received and closed); more than that truncates the control data.
inline constexpr std::size_t kControlBufferSize = CMSG_SPACE(sizeof(int));
static_assert(kControlLen == 20 && kControlBufferSize == 24);
}  // namespace handshake_format

// Longest socket path: 107 bytes plus the terminating zero fill sun_path.
inline constexpr std::size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;
static_assert(kMaxSocketPath == 107);

// --- The wakeup descriptor ---

// A new eventfd, value 0, semaphore, non-blocking, close-on-exec.
// Errors: the operating-system error.
std::expected<UniqueFd, IoError> create_wake_fd();
// Adds one unit: one 8-byte write of 1, never repeated, never blocking.
// Errors: the write's operating-system error, or WouldBlock when the counter is
// full; a write of fewer than 8 bytes is an error of kind Other.
std::expected<void, IoError> write_wakeup(int wake_fd);
// Consumes one unit: one 8-byte read, never repeated. Errors: WouldBlock
// (EAGAIN) when no unit is pending; any other operating-system error.
std::expected<void, IoError> read_wakeup(int wake_fd);

// --- The handshake ---

// Subscriber: sends word and descriptor in one sendmsg with MSG_NOSIGNAL.
// Errors: the operating-system error (a closed peer gives EPIPE, no signal).
std::expected<void, IoError> send_fd(int socket, int fd, std::uint32_t word);

// The refusal of a handshake: invalid data "expected SCM_RIGHTS".
IoError expected_scm_rights_error();

// One handshake as the publisher received it.
struct Handshake {
  UniqueFd connection;           // non-blocking, close-on-exec; never read again
  UniqueFd wake_fd;              // close-on-exec
  std::uint32_t cursor_idx = 0;  // below the max_subscribers passed
};

// Publisher: accepts one queued connection on the non-blocking listener
// (EINTR repeated). The connection is close-on-exec and non-blocking, so that
// no read of it ever waits for its peer. Empty when none is queued. Errors:
// the accept's operating-system error (the listener's own failure).
std::expected<std::optional<UniqueFd>, IoError> accept_connection(int listener);

// Publisher: reads the handshake of an accepted connection if it has
// arrived, without waiting; any descriptor passed beyond the first is closed.
// On success the connection moves into the handshake; otherwise it stays with
// the caller. Empty while nothing has arrived: the peer has not sent yet. Errors:
// expected_scm_rights_error() for a peer that closed, sent only data, sent
// fewer than 4 bytes, overflowed the control buffer or named an index at or
// above max_subscribers (a received descriptor is then closed); any other
// recvmsg failure (a reset) as the operating-system error. After an error the
// connection is of no further use.
std::expected<std::optional<Handshake>, IoError> try_receive_handshake(UniqueFd& connection,
                                                                       std::uint32_t max_subscribers);

// The publisher's end of the connection hung up: UnexpectedEof "publisher
// disconnected", outcome PublisherDisconnected.
IoError publisher_disconnected();

// A new publisher numbers the ring under this subscriber's cursor, so the
// subscription has ended: UnexpectedEof "publisher restarted (generation
// changed)", outcome PublisherRestarted.
IoError publisher_restarted();

// Subscriber's wait: polls wake_fd for readability and socket for error or
// hang-up until `until`; after EINTR it polls again for the time left (so a
// periodic signal cannot stretch the wait). Deadline::never() waits without
// limit, Deadline::now() not at all. Does not consume the unit. Errors:
// WouldBlock "poll timeout"; publisher_disconnected() (wins over a pending
// unit); any other poll failure as the operating-system error.
std::expected<void, IoError> poll_wakeup(int wake_fd, int socket, const Deadline& until);

// --- Unix-domain sockets ---

// Publisher: a stream socket (close-on-exec) bound to path, listening with the
// system's largest backlog, non-blocking. The caller unlinks an old file first.
// Errors: invalid input "path must be shorter than SUN_LEN" (path over 107
// bytes), the NUL-in-path error, or the operating-system error.
std::expected<UniqueFd, IoError> listen_unix(const std::string& path);

// Subscriber: a blocking stream socket (close-on-exec) connected to path.
// Errors: as listen_unix; ENOENT / ECONNREFUSED while no publisher listens.
std::expected<UniqueFd, IoError> connect_unix(const std::string& path);
// The same, but a connect that blocks because the listener's backlog is full
// gives up at `deadline` (EAGAIN). The socket keeps that send timeout; with
// Deadline::never() it has none, as connect_unix's.
std::expected<UniqueFd, IoError> connect_unix_until(const std::string& path, const Deadline& deadline);

}  // namespace qorva

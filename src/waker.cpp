#include "waker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace qorva {

namespace {

constexpr const char* kPathTooLongText = "path must be shorter than SUN_LEN";
constexpr const char* kExpectedScmRightsText = "expected SCM_RIGHTS";
constexpr const char* kPollTimeoutText = "poll timeout";
constexpr const char* kPublisherDisconnectedText = "publisher disconnected";
constexpr const char* kPublisherRestartedText = "publisher restarted (generation changed)";

std::unexpected<IoError> last_error() { return std::unexpected(IoError::last_os_error()); }
std::unexpected<IoError> fixed_error(IoKind kind, const char* text) {
  return std::unexpected(IoError::fixed(kind, text));
}
std::unexpected<IoError> no_scm_rights() { return std::unexpected(expected_scm_rights_error()); }

constexpr std::uint64_t kOneUnit = 1;
constexpr short kHangUpEvents = POLLERR | POLLHUP;

std::expected<void, IoError> set_nonblocking(int fd) {
  int value = 1;
  if (::ioctl(fd, FIONBIO, &value) != 0) return last_error();
  return {};
}

struct UnixAddress {
  sockaddr_un addr{};
  socklen_t len = 0;
};

std::expected<UnixAddress, IoError> unix_address(const std::string& path) {
  if (auto c = checked_path(path); !c) return std::unexpected(c.error());
  if (path.size() > kMaxSocketPath) return fixed_error(IoKind::InvalidInput, kPathTooLongText);
  UnixAddress out;
  out.addr.sun_family = AF_UNIX;
  std::memcpy(out.addr.sun_path, path.data(), path.size());
  out.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return out;
}

std::expected<UniqueFd, IoError> stream_socket() {
  UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) return last_error();
  return s;
}

// Every SCM_RIGHTS descriptor the kernel installed, in order, so that each one
// is closed unless it is the one taken.
std::vector<UniqueFd> take_passed_fds(msghdr& msg) {
  std::vector<UniqueFd> fds;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len < CMSG_LEN(0)) continue;
    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      fds.emplace_back(fd);
    }
  }
  return fds;
}

bool first_is_scm_rights(msghdr& msg) {
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  return c != nullptr && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
         c->cmsg_len >= CMSG_LEN(sizeof(int));
}

// The handshake message as both ends build it: the 4-byte word and room for
// one descriptor.
struct HandshakeMessage {
  std::uint32_t word = 0;
  iovec iov{&word, handshake_format::kWordSize};
  alignas(cmsghdr) unsigned char control[handshake_format::kControlBufferSize] = {};
  msghdr msg{};

  HandshakeMessage() {
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
  }
  HandshakeMessage(const HandshakeMessage&) = delete;
  HandshakeMessage& operator=(const HandshakeMessage&) = delete;
};

// SO_SNDTIMEO; zero would mean no limit, so it is raised to 1 us.
std::expected<void, IoError> set_send_timeout(int socket, Duration timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.secs);
  tv.tv_usec = static_cast<suseconds_t>(timeout.nanos / 1000);
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
  if (::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return last_error();
  return {};
}

// A connect blocks while the listener's backlog is full; SO_SNDTIMEO bounds
// that wait unless `deadline` is never().
std::expected<UniqueFd, IoError> connect_stream(const std::string& path, const Deadline& deadline) {
  auto addr = unix_address(path);
  if (!addr) return std::unexpected(addr.error());
  auto s = stream_socket();
  if (!s) return s;
  if (deadline != Deadline::never()) {
    if (auto r = set_send_timeout(s->get(), deadline.remaining()); !r) return std::unexpected(r.error());
  }
  if (::connect(s->get(), reinterpret_cast<const sockaddr*>(&addr->addr), addr->len) != 0) return last_error();
  return s;
}

struct ReceivedFd {
  UniqueFd fd;  // close-on-exec
  std::uint32_t word = 0;
};

// The handshake if it has arrived: one receive that never waits.
std::expected<std::optional<ReceivedFd>, IoError> recv_fd_now(int socket) {
  HandshakeMessage m;
  msghdr& msg = m.msg;
  const ssize_t n = retry_eintr([&] { return ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT); });
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    return last_error();
  }
  std::vector<UniqueFd> fds = take_passed_fds(msg);
  // A short word would name another subscriber's slot; a truncated control
  // buffer means the peer passed more than we can account for. A peer that
  // closed without sending reads as 0 bytes and ends here too.
  if (static_cast<std::size_t>(n) < handshake_format::kWordSize || (msg.msg_flags & MSG_CTRUNC) != 0 || fds.empty() ||
      !first_is_scm_rights(msg))
    return no_scm_rights();
  return ReceivedFd{std::move(fds.front()), m.word};
}

}  // namespace

IoError expected_scm_rights_error() { return IoError::fixed(IoKind::InvalidData, kExpectedScmRightsText); }

IoError publisher_disconnected() {
  return IoError::fixed(IoKind::UnexpectedEof, kPublisherDisconnectedText, IoOutcome::PublisherDisconnected);
}

IoError publisher_restarted() {
  return IoError::fixed(IoKind::UnexpectedEof, kPublisherRestartedText, IoOutcome::PublisherRestarted);
}

std::expected<UniqueFd, IoError> create_wake_fd() {
  UniqueFd fd(::eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC));
  if (!fd) return last_error();
  return fd;
}

// eventfd transfers 8 bytes or fails; a shorter count cannot happen, and is
// reported as EIO should it ever.
std::expected<void, IoError> write_wakeup(int wake_fd) {
  ssize_t n = ::write(wake_fd, &kOneUnit, sizeof kOneUnit);
  if (n < 0) return last_error();
  if (n != sizeof kOneUnit) return std::unexpected(IoError::from_errno(EIO));
  return {};
}

std::expected<void, IoError> read_wakeup(int wake_fd) {
  std::uint64_t value = 0;
  ssize_t n = ::read(wake_fd, &value, sizeof value);
  if (n < 0) return last_error();
  if (n != sizeof value) return std::unexpected(IoError::from_errno(EIO));
  return {};
}

std::expected<void, IoError> send_fd(int socket, int fd, std::uint32_t word) {
  HandshakeMessage m;
  m.word = word;
  msghdr& msg = m.msg;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_len = handshake_format::kControlLen;
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  if (retry_eintr([&] { return ::sendmsg(socket, &msg, MSG_NOSIGNAL); }) < 0) return last_error();
  return {};
}

std::expected<std::optional<UniqueFd>, IoError> accept_connection(int listener) {
  UniqueFd conn(retry_eintr([&] { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }));
  if (!conn) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    return last_error();
  }
  return conn;
}

std::expected<std::optional<Handshake>, IoError> try_receive_handshake(UniqueFd& connection,
                                                                       std::uint32_t max_subscribers) {
  auto got = recv_fd_now(connection.get());
  if (!got) return std::unexpected(got.error());
  if (!*got) return std::nullopt;
  // The index addresses the header's arrays: one from a foreign or confused
  // peer must never be used.
  if ((*got)->word >= max_subscribers) return no_scm_rights();
  return Handshake{std::move(connection), std::move((*got)->fd), (*got)->word};
}

std::expected<void, IoError> poll_wakeup(int wake_fd, int socket, const Deadline& until) {
  pollfd fds[2] = {{wake_fd, POLLIN, 0}, {socket, kHangUpEvents, 0}};
  // An interrupted wait goes on with what remains to its deadline: started
  // over in full, it would never end under a periodic signal.
  int n;
  while ((n = ::poll(fds, 2, until.poll_millis())) < 0 && errno == EINTR) {
  }
  if (n < 0) return last_error();
  if (n == 0) return fixed_error(IoKind::WouldBlock, kPollTimeoutText);
  if ((fds[1].revents & kHangUpEvents) != 0) return std::unexpected(publisher_disconnected());
  // A closed descriptor would otherwise look like a wakeup forever.
  if (((fds[0].revents | fds[1].revents) & POLLNVAL) != 0) return std::unexpected(IoError::from_errno(EBADF));
  return {};
}

std::expected<UniqueFd, IoError> listen_unix(const std::string& path) {
  auto addr = unix_address(path);
  if (!addr) return std::unexpected(addr.error());
  auto s = stream_socket();
  if (!s) return s;
  if (::bind(s->get(), reinterpret_cast<const sockaddr*>(&addr->addr), addr->len) != 0) return last_error();
  if (::listen(s->get(), -1) != 0) return last_error();
  if (auto r = set_nonblocking(s->get()); !r) return std::unexpected(r.error());
  return s;
}

std::expected<UniqueFd, IoError> connect_unix(const std::string& path) {
  return connect_stream(path, Deadline::never());
}

std::expected<UniqueFd, IoError> connect_unix_until(const std::string& path, const Deadline& deadline) {
  return connect_stream(path, deadline);
}

}  // namespace qorva

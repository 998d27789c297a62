#include "platform/stream_socket.h"

#ifdef _WIN32
#include <afunix.h>

#include "platform/windows_error.h"
#else
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/un.h>
#endif

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/wake_event.h"
#include "support/errors.h"

namespace vd {
namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

}  // namespace

TStreamSocket::TStreamSocket(ISocketApi& api) : api_(api) {}

TStreamSocket::~TStreamSocket() { Close(); }

void TStreamSocket::Close() noexcept {
  if (fd_ >= 0) api_.Close(fd_);
  fd_ = -1;
}

void TStreamSocket::ConnectTcp(const std::string& host, int32_t port, int timeout_ms,
                               int cancel_fd) {
  Close();
  peer_ = host + ":" + std::to_string(port);
  if (port <= 0 || port > 65535) throw MakeOSError(EINVAL, "connect", peer_);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    throw EOSError(EHOSTUNREACH, "resolve " + peer_ + ": " + gai_strerror(rc));
  }
  const std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);

  const int fd = api_.Socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (fd < 0) throw MakeOSError(errno, "socket", peer_);
  int error = 0;
  if (api_.Connect(fd, found->ai_addr, static_cast<socklen_t>(found->ai_addrlen)) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      pollfd fds[2] = {PollEntry(fd, POLLOUT), PollEntry(cancel_fd, POLLIN)};
      const int ready = api_.Poll(fds, cancel_fd >= 0 ? 2 : 1, timeout_ms);
      if (ready < 0) {
        error = errno;
      } else if (ready == 0) {
        error = ETIMEDOUT;
      } else if (cancel_fd >= 0 && (fds[1].revents & POLLIN) != 0) {
        error = ECANCELED;
      } else {
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
          error = errno;
        }
#ifdef _WIN32
        error = error == 0 ? 0 : ErrnoOfWindowsError(static_cast<unsigned long>(error));
#endif
      }
    }
  }
  if (error != 0) {
    api_.Close(fd);
    throw MakeOSError(error, "connect", peer_);
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  fd_ = fd;
}

void TStreamSocket::ConnectUnix(const std::string& path) {
  Close();
  peer_ = path;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) throw MakeOSError(ENAMETOOLONG, "connect", path);
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = api_.Socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (fd < 0) throw MakeOSError(errno, "socket", path);
  // A local stream connect completes at once or fails (EAGAIN: backlog full).
  if (api_.Connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    api_.Close(fd);
    throw MakeOSError(error, "connect", path);
  }
  fd_ = fd;
}

size_t TStreamSocket::Send(std::string_view bytes, int timeout_ms) {
  if (fd_ < 0) throw MakeOSError(ENOTCONN, "send", peer_);
  size_t sent = 0;
  int waited_ms = 0;
  // Each pass either sends something or waits; the waits add up to the
  // time-out (counted in poll slices, as the time-out is a bound, not a rule).
  for (int pass = 0; sent < bytes.size() && pass < 1000000; ++pass) {
    const ssize_t n =
        api_.Send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) throw MakeOSError(errno, "send", peer_);
    if (waited_ms >= timeout_ms) break;
    constexpr int kSliceMs = 50;
    pollfd fds = PollEntry(fd_, POLLOUT);
    if (api_.Poll(&fds, 1, kSliceMs) < 0 && errno != EINTR) throw MakeOSError(errno, "poll", peer_);
    waited_ms += kSliceMs;
  }
  return sent;
}

TStreamWait TStreamSocket::Wait(int timeout_ms, const TWakeEvent* wake, const TWakeEvent* wake2) {
  pollfd fds[3] = {PollEntry(fd_, POLLIN), PollEntry(wake != nullptr ? wake->Fd() : -1, POLLIN),
                   PollEntry(wake2 != nullptr ? wake2->Fd() : -1, POLLIN)};
  int ready = 0;
  do {
    ready = api_.Poll(fds, 3, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) throw MakeOSError(errno, "poll", peer_);
  TStreamWait result;
  result.Readable = fd_ >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  result.Woken = (fds[1].revents & POLLIN) != 0 || (fds[2].revents & POLLIN) != 0;
  return result;
}

size_t TStreamSocket::Available() {
  if (fd_ < 0) return 0;
  int count = 0;
  if (api_.Available(fd_, &count) != 0) throw MakeOSError(errno, "ioctl FIONREAD", peer_);
  return count > 0 ? static_cast<size_t>(count) : 0;
}

size_t TStreamSocket::ReadSome(char* data, size_t size) {
  if (fd_ < 0 || size == 0) return 0;
  for (int pass = 0; pass < 100; ++pass) {
    const ssize_t n = api_.Recv(fd_, data, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    throw MakeOSError(errno, "recv", peer_);
  }
  return 0;
}

}  // namespace vd

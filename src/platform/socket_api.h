#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace vd {

// The operating system's socket calls as the stream sockets use them, one
// virtual per call with the POSIX signature and errno convention, so tests
// can make any of them fail (tests/fakes/fault_socket_api.h). Implementations
// are safe to call from any thread.
class ISocketApi {
 public:
  virtual ~ISocketApi() = default;
  virtual int Socket(int domain, int type, int protocol) = 0;
  virtual int Connect(int fd, const sockaddr* address, socklen_t length) = 0;
  virtual ssize_t Send(int fd, const void* data, size_t size, int flags) = 0;
  virtual ssize_t Recv(int fd, void* data, size_t size, int flags) = 0;
  virtual int Poll(pollfd* fds, nfds_t count, int timeout_ms) = 0;
  // ioctl FIONREAD: bytes that can be read at once.
  virtual int Available(int fd, int* count) = 0;
  virtual int Close(int fd) = 0;
};

// The real calls; one process-wide instance without state.
ISocketApi& PosixSocketApi();

}  // namespace vd

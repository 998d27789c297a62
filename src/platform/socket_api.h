#pragma once

#include <sys/types.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// windows.h names DeleteFileA DeleteFile, which would rename IFileSystem's.
#undef DeleteFile
#else
#include <poll.h>
#include <sys/socket.h>
#endif

namespace vd {

#ifdef _WIN32
// Winsock in the shape of the POSIX calls. A descriptor is the SOCKET handle
// in an int (Windows keeps handle values within 32 bits), so -1 stands for
// INVALID_SOCKET. SOCK_NONBLOCK makes a socket non-blocking when it is
// created, which makes MSG_DONTWAIT redundant; Winsock raises no SIGPIPE and
// its sockets are not inherited by child processes.
using nfds_t = unsigned long;
inline constexpr int SOCK_NONBLOCK = 0x40000000;
inline constexpr int SOCK_CLOEXEC = 0;
inline constexpr int MSG_NOSIGNAL = 0;
inline constexpr int MSG_DONTWAIT = 0;
#endif

// One entry of a Poll call; fd -1 is skipped.
inline pollfd PollEntry(int fd, short events) {
  pollfd entry{};
  entry.fd = fd;
  entry.events = events;
  return entry;
}

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

// The real calls; one process-wide instance without state. On Windows it
// starts the socket library with its first use and maps every Winsock error
// to the errno value of the same meaning.
ISocketApi& PosixSocketApi();

}  // namespace vd

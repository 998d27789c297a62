#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <vector>

#include "platform/socket_api.h"
#include "platform/windows_error.h"

namespace vd {
namespace {

SOCKET Handle(int fd) { return static_cast<SOCKET>(static_cast<intptr_t>(fd)); }

// -1 with errno set from Winsock's last error, as the POSIX calls answer.
int Failed() {
  errno = ErrnoOfWindowsError(static_cast<unsigned long>(WSAGetLastError()));
  return -1;
}

class TWinsockApi final : public ISocketApi {
 public:
  // The socket library stays started for the life of the process.
  TWinsockApi() {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
  }

  int Socket(int domain, int type, int protocol) override {
    const bool non_blocking = (type & SOCK_NONBLOCK) != 0;
    const SOCKET socket = WSASocketW(domain, type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC), protocol,
                                     nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) return Failed();
    u_long on = 1;
    if (non_blocking && ioctlsocket(socket, FIONBIO, &on) != 0) {
      const int result = Failed();
      closesocket(socket);
      return result;
    }
    return static_cast<int>(socket);
  }

  int Connect(int fd, const sockaddr* address, socklen_t length) override {
    if (::connect(Handle(fd), address, length) == 0) return 0;
    Failed();
    // A non-blocking connect under way says "would block" on Windows.
    if (errno == EWOULDBLOCK) errno = EINPROGRESS;
    return -1;
  }

  ssize_t Send(int fd, const void* data, size_t size, int /*flags*/) override {
    const int n = ::send(Handle(fd), static_cast<const char*>(data), ClampSize(size), 0);
    return n == SOCKET_ERROR ? Failed() : n;
  }

  ssize_t Recv(int fd, void* data, size_t size, int /*flags*/) override {
    const int n = ::recv(Handle(fd), static_cast<char*>(data), ClampSize(size), 0);
    return n == SOCKET_ERROR ? Failed() : n;
  }

  // WSAPoll with the POSIX rule that a negative descriptor is skipped.
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) override {
    std::vector<WSAPOLLFD> used;
    std::vector<nfds_t> position;
    for (nfds_t i = 0; i < count; ++i) {
      fds[i].revents = 0;
      if (fds[i].fd == INVALID_SOCKET) continue;
      used.push_back(fds[i]);
      position.push_back(i);
    }
    if (used.empty()) {
      Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
      return 0;
    }
    const int ready = WSAPoll(used.data(), static_cast<ULONG>(used.size()), timeout_ms);
    if (ready == SOCKET_ERROR) return Failed();
    for (size_t i = 0; i < used.size(); ++i) fds[position[i]].revents = used[i].revents;
    return ready;
  }

  int Available(int fd, int* count) override {
    u_long available = 0;
    if (ioctlsocket(Handle(fd), FIONREAD, &available) != 0) return Failed();
    *count = static_cast<int>(available);
    return 0;
  }

  int Close(int fd) override { return closesocket(Handle(fd)) == 0 ? 0 : Failed(); }

 private:
  static int ClampSize(size_t size) { return size > 1u << 30 ? 1 << 30 : static_cast<int>(size); }
};

}  // namespace

ISocketApi& PosixSocketApi() {
  static TWinsockApi api;
  return api;
}

}  // namespace vd

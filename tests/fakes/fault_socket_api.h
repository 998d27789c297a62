#pragma once

#include <atomic>
#include <cerrno>

#include "platform/socket_api.h"

namespace vd {

// The real socket calls with switches that make them fail: sends that take
// at most send_limit bytes (0: the peer takes nothing, as when its window is
// full), and recv or connect failing with a given errno. Safe to use from any
// thread.
class FaultSocketApi final : public ISocketApi {
 public:
  int Socket(int domain, int type, int protocol) override {
    return real_.Socket(domain, type, protocol);
  }
  int Connect(int fd, const sockaddr* address, socklen_t length) override {
    if (const int error = connect_errno.load(); error != 0) {
      errno = error;
      return -1;
    }
    return real_.Connect(fd, address, length);
  }
  ssize_t Send(int fd, const void* data, size_t size, int flags) override {
    const long limit = send_limit.load();
    if (limit == 0) {
      errno = EAGAIN;
      return -1;
    }
    if (limit > 0 && size > static_cast<size_t>(limit)) size = static_cast<size_t>(limit);
    return real_.Send(fd, data, size, flags);
  }
  ssize_t Recv(int fd, void* data, size_t size, int flags) override {
    if (const int error = recv_errno.load(); error != 0) {
      errno = error;
      return -1;
    }
    return real_.Recv(fd, data, size, flags);
  }
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) override {
    return real_.Poll(fds, count, timeout_ms);
  }
  int Available(int fd, int* count) override { return real_.Available(fd, count); }
  int Close(int fd) override { return real_.Close(fd); }

  std::atomic<long> send_limit{-1};  // -1: no limit
  std::atomic<int> connect_errno{0};
  std::atomic<int> recv_errno{0};

 private:
  ISocketApi& real_ = PosixSocketApi();
};

}  // namespace vd

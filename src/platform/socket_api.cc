#include "platform/socket_api.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace vd {
namespace {

class TPosixSocketApi final : public ISocketApi {
 public:
  int Socket(int domain, int type, int protocol) override {
    return ::socket(domain, type | SOCK_CLOEXEC, protocol);
  }
  int Connect(int fd, const sockaddr* address, socklen_t length) override {
    return ::connect(fd, address, length);
  }
  ssize_t Send(int fd, const void* data, size_t size, int flags) override {
    return ::send(fd, data, size, flags);
  }
  ssize_t Recv(int fd, void* data, size_t size, int flags) override {
    return ::recv(fd, data, size, flags);
  }
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) override {
    return ::poll(fds, count, timeout_ms);
  }
  int Available(int fd, int* count) override { return ::ioctl(fd, FIONREAD, count); }
  int Close(int fd) override { return ::close(fd); }
};

}  // namespace

ISocketApi& PosixSocketApi() {
  static TPosixSocketApi api;
  return api;
}

}  // namespace vd

#include "notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace vd {

TNotifySocket::TNotifySocket(const std::string& path) : path_(path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    throw std::runtime_error("the notification socket path is too long: " + path);
  }
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("cannot make the notification socket " + path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd_);
    throw std::runtime_error("cannot bind the notification socket " + path);
  }
}

TNotifySocket::~TNotifySocket() {
  close(fd_);
  unlink(path_.c_str());
}

void TNotifySocket::Drain() {
  char buffer[512];
  for (int i = 0; i < 1000 && recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) > 0; ++i) {
  }
}

bool TNotifySocket::WaitFor(const std::string& word, int64_t timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const int64_t left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[512];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) continue;
    if (std::string(buffer, static_cast<size_t>(n)).find(word) != std::string::npos) return true;
  }
}

}  // namespace vd

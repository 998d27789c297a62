#include "fakes/loopback_transmitter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fakes/eventually.h"

namespace vd {

LoopbackTransmitter::LoopbackTransmitter(int32_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
  timeval timeout{kEventuallyMs / 1000, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

int32_t LoopbackTransmitter::LocalPort() const {
  sockaddr_in mine{};
  socklen_t length = sizeof mine;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&mine), &length);
  return ntohs(mine.sin_port);
}

ssize_t LoopbackTransmitter::TrySend(const std::string& text) const {
  return send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
}

void LoopbackTransmitter::Send(const std::string& text) const {
  ASSERT_EQ(TrySend(text), static_cast<ssize_t>(text.size()));
}

std::string LoopbackTransmitter::ReadLine() const {
  std::string line;
  char c = 0;
  while (line.size() < 4096 && recv(fd_, &c, 1, 0) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

std::string LoopbackTransmitter::Read(size_t count) const {
  std::string text(count, '\0');
  size_t got = 0;
  for (ssize_t n = 1; got < count && n > 0; got += n > 0 ? static_cast<size_t>(n) : 0)
    n = recv(fd_, text.data() + got, count - got, 0);
  return text.substr(0, got);
}

bool LoopbackTransmitter::SeesClose() const {
  char buffer[4096];
  for (int i = 0; i < 1000; ++i) {
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return n == 0;
  }
  return false;
}

int LoopbackTransmitter::ServerSide() const {
  const int32_t mine = LocalPort();
  for (int fd = 3; fd < 4096; ++fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (fd == fd_ || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    // The port sits at the same place in both address families.
    if ((peer.ss_family == AF_INET || peer.ss_family == AF_INET6) &&
        ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port) == mine)
      return fd;
  }
  return -1;
}

void LoopbackTransmitter::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool CanConnect(int32_t port) { return LoopbackTransmitter(port).Connected(); }

std::string SignalMessage(const std::string& tag) {
  return "[ABCD1234X9Z12024011512304507|" + tag + "]";
}

}  // namespace vd

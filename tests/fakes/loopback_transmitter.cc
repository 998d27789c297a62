#include "fakes/loopback_transmitter.h"

#include <gtest/gtest.h>

#include "fakes/eventually.h"
#include "platform/socket_api.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

namespace vd {
namespace {

ISocketApi& Api() { return PosixSocketApi(); }

}  // namespace

LoopbackTransmitter::LoopbackTransmitter(int32_t port)
    : fd_(Api().Socket(AF_INET, SOCK_STREAM, 0)) {
#ifndef _WIN32
  timeval timeout{kEventuallyMs / 1000, 0};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
#endif
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connected_ =
      fd_ >= 0 && Api().Connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

ssize_t LoopbackTransmitter::TrySend(const std::string& text) const {
  return Api().Send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
}

void LoopbackTransmitter::Send(const std::string& text) const {
  ASSERT_EQ(TrySend(text), static_cast<ssize_t>(text.size()));
}

ssize_t LoopbackTransmitter::Receive(char* data, size_t size) const {
  pollfd entry = PollEntry(fd_, POLLIN);
  if (Api().Poll(&entry, 1, kEventuallyMs) <= 0) return -1;
  return Api().Recv(fd_, data, size, 0);
}

std::string LoopbackTransmitter::ReadLine() const {
  std::string line;
  char c = 0;
  while (line.size() < 4096 && Receive(&c, 1) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

std::string LoopbackTransmitter::Read(size_t count) const {
  std::string text(count, '\0');
  size_t got = 0;
  for (ssize_t n = 1; got < count && n > 0; got += n > 0 ? static_cast<size_t>(n) : 0)
    n = Receive(text.data() + got, count - got);
  return text.substr(0, got);
}

bool LoopbackTransmitter::SeesClose() const {
  char buffer[4096];
  for (int i = 0; i < 1000; ++i) {
    const ssize_t n = Receive(buffer, sizeof buffer);
    if (n <= 0) return n == 0;
  }
  return false;
}

#ifndef _WIN32
int32_t LoopbackTransmitter::LocalPort() const {
  sockaddr_in mine{};
  socklen_t length = sizeof mine;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&mine), &length);
  return ntohs(mine.sin_port);
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
#endif

void LoopbackTransmitter::Close() {
  if (fd_ >= 0) Api().Close(fd_);
  fd_ = -1;
}

bool CanConnect(int32_t port) { return LoopbackTransmitter(port).Connected(); }

std::string SignalMessage(const std::string& tag) {
  return "[ABCD1234X9Z12024011512304507|" + tag + "]";
}

}  // namespace vd

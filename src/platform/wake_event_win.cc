#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/socket_api.h"
#include "platform/wake_event.h"
#include "platform/windows_error.h"

namespace vd {
namespace {

// A loopback datagram socket connected to itself: each Notify is a datagram
// to itself, so WSAPoll sees it readable beside the link's socket.
int CreateWakeSocket() {
  PosixSocketApi();  // starts the socket library
  const SOCKET fd = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (fd == INVALID_SOCKET) {
    throw MakeWindowsError(static_cast<unsigned long>(WSAGetLastError()), "create wake event");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  u_long on = 1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ioctlsocket(fd, FIONBIO, &on) != 0) {
    const int error = WSAGetLastError();
    closesocket(fd);
    throw MakeWindowsError(static_cast<unsigned long>(error), "create wake event");
  }
  return static_cast<int>(fd);
}

SOCKET Handle(int fd) { return static_cast<SOCKET>(static_cast<intptr_t>(fd)); }

// Manual reset: signalled from a Notify until the Drain.
HANDLE CreateWaitEvent(int fd) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    const DWORD error = GetLastError();
    closesocket(Handle(fd));
    throw MakeWindowsError(error, "create wake event");
  }
  return event;
}

}  // namespace

TWakeEvent::TWakeEvent() : fd_(CreateWakeSocket()), handle_(CreateWaitEvent(fd_)) {}

TWakeEvent::~TWakeEvent() {
  closesocket(Handle(fd_));
  CloseHandle(handle_);
}

void TWakeEvent::Notify() noexcept {
  // A full buffer means the event is notified anyway.
  const char one = 1;
  send(Handle(fd_), &one, 1, 0);
  SetEvent(handle_);
}

bool TWakeEvent::Drain() noexcept {
  // Reset before the datagrams go: a Notify in between leaves the event
  // signalled, at worst for one wake-up too many.
  ResetEvent(handle_);
  bool notified = false;
  char buffer[64];
  // Bounded: the datagrams that came up to now, not a notifier that keeps on.
  for (int pass = 0; pass < 4096 && recv(Handle(fd_), buffer, sizeof buffer, 0) > 0; ++pass) {
    notified = true;
  }
  return notified;
}

}  // namespace vd

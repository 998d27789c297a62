#include <winsock2.h>
#include <ws2tcpip.h>

#include "free_port.h"

namespace vd {

int32_t FreeLoopbackPort() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
  int32_t port = 0;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s != INVALID_SOCKET) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      int length = sizeof address;
      if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
      }
    }
    closesocket(s);
  }
  WSACleanup();
  return port;
}

}  // namespace vd

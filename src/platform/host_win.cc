#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/host.h"
#include "platform/windows_error.h"
#include "platform/windows_text.h"

namespace vd {
namespace {

constexpr char kLoopback[] = "127.0.0.1";

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

// The socket library for the lifetime of one lookup.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data{};
    started_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
  }
  ~WinsockSession() {
    if (started_) WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  bool Started() const { return started_; }

 private:
  bool started_ = false;
};

}  // namespace

std::string GetLocalIP() {
  try {
    const WinsockSession winsock;
    if (!winsock.Started()) return kLoopback;
    char name[65] = {};
    if (gethostname(name, 64) != 0 || name[0] == '\0') return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const int code = getaddrinfo(name, nullptr, &hints, &raw);
    if (code == WSAHOST_NOT_FOUND || code == WSANO_DATA || code == WSATRY_AGAIN ||
        code == WSANO_RECOVERY) {
      return {};
    }
    if (code != 0) return kLoopback;
    const std::unique_ptr<addrinfo, AddrInfoDeleter> result(raw);
    for (const addrinfo* entry = result.get(); entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
      auto* address = reinterpret_cast<sockaddr_in*>(entry->ai_addr);
      char text[INET_ADDRSTRLEN] = {};
      if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) return kLoopback;
      return text;
    }
    return {};
  } catch (...) {
    return kLoopback;
  }
}

std::string ExecutablePath() {
  // The path's length is unknown beforehand; grow until it fits, within bounds.
  for (DWORD size = 260; size <= 32768; size *= 2) {
    std::wstring buffer(size, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
    if (length == 0) throw LastWindowsError("GetModuleFileName");
    if (length < size) {
      // Written with "/" as every path of the driver.
      std::string path = Utf8FromWide(std::wstring_view(buffer.data(), length));
      std::replace(path.begin(), path.end(), '\\', '/');
      return path;
    }
  }
  throw MakeWindowsError(ERROR_FILENAME_EXCED_RANGE, "GetModuleFileName");
}

std::string ExecutableDirectory() {
  const std::string path = ExecutablePath();
  const size_t separator = path.rfind('/');
  if (separator == std::string::npos) {
    throw MakeWindowsError(ERROR_PATH_NOT_FOUND, "locate directory of", path);
  }
  return path.substr(0, separator + 1);
}

}  // namespace vd

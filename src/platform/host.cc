#include "platform/host.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

#include "support/errors.h"

namespace vd {
namespace {

constexpr char kLoopback[] = "127.0.0.1";

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

// Whether a getaddrinfo failure means the name has no address, as opposed
// to a failure of the lookup itself.
bool IsNotFound(int code) {
  switch (code) {
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
    case EAI_AGAIN:
    case EAI_FAIL:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string GetLocalIP() {
  try {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return {};

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const int code = getaddrinfo(name, nullptr, &hints, &raw);
    if (code != 0) return IsNotFound(code) ? std::string() : std::string(kLoopback);
    const std::unique_ptr<addrinfo, AddrInfoDeleter> result(raw);

    for (const addrinfo* entry = result.get(); entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
      const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
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
  constexpr char kSelf[] = "/proc/self/exe";
  // The link's length is unknown beforehand; grow until it fits, within bounds.
  for (size_t size = 256; size <= 65536; size *= 2) {
    std::vector<char> buffer(size);
    const ssize_t length = readlink(kSelf, buffer.data(), buffer.size());
    if (length < 0) throw MakeOSError(errno, "readlink", kSelf);
    if (static_cast<size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<size_t>(length));
    }
  }
  throw MakeOSError(ENAMETOOLONG, "readlink", kSelf);
}

std::string ExecutableDirectory() {
  const std::string path = ExecutablePath();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) throw MakeOSError(ENOENT, "locate directory of", path);
  return path.substr(0, slash + 1);
}

}  // namespace vd

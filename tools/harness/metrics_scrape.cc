#include "metrics_scrape.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace vd {
namespace {

// The whole answer to one HTTP/1.0 request, or nothing.
std::optional<std::string> Get(int32_t port, const std::string& path, int timeout_ms) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  bool complete = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      char buffer[16384];
      while (std::chrono::steady_clock::now() < end) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        const ssize_t size = recv(fd, buffer, sizeof buffer, 0);
        if (size <= 0) {
          complete = size == 0;
          break;
        }
        answer.append(buffer, static_cast<size_t>(size));
      }
    }
  }
  close(fd);
  if (!complete) return std::nullopt;
  return answer;
}

}  // namespace

std::optional<std::map<std::string, double>> ScrapeMetrics(int32_t port, int timeout_ms) {
  const std::optional<std::string> answer = Get(port, "/metrics", timeout_ms);
  if (!answer || answer->find(" 200 ") == std::string::npos) return std::nullopt;
  const size_t body = answer->find("\r\n\r\n");
  if (body == std::string::npos) return std::nullopt;
  std::map<std::string, double> samples;
  std::istringstream lines(answer->substr(body + 4));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    if (space == std::string::npos) continue;
    samples[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
  }
  return samples;
}

}  // namespace vd

// TNotifySocket: the datagram socket a supervisor listens on for a child's
// READY=1 and STOPPING=1 (the child finds it through NOTIFY_SOCKET).
//
// Owns the socket and its path: an old file at the path is removed before the
// bind and the path is removed again on destruction. The constructor throws
// std::runtime_error when the socket cannot be made or bound.
//
// Not thread-safe: one thread creates, reads and destroys it.
#pragma once

#include <cstdint>
#include <string>

namespace vd {

class TNotifySocket {
 public:
  explicit TNotifySocket(const std::string& path);
  ~TNotifySocket();
  TNotifySocket(const TNotifySocket&) = delete;
  TNotifySocket& operator=(const TNotifySocket&) = delete;

  // Forgets whatever an earlier process sent.
  void Drain();
  // Waits at most timeout_ms for a datagram holding word; true when it came.
  bool WaitFor(const std::string& word, int64_t timeout_ms);
  const std::string& Path() const { return path_; }

 private:
  const std::string path_;
  int fd_ = -1;
};

}  // namespace vd

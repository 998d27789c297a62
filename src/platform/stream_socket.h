#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket_api.h"

namespace vd {

// What a wait on a stream socket saw.
struct TSocketWait {
  // Data, the end of the stream or an error can be read without blocking.
  bool Readable = false;
  // The extra descriptor given to the wait is readable (a wake event).
  bool Woken = false;
};

// One client stream socket, TCP or Unix-domain, used without blocking: every
// wait is an explicit poll with a time-out, so the owner can watch a wake-up
// descriptor at the same time. Errors are raised as EOSError with the
// operation and the peer in the message.
//
// Owns its descriptor; belongs to one thread. The socket API is borrowed and
// must outlive the object.
class TStreamSocket {
 public:
  explicit TStreamSocket(ISocketApi& api = PosixSocketApi());
  ~TStreamSocket();
  TStreamSocket(const TStreamSocket&) = delete;
  TStreamSocket& operator=(const TStreamSocket&) = delete;

  // Connects to host (a name or an IPv4/IPv6 address) and port, waiting at
  // most timeout_ms; gives up early, with EOSError (ECANCELED), when
  // cancel_fd (if not -1) becomes readable. Raises EOSError on failure.
  void ConnectTcp(const std::string& host, int32_t port, int timeout_ms, int cancel_fd = -1);
  // Connects to the Unix-domain stream socket at path. Raises EOSError.
  void ConnectUnix(const std::string& path);
  bool Connected() const { return fd_ >= 0; }
  // Closes the connection; nothing when not connected.
  void Close() noexcept;

  // Sends the bytes, waiting up to timeout_ms in all for the peer to take
  // them; returns how many were sent (fewer when the time ran out). Raises
  // EOSError when the connection fails.
  size_t Send(std::string_view bytes, int timeout_ms);

  // Waits up to timeout_ms (0: just look) until the socket is readable or
  // wake_fd (if not -1) is. Raises EOSError when poll fails.
  TSocketWait Wait(int timeout_ms, int wake_fd = -1, int wake_fd2 = -1);

  // Bytes that can be read at once; 0 at the end of the stream. Raises
  // EOSError.
  size_t Available();

  // Reads at most size bytes without blocking; 0 when nothing is there or
  // the stream has ended. Raises EOSError when the connection failed.
  size_t ReadSome(char* data, size_t size);

  const std::string& PeerName() const { return peer_; }

 private:
  ISocketApi& api_;
  int fd_ = -1;
  std::string peer_;
};

}  // namespace vd

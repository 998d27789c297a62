#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/byte_stream.h"
#include "platform/socket_api.h"

namespace vd {

// One client stream socket, TCP or Unix-domain, used without blocking: every
// wait is an explicit poll with a time-out, so the owner can watch its wake
// events at the same time. Errors are raised as EOSError with the operation
// and the peer in the message.
//
// Owns its descriptor; belongs to one thread. The socket API is borrowed and
// must outlive the object.
class TStreamSocket final : public IByteStream {
 public:
  explicit TStreamSocket(ISocketApi& api = PosixSocketApi());
  ~TStreamSocket() override;
  TStreamSocket(const TStreamSocket&) = delete;
  TStreamSocket& operator=(const TStreamSocket&) = delete;

  // Connects to host (a name or an IPv4/IPv6 address) and port, waiting at
  // most timeout_ms; gives up early, with EOSError (ECANCELED), when
  // cancel_fd (if not -1) becomes readable. Raises EOSError on failure.
  void ConnectTcp(const std::string& host, int32_t port, int timeout_ms, int cancel_fd = -1);
  // Connects to the Unix-domain stream socket at path. Raises EOSError.
  void ConnectUnix(const std::string& path);
  bool Connected() const override { return fd_ >= 0; }
  void Close() noexcept override;

  size_t Send(std::string_view bytes, int timeout_ms) override;
  // Raises EOSError when poll fails.
  TStreamWait Wait(int timeout_ms, const TWakeEvent* wake, const TWakeEvent* wake2) override;
  size_t Available() override;
  size_t ReadSome(char* data, size_t size) override;

  const std::string& PeerName() const { return peer_; }

 private:
  ISocketApi& api_;
  int fd_ = -1;
  std::string peer_;
};

}  // namespace vd

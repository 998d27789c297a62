#pragma once

#include <cstddef>
#include <string_view>

namespace vd {

class TWakeEvent;

// What a wait on a byte stream saw.
struct TStreamWait {
  // Data, the end of the stream or an error can be read without blocking.
  bool Readable = false;
  // One of the wake events given to the wait is notified.
  bool Woken = false;
};

// A connected client byte stream as the Kernel link moves its frames: a TCP
// or Unix-domain socket (TStreamSocket) or the Kernel's local named pipe
// (TNamedPipeClient). How it connects belongs to the implementation; the
// rest is the same. Nothing blocks except for the time-outs given. Errors are
// raised as EOSError with the operation and the peer in the message.
//
// An implementation belongs to one thread.
class IByteStream {
 public:
  virtual ~IByteStream() = default;

  virtual bool Connected() const = 0;
  // Closes the connection; nothing when not connected.
  virtual void Close() noexcept = 0;

  // Sends the bytes, waiting up to timeout_ms in all for the peer to take
  // them; returns how many were sent (fewer when the time ran out). Raises
  // EOSError when the connection fails.
  virtual size_t Send(std::string_view bytes, int timeout_ms) = 0;

  // Waits up to timeout_ms (0: just look) until the stream is readable or
  // one of the wake events (each may be null) is notified; without a
  // connection only for the wake events. Raises EOSError when the wait
  // fails (a pipe: when it is broken).
  virtual TStreamWait Wait(int timeout_ms, const TWakeEvent* wake, const TWakeEvent* wake2) = 0;

  // Bytes that can be read at once; 0 when none (a socket: also at the end
  // of the stream). Raises EOSError.
  virtual size_t Available() = 0;

  // Reads at most size bytes without blocking; 0 when nothing is there or
  // the stream has ended. Raises EOSError when the connection failed.
  virtual size_t ReadSome(char* data, size_t size) = 0;
};

}  // namespace vd

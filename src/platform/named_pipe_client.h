#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/byte_stream.h"
#include "platform/socket_api.h"
#include "platform/stream_socket.h"

namespace vd {

// The client end of the Kernel's local pipe. On Windows the named pipe at a
// path "\\" + server + "\pipe\" + name, opened for overlapped I/O: a
// zero-byte read that stays outstanding between waits serves as the wait
// for data (together with the wake events), each read and write waits at
// most the I/O time-out and is cancelled after it, and a broken pipe raises
// from the wait. On POSIX a Unix-domain stream socket at a path stands for
// the pipe.
//
// Reads on Windows go through a buffer of kReadSize bytes: once the wait
// has seen data, one read takes what the pipe holds, so Available is exact.
//
// Owns its handle; belongs to one thread. The socket API (the calls of the
// POSIX socket; unused on Windows) is borrowed and must outlive the object.
// io_timeout_ms bounds the Windows read that takes what the wait saw (the
// link's own time-outs are those of the reads and writes it asks for).
class TNamedPipeClient final : public IByteStream {
 public:
  static constexpr size_t kReadSize = 4096;
  static constexpr int kIoTimeoutMs = 5000;

  explicit TNamedPipeClient(ISocketApi& socket_api, int io_timeout_ms = kIoTimeoutMs);
  ~TNamedPipeClient() override;
  TNamedPipeClient(const TNamedPipeClient&) = delete;
  TNamedPipeClient& operator=(const TNamedPipeClient&) = delete;

  // Opens the pipe at path (an existing one, for reading and writing, not
  // shared). Raises EOSError.
  void Open(const std::string& path);

  bool Connected() const override;
  void Close() noexcept override;
  size_t Send(std::string_view bytes, int timeout_ms) override;
  TStreamWait Wait(int timeout_ms, const TWakeEvent* wake, const TWakeEvent* wake2) override;
  size_t Available() override;
  size_t ReadSome(char* data, size_t size) override;

 private:
#ifdef _WIN32
  struct TState;
  std::unique_ptr<TState> state_;
#else
  TStreamSocket socket_;
#endif
};

// The path of the Kernel's pipe named name: on Windows the local machine's
// pipe "\\.\pipe\" + name (pipe_directory is a POSIX setting), on POSIX the
// socket pipe_directory + name.
std::string KernelPipePath(const std::string& pipe_directory, const std::string& name);

}  // namespace vd

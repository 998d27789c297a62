#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace vd {

// The server end of a named pipe that relays each client to a TCP
// connection of its own on loopback, so that a TCP server (the Kernel
// simulator) serves pipe clients with its TCP code. One instance of the pipe
// always waits for the next client; a client that connects while another is
// relayed replaces it, as a new TCP connection replaces the old one at the
// simulator.
//
// Bytes are not lost at a disconnect: when the client closes, what it wrote
// has been sent on before the TCP connection closes; when the TCP peer
// closes, what it sent has been written to the pipe, which the relay then
// closes without disconnecting it, so the client reads all of it before it
// sees the broken pipe.
//
// Owns its thread, pipe instances and sockets. Construct and stop from one
// thread; the relay thread touches nothing else.
class TWindowsPipeRelay {
 public:
  // Creates the pipe at path (such as "\\.\pipe\Lirra!") and relays to
  // port on host (an IPv4 address). Raises EOSError when the pipe cannot be
  // created (its name is taken, for one).
  TWindowsPipeRelay(std::string path, std::string host, int32_t port);
  ~TWindowsPipeRelay();
  TWindowsPipeRelay(const TWindowsPipeRelay&) = delete;
  TWindowsPipeRelay& operator=(const TWindowsPipeRelay&) = delete;

  // Closes the relayed connection and the pipe and ends the thread.
  void Stop();

 private:
  void Run();

  const std::string path_;
  const std::string host_;
  const int32_t port_;
  void* listening_ = nullptr;  // the instance waiting for a client
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace vd

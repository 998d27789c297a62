#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace vd {

// A transmitter: one blocking loopback TCP connection to a device port over
// the socket seam, on POSIX and Windows alike, whose receives (and on POSIX
// sends) give up after kEventuallyMs. One thread uses it.
class LoopbackTransmitter {
 public:
  explicit LoopbackTransmitter(int32_t port);
  ~LoopbackTransmitter() { Close(); }
  LoopbackTransmitter(const LoopbackTransmitter&) = delete;
  LoopbackTransmitter& operator=(const LoopbackTransmitter&) = delete;

  bool Connected() const { return connected_; }
  // What send answers: the bytes taken, or -1 once the driver has closed.
  ssize_t TrySend(const std::string& text) const;
  // Sends all of text; a failure of the test otherwise.
  void Send(const std::string& text) const;
  // Everything up to and including the next "\n", or what came before EOF
  // or the time-out.
  std::string ReadLine() const;
  // The next count bytes (fewer on EOF or time-out).
  std::string Read(size_t count) const;
  // True when the driver closed the connection (what it wrote before is skipped).
  bool SeesClose() const;
#ifndef _WIN32
  // This end's TCP port: the one the driver reports as the peer's.
  int32_t LocalPort() const;
  // The driver's descriptor of this connection when the driver runs in this
  // process: the socket whose peer is this end; -1 when there is none.
  int ServerSide() const;
#endif
  void Close();

 private:
  // Up to size bytes once readable within kEventuallyMs; -1 otherwise.
  ssize_t Receive(char* data, size_t size) const;

  int fd_;
  bool connected_ = false;
};

// Whether a transmitter can connect to the port now.
bool CanConnect(int32_t port);

// A device message of another kind ("X9Z1") whose payload, the signal's
// Extension1, is tag.
std::string SignalMessage(const std::string& tag);

}  // namespace vd

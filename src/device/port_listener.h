#pragma once

#include <cstdint>
#include <memory>

namespace vd {

class TReceptionLoop;

// The listener of one active device port: accepts the transmitters'
// connections on the reception loop and gives each a TDeviceConnection that
// knows the port's 1-based position in DriverSettings::Ports. Listens on all
// interfaces, IPv6 dual-stack where the host has it, else IPv4.
//
// Created closed. Open, Close, IsOpen and Port are for the system thread (any
// thread but the loop's). The accept state lives in a shared State that the
// handlers in flight keep alive. The loop must outlive the listener.
class TPortListener {
 public:
  // Pause of accepting after the process or system ran out of descriptors.
  static constexpr int64_t kAcceptPauseMs = 100;

  TPortListener(TReceptionLoop& loop, int32_t tcp_port, int32_t port_index);
  ~TPortListener();

  TPortListener(const TPortListener&) = delete;
  TPortListener& operator=(const TPortListener&) = delete;

  // Starts listening; raises EOSError when the port cannot be bound. Does
  // nothing when open already.
  void Open();
  // Stops accepting, ends every connection of this listener and returns when
  // each has written its stop line (waiting at most 30 seconds).
  void Close();
  bool IsOpen() const;
  // The bound TCP port (the kernel's choice when created with 0), else the
  // configured one.
  int32_t Port() const;

  struct State;

 private:
  TReceptionLoop& loop_;
  const std::shared_ptr<State> state_;
};

}  // namespace vd

#pragma once

#include <asio.hpp>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "device/device_control.h"
#include "device/signal_sink.h"
#include "support/system_event_sink.h"

namespace vd {

class TReceptionLoop;

// The live connections of one listener. The listener waits on it until every
// connection it closed has written its stop line; connections report their
// end from a worker thread. Safe to use from any thread.
class TConnectionGroup {
 public:
  void Added();
  void Ended();
  // True when none is left within the wait.
  bool WaitAllEnded(std::chrono::milliseconds wait);

 private:
  std::mutex lock_;
  std::condition_variable ended_;
  size_t live_ = 0;  // guarded by lock_
};

// One transmitter connection on the reception loop: reads what the
// transmitter sends, hands each message to the parser, answers time requests
// and carries out control commands for its port, and ends after three invalid
// frames in a row, 900 seconds without data, peer close or a Stop. Every
// invalid frame goes through the port's flood control: an accepted one
// becomes an "UNKNOWN" signal and keeps the parser's "Signal analysis error."
// event; an ignored one only counts in the throttled invalid-frame report.
//
// Owned through shared_ptr by the loop's registry and by the handler in
// flight. Its socket, counters and timestamps belong to the loop thread: every
// method but the deferred sink calls runs there. It holds no read buffer while
// idle (the loop's buffer serves every read). The signal and event sink calls
// of the parser are deferred to the connection's strand on the worker pool,
// together with its log lines, so they keep their order and never hold up the
// loop.
class TDeviceConnection final : public std::enable_shared_from_this<TDeviceConnection>,
                                public ISignalSink,
                                public ISystemEventSink {
 public:
  static constexpr int64_t kInactivitySeconds = 900;
  static constexpr int32_t kMaxInvalidFrames = 3;
  // The longest unfinished message kept from a read cut short by the loop's
  // read limit for the next read; a longer tail is dropped.
  static constexpr size_t kMaxCarryBytes = 4096;
  // Bytes of one read shown in its "read (n): " line; a longer read (only a
  // broken or hostile transmitter sends one) is cut there and marked " ...",
  // so that a flood cannot fill the disk through the log.
  static constexpr size_t kMaxLoggedReadBytes = 4096;

  TDeviceConnection(TReceptionLoop& loop, asio::ip::tcp::socket socket, int32_t port_number,
                    int32_t tcp_port, std::shared_ptr<TConnectionGroup> group);
  ~TDeviceConnection() override;

  // Logs the start line and waits for data; loop thread.
  void Start();
  // Logs the stop line and closes; idempotent; loop thread.
  void Stop();
  // Waits for data again after a pause; loop thread.
  void Resume() {
    if (!stopped_) WaitReadable();
  }
  // One pass of the per-second work: command poll, then the idle check.
  void Sweep(int64_t now_seconds);

  const TConnectionGroup* Group() const { return group_.get(); }
  // The port's 1-based position in DriverSettings::Ports.
  int32_t PortNumber() const { return port_number_; }
  size_t RegistryIndex() const { return registry_index_; }
  void SetRegistryIndex(size_t index) { registry_index_ = index; }

  // Deferred to the worker strand; always report success.
  bool AddSignal(TSignal signal) override;
  bool AddSystemEvent(const std::string& text, const std::string& details, bool is_error) override;

 private:
  void WaitReadable();
  void OnReadable();
  void HandleRead(std::string_view data, bool cut_short);
  // The port's flood control: an "UNKNOWN" signal or the throttled report.
  // True when the frame is accepted (not ignored as part of a flood).
  bool HandleInvalidFrame(std::string_view frame);
  void WriteToDevice(const std::string& text);
  void RunControl(const TDeviceControl& control);
  bool SendControlCommand(const TDeviceControl& control);
  void AnswerControlCommand(const TDeviceControl& control, const std::string& text, bool failed);
  void Log(std::string line);
  void Defer(std::function<void()> work);

  TReceptionLoop& loop_;
  const int32_t port_number_;
  const int32_t tcp_port_;
  const std::shared_ptr<TConnectionGroup> group_;
  asio::strand<asio::thread_pool::executor_type> strand_;

  // Loop thread.
  asio::ip::tcp::socket socket_;
  std::string log_prefix_;
  std::string peer_;           // address:port
  int64_t last_activity_ = 0;  // tick seconds of the last received data
  int32_t invalid_count_ = 0;  // consecutive invalid frames
  // The unfinished message of a read cut short; empty (no heap) otherwise.
  std::string carry_;
  size_t registry_index_ = 0;
  bool started_ = false;
  bool stopped_ = false;
};

// The complete messages of one read, in order: each ends with its "]"; a
// trailing piece without "]" is dropped. A read without any "]" is one
// message as it stands.
std::vector<std::string_view> SplitReceivedMessages(std::string_view data);

}  // namespace vd

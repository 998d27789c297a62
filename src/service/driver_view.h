#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vd {

class IClock;
class TCommunicationData;
class TKernelLinkThread;
class TKernelSettings;
class TLogging;
class TQuestionsBuffer;
class TReceptionLoop;
class TSignalBuffer;
class TSys_Thr;
class TWatchdog;
struct DriverSettings;

// The running driver as its operating features see it (the metrics
// listener): the shared objects of one start, each read through its own
// thread-safe observers. Every pointer is borrowed from the service, valid
// from the moment the listener is made until the service frees it, and may
// be null (no log without LogSave, no watchdog outside systemd).
struct TDriverView {
  const IClock& Clock;
  const DriverSettings& Settings;
  const TSignalBuffer* Signals = nullptr;
  const TQuestionsBuffer* Questions = nullptr;
  const TKernelSettings* KernelSettings = nullptr;
  const TKernelLinkThread* KernelLink = nullptr;
  const TCommunicationData* CommunicationData = nullptr;
  const TReceptionLoop* Reception = nullptr;
  const TSys_Thr* SysThread = nullptr;
  const TLogging* Log = nullptr;
  const TWatchdog* Watchdog = nullptr;
  // When the start sequence began, on the clock's monotonic and wall clocks.
  int64_t StartMonotonicMs = 0;
  int64_t StartUtcMs = 0;
};

// A listener serving the driver's figures, open for its life (the metrics
// listener of src/metrics). The service makes it last at start and frees it
// first at stop.
class IDriverListener {
 public:
  virtual ~IDriverListener() = default;
  // What it listens on, for the log ("127.0.0.1:9464").
  virtual std::string Address() const = 0;
};

// Opens a listener on address (DriverSettings::MetricsAddress) over view;
// raises when it cannot (the address in use, say).
using DriverListenerFactory = std::function<std::unique_ptr<IDriverListener>(
    const std::string& address, const TDriverView& view)>;

}  // namespace vd

#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/driver_settings.h"
#include "config/kernel_endpoint.h"
#include "service/driver_view.h"
#include "support/log_writer.h"
#include "support/logging.h"

namespace vd {

class IClock;
class IFileSystem;
class IServiceEventLog;
class IServiceNotifier;
class ISettingsSource;
class ISocketApi;
class ISystemTimeSetter;
class TCacheDirectory;
class TCacheLock;
class TCommunicationData;
class TDeviceParamControlBuffer;
class TKernelLinkThread;
class TKernelSettings;
class TListOfModules;
class TQuestionsBuffer;
class TReceptionLoop;
class TSignalBuffer;
class TSys_Thr;
class TWakeEvent;
class TWatchdog;

// What the service takes from its host. Every reference is borrowed and must
// outlive the service object.
struct TServiceHost {
  IFileSystem& FileSystem;
  const IClock& Clock;
  IServiceEventLog& EventLog;
  IServiceNotifier& Notifier;
  ISystemTimeSetter& TimeSetter;
  ISocketApi& SocketApi;
  // For the log header.
  ProgramInfo Program;
  // Default of Path and LogPath.
  std::string ExecutableDirectory;
  // The host's address (GetLocalIP), for the registration and events.
  std::string LocalIP;
  // Opens the metrics listener when the settings name a MetricsAddress;
  // empty in a build without metrics (the address is then ignored, with a
  // log line).
  DriverListenerFactory OpenMetrics = {};
};

// Opens the registry the configuration is read from; may raise (a file that
// cannot be read or parsed), which fails the start.
using RegistryOpener = std::function<std::unique_ptr<ISettingsSource>()>;

// The service object of the driver: the only place where the shared objects
// are created and destroyed. ServiceStart reads the configuration, takes the
// cache lock (one driver per cache directory: a second one fails to start
// before it touches the cache or the log) and creates, in this order: the
// log (only with LogSave), the module list, the
// question buffer, the Kernel settings, the signal buffer, the parameter
// control buffer, the reception loop, the Kernel link thread (local socket or
// TCP) and last the system thread; it then reports event 1, logs "Service
// start" and tells the service manager it is ready; when the manager asks
// for watchdog pings, the watchdog starts, and with a MetricsAddress the
// metrics listener opens last (a listener that cannot open is logged and
// reported as an event; the driver runs on without it). ServiceStop closes
// the metrics listener, ends the watchdog, then the system thread, then the
// reception loop, then the link (which
// unregisters), then frees the flood controls, the control buffer, the signal
// buffer, the Kernel settings, the question buffer and the module list, logs
// "Service stop", frees the log, releases the cache lock last, and reports
// event 2.
//
// A failed start reports event 3 with ExceptionText of the error and then
// stops and frees whatever it had created, in the stop order, so no thread of
// a failed start keeps running. A failed stop reports event 4.
//
// Threads: ServiceStart and ServiceStop are called by one thread (main),
// one at a time; the destructor stops what still runs.
class TO_VolterDirectDrv {
 public:
  static constexpr int64_t kLogSizeLimitKb = 1024;
  // How long each worker may go without a pass before the watchdog stops
  // pinging: the reception loop sweeps every second; a link pass may wait
  // for a connection (5 s) and for a frame's bytes (5 s each part); a system
  // cycle may wait 30 s for the connections of each closing port.
  static constexpr int64_t kReceptionStallMs = 15000;
  static constexpr int64_t kLinkStallMs = 60000;
  static constexpr int64_t kSystemStallMs = 90000;

  // Sets the settings to their defaults (SetDefaults).
  explicit TO_VolterDirectDrv(TServiceHost host);
  ~TO_VolterDirectDrv();

  TO_VolterDirectDrv(const TO_VolterDirectDrv&) = delete;
  TO_VolterDirectDrv& operator=(const TO_VolterDirectDrv&) = delete;

  // The start sequence; true when the service runs.
  bool ServiceStart(const RegistryOpener& open_registry);
  // The stop sequence; true when every step succeeded. Does nothing (true)
  // when nothing was started.
  bool ServiceStop();

  // The settings as read by the last start.
  const DriverSettings& Settings() const { return settings_; }
  bool Running() const { return running_; }

 private:
  // Frees every shared object in the stop order, logging "Service stop"
  // before the log goes when log_stop; raises on the first error.
  void FreeSharedObjects(bool log_stop);
  void StartWatchdog();
  void OpenMetricsListener();
  ILogWriter& Log();

  TServiceHost host_;

  DriverSettings settings_;
  std::vector<KernelEndpoint> kernel_endpoints_;
  bool running_ = false;

  // The shared objects, in the order of creation.
  NullLogWriter no_log_;
  std::unique_ptr<TCacheLock> cache_lock_;
  std::unique_ptr<TLogging> log_;
  // Shared by the buffers; made again, with the lock, when it was removed.
  std::unique_ptr<TCacheDirectory> cache_directory_;
  std::unique_ptr<TWakeEvent> work_event_;
  std::unique_ptr<TListOfModules> module_list_;
  std::unique_ptr<TQuestionsBuffer> questions_buffer_;
  std::unique_ptr<TKernelSettings> kernel_settings_;
  std::unique_ptr<TSignalBuffer> signal_buffer_;
  std::unique_ptr<TDeviceParamControlBuffer> device_param_control_buffer_;
  std::unique_ptr<TReceptionLoop> reception_;
  std::unique_ptr<TCommunicationData> communication_data_;
  std::unique_ptr<TKernelLinkThread> kernel_link_;
  std::unique_ptr<TSys_Thr> sys_thread_;
  std::unique_ptr<TWatchdog> watchdog_;
  std::unique_ptr<IDriverListener> metrics_;
  int64_t start_monotonic_ms_ = 0;
  int64_t start_utc_ms_ = 0;
};

}  // namespace vd

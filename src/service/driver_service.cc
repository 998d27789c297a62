#include "service/driver_service.h"

#include <optional>
#include <string>
#include <utility>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "device/device_control.h"
#include "device/dos_attack_control.h"
#include "device/reception_loop.h"
#include "kernel/frame_codec.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "link/communication_data.h"
#include "link/kernel_link_thread.h"
#include "platform/cache_lock.h"
#include "platform/named_pipe_client.h"
#include "platform/wake_event.h"
#include "service/configuration.h"
#include "service/sys_thread.h"
#include "service/watchdog.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/service_event_log.h"
#include "support/service_notifier.h"
#include "support/settings_source.h"

namespace vd {

TO_VolterDirectDrv::TO_VolterDirectDrv(TServiceHost host) : host_(std::move(host)) {
  SetDefaults(settings_, host_.ExecutableDirectory, host_.LocalIP);
}

TO_VolterDirectDrv::~TO_VolterDirectDrv() {
  if (running_) {
    ServiceStop();
  } else {
    try {
      FreeSharedObjects(false);
    } catch (...) {
      // Nothing to report to any more; the process is ending.
    }
  }
}

ILogWriter& TO_VolterDirectDrv::Log() {
  if (log_) return *log_;
  return no_log_;
}

bool TO_VolterDirectDrv::ServiceStart(const RegistryOpener& open_registry) {
  start_monotonic_ms_ = host_.Clock.MonotonicMs();
  start_utc_ms_ = host_.Clock.UtcNowMs();
  std::optional<std::string> exposed_secrets;
  try {
    {
      const std::unique_ptr<ISettingsSource> registry = open_registry();
      ReadConfiguration(*registry, host_.FileSystem, host_.Clock, host_.ExecutableDirectory,
                        settings_, kernel_endpoints_);
      exposed_secrets = ExposedSecretsWarning(*registry, settings_, host_.FileSystem);
    }
    // Before anything reads or writes the cache or the log: a second driver
    // on this cache must leave the first one's files alone.
    host_.FileSystem.CreateDirectories(settings_.CacheDirectory());
    cache_lock_ = std::make_unique<TCacheLock>(settings_.CacheDirectory());
    if (settings_.LogSave) {
      log_ = std::make_unique<TLogging>(host_.FileSystem, host_.Clock, settings_.LogPath,
                                        kLogSizeLimitKb, false, host_.Program);
    }
    // New work in either buffer wakes the link at once.
    work_event_ = std::make_unique<TWakeEvent>();
    TWakeEvent& work_event = *work_event_;
    auto wake_link = [&work_event] { work_event.Notify(); };

    module_list_ = std::make_unique<TListOfModules>();
    questions_buffer_ = std::make_unique<TQuestionsBuffer>(
        host_.FileSystem, host_.Clock, Log(),
        TQuestionsBuffer::Options{settings_.CacheDirectory(), settings_.Name, settings_.LocalIP,
                                  settings_.FlushCacheWrites, wake_link});
    kernel_settings_ = std::make_unique<TKernelSettings>(*module_list_);
    for (const KernelEndpoint& endpoint : kernel_endpoints_) {
      kernel_settings_->AddKernelEndpoint(endpoint);
    }
    signal_buffer_ = std::make_unique<TSignalBuffer>(
        host_.FileSystem, host_.Clock, *questions_buffer_, Log(), settings_,
        settings_.CacheDirectory(), settings_.FlushCacheWrites, wake_link);
    device_param_control_buffer_ = std::make_unique<TDeviceParamControlBuffer>(true, true);

    PrepareOpenFileLimit(settings_.Ports.size(), Log());
    TQuestionsBuffer& questions = *questions_buffer_;
    reception_ = std::make_unique<TReceptionLoop>(TReceptionContext{
        settings_, host_.Clock, *signal_buffer_, questions, Log(), *device_param_control_buffer_,
        [&questions](uint16_t frame_type, const std::string& body) {
          return questions.AddQuestion(frame_type, body, false);
        }});

    const TKernelLinkKind kind =
        settings_.UseNamedPipeConnection ? TKernelLinkKind::Pipe : TKernelLinkKind::Tcp;
    const bool pipe = kind == TKernelLinkKind::Pipe;
    communication_data_ = std::make_unique<TCommunicationData>(
        TCommunicationData::Collaborators{host_.Clock, settings_, *kernel_settings_, *module_list_,
                                          *signal_buffer_, *questions_buffer_, *questions_buffer_,
                                          Log(), host_.TimeSetter},
        pipe ? TCommunicationData::kPipeStatusIntervalSeconds
             : TCommunicationData::kTcpStatusIntervalSeconds,
        pipe ? TCommunicationData::kPipeResendIntervalSeconds
             : TCommunicationData::kTcpResendIntervalSeconds);
    kernel_link_ = std::make_unique<TKernelLinkThread>(
        TKernelLinkThread::Options{
            kind, settings_.Name, KernelPipePath(settings_.PipeDirectory, kPipeName),
            FrameSecurity{settings_.SecurityEnabled, settings_.SecurityKey, settings_.FrameIVSeed}},
        TKernelLinkThread::Collaborators{host_.Clock, Log(), *questions_buffer_, *kernel_settings_,
                                         *module_list_, *communication_data_, work_event,
                                         host_.SocketApi});
    kernel_link_->Start();

    sys_thread_ = std::make_unique<TSys_Thr>(TSys_Thr::Collaborators{
        settings_, host_.Clock, *kernel_settings_, *signal_buffer_, *signal_buffer_,
        *questions_buffer_, *questions_buffer_, Log(), *reception_});
    sys_thread_->Start();
  } catch (...) {
    host_.EventLog.WriteEvent(ServiceEvent::kStartFailed, CurrentExceptionText());
    // Threads of a failed start must not outlive it.
    try {
      FreeSharedObjects(false);
    } catch (...) {
      host_.EventLog.WriteEvent(ServiceEvent::kStopFailed, CurrentExceptionText());
    }
    return false;
  }
  host_.EventLog.WriteEvent(ServiceEvent::kStarted, "");
  Log().LogWrite("Service start");
  if (exposed_secrets) Log().LogWrite("Warning: " + *exposed_secrets);
  running_ = true;
  host_.Notifier.Ready();
  StartWatchdog();
  OpenMetricsListener();
  return true;
}

void TO_VolterDirectDrv::OpenMetricsListener() {
  const std::string& address = settings_.MetricsAddress;
  if (address.empty()) return;
  if (!host_.OpenMetrics) {
    Log().LogWrite("MetricsAddress " + address + " ignored: this driver is built without metrics");
    return;
  }
  try {
    metrics_ = host_.OpenMetrics(
        address, TDriverView{host_.Clock, settings_, signal_buffer_.get(), questions_buffer_.get(),
                             kernel_settings_.get(), kernel_link_.get(), communication_data_.get(),
                             reception_.get(), sys_thread_.get(), log_.get(), watchdog_.get(),
                             start_monotonic_ms_, start_utc_ms_});
    Log().LogWrite("Metrics listener open on " + metrics_->Address());
  } catch (...) {
    // Metrics never stand between a transmitter and the Kernel: the driver
    // runs on, and the scrape failing tells the monitoring.
    const std::string text = CurrentExceptionText();
    Log().LogWrite("Metrics listener cannot be opened on " + address + ": " + text);
    questions_buffer_->AddSystemEvent("Metrics listener cannot be opened on " + address + ".", text,
                                      true);
  }
}

void TO_VolterDirectDrv::StartWatchdog() {
  const int64_t interval_ms = host_.Notifier.WatchdogIntervalMs();
  if (interval_ms <= 0) return;
  try {
    watchdog_ = std::make_unique<TWatchdog>(
        TWatchdog::Collaborators{host_.Clock, host_.Notifier, host_.FileSystem, *questions_buffer_,
                                 Log()},
        std::vector<TWatchdog::Worker>{
            {"reception loop", reception_->Heartbeat(), kReceptionStallMs},
            {"Kernel link thread", kernel_link_->Heartbeat(), kLinkStallMs},
            {"system thread", sys_thread_->Heartbeat(), kSystemStallMs}},
        interval_ms, settings_.CacheDirectory() + kStallCountFileName);
    watchdog_->Start();
    Log().LogWrite("Watchdog: a ping every " + std::to_string(watchdog_->PingPeriodMs()) + " ms");
  } catch (...) {
    // Without pings the service manager restarts the driver, which is the
    // outcome a watchdog that cannot run deserves.
    Log().LogWrite("Watchdog cannot run: " + CurrentExceptionText());
  }
}

bool TO_VolterDirectDrv::ServiceStop() {
  if (!running_) return true;
  running_ = false;
  host_.Notifier.Stopping();
  try {
    FreeSharedObjects(true);
  } catch (...) {
    host_.EventLog.WriteEvent(ServiceEvent::kStopFailed, CurrentExceptionText());
    return false;
  }
  host_.EventLog.WriteEvent(ServiceEvent::kStopped, "");
  return true;
}

void TO_VolterDirectDrv::FreeSharedObjects(bool log_stop) {
  metrics_.reset();
  // Stopping may take longer than a watchdog interval; systemd stops
  // watching once it was told STOPPING=1.
  watchdog_.reset();
  if (sys_thread_) {
    sys_thread_->Terminate();
    sys_thread_->WaitFor();
    sys_thread_.reset();
  }
  // The listeners went with the system thread; what is left of the
  // transmitter connections ends with the loop.
  if (reception_) {
    reception_->Stop();
    reception_.reset();
  }
  kernel_link_.reset();  // unregisters from the Kernel
  communication_data_.reset();
  for (PortEntry& entry : settings_.Ports) entry.FloodControl.reset();
  device_param_control_buffer_.reset();
  signal_buffer_.reset();
  kernel_settings_.reset();
  questions_buffer_.reset();
  module_list_.reset();
  work_event_.reset();
  if (log_) {
    if (log_stop) log_->LogWrite("Service stop");
    log_.reset();
  }
  cache_lock_.reset();
}

}  // namespace vd

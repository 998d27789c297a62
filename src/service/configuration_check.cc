#include "service/configuration_check.h"

#include <cstdio>
#include <memory>
#include <string>

#include "service/configuration.h"
#include "support/errors.h"
#include "support/service_event_log.h"
#include "support/settings_source.h"

namespace vd {
namespace {

std::string Masked(const std::string& secret) { return secret.empty() ? "(empty)" : "(set)"; }

std::string Flag(bool value) { return value ? "1" : "0"; }

void Line(std::string& text, const std::string& name, const std::string& value) {
  text += "  " + name;
  if (name.size() < 24) text.append(24 - name.size(), ' ');
  text += " " + value + "\n";
}

}  // namespace

std::string ConfigurationReport(const DriverSettings& settings,
                                const std::vector<KernelEndpoint>& kernel_endpoints) {
  char seed[32];
  std::snprintf(seed, sizeof seed, "%u (0x%04X)", static_cast<unsigned>(settings.FrameIVSeed),
                static_cast<unsigned>(settings.FrameIVSeed));
  std::string text = "Shared key\n";
  Line(text, "Path", settings.Path);
  Line(text, "Cache directory", settings.CacheDirectory());
  Line(text, "SecurityEnabled", Flag(settings.SecurityEnabled));
  Line(text, "SecurityKey", Masked(settings.SecurityKey));
  Line(text, "FrameIVSeed", seed);
  text += "Driver key\n";
  Line(text, "Name", settings.Name);
  Line(text, "Password", Masked(settings.Password));
  Line(text, "LogSave", Flag(settings.LogSave));
  Line(text, "LogPath", settings.LogPath);
  Line(text, "FlushCacheWrites", Flag(settings.FlushCacheWrites));
  Line(text, "UseNamedPipeConnection", Flag(settings.UseNamedPipeConnection));
  Line(text, "PipeDirectory", settings.PipeDirectory);
  Line(text, "SignalBufferCapacity", std::to_string(settings.SignalBufferCapacity));
  Line(text, "MetricsAddress",
       settings.MetricsAddress.empty() ? "(none: no metrics listener)" : settings.MetricsAddress);
  text +=
      "Kernel endpoints (" + std::to_string(kernel_endpoints.size()) + ")" +
      (settings.UseNamedPipeConnection ? ", not used: the link runs over the local socket" : "") +
      "\n";
  for (size_t i = 0; i < kernel_endpoints.size(); ++i) {
    const KernelEndpoint& endpoint = kernel_endpoints[i];
    Line(text, "Kernel" + std::to_string(i + 1),
         endpoint.IP + ":" + std::to_string(endpoint.Port) + " (" + endpoint.Name + ")");
  }
  text += "Active ports (" + std::to_string(settings.Ports.size()) + ")\n";
  for (size_t i = 0; i < settings.Ports.size(); ++i) {
    const PortEntry& port = settings.Ports[i];
    Line(text, "driver port " + std::to_string(i + 1),
         "TCP " + std::to_string(port.Port) + ", PortNumber " + std::to_string(port.PortNumber) +
             ", PortName \"" + port.PortName + "\", InactivityMessageTimeout " +
             std::to_string(port.InactivityMessageTimeout) + " s, MaxReceiveSignals " +
             std::to_string(port.MaxReceiveSignals) + ", DriverPassword " +
             Masked(port.DriverPassword));
  }
  return text;
}

int CheckConfiguration(const RegistryOpener& open_registry, IFileSystem& fs, const IClock& clock,
                       const std::string& executable_directory, const std::string& local_ip,
                       std::ostream& out, std::ostream& err) {
  DriverSettings settings;
  std::vector<KernelEndpoint> kernel_endpoints;
  try {
    SetDefaults(settings, executable_directory, local_ip);
    const std::unique_ptr<ISettingsSource> registry = open_registry();
    ReadConfiguration(*registry, fs, clock, executable_directory, settings, kernel_endpoints,
                      PathCreation::kLeave);
  } catch (...) {
    err << ServiceEventText(ServiceEvent::kStartFailed, CurrentExceptionText()) << std::endl;
    return 1;
  }
  out << ConfigurationReport(settings, kernel_endpoints) << std::flush;
  return 0;
}

}  // namespace vd

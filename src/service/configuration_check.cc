#include "service/configuration_check.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "service/configuration.h"
#include "support/errors.h"
#include "support/service_event_log.h"
#include "support/settings_source.h"
#include "support/text_utils.h"

namespace vd {
namespace {

std::string Masked(const std::string& secret) { return secret.empty() ? "(empty)" : "(set)"; }

std::string Flag(bool value) { return value ? "1" : "0"; }

// Texts shipped as examples or typed as stand-ins, never an installation's own.
constexpr std::string_view kPlaceholders[] = {"secret",    "password", "changeme", "change-me",
                                              "change_me", "example",  "default",  "admin"};

bool IsPlaceholder(const std::string& secret) {
  for (const std::string_view placeholder : kPlaceholders) {
    if (EqualsIgnoreCase(secret, placeholder)) return true;
  }
  return false;
}

// A name of the domain name system: dot-separated labels of letters, digits
// and "-" (not at either end of a label), 1 to 63 characters each, at most
// 253 in all, one trailing dot allowed; the last label not all digits (that
// would be a mistyped IPv4 address).
bool IsHostName(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() > 253) return false;
  std::string_view label;
  for (size_t start = 0; start <= name.size();) {
    const size_t dot = std::min(name.find('.', start), name.size());
    label = name.substr(start, dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
        label.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") !=
            std::string_view::npos) {
      return false;
    }
    start = dot + 1;
  }
  return label.find_first_not_of("0123456789") != std::string_view::npos;
}

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

std::vector<std::string> ConfigurationWarnings(const ISettingsSource& registry,
                                               const DriverSettings& settings,
                                               const std::vector<KernelEndpoint>& kernel_endpoints,
                                               IFileSystem& fs) {
  std::vector<std::string> warnings;
  if (kernel_endpoints.empty() && !settings.UseNamedPipeConnection) {
    warnings.push_back(std::string("Kernel1 (none): no Kernel endpoint in HKEY_LOCAL_MACHINE\\") +
                       kSharedKeyPath +
                       ", so the driver reaches no Kernel (is the shared key's name spelt right?)");
  }
  const std::unique_ptr<ISettingsKey> shared = registry.OpenKeyReadOnly(kSharedKeyPath);
  if (shared && shared->ReadText("Path").empty()) {
    warnings.push_back("Path (not set): the cache falls back to the executable's directory, " +
                       settings.CacheDirectory());
  }
  for (size_t i = 0; !settings.UseNamedPipeConnection && i < kernel_endpoints.size(); ++i) {
    const std::string& ip = kernel_endpoints[i].IP;
    const bool numeric = ip.find_first_not_of("0123456789.") == std::string::npos;
    if (numeric ? !IsIPv4Address(ip) : !IsHostName(ip)) {
      warnings.push_back("Kernel" + std::to_string(i + 1) + " IP '" + ip +
                         "': neither an IPv4 address nor a host name, so the link cannot "
                         "connect to it");
    }
  }
  if (settings.SecurityEnabled && settings.SecurityKey.empty()) {
    warnings.push_back(
        "SecurityKey (empty): SecurityEnabled is on, so the frames are encrypted with an empty "
        "key");
  }
  for (const auto& [key, secret] :
       {std::pair<const char*, const std::string&>{"Password", settings.Password},
        {"SecurityKey", settings.SecurityKey}}) {
    if (IsPlaceholder(secret)) {
      warnings.push_back(std::string(key) + " '" + secret +
                         "': a known placeholder, not a secret of this installation");
    }
  }
  if (settings.LogSave) {
    if (const std::optional<EOSError> error = DirectoryWriteError(fs, settings.LogPath)) {
      warnings.push_back("LogPath " + settings.LogPath +
                         ": not writable by this user, so the session log is lost (" +
                         error->Message() + ")");
    }
  }
  if (const std::optional<EOSError> error = DirectoryWriteError(fs, settings.CacheDirectory())) {
    warnings.push_back(
        "Path " + settings.Path +
        ": the cache directory is not writable by this user, so new signals are refused (" +
        error->Message() + ")");
  }
  if (std::optional<std::string> exposed = ExposedSecretsWarning(registry, settings, fs)) {
    warnings.push_back(std::move(*exposed));
  }
  return warnings;
}

int CheckConfiguration(const RegistryOpener& open_registry, IFileSystem& fs, const IClock& clock,
                       const std::string& executable_directory, const std::string& local_ip,
                       std::ostream& out, std::ostream& err) {
  DriverSettings settings;
  std::vector<KernelEndpoint> kernel_endpoints;
  std::vector<std::string> warnings;
  try {
    SetDefaults(settings, executable_directory, local_ip);
    const std::unique_ptr<ISettingsSource> registry = open_registry();
    ReadConfiguration(*registry, fs, clock, executable_directory, settings, kernel_endpoints,
                      PathCreation::kLeave);
    warnings = ConfigurationWarnings(*registry, settings, kernel_endpoints, fs);
  } catch (...) {
    err << ServiceEventText(ServiceEvent::kStartFailed, CurrentExceptionText()) << std::endl;
    return kCheckStartFails;
  }
  out << ConfigurationReport(settings, kernel_endpoints) << std::flush;
  for (const std::string& warning : warnings) err << "warning: " << warning << "\n";
  err << std::flush;
  return warnings.empty() ? kCheckClean : kCheckWarnings;
}

}  // namespace vd

#include "service/configuration.h"

#include <algorithm>
#include <memory>
#include <string_view>

#include "device/dos_attack_control.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/file_utils.h"
#include "support/settings_source.h"
#include "support/text_encoding.h"
#include "support/text_utils.h"

namespace vd {
namespace {

// A directory value: empty means the executable's directory; always ends with "/".
std::string DirectoryValue(const std::string& text, const std::string& executable_directory) {
#ifdef _WIN32
  // The driver's paths are written with "/", which Windows takes as well.
  std::string path = text;
  std::replace(path.begin(), path.end(), '\\', '/');
  return IncludeTrailingSlash(path.empty() ? executable_directory : path);
#else
  return IncludeTrailingSlash(text.empty() ? executable_directory : text);
#endif
}

void ReadSharedKey(const ISettingsKey& key, const std::string& executable_directory,
                   DriverSettings& settings, std::vector<KernelEndpoint>& kernel_endpoints) {
  if (key.ValueExists("Path")) {
    settings.Path = DirectoryValue(key.ReadText("Path"), executable_directory);
  }
  if (key.ValueExists("SecurityEnabled"))
    settings.SecurityEnabled = key.ReadBool("SecurityEnabled");
  if (key.ValueExists("SecurityKey"))
    settings.SecurityKey = Utf8ToWin1250(key.ReadText("SecurityKey"));
  if (key.ValueExists("FrameIVSeed")) {
    const auto seed = static_cast<uint32_t>(key.ReadInteger("FrameIVSeed"));
    if (seed > 0xFFFF) {
      throw ERegistryException("Invalid value for 'FrameIVSeed': " + std::to_string(seed) +
                               " (0 to 65535)");
    }
    settings.FrameIVSeed = static_cast<uint16_t>(seed);
  }

  // The values are finite, so the first missing number comes.
  for (int n = 1;; ++n) {
    const std::string name = "Kernel" + std::to_string(n);
    if (!key.ValueExists(name)) break;
    const std::string text = key.ReadText(name);
    KernelEndpoint endpoint;
    endpoint.Name = ReadKeyValue("Name", text);
    endpoint.IP = ReadKeyValue("IP", text);
    endpoint.Port = ParseInt32(ReadKeyValue("Port", text));
    kernel_endpoints.push_back(std::move(endpoint));
  }
}

bool IsDecimal(std::string_view text) {
  return !text.empty() && text.size() <= 5 &&
         text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool IsIPv4(std::string_view text) {
  int parts = 0;
  for (size_t start = 0; start <= text.size(); ++parts) {
    const size_t dot = std::min(text.find('.', start), text.size());
    const std::string_view part = text.substr(start, dot - start);
    if (!IsDecimal(part) || part.size() > 3 || std::stoi(std::string(part)) > 255) return false;
    start = dot + 1;
  }
  return parts == 4;
}

bool IsBracketedIPv6(std::string_view text) {
  return text.size() > 2 && text.front() == '[' && text.back() == ']' &&
         text.substr(1, text.size() - 2).find_first_not_of("0123456789abcdefABCDEF:.") ==
             std::string_view::npos;
}

// "IPv4:port" or "[IPv6]:port", the port 1 to 65535.
void CheckMetricsAddress(const std::string& address) {
  const size_t colon = address.rfind(':');
  bool valid = colon != std::string::npos;
  if (valid) {
    const std::string_view host = std::string_view(address).substr(0, colon);
    const std::string_view port = std::string_view(address).substr(colon + 1);
    valid = (IsIPv4(host) || IsBracketedIPv6(host)) && IsDecimal(port) &&
            std::stoi(std::string(port)) >= 1 && std::stoi(std::string(port)) <= 65535;
  }
  if (!valid) {
    throw ERegistryException("Invalid value for 'MetricsAddress': '" + address +
                             "' (address:port, for example 127.0.0.1:9464)");
  }
}

void ReadPort(const ISettingsKey& key, const IClock& clock, DriverSettings& settings) {
  if (!key.ReadBool("IsActive")) return;
  // The flood control comes with the entry, so no entry ever lacks one.
  PortEntry& entry = settings.Ports.emplace_back();
  entry.FloodControl = std::make_shared<TDoSAttackControl>(clock);
  entry.Port = key.ReadInteger("Port");
  entry.InactivityMessageTimeout = key.ReadInteger("InactivityMessageTimeout");
  entry.MaxReceiveSignals = key.ReadInteger("MaxReceiveSignals");
  entry.DriverPassword = Utf8ToWin1250(key.ReadText("DriverPassword"));
  entry.PortNumber = key.ReadInteger("PortNumber");
  entry.PortName = key.ReadText("PortName");
}

void ReadDriverKey(const ISettingsSource& registry, const ISettingsKey& key, const IClock& clock,
                   const std::string& executable_directory, DriverSettings& settings) {
  if (key.ValueExists("UseNamedPipeConnection")) {
    settings.UseNamedPipeConnection = key.ReadBool("UseNamedPipeConnection");
  }
  if (key.ValueExists("Name")) settings.Name = key.ReadText("Name");
  settings.Password = key.ReadText("Password");
  if (key.ValueExists("LogSave")) settings.LogSave = key.ReadBool("LogSave");
  settings.LogPath = DirectoryValue(key.ReadText("LogPath"), executable_directory);
  if (key.ValueExists("FlushCacheWrites")) {
    settings.FlushCacheWrites = key.ReadBool("FlushCacheWrites");
  }
  if (const std::string pipe = key.ReadText("PipeDirectory"); !pipe.empty()) {
    settings.PipeDirectory = IncludeTrailingSlash(pipe);
  }
  settings.MetricsAddress = std::string(TrimBlanks(key.ReadText("MetricsAddress")));
  if (!settings.MetricsAddress.empty()) CheckMetricsAddress(settings.MetricsAddress);
  if (key.ValueExists("SignalBufferCapacity")) {
    const auto capacity = static_cast<uint32_t>(key.ReadInteger("SignalBufferCapacity"));
    if (capacity == 0 || capacity > kMaxSignalBufferCapacity) {
      throw ERegistryException(
          "Invalid value for 'SignalBufferCapacity': " + std::to_string(capacity) + " (1 to " +
          std::to_string(kMaxSignalBufferCapacity) + ")");
    }
    settings.SignalBufferCapacity = capacity;
  }

  // The keys are finite, so the first missing number comes.
  for (int n = 1;; ++n) {
    const std::string path = std::string(kDriverKeyPath) + "\\Port" + std::to_string(n);
    if (!registry.KeyExists(path)) break;
    const std::unique_ptr<ISettingsKey> port = registry.OpenKeyReadOnly(path);
    if (!port) throw EAbort("Operation aborted");
    ReadPort(*port, clock, settings);
  }
}

}  // namespace

void ReadConfiguration(const ISettingsSource& registry, IFileSystem& fs, const IClock& clock,
                       const std::string& executable_directory, DriverSettings& settings,
                       std::vector<KernelEndpoint>& kernel_endpoints, PathCreation path_creation) {
  {
    const std::unique_ptr<ISettingsKey> shared = registry.OpenKeyReadOnly(kSharedKeyPath);
    if (!shared) {
      throw Exception(std::string("Registry key: HKEY_LOCAL_MACHINE\\") + kSharedKeyPath +
                      " does not exist!");
    }
    ReadSharedKey(*shared, executable_directory, settings, kernel_endpoints);
  }
  if (const std::unique_ptr<ISettingsKey> driver = registry.OpenKeyReadOnly(kDriverKeyPath)) {
    ReadDriverKey(registry, *driver, clock, executable_directory, settings);
  }

  settings.Path = IncludeTrailingSlash(settings.Path);
  if (path_creation == PathCreation::kLeave) return;
  try {
    if (!fs.Stat(settings.Path).is_directory) fs.CreateDirectories(settings.Path);
  } catch (const Exception&) {
    // The buffers report the directory when they cannot use it.
  }
}

}  // namespace vd

#include "service/configuration.h"

#include <algorithm>
#include <cerrno>
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

// A port to listen on or connect to: 1 to 65535. what names the value as the
// message shows it, up to the number.
void CheckTcpPort(int64_t port, const std::string& what) {
  if (port < 1 || port > 65535) {
    throw ERegistryException("Invalid value for " + what + std::to_string(port) + " (1 to 65535)");
  }
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

}  // namespace

bool IsIPv4Address(std::string_view text) {
  int parts = 0;
  for (size_t start = 0; start <= text.size(); ++parts) {
    const size_t dot = std::min(text.find('.', start), text.size());
    const std::string_view part = text.substr(start, dot - start);
    if (!IsDecimal(part) || part.size() > 3 || std::stoi(std::string(part)) > 255) return false;
    start = dot + 1;
  }
  return parts == 4;
}

namespace {

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
    valid = (IsIPv4Address(host) || IsBracketedIPv6(host)) && IsDecimal(port) &&
            std::stoi(std::string(port)) >= 1 && std::stoi(std::string(port)) <= 65535;
  }
  if (!valid) {
    throw ERegistryException("Invalid value for 'MetricsAddress': '" + address +
                             "' (address:port, for example 127.0.0.1:9464)");
  }
}

// key_name: "Port1", "Port2" ... for the messages; port_keys: the key names of
// the active entries so far, in the order of settings.Ports.
void ReadPort(const ISettingsKey& key, const std::string& key_name, const IClock& clock,
              DriverSettings& settings, std::vector<std::string>& port_keys) {
  if (!key.ReadBool("IsActive")) return;
  const int32_t tcp_port = key.ReadInteger("Port");
  // A listener on a port nobody configured is no listener at all: transmitters
  // could never reach it, and two entries on one port would fight over it.
  CheckTcpPort(tcp_port, "'Port' of " + key_name + ": ");
  for (size_t i = 0; i < settings.Ports.size(); ++i) {
    if (settings.Ports[i].Port == tcp_port) {
      throw ERegistryException("Invalid value for 'Port' of " + key_name + ": " +
                               std::to_string(tcp_port) + " (already the TCP port of " +
                               port_keys[i] + ")");
    }
  }
  // The flood control comes with the entry, so no entry ever lacks one.
  PortEntry& entry = settings.Ports.emplace_back();
  port_keys.push_back(key_name);
  entry.FloodControl = std::make_shared<TDoSAttackControl>(clock);
  entry.Port = tcp_port;
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
  std::vector<std::string> port_keys;
  for (int n = 1;; ++n) {
    const std::string name = "Port" + std::to_string(n);
    const std::string path = std::string(kDriverKeyPath) + "\\" + name;
    if (!registry.KeyExists(path)) break;
    const std::unique_ptr<ISettingsKey> port = registry.OpenKeyReadOnly(path);
    if (!port) throw EAbort("Operation aborted");
    ReadPort(*port, name, clock, settings, port_keys);
  }
  if (settings.MetricsAddress.empty()) return;
  // Checked above: the text after the last ":" is a port number.
  const int metrics_port =
      std::stoi(settings.MetricsAddress.substr(settings.MetricsAddress.rfind(':') + 1));
  for (size_t i = 0; i < settings.Ports.size(); ++i) {
    if (settings.Ports[i].Port == metrics_port) {
      throw ERegistryException("Invalid value for 'MetricsAddress': '" + settings.MetricsAddress +
                               "' (TCP port " + std::to_string(metrics_port) +
                               " is the device port of " + port_keys[i] + ")");
    }
  }
}

}  // namespace

std::optional<EOSError> DirectoryWriteError(IFileSystem& fs, const std::string& dir) {
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::string first_missing;
  // Each round takes one "/"-separated part off, so the walk ends.
  for (;;) {
    const FileInfo info = fs.Stat(path);
    if (info.exists) {
      // The messages are those the creation would raise (PosixFileSystem).
      if (!info.is_directory) return MakeOSError(ENOTDIR, "create directory", path);
      if (fs.IsWritable(path)) return std::nullopt;
      return first_missing.empty() ? MakeOSError(EACCES, "write to directory", path)
                                   : MakeOSError(EACCES, "create directory", first_missing);
    }
    first_missing = path;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      path = ".";  // a relative path lives in the working directory
    } else {
      path = slash == 0 ? "/" : path.substr(0, slash);
    }
    if (path == first_missing) return std::nullopt;  // nothing left to look at
  }
}

std::optional<std::string> ExposedSecretsWarning(const ISettingsSource& registry,
                                                 const DriverSettings& settings, IFileSystem& fs) {
  const std::string path = registry.FilePath();
  if (path.empty() || !fs.Stat(path).readable_by_others) return std::nullopt;
  std::string secrets;
  if (!settings.Password.empty()) secrets = "Password";
  if (!settings.SecurityKey.empty())
    secrets += secrets.empty() ? "SecurityKey" : " and SecurityKey";
  if (secrets.empty()) return std::nullopt;
  return "registry file " + path + ": readable by every local user while it holds the " + secrets +
         "; let only root and the service's group read it (chmod 0640)";
}

void ReadConfiguration(const ISettingsSource& registry, IFileSystem& fs, const IClock& clock,
                       const std::string& executable_directory, DriverSettings& settings,
                       std::vector<KernelEndpoint>& kernel_endpoints, PathCreation path_creation) {
  const size_t first_endpoint = kernel_endpoints.size();
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
  // Only the TCP link uses the endpoints: a driver on the local socket keeps
  // starting whatever the shared key (which other drivers read, too) holds.
  if (!settings.UseNamedPipeConnection) {
    for (size_t i = first_endpoint; i < kernel_endpoints.size(); ++i) {
      CheckTcpPort(kernel_endpoints[i].Port,
                   "'Kernel" + std::to_string(i - first_endpoint + 1) + "': Port=");
    }
  }

  settings.Path = IncludeTrailingSlash(settings.Path);
  if (path_creation == PathCreation::kLeave) {
    // The start creates the cache directory before anything else and fails
    // when it cannot; the check creates nothing, so it predicts that failure.
    // A cache directory that exists is the buffers' matter (they load it
    // read-only when they cannot write it).
    const std::string cache = settings.CacheDirectory();
    if (const FileInfo info = fs.Stat(cache); !info.is_directory) {
      if (std::optional<EOSError> error = DirectoryWriteError(fs, cache)) throw *error;
    }
    return;
  }
  try {
    if (!fs.Stat(settings.Path).is_directory) fs.CreateDirectories(settings.Path);
  } catch (const Exception&) {
    // The buffers report the directory when they cannot use it.
  }
}

}  // namespace vd

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vd {

class TDoSAttackControl;

// The IV seed of the frame encryption both ends of the Kernel link use unless
// configured otherwise (see README).
inline constexpr uint16_t kDefaultFrameIVSeed = 0x5A3C;

// The signal buffer's capacity ("SignalBufferCapacity" of the driver key):
// the default, and the largest value the configuration accepts.
inline constexpr uint32_t kDefaultSignalBufferCapacity = 1000;
inline constexpr uint32_t kMaxSignalBufferCapacity = 10000000;

// One active device port, in the order of the port sub-keys. Inside the
// driver a port is known by its 1-based position in DriverSettings::Ports.
struct PortEntry {
  int32_t PortNumber = 0;
  int32_t Port = 0;
  int32_t MaxReceiveSignals = 0;
  int32_t InactivityMessageTimeout = 0;
  // Windows-1250 bytes, as transmitters send the password.
  std::string DriverPassword;
  // UTF-8; signals carry it in Windows-1250 (Utf8ToWin1250 when copying).
  std::string PortName;
  // Created when the entry is read; shared by the port's connections.
  std::shared_ptr<TDoSAttackControl> FloodControl;
};

// Every setting of the driver. Filled once by the start sequence before any
// worker thread exists and never written afterwards, so every thread reads it
// without locking. Directory paths always end with "/". Texts are UTF-8 unless
// a field says otherwise.
struct DriverSettings {
  std::string Path;
  bool SecurityEnabled = false;
  // Windows-1250 bytes: the cipher key as the Kernel holds it.
  std::string SecurityKey;
  // Seed of the frame encryption IV (see README); the registry value
  // "FrameIVSeed" of the shared key overrides the built-in constant.
  uint16_t FrameIVSeed = kDefaultFrameIVSeed;
  // Signals carry it in Windows-1250 (Utf8ToWin1250 when copying).
  std::string Name = "VolterDirect Driver";
  std::string Password;
  bool UseNamedPipeConnection = false;
  bool LogSave = false;
  std::string LogPath;
  std::string LocalIP;
  // Whether cache files are flushed to stable storage before they count as
  // written ("FlushCacheWrites" of the driver key).
  bool FlushCacheWrites = true;
  // Directory of the local socket that carries the Kernel link when
  // UseNamedPipeConnection is set ("PipeDirectory" of the driver key).
  std::string PipeDirectory = "/run/lirra/";
  // Where the metrics listener serves the Prometheus text format
  // ("MetricsAddress" of the driver key): "IPv4:port" or "[IPv6]:port";
  // empty: no listener.
  std::string MetricsAddress;
  // Signals the signal buffer holds at most, pending, postponed or being written
  // ("SignalBufferCapacity" of the driver key, 1 to kMaxSignalBufferCapacity).
  uint32_t SignalBufferCapacity = kDefaultSignalBufferCapacity;
  std::vector<PortEntry> Ports;

  // The cache directory of the durable buffers: Path + "Temp/VolterDirectDrv_Cache/".
  std::string CacheDirectory() const { return Path + "Temp/VolterDirectDrv_Cache/"; }
};

// Sets every field to its default: Path and LogPath the directory of the
// running executable, LocalIP from GetLocalIP, no ports.
void SetDefaults(DriverSettings& settings);

// The same with the executable's directory and the host address given (any
// trailing "/" is added).
void SetDefaults(DriverSettings& settings, const std::string& executable_directory,
                 const std::string& local_ip);

}  // namespace vd

// What the end-to-end tests share to run the real driver against the Kernel
// simulator: the registry file of a driver with one Kernel and one device
// port over loopback, the simulator's options, and what it acknowledged.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "kernel/kernel_messages.h"
#include "kernel_simulator.h"

namespace vd {

// The frame type of the driver's system events.
inline constexpr uint16_t kFrameTypeSystemEvent = 9;

// A transmitter's signal message stamped now (UTC) whose first extension
// carries tag.
inline std::string StampedSignalMessage(const std::string& tag) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char date[32];
  std::strftime(date, sizeof date, "%Y%m%d%H%M%S", &utc);
  return "[ABCD1234E2ET" + std::string(date) + "00|" + tag + "]";
}

// A driver named "E2E Driver" whose shared directory is dir + "work/", with
// the Kernel at 127.0.0.1:kernel_port and an active port 1 ("North") on TCP
// device_port; driver_values are further lines of the driver's key. A dir
// ending in an escaped backslash ("C:\\Temp\\", a Windows path as the file
// writes it) gets "work\\".
inline std::string DriverRegistry(const std::string& dir, int32_t kernel_port, int32_t device_port,
                                  const std::string& driver_values = "") {
  char port[16];
  std::snprintf(port, sizeof port, "%08x", static_cast<unsigned>(device_port));
  const std::string separator = dir.ends_with("\\\\") ? "\\\\" : "/";
  return "Windows Registry Editor Version 5.00\n\n"
         "[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers]\n\"Path\"=\"" +
         dir + "work" + separator +
         "\"\n\"Kernel1\"=\"Name=sim;IP=127.0.0.1;Port=" + std::to_string(kernel_port) +
         "\"\n\n[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers\\VolterDirectDriver]\n"
         "\"Name\"=\"E2E Driver\"\n" +
         driver_values +
         "\n[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers\\VolterDirectDriver\\Port1]\n"
         "\"IsActive\"=dword:00000001\n\"Port\"=dword:" +
         port +
         "\n\"PortNumber\"=dword:00000001\n\"InactivityMessageTimeout\"=dword:00000258\n"
         "\"MaxReceiveSignals\"=dword:000186a0\n\"PortName\"=\"North\"\n";
}

// A simulator on TCP port (0: any free one) answering as policy says.
inline TKernelSimOptions SimOptions(TKernelSimPolicy::Kind policy = TKernelSimPolicy::Kind::Always,
                                    int32_t port = 0) {
  TKernelSimOptions options;
  options.TcpPort = port;
  options.Policy.Mode = policy;
  return options;
}

// Adds the first extension of a signal's XML to tags; a signal without one
// (the driver's test signal) adds nothing.
inline void InsertFirstExtension(const std::string& xml, std::multiset<std::string>& tags) {
  const size_t open = xml.find("<Extension1>");
  const size_t close = xml.find("</Extension1>");
  if (open != std::string::npos && close != std::string::npos && open + 12 < close) {
    tags.insert(xml.substr(open + 12, close - open - 12));
  }
}

// The number of signal files in the cache directory.
inline size_t CachedSignalFiles(const std::string& cache) {
  size_t count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(cache, error))
    count += entry.path().extension() == ".sig" ? 1 : 0;
  return count;
}

// The first extensions of the signals the simulator acknowledged, once for
// each acknowledgement.
inline std::multiset<std::string> AcknowledgedTags(const TKernelSimulator& sim) {
  std::multiset<std::string> tags;
  for (const TSimFrame& f : sim.Received()) {
    if (f.Frame.FrameType != kFrameTypeSignal || f.AnswerDirection != kDirectionAcknowledge) {
      continue;
    }
    InsertFirstExtension(f.Frame.Data, tags);
  }
  return tags;
}

}  // namespace vd

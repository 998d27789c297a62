// What the POSIX end-to-end tests share: the real VolterDirectDrv as a child
// process of the test in a temporary directory, with a device port and a
// metrics port chosen free, reporting to a notification socket of its own.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "driver_process.h"
#include "e2e/e2e_driver.h"
#include "fakes/eventually.h"
#include "fakes/scoped_temp_dir.h"
#include "free_port.h"
#include "notify_socket.h"

namespace vd {

// The first extensions of the transmitter signals in the cache directory
// (the driver's test signal has none).
inline std::multiset<std::string> CachedTags(const std::string& cache) {
  std::multiset<std::string> tags;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(cache, error)) {
    if (entry.path().extension() == ".sig")
      InsertFirstExtension(ReadWholeFile(entry.path().string()), tags);
  }
  return tags;
}

class DriverTest : public testing::Test {
 protected:
  // The driver (or another program: see Program) with arguments, its output
  // in output (in the directory).
  std::unique_ptr<TDriverProcess> Run(const std::vector<std::string>& arguments,
                                      const std::string& output = "driver.out",
                                      std::vector<std::string> environment = {},
                                      const std::string& executable = VD_DRIVER_EXECUTABLE) const {
    std::filesystem::remove(dir_.Path() + output);
    TDriverLaunch launch;
    launch.Executable = executable;
    launch.Arguments = arguments;
    launch.OutputPath = dir_.Path() + output;
    launch.NotifyPath = notify_.Path();
    launch.Environment = std::move(environment);
    return std::make_unique<TDriverProcess>(launch);
  }
  // Runs to its end; the exit code (-1: did not end in time) and the output.
  std::pair<int, std::string> RunToEnd(const std::vector<std::string>& arguments,
                                       const std::string& output = "run.out",
                                       const std::string& executable = VD_DRIVER_EXECUTABLE) const {
    auto process = Run(arguments, output, {}, executable);
    const std::optional<int> status = process->WaitExit(kEventuallyMs);
    const int code = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    return {code, Output(output)};
  }
  // The driver on the registry file registry() writes for the ports of the
  // moment, with its session log in Log(). With port_opens (a Kernel that lets
  // it open its device port), waits until the driver has its device port
  // open: the ports were free when chosen, but another process may take one
  // before the driver binds it, and then the driver starts once more on new
  // ports.
  std::unique_ptr<TDriverProcess> Start(const std::function<std::string()>& registry,
                                        bool port_opens, const std::string& output = "driver.out",
                                        const std::vector<std::string>& environment = {}) {
    auto driver = Run({"--registry", WriteFile("registry.reg", registry())}, output, environment);
    if (port_opens && PortTaken()) {
      driver.reset();
      device_port_ = FreeLoopbackPort();
      metrics_port_ = FreeLoopbackPort();
      driver = Run({"--registry", WriteFile("registry.reg", registry())}, output, environment);
    }
    return driver;
  }
  // A program built beside the driver (vd-cache, kernel-sim).
  static std::string Program(const std::string& name) {
    return (std::filesystem::path(VD_DRIVER_EXECUTABLE).parent_path() / name).string();
  }
  std::string Output(const std::string& output = "driver.out") const {
    return ReadWholeFile(dir_.Path() + output);
  }
  std::string WriteFile(const std::string& name, const std::string& text) const {
    std::ofstream(dir_.Path() + name, std::ios::binary) << text;
    return dir_.Path() + name;
  }
  // The text of every session log file (in log/ of the directory).
  std::string Log() const {
    std::string log;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path() + "log", error))
      log += ReadWholeFile(entry.path().string());
    return log;
  }
  // Waits until the log says the device port opened or a port the driver
  // binds was taken; whether it was taken.
  bool PortTaken() const {
    const std::string opened = "Port opened: TCP" + std::to_string(device_port_);
    bool taken = false;
    Eventually([&] {
      const std::string log = Log();
      taken = log.find("Address already in use") != std::string::npos;
      return taken || log.find(opened) != std::string::npos;
    });
    return taken;
  }
  std::string Cache() const { return dir_.Path() + "work/Temp/VolterDirectDrv_Cache/"; }

  ScopedTempDir dir_;
  int32_t device_port_ = FreeLoopbackPort();
  int32_t metrics_port_ = FreeLoopbackPort();
  TNotifySocket notify_{dir_.Path() + "notify"};
};

}  // namespace vd

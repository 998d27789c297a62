#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vd {

class IFileSystem;

// The name the service is known by to systemd and in the system log.
inline constexpr char kServiceName[] = "O_VolterDirectDrv";
// Where INSTALL puts the unit unless told otherwise.
inline constexpr char kDefaultUnitDirectory[] = "/etc/systemd/system/";
// Enough descriptors for ten thousand transmitter connections, the cache
// files and the Kernel link, with room to spare.
inline constexpr int kUnitFileLimit = 65536;
// The driver pings at half of it while every worker thread is alive.
inline constexpr int kUnitWatchdogSeconds = 30;

// Where packages put their units (the Debian package puts the hardened one
// in the first). A unit of the same name in /etc/systemd/system/ would take
// its place.
inline const std::vector<std::string> kPackageUnitDirectories = {"/usr/lib/systemd/system/",
                                                                 "/lib/systemd/system/"};

// What an installed service runs.
struct ServiceInstallation {
  std::string unit_directory = kDefaultUnitDirectory;
  std::string executable_path;  // absolute
  std::string registry_file;    // made absolute against the working directory
  // Directories where a unit of the service's name means it is installed
  // already (by the package): INSTALL refuses unless forced.
  std::vector<std::string> other_unit_directories = kPackageUnitDirectories;
  bool force = false;
};

// "O_VolterDirectDrv.service".
std::string UnitFileName();

// The unit: Type=notify, ExecStart running the executable with --registry,
// restart on failure, the watchdog, the descriptor limit, started with the system. Raises
// Exception when a path holds a control character (it would break the unit's
// line structure).
std::string UnitFileText(const std::string& executable_path, const std::string& registry_file);

// INSTALL [SILENT] [--force]: writes the unit into the unit directory
// (created when missing), replacing an older one. Refuses, unless forced,
// when one of the other unit directories holds a unit of the same name.
// Unless silent, says on out what was written and how to enable it. A
// failure or refusal always goes to err. Returns the process exit code: 0
// or 1.
int InstallService(IFileSystem& fs, const ServiceInstallation& installation, bool silent,
                   std::ostream& out, std::ostream& err);

// UNINSTALL [SILENT]: removes the unit; a unit that is not there is no error.
// Messages and exit code as for InstallService.
int UninstallService(IFileSystem& fs, const std::string& unit_directory, bool silent,
                     std::ostream& out, std::ostream& err);

}  // namespace vd

#include "platform/systemd_unit.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "support/errors.h"
#include "support/file_system.h"
#include "support/file_utils.h"

namespace vd {
namespace {

// One argument of ExecStart: in double quotes, with the characters systemd
// gives a meaning there escaped.
std::string UnitArgument(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      throw Exception("A control character in the path '" + text + "' cannot go into a unit file");
    }
    if (c == '\\' || c == '"') quoted += '\\';
    if (c == '%') quoted += '%';
    if (c == '$') quoted += '$';
    quoted += c;
  }
  return quoted + "\"";
}

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

}  // namespace

std::string UnitFileName() { return std::string(kServiceName) + ".service"; }

std::string UnitFileText(const std::string& executable_path, const std::string& registry_file) {
  return "# Driver retrieving signals from Volter devices.\n"
         "[Unit]\n"
         "Description=Orvanel VolterDirect Driver\n"
         "Wants=network-online.target\n"
         "After=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "NotifyAccess=main\n"
         "ExecStart=" +
         UnitArgument(executable_path) + " --registry " + UnitArgument(registry_file) +
         "\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "WatchdogSec=" +
         std::to_string(kUnitWatchdogSeconds) +
         "\n"
         "LimitNOFILE=" +
         std::to_string(kUnitFileLimit) +
         "\n"
         "SyslogIdentifier=" +
         kServiceName +
         "\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

int InstallService(IFileSystem& fs, const ServiceInstallation& installation, bool silent,
                   std::ostream& out, std::ostream& err) {
  const std::string directory = IncludeTrailingSlash(installation.unit_directory);
  const std::string path = directory + UnitFileName();
  try {
    for (const std::string& other : installation.other_unit_directories) {
      const std::string installed = IncludeTrailingSlash(other) + UnitFileName();
      if (installation.force || !fs.Stat(installed).exists) continue;
      // A unit here would override that one (the package's, with its own
      // user and hardening) and run the driver as root without them.
      err << "Installing the service refused: " << installed
          << " is installed already (by the package?); a unit in " << directory
          << " would override it and run the driver as root without its hardening.\n"
          << "Use that unit: systemctl enable --now " << kServiceName
          << "; or give --force to write " << path << " all the same." << std::endl;
      return 1;
    }
    const std::string text = UnitFileText(AbsolutePath(installation.executable_path),
                                          AbsolutePath(installation.registry_file));
    fs.CreateDirectories(directory);
    WriteFileDurably(fs, path, text, true);
  } catch (const std::exception& e) {
    err << "Installing the service failed: " << ExceptionText(e) << std::endl;
    return 1;
  }
  if (!silent) {
    out << "Service " << kServiceName << " installed: " << path << "\n"
        << "Start it now and at every boot with: systemctl daemon-reload && systemctl enable "
           "--now "
        << kServiceName << std::endl;
  }
  return 0;
}

int UninstallService(IFileSystem& fs, const std::string& unit_directory, bool silent,
                     std::ostream& out, std::ostream& err) {
  const std::string path = IncludeTrailingSlash(unit_directory) + UnitFileName();
  bool removed = false;
  try {
    if (fs.Stat(path).exists) {
      fs.DeleteFile(path);
      removed = true;
    }
  } catch (const EOSError& e) {
    // Removed by someone else in between: the outcome asked for.
    if (e.ErrorCode() != ENOENT) {
      err << "Uninstalling the service failed: " << ExceptionText(e) << std::endl;
      return 1;
    }
  } catch (const std::exception& e) {
    err << "Uninstalling the service failed: " << ExceptionText(e) << std::endl;
    return 1;
  }
  if (!silent) {
    if (removed) {
      out << "Service " << kServiceName << " uninstalled: " << path << " removed\n"
          << "Let systemd forget it with: systemctl daemon-reload" << std::endl;
    } else {
      out << "Service " << kServiceName << " was not installed in " << unit_directory << std::endl;
    }
  }
  return 0;
}

}  // namespace vd

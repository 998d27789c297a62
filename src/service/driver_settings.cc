#include "service/driver_settings.h"

#include "platform/host.h"

namespace vd {
namespace {

// A directory path ending with "/"; an empty one means the working directory.
std::string WithTrailingSlash(const std::string& directory) {
  if (directory.empty()) return "./";
  if (directory.back() == '/') return directory;
  return directory + '/';
}

}  // namespace

void SetDefaults(DriverSettings& settings) {
  SetDefaults(settings, ExecutableDirectory(), GetLocalIP());
}

void SetDefaults(DriverSettings& settings, const std::string& executable_directory,
                 const std::string& local_ip) {
  // Every field back to its declared default, the ports (and their flood
  // controls) freed.
  settings = DriverSettings{};
  settings.Path = WithTrailingSlash(executable_directory);
  settings.LogPath = settings.Path;
  settings.LocalIP = local_ip;
}

}  // namespace vd

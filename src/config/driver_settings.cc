#include "config/driver_settings.h"

#include "platform/host.h"
#include "support/file_utils.h"

namespace vd {
void SetDefaults(DriverSettings& settings) {
  SetDefaults(settings, ExecutableDirectory(), GetLocalIP());
}

void SetDefaults(DriverSettings& settings, const std::string& executable_directory,
                 const std::string& local_ip) {
  // Every field back to its declared default, the ports (and their flood
  // controls) freed.
  settings = DriverSettings{};
  // An empty directory means the working directory.
  settings.Path = executable_directory.empty() ? "./" : IncludeTrailingSlash(executable_directory);
  settings.LogPath = settings.Path;
  settings.LocalIP = local_ip;
}

}  // namespace vd

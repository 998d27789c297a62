#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "config/driver_settings.h"
#include "config/kernel_endpoint.h"
#include "service/driver_service.h"

namespace vd {

class IClock;
class IFileSystem;

// The effective settings as an operator reads them: every value of the
// driver and shared keys, the cache and log directories, the Kernel endpoints
// and the active ports. Passwords and keys show only whether they are set.
std::string ConfigurationReport(const DriverSettings& settings,
                                const std::vector<KernelEndpoint>& kernel_endpoints);

// VolterDirectDrv --check-config: reads the configuration exactly as a start
// does (defaults, then ReadConfiguration on what open_registry gives) but
// creates no directory, opens no port, starts no thread and connects
// nowhere. Prints ConfigurationReport on out and returns 0; on an error
// prints the text of the failed start ("Error while starting: <kind> -
// <message>") on err and returns 1.
int CheckConfiguration(const RegistryOpener& open_registry, IFileSystem& fs, const IClock& clock,
                       const std::string& executable_directory, const std::string& local_ip,
                       std::ostream& out, std::ostream& err);

}  // namespace vd
